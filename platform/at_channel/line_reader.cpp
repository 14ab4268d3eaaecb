// The AT port's byte stream, line by line: final result lines, unsolicited reports, the echo,
// and the answer assembled from what is left. Pure: no I/O, no clock; the channel feeds it.

#include <array>
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

// Unsolicited result codes: lines a modem sends on its own, removed from every answer (unless
// the command asks for that very report) and never taken for a final line. Rows ending in ':'
// match a line that begins with them, the others a whole line.
// Sources: 3GPP TS 27.007 (registration, call, packet-domain, indicator, time-zone and USSD
// reports) and 3GPP TS 27.005 (message and cell-broadcast indications), and the vendor reports of
// the MediaTek, Huawei and Quectel modems the daemon meets.
struct ReportRow {
    string_view text;
    Report kind;
};

constexpr std::array<ReportRow, 36> kReports{{
    // 27.007 network registration
    {"+CREG:", Report::kLine},
    {"+CGREG:", Report::kLine},
    {"+CEREG:", Report::kLine},
    {"+C5GREG:", Report::kLine},
    // 27.007 ring, caller id, call waiting, supplementary service notifications
    {"RING", Report::kLine},
    {"+CRING:", Report::kLine},
    {"+CLIP:", Report::kLine},
    {"+CNAP:", Report::kLine},
    {"+CCWA:", Report::kLine},
    {"+CSSI:", Report::kLine},
    {"+CSSU:", Report::kLine},
    // 27.007 packet-domain events and signalling connection
    {"+CGEV:", Report::kLine},
    {"+CSCON:", Report::kLine},
    // 27.007 indicator events (signal, service, roaming) and time zone
    {"+CIEV:", Report::kLine},
    {"+CTZV:", Report::kLine},
    {"+CTZE:", Report::kLine},
    {"+CTZEU:", Report::kLine},
    // 27.007 USSD
    {"+CUSD:", Report::kLine},
    // 27.005 incoming messages, status reports and cell broadcasts; the direct forms carry the
    // message on the next line
    {"+CMTI:", Report::kLine},
    {"+CMT:", Report::kLineAndData},
    {"+CDSI:", Report::kLine},
    {"+CDS:", Report::kLineAndData},
    {"+CBMI:", Report::kLine},
    {"+CBM:", Report::kLineAndData},
    // vendor signal reports
    {"+CSQ:", Report::kLine},
    {"+ECSQ:", Report::kLine},
    {"^RSSI:", Report::kLine},
    {"^HCSQ:", Report::kLine},
    // vendor network, bearer and start-up reports
    {"+EREG:", Report::kLine},
    {"+EGREG:", Report::kLine},
    {"+EIND:", Report::kLine},
    {"+PSBEARER:", Report::kLine},
    {"^MODE:", Report::kLine},
    {"^BOOT:", Report::kLine},
    {"^SYSSTART", Report::kLine},
    {"+QIND:", Report::kLine},
}};

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

// The name of the command's report: "AT+CREG?" asks for "+CREG", "at^rssi" for "^RSSI".
string_view command_name(string_view command) {
    if (command.size() < 2 || upper(command[0]) != 'A' || upper(command[1]) != 'T') {
        return {};
    }
    command.remove_prefix(2);
    const std::size_t end = command.find_first_of("=?;\r\n");
    return command.substr(0, end);
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
    for (const ReportRow& row : kReports) {
        const bool prefix = row.text.back() == ':';
        const bool match = prefix ? line.substr(0, row.text.size()) == row.text : line == row.text;
        if (match) {
            const string_view name = prefix ? row.text.substr(0, row.text.size() - 1) : row.text;
            return same_text(name, command_name(command)) ? Report::kNone : row.kind;
        }
    }
    return Report::kNone;
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

void Debt::owe(string_view command) {
    owed_ = true;
    fits_ = command.size() <= sizeof command_;
    len_ = fits_ ? command.size() : 0;
    if (fits_) {
        std::memcpy(command_, command.data(), len_);
    }
}

bool Debt::holds_back(string_view command) {
    if (!owed_) {
        return false;
    }
    if (fits_ && command == string_view(command_, len_)) {
        owed_ = false;  // a repeat: whichever answer comes first answers it
        return false;
    }
    return true;
}

}  // namespace orv::at_channel
