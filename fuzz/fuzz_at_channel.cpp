// The AT channel's line reading and late-answer bookkeeping over a whole conversation with a modem
// that talks unprompted, answers late or never, ends its lines oddly and sends NUL noise. The
// port is simulated step by step the way ClientSendCmd drives it: what waits before a command is
// watched and dropped, an owed answer holds the next command back until it comes or the hold is
// over, the command goes out, the answer is collected, what follows its final line is watched.
//
// Input: steps until the input ends. Each step is
//   byte 0   bits 0-2 the command (of kCommands), bit 3 echo, bits 4-5 line end (CR LF, CR, LF,
//            CR LF), bits 6-7 the answer: on time (0, 1), late (2: it comes while the next command
//            waits), never (3)
//   byte 1   how many bytes the port delivers at once (1 + byte % 32)
//   byte 2   number of pieces (byte % 8), then one byte per piece: bits 0-2 its kind (an
//            information line, an empty line or a cut report, a report, a message report with its
//            data line, NUL bytes, a broadcast whose data line reads OK, a long line), bits 3-4
//            where it goes (0, 1 after the information line, 2 before it unless it is text, 3
//            after the final line), bits 5-7 a parameter
//
// Every answer carries the information line "T<step>" first. Checked: the record (a heap block of
// exactly its size) is never overrun and always terminated; a delivered answer starts with CR LF,
// ends every line with CR LF, holds no NUL, no report (unless asked for) and no data line of one;
// its first line is its own information line; it never holds another step's line. A late answer
// comes while the next command waits, or, when the same command is sent again (the exchange's
// retry after its pause), in that pause.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "platform/at_channel/at_channel_internal.h"

namespace {

using orv::at_channel::Debt;
using orv::at_channel::LineReader;
using orv::fuzz::check;

constexpr const char* kCommands[] = {"AT+CGSN",  "AT+CIMI", "AT+CPIN?", "AT+CRSM=176,12258,0,0,10",
                                     "AT+CREG?", "AT",      "AT+CGSN",  "AT+CNUM"};
// Reports of every shape: named ones (with the command's own name only for AT+CREG?) and words.
constexpr const char* kReports[] = {"+CREG: 1", "RING",     "*ATREADY: 1", "+PACSP0",
                                    "PB DONE",  "^RSSI:12", "RDY",         "%CESQ: 1,2"};
constexpr std::size_t kRecord = 96;  // small, so that cutting is reached too

// Rewrites every CR LF as CR alone (style 1) or LF alone (style 2).
std::string line_end_of(std::uint8_t style, std::string text) {
    for (std::size_t at = 0; style == 1 || style == 2; ++at) {
        if ((at = text.find("\r\n", at)) == std::string::npos) {
            break;
        }
        text.replace(at, 2, 1, style == 1 ? '\r' : '\n');
    }
    return text;
}

std::string framed(std::string_view line) {
    return "\r\n" + std::string(line) + "\r\n";
}

// Feeds `bytes` to the reader `chunk` bytes at a time; returns what followed a completed answer.
std::string feed(LineReader& r, std::string_view bytes, std::size_t chunk) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t taken = r.feed(bytes.substr(at, chunk));
        if (r.complete()) {
            return std::string(bytes.substr(at + taken));
        }
    }
    return {};
}

