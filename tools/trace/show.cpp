// orv_trace show: the trace as a timeline a person reads. Each command is shown on one line with
// the modem's response time and its answer; what the modem sent that was not part of the answer
// (unsolicited lines, answers that came after the channel gave up) is shown under it.
#include <cstdio>
#include <set>

#include "tools/client/orv_client.h"
#include "tools/trace/commands.h"
#include "wire/mdm_msg.h"

namespace orv::trace {

namespace {

constexpr std::string_view kIndent = "             ";  // under the time column

using client::quote_bytes;

// "orv_mdm X.Y.Z, pid N, WALL" of a trace head; the heads of earlier daemons have no version.
std::string head_text(const Record& head) {
    const Value* version = head.find(trace_format::field::kProgram);
    return (version != nullptr ? "orv_mdm " + client::escape_bytes(version->text) + ", " : "") +
           "pid " + std::to_string(head.num("pid")) + ", " + client::escape_bytes(head.str("wall"));
}

std::string milliseconds(double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f ms", seconds * 1000);
    return buf;
}

// A line the modem sent and the time of the read that completed it.
struct Line {
    std::string text;
    double t;
};

// The lines of consecutive reads, each with the time of the read that completed it; a line still
// open after the last read is kept as it is.
class TimedLines {
  public:
    void add(std::string_view bytes, double t) {
        split_.add(bytes, [&](std::string text) { lines_.push_back({std::move(text), t}); });
        last_t_ = t;
    }
    std::vector<Line> take() {
        if (std::string rest = split_.take_open(); !rest.empty()) {
            lines_.push_back({std::move(rest), last_t_});
        }
        return std::move(lines_);
    }

  private:
    client::LineSplitter split_;
    double last_t_ = 0;
    std::vector<Line> lines_;
};

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) {
        out += (out.empty() ? "" : " | ") + client::escape_bytes(l);
    }
    return out;
}
std::string joined(const std::vector<Line>& lines) {
    std::vector<std::string> texts;
    for (const Line& l : lines) {
        texts.push_back(l.text);
    }
    return joined(texts);
}

class Timeline {
  public:
    explicit Timeline(const std::vector<Record>& records) : r_(records) {}

    void group(const Group& g) {
        const Record& first = r_[g.begin];
        std::size_t i = g.begin;
        if (g.type == Group::Type::kRequest) {
            heading(first.t,
                    "request " + std::to_string(first.num("id")) + " " +
                        std::string(msg::msg_name(static_cast<std::uint32_t>(first.num("id")))));
            const std::string& m = first.str("m");
            if (m.size() > msg::kIdSize) {
                std::string payload = m.substr(msg::kIdSize);
                payload.erase(payload.find_last_not_of('\0') + 1);
                line("payload " + quote_bytes(payload) + " (" +
                     std::to_string(m.size() - msg::kIdSize) + " bytes)");
            }
            ++i;
        } else if (g.type == Group::Type::kBetween) {
            heading(first.t, "between requests");
        } else if (first.kind == Kind::kTrace) {
            heading(first.t, "start-up (" + head_text(first) + ")");
            ++i;
        } else {
            heading(first.t, "start-up");
        }
        bool done = false;
        for (; i < g.end; ++i) {
            done = record(g, i) || done;
        }
        flush_loose();
        flush_rows();
        if (g.type == Group::Type::kRequest && !done) {
            line("(not finished in the trace: no idle before the next request or the end)");
        }
    }

    std::string take() { return std::move(out_); }

