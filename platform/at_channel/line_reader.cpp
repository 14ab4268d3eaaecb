// The AT port's byte stream, line by line: final result lines, unsolicited reports, the echo,
// and the answer assembled from what is left. Pure: no I/O, no clock; the channel feeds it.

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/at_channel/at_channel_internal.h"

namespace orv::at_channel {
namespace {

using std::string_view;

// Final result lines: the answer is complete once one of them has arrived. Prefix rows match a
// line that begins with the text; the others match the whole line.
struct FinalRow {
    string_view text;
    bool prefix;
    LineKind kind;
};

constexpr std::array<FinalRow, 8> kFinals{{
    {"OK", false, LineKind::kFinalOk},
    {"ERROR", false, LineKind::kFinalError},
    {"+CME ERROR:", true, LineKind::kFinalError},
    {"+CMS ERROR:", true, LineKind::kFinalError},
    {"NO CARRIER", false, LineKind::kFinalError},
    {"BUSY", false, LineKind::kFinalError},
    {"NO ANSWER", false, LineKind::kFinalError},
    {"NO DIALTONE", false, LineKind::kFinalError},
}};

// Unsolicited result codes are recognised by their shape (report_name below): a sigil, a name,
// then a colon or the end of the line. Only what the shape cannot tell needs a row here: the
// reports that carry a data line (the message or broadcast itself, which may read like anything,
// "OK" included), and the words without a sigil that modems print on their own. A row matches
// the whole line, or, ending in ':', its beginning.
struct ReportRow {
    string_view text;
    Report kind;
};

constexpr std::array<ReportRow, 10> kReports{{
    // 3GPP TS 27.005: a message, a status report and a cell broadcast delivered directly, each
    // with its PDU or text on the next line
    {"+CMT:", Report::kLineAndData},
    {"+CDS:", Report::kLineAndData},
    {"+CBM:", Report::kLineAndData},
    // ITU-T V.250 / 3GPP TS 27.007: an incoming call
    {"RING", Report::kLine},
    // The module is ready: SIMCom SIM808 hardware manual; Quectel UGxx AT manual V1.7; a
    // SIM7600 start-up capture (Xinyuan-LilyGO/T-SIM7600X pull request 41)
    {"RDY", Report::kLine},
    // Calls and messages can be used: SIMCom SIM800/SIM900 (a SIM800L capture,
    // Seeed-Studio/GPRS_SIM900 issue 39)
    {"Call Ready", Report::kLine},
    {"SMS Ready", Report::kLine},
    // Phonebook and message storage initialised: SIMCom SIM7500/SIM7600 (the same SIM7600
    // capture)
    {"PB DONE", Report::kLine},
    {"SMS DONE", Report::kLine},
    // The same word without its subject, reported from module start-ups in field logs (no
    // manual names it)
    {"Ready", Report::kLine},
}};

// Set commands whose answer carries their own report (3GPP TS 27.007 and 27.005: SIM access,
// facility status, phonebook and message reads, sends, addresses, USSD, serial numbers); every
// other set command has no information response, so a line of its own name that comes during it
// (+CPIN: READY during the PIN entry, +CFUN: 1 during AT+CFUN=1) is unsolicited.
constexpr std::array<string_view, 15> kSetsWithReport{{
    "+CRSM",
    "+CSIM",
    "+CGLA",
    "+CLCK",
    "+CPBR",
    "+CPBF",
    "+CMGR",
    "+CMGL",
    "+CMGS",
    "+CMSS",
    "+CMGW",
    "+CGPADDR",
    "+CGCONTRDP",
    "+CUSD",
    "+CGSN",
}};

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The name of a line shaped like a named report: a sigil, a letter, letters, digits or '_', then
// a colon or the end of the line ("+CREG: 1" is "+CREG", "+PACSP0" is "+PACSP0"); empty for any
// other line. "+CME ERROR: 10" has a blank after its name and so is no report.
string_view report_name(string_view line) {
    if (line.size() < 2 || string_view("+^*#%$").find(line[0]) == string_view::npos ||
        !is_letter(line[1])) {
        return {};
    }
    std::size_t end = 2;
    while (end < line.size() && (is_letter(line[end]) || is_digit(line[end]) || line[end] == '_')) {
        ++end;
    }
    return end == line.size() || line[end] == ':' ? line.substr(0, end) : string_view{};
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool same_text(string_view a, string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

// The name of the command: "AT+CREG?" is "+CREG", "at^rssi" is "^RSSI".
string_view command_name(string_view command) {
    if (command.size() < 2 || upper(command[0]) != 'A' || upper(command[1]) != 'T') {
        return {};
    }
    command.remove_prefix(2);
    const std::size_t end = command.find_first_of("=?;\r\n");
    return command.substr(0, end);
}

// Whether a report of this name answers the command: an action, read or test command is
// answered by its own name; a set command only when it is one of kSetsWithReport.
bool answers(string_view command, string_view name) {
    const string_view own = command_name(command);
    if (own.empty() || !same_text(own, name)) {
        return false;
    }
    const string_view rest = command.substr(2 + own.size());
    const bool set = rest.size() >= 1 && rest[0] == '=' && (rest.size() < 2 || rest[1] != '?');
    if (!set) {
        return true;
    }
    for (const string_view row : kSetsWithReport) {
        if (same_text(row, own)) {
            return true;
        }
    }
    return false;
}

string_view strip_line_end(string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

}  // namespace

LineKind classify_line(string_view line) {
    for (const FinalRow& row : kFinals) {
        const bool match =
            row.prefix ? line.substr(0, row.text.size()) == row.text : line == row.text;
        if (match) {
            return row.kind;
        }
    }
    return LineKind::kInformation;
}

Report classify_report(string_view line, string_view command) {
    Report kind = Report::kNone;
    for (const ReportRow& row : kReports) {
        const bool prefix = row.text.back() == ':';
        if (prefix ? line.substr(0, row.text.size()) == row.text : line == row.text) {
            kind = row.kind;
            break;
        }
    }
    const string_view name = report_name(line);
    if (kind == Report::kNone && !name.empty()) {
        kind = Report::kLine;
    }
    return kind != Report::kNone && !name.empty() && answers(command, name) ? Report::kNone : kind;
}

void LineReader::begin(string_view command, char* out, std::size_t size) {
    command_ = command;
    echo_ = strip_line_end(command);
    out_ = size == 0 ? nullptr : out;
    cap_ = size == 0 ? 0 : size - 1;
    kept_ = cap_ < 2 ? cap_ : 2;
    collecting_ = true;
    complete_ = false;
    seen_text_ = false;
    kept_lines_ = 0;
    text_kept_ = false;
    last_kept_empty_ = false;
    // Bytes of a line that began before the command was written are the tail of something
    // unsolicited, however it ends.
    drop_line_ = line_len_ > 0;
    line_stored_ = 0;
}

void LineReader::idle() {
    collecting_ = false;
    complete_ = false;
    finals_ = 0;
    command_ = {};
    echo_ = {};
    out_ = nullptr;
    line_stored_ = 0;
}

std::size_t LineReader::feed(string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\0') {
            continue;  // line noise, never part of a text
        }
        if (c == '\r') {
            if (!after_cr_) {
                end_line();
            }
            after_cr_ = true;
        } else if (c == '\n') {
            if (after_cr_) {
                after_cr_ = false;  // the LF of a CR LF line end
            } else {
                end_line();
            }
        } else {
            after_cr_ = false;
            add(c);
        }
        if (complete_) {
            return i + 1;
        }
    }
    return bytes.size();
}

string_view LineReader::head() const {
    return string_view(head_, line_len_ < kHead ? line_len_ : kHead);
}

void LineReader::add(char c) {
    if (line_len_ < kHead) {
        head_[line_len_] = c;
    }
    ++line_len_;
    if (collecting_ && kept_ + line_stored_ < cap_) {
        out_[kept_ + line_stored_] = c;
        ++line_stored_;
    }
}

void LineReader::reset_line() {
    line_len_ = 0;
    line_stored_ = 0;
}

void LineReader::end_line() {
    if (drop_line_ || skip_data_) {
        drop_line_ = false;
        skip_data_ = false;
        reset_line();
        return;
    }
    // A line longer than the head is judged by its head: the head is longer than every
    // whole-line row, so only a prefix row can match it.
    const Report report = classify_report(head(), command_);
    if (report != Report::kNone) {
        skip_data_ = report == Report::kLineAndData;
        if (collecting_ && last_kept_empty_) {
            kept_ = last_empty_at_;  // the empty framing line that came with the report
            --kept_lines_;
            last_kept_empty_ = false;
        }
        reset_line();
        return;
    }
    const bool final_line = classify_line(head()) != LineKind::kInformation;
    if (!collecting_) {
        finals_ += final_line ? 1 : 0;
        reset_line();
        return;
    }
    if (!seen_text_ && line_len_ > 0) {
        seen_text_ = true;
        if (line_len_ == echo_.size() && line_stored_ == line_len_ &&
            string_view(out_ + kept_, line_stored_) == echo_) {
            reset_line();
            return;
        }
    }
    keep_line(final_line);
}

void LineReader::keep_line(bool final_line) {
    const bool empty = line_len_ == 0;
    if (empty && !text_kept_) {
        // Empty lines before the first text: the first is the modem's own leading CR LF, which
        // the reserved place stands for; more of them carry nothing.
        kept_lines_ = 1;
        last_kept_empty_ = true;
        last_empty_at_ = kept_;
        reset_line();
        return;
    }
    const std::size_t start = kept_;
    kept_ += line_stored_;
    for (const char c : {'\r', '\n'}) {
        if (kept_ < cap_) {
            out_[kept_++] = c;
        }
    }
    ++kept_lines_;
    text_kept_ = text_kept_ || !empty;
    last_kept_empty_ = empty;
    last_empty_at_ = start;
    complete_ = final_line;
    reset_line();
}

std::size_t LineReader::finish() {
    if (out_ == nullptr) {
        return 0;
    }
    if (kept_lines_ == 0) {
        out_[0] = '\0';
        return 0;
    }
    // Every answer starts with CR LF, the modem's own or one put in its place.
    const std::size_t base = cap_ < 2 ? cap_ : 2;
    std::memcpy(out_, "\r\n", base);
    out_[kept_] = '\0';
    return kept_;
}

void Debt::owe(string_view command, std::int64_t since_ns) {
    owed_ = true;
    since_ns_ = since_ns;
    fits_ = command.size() <= sizeof command_;
    len_ = fits_ ? command.size() : 0;
    if (fits_) {
        std::memcpy(command_, command.data(), len_);
    }
}

std::int64_t Debt::hold_until(string_view command, std::int64_t now_ns, std::int64_t wait_ns) {
    if (!owed_) {
        return 0;
    }
    const std::int64_t until = since_ns_ + wait_ns / 2;
    if ((fits_ && command == string_view(command_, len_)) || now_ns >= until) {
        owed_ = false;
        return 0;
    }
    return until;
}

}  // namespace orv::at_channel