void check_answer(std::string_view a, std::string_view command, int step) {
    check(a.empty() || a.substr(0, 2) == "\r\n", "an answer starts with CR LF");
    check(a.find('\0') == std::string_view::npos, "no NUL is delivered");
    // CR LF line ends only; a CR may end a cut answer.
    for (std::size_t i = a.find_first_of("\r\n"); i != std::string_view::npos;
         i = a.find_first_of("\r\n", i + 2)) {
        check(a.substr(i, 2) == "\r\n" || a.substr(i) == "\r", "no bare CR or LF");
    }
    const bool asks_report = command == "AT+CREG?";
    for (const char* report : kReports) {
        check(asks_report || a.find(report) == std::string_view::npos, "no report is delivered");
    }
    for (const char* text : {"+CMT:", "+CBM:", "DATA", "+CREG: 5"}) {
        check(a.find(text) == std::string_view::npos,
              "no message report, its data line, or a line begun before the command");
    }
    // Every "T<n>" line is this step's (a cut one as far as it goes).
    const std::string own = "T" + std::to_string(step) + "\r";
    for (std::size_t at = a.find("\r\nT"); at != std::string_view::npos;
         at = a.find("\r\nT", at + 1)) {
        check(own.starts_with(a.substr(at + 2, own.size())),
              "no other command's answer is delivered");
    }
    const std::string tag = "\r\nT" + std::to_string(step) + "\r\n";
    if (!asks_report && a.size() >= tag.size() + 4) {
        check(a.substr(0, tag.size()) == tag, "the first line is the answer's own");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    LineReader reader;
    Debt debt;
    std::string waiting;  // bytes on the port before the next command (late ones included)
    std::string late;     // an answer on its way, arriving while the next command waits
    std::string owed_command;
    std::size_t at = 0;
    for (int step = 0; at + 3 <= size; ++step) {
        const std::uint8_t head = data[at];
        const std::string command = kCommands[head & 7U];
        const bool echo = (head & 8U) != 0;
        const std::uint8_t style = (head >> 4) & 3U;
        const std::uint8_t timing = head >> 6;
        const std::size_t chunk = 1 + data[at + 1] % 32;
        std::size_t pieces = data[at + 2] % 8;
        at += 3;

        std::string before;
        std::string body = framed("T" + std::to_string(step));
        std::string after;
        for (; pieces > 0 && at < size; --pieces, ++at) {
            const std::uint8_t p = data[at];
            const std::uint8_t param = p >> 5;
            const std::uint8_t where = (p >> 3) & 3U;
            const std::string kinds[] = {
                framed("V" + std::to_string(param)),  // an information line
                // after the final line: a report cut short, whose rest comes with the next
                // answer; elsewhere an empty line
                where == 3 ? "+CREG: 5" : "\r\n", framed(kReports[param]), framed(kReports[param]),
                framed("+CMT: ,24\r\nDATA OK" + std::to_string(param)),  // with its data line
                std::string(1 + param, '\0'),
                framed("+CBM: 88\r\nOK"),               // the data line reads like a final line
                framed(std::string(param * 24, 'x'))};  // long, to reach the cut
            const std::string& piece = kinds[p & 7U];
            // Only what is no answer text may come before the information line.
            const bool text = (p & 7U) == 0 || (p & 7U) == 7;
            (where == 2 && !text ? before : where == 3 ? after : body) += piece;
        }
        const std::string answer = line_end_of(
            style, (echo ? command + "\r" : std::string()) + before + body + "\r\nOK\r\n" + after);

        // A command sent again after its timeout follows the exchange's retry pause, in which a
        // late answer to it has come (one later than that is the channel's stated limit).
        if (debt.owed() && command == owed_command) {
            waiting += late;
            late.clear();
        }
        // Before the command: what waits is watched and dropped.
        reader.idle();
        feed(reader, waiting, chunk);
        waiting.clear();
        if (reader.finals() > 0) {
            debt.settle();
        }
        // The timeout was at time 0 and this command goes out at once, with a wait of 2: it is
        // held until 1, and the late answer comes meanwhile. Then it is sent, whether the owed
        // answer came or not.
        if (debt.hold_until(command, 0, 2) != 0) {
            reader.idle();
            feed(reader, late, chunk);
            late.clear();
            debt.settle();
        }

        // Filled with 'Z', so that a missing terminator shows; nothing may be written past it.
        const auto record = orv::fuzz::exact(std::string(kRecord, 'Z'), kRecord);
        reader.begin(command, record.get(), kRecord);
        const std::string in_time = timing < 2 ? answer : std::string();
        std::string rest = feed(reader, waiting + in_time, chunk);
        waiting.clear();
        if (reader.complete()) {
            const std::size_t len = reader.finish();
            check(len < kRecord && record[len] == '\0', "the answer is terminated in the record");
            check_answer(std::string_view(record.get(), len), command, step);
        } else {
            debt.owe(command, 0);
            owed_command = command;
        }
        reader.idle();
        feed(reader, rest, chunk);
        if (timing == 2) {
            late = answer;
        }
    }
    return 0;
}