  private:
    void heading(double t, const std::string& text) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%11.6f  ", t);
        out_ += buf + text + "\n";
    }
    void line(const std::string& text) { out_ += std::string(kIndent) + text + "\n"; }
    void note(const std::string& text) { line("  (" + text + ")"); }

    // Shows record `i`; true when it ends the request.
    bool record(const Group& g, std::size_t i) {
        const Record& rec = r_[i];
        if (consumed_.count(i) != 0) {
            return false;
        }
        if (rec.kind == Kind::kRx) {
            loose_.add(rec.str("b"), rec.t);
            return false;
        }
        flush_loose();
        if (rec.kind != Kind::kRow && rec.kind != Kind::kSql) {
            flush_rows();
        }
        switch (rec.kind) {
            case Kind::kTrace:
                line("trace head (" + head_text(rec) + ")");
                break;
            case Kind::kPreset: {
                const Value* v = rec.find("v");
                line(
                    "preset " + client::escape_bytes(rec.str("n")) +
                    (v->type == Value::Type::kNull ? " not stored" : " = " + quote_bytes(v->text)));
                break;
            }
            case Kind::kCfg:
                line("cfg " + std::to_string(rec.num("id")) + " = " + quote_bytes(rec.str("v")) +
                     " (rc " + std::to_string(rec.num("rc")) + ")");
                break;
            case Kind::kReq:  // a request opens its own group
            case Kind::kRx:   // gathered above
                break;
            case Kind::kCmd:
                command(g, i);
                break;
            case Kind::kTx:
                line("sent " + quote_bytes(rec.str("b")));
                break;
            case Kind::kAns:
                line("answer without command: " + joined(client::split_lines(rec.str("a"))));
                break;
            case Kind::kRead:
                line("read " + client::escape_bytes(rec.str("n")) + " = " +
                     quote_bytes(rec.str("v")) + " (rc " + std::to_string(rec.num("rc")) + ")");
                break;
            case Kind::kWrite:
                line("write " + client::escape_bytes(rec.str("n")) + " = " +
                     quote_bytes(rec.str("v")));
                break;
            case Kind::kSave:
                line("save");
                break;
            case Kind::kNotify:
                line("notify " + client::describe_notification(rec.str("b")));
                break;
            case Kind::kLed:
                line("led " + std::to_string(rec.num("p")) +
                     " charging=" + std::to_string(rec.num("c")));
                break;
            case Kind::kPwm:
                line("pwm " + client::escape_bytes(rec.str("r")) +
                     (rec.find("rc") != nullptr ? " rc=" + std::to_string(rec.num("rc")) : "") +
                     (rec.find("v") != nullptr ? " v=" + std::to_string(rec.num("v")) : ""));
                break;
            case Kind::kRow:
                rows_.push_back(&rec);
                break;
            case Kind::kSql:
                line("sql " + quote_bytes(rec.str("q")) + " rc=" + std::to_string(rec.num("rc")) +
                     ", " + std::to_string(rows_.size()) + (rows_.size() == 1 ? " row" : " rows"));
                flush_rows();
                break;
            case Kind::kSleep: {
                const Value* s = rec.find("s");
                line("sleep " +
                     (s->type == Value::Type::kInt ? std::to_string(s->integer) : s->text) + " s");
                break;
            }
            case Kind::kIdle:
                if (g.type == Group::Type::kRequest) {
                    line("done after " + milliseconds(rec.t - r_[g.begin].t));
                    return true;
                }
                line("idle");
                break;
        }
        return false;
    }

    // The command at `i`, its bytes on the line up to the channel's answer, and lines read after
    // the answer up to the next command.
    void command(const Group& g, std::size_t i) {
        const Record& cmd = r_[i];
        const std::string& c = cmd.str("c");
        double start = cmd.t;
        bool sent = false;
        const Record* ans = nullptr;
        TimedLines before;
        TimedLines after;
        for (std::size_t j = i + 1; j < g.end && r_[j].kind != Kind::kCmd; ++j) {
            const Record& rec = r_[j];
            if (rec.kind == Kind::kTx && ans == nullptr) {
                start = sent ? start : rec.t;
                sent = true;
            } else if (rec.kind == Kind::kRx) {
                (ans == nullptr ? before : after).add(rec.str("b"), rec.t);
            } else if (rec.kind == Kind::kAns && ans == nullptr) {
                ans = &rec;
            } else {
                continue;
            }
            consumed_.insert(j);
        }
        std::vector<Line> read = before.take();
        std::erase_if(read, [&c](const Line& l) { return l.text == c; });  // the echo
        if (ans == nullptr) {
            line(client::escape_bytes(c) + "  -> no answer in the trace");
            lines_note("read", read);
            return;
        }
        const std::vector<std::string> delivered = client::split_lines(ans->str("a"));
        const std::set<std::string> in_answer(delivered.begin(), delivered.end());
        std::vector<std::string> answer;
        std::vector<Line> other;
        double end = ans->t;
        for (Line& l : read) {
            if (in_answer.count(l.text) != 0) {
                answer.push_back(l.text);
                end = l.t;
            } else {
                other.push_back(std::move(l));
            }
        }
        if (answer.empty()) {  // none of the answer's lines is among those read
            answer = delivered;
        }
        const std::int64_t outcome = ans->num("o");
        if (outcome == 0) {
            line(client::escape_bytes(c) + "  -> " + milliseconds(end - start) + "  " +
                 joined(answer));
            lines_note("unsolicited before the answer", other);
        } else if (outcome == 1) {
            line(client::escape_bytes(c) + "  -> timeout after " + milliseconds(ans->t - start) +
                 " (wait " + std::to_string(cmd.num("w")) + " ms)" +
                 (answer.empty() ? "" : "  " + joined(answer)));
            lines_note("read before the timeout", other);
        } else {
            line(client::escape_bytes(c) + "  -> " +
                 (outcome == 2 ? std::string("no port") : "outcome " + std::to_string(outcome)));
        }
        lines_note("late, after the answer", after.take());
    }

    void lines_note(const std::string& what, const std::vector<Line>& lines) {
        if (!lines.empty()) {
            note(what + ": " + joined(lines));
        }
    }

    // Lines read outside any command.
    void flush_loose() {
        if (const std::vector<Line> lines = loose_.take(); !lines.empty()) {
            line("modem sent: " + joined(lines));
        }
    }

    void flush_rows() {
        for (const Record* row : rows_) {
            std::string text;
            for (const std::optional<std::string>& cell : row->find("v")->row) {
                text += (text.empty() ? "" : " | ") + (cell ? quote_bytes(*cell) : "null");
            }
            line("  row " + text);
        }
        rows_.clear();
    }

    const std::vector<Record>& r_;
    std::string out_;
    std::set<std::size_t> consumed_;
    TimedLines loose_;
    std::vector<const Record*> rows_;
};

}  // namespace

std::string show(const std::vector<Record>& records, const ShowOptions& options) {
    Timeline timeline(records);
    bool any = false;
    for (const Group& g : group_requests(records)) {
        const Record& first = records[g.begin];
        if (options.id && (g.type != Group::Type::kRequest || first.kind != Kind::kReq ||
                           first.num("id") != static_cast<std::int64_t>(*options.id))) {
            continue;
        }
        if (records[g.end - 1].t < options.from || first.t > options.to) {
            continue;
        }
        timeline.group(g);
        any = true;
    }
    std::string out = timeline.take();
    return any ? out : "(nothing in the trace matches)\n";
}

}  // namespace orv::trace
