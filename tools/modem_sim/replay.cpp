#include "tools/modem_sim/replay.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

namespace orv::modem_sim {

namespace {

// One value of a record. Strings and numbers are kept; null, true, false and arrays are read
// and dropped (no kind this mode plays carries them).
struct Value {
    enum Kind { Other, String, Number } kind = Other;
    std::string text;
    double number = 0;
};

using Record = std::map<std::string, Value, std::less<>>;

// Reads one trace line: a flat JSON object whose strings are byte strings (\u00XX is one byte).
// Throws std::invalid_argument saying what is wrong.
class RecordParser {
  public:
    explicit RecordParser(std::string_view text) : s_(text) {}

    Record record() {
        Record r;
        expect('{');
        for (bool first = true; !next_is('}'); first = false) {
            if (!first) {
                expect(',');
            }
            std::string key = string();
            expect(':');
            r[std::move(key)] = value();
        }
        blanks();
        fail_if(at_ < s_.size(), "text after the record");
        return r;
    }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::invalid_argument(what + " at column " + std::to_string(at_ + 1));
    }
    void fail_if(bool bad, const std::string& what) const {
        if (bad) {
            fail(what);
        }
    }
    void blanks() {
        while (at_ < s_.size() && std::strchr(" \t\r", s_[at_]) != nullptr) {
            ++at_;
        }
    }
    bool next_is(char c) {
        blanks();
        const bool is = at_ < s_.size() && s_[at_] == c;
        at_ += is ? 1 : 0;
        return is;
    }
    void expect(char c) { fail_if(!next_is(c), std::string("expected '") + c + "'"); }

    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            fail_if(at_ >= s_.size(), "unterminated string");
            const char c = s_[at_++];
            if (c == '"') {
                return out;
            }
            fail_if(static_cast<unsigned char>(c) < 0x20, "control byte in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            fail_if(at_ >= s_.size(), "unterminated string");
            const char e = s_[at_++];
            const char* plain = std::strchr("\"\\/bfnrt", e);
            if (e != '\0' && plain != nullptr) {
                out += "\"\\/\b\f\n\r\t"[plain - "\"\\/bfnrt"];
                continue;
            }
            unsigned code = 0;
            const char* digits = s_.data() + at_;
            fail_if(e != 'u' || s_.size() - at_ < 4 ||
                        std::from_chars(digits, digits + 4, code, 16).ptr != digits + 4,
                    "bad escape");
            fail_if(code > 0xFF, "\\u escape above 00FF (not a byte)");
            out += static_cast<char>(code);
            at_ += 4;
        }
    }

    Value value() {
        blanks();
        fail_if(at_ >= s_.size(), "missing value");
        const char c = s_[at_];
        if (c == '"') {
            return {Value::String, string()};
        }
        if (c == '[') {
            ++at_;
            for (bool first = true; !next_is(']'); first = false) {
                if (!first) {
                    expect(',');
                }
                value();
            }
            return {};
        }
        for (const std::string_view word : {"null", "true", "false"}) {
            if (s_.substr(at_).starts_with(word)) {
                at_ += word.size();
                return {};
            }
        }
        // A JSON number: a sign only in front, no inf, nan or hex.
        const std::size_t end = std::min(s_.find_first_not_of("+-.0123456789eE", at_), s_.size());
        double n = 0;
        const auto [ptr, ec] = std::from_chars(s_.data() + at_, s_.data() + end, n);
        fail_if(c == '+' || ec != std::errc() || ptr != s_.data() + end, "bad value");
        at_ = end;
        return {Value::Number, {}, n};
    }

    std::string_view s_;
    std::size_t at_ = 0;
};

// The field `name` of the kind asked for; missing or of another kind: invalid_argument.
const Value& field(const Record& r, std::string_view name, Value::Kind kind) {
    const auto it = r.find(name);
    if (it == r.end() || it->second.kind != kind) {
        throw std::invalid_argument("'" + std::string(name) + "' missing or not a " +
                                    (kind == Value::String ? "string" : "number"));
    }
    return it->second;
}

constexpr std::string_view kReplayHelp =
    "commands (replay mode):\n"
    "  urc <line>\n"
    "  hangup\n"
    "  play\n"
    "  state\n"
    "  quit\n";

}  // namespace

std::vector<ReplayStep> read_trace(std::istream& in, const std::string& name) {
    std::vector<ReplayStep> script;
    std::string tx;                 // tx bytes of a command line not ended yet
    std::optional<ReplayStep> cmd;  // a cmd record with no tx or rx after it so far
    bool timed_out = false;         // the last answer was a timeout, no command since
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        if (text.empty()) {
            continue;
        }
        try {
            const Record r = RecordParser(text).record();
            const std::string& k = field(r, "k", Value::String).text;
            const double t = field(r, "t", Value::Number).number;
            if (k == "tx" || k == "rx") {
                const std::string& bytes = field(r, "b", Value::String).text;
                cmd.reset();
                if (k == "rx") {
                    script.push_back({false, bytes, t, timed_out});
                    continue;
                }
                timed_out = false;
                // The channel may write a command in pieces; CR or LF ends it, as on the line.
                for (const char c : bytes) {
                    if (c != '\r' && c != '\n') {
                        tx += c;
                    } else if (!tx.empty()) {
                        script.push_back({true, std::move(tx), t});
                        tx.clear();
                    }
                }
            } else if (k == "cmd") {
                // An answer owed from before may still come while the channel holds the next
                // command back, so only a written command ends the lateness.
                cmd = ReplayStep{true, field(r, "c", Value::String).text, t};
            } else if (k == "ans") {
                const double outcome = field(r, "o", Value::Number).number;
                const std::string& answer = field(r, "a", Value::String).text;
                if (outcome != 0 && outcome != 1 && outcome != 2) {
                    throw std::invalid_argument("outcome 'o' is not 0, 1 or 2");
                }
                timed_out = outcome == 1;
                const bool lost = outcome == 2;
                // No raw bytes for this command: its text and delivered answer stand in.
                if (cmd) {
                    script.push_back(*std::move(cmd));
                    if (outcome == 0 && !answer.empty()) {
                        script.push_back({false, answer, t});
                    }
                    cmd.reset();
                }
                if (lost) {
                    script.push_back({.t = t, .hangup = true});
                }
            }
        } catch (const std::invalid_argument& e) {
            throw TraceError(name + ":" + std::to_string(number) + ": " + e.what());
        }
    }
    return script;
}

std::vector<ReplayStep> load_trace(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw TraceError("cannot open trace " + path + ": " + std::strerror(errno));
    }
    return read_trace(in, path);
}

std::string escaped(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
        out += c >= 0x20 && c < 0x7F ? std::string(1, c) : hex;
    }
    return out;
}

void Replay::play(Clock::time_point now) {
    holding_ = false;
    anchor_ = now;
    anchor_t_ = script_.empty() ? 0 : script_.front().t;
}

std::optional<Clock::time_point> Replay::next_due() const {
    if (!begun_ || holding_ || next_ == script_.size() || script_[next_].command) {
        return std::nullopt;
    }
    if (fast_ && !script_[next_].late) {
        return anchor_;  // already past: at once
    }
    const std::chrono::duration<double> offset(script_[next_].t - anchor_t_);
    return anchor_ + std::chrono::duration_cast<Clock::duration>(offset);
}

void Replay::run(Clock::time_point now, const std::function<void(std::string_view)>& send,
                 const std::function<void(const std::string&)>& complain,
                 const std::function<void()>& hang_up) {
    if (holding_) {
        for (std::size_t i = 0; i < heard_.size(); ++i) {
            send("\r\nOK\r\n");
        }
        heard_.clear();
        return;
    }
    while (begun_ && next_ < script_.size()) {
        const ReplayStep& step = script_[next_];
        if (!step.command) {
            if (*next_due() > now) {
                return;
            }
            if (step.hangup) {
                hang_up();
            } else {
                send(step.bytes);
            }
            ++next_;
            continue;
        }
        if (heard_.empty()) {
            return;
        }
        const auto [line, at] = std::move(heard_.front());
        heard_.pop_front();
        if (line != step.bytes) {
            complain("got command " + escaped(line) + ", the trace holds " + escaped(step.bytes) +
                     " next");
            continue;
        }
        // What the modem sent after this command keeps its recorded distance from it.
        anchor_ = at;
        anchor_t_ = step.t;
        ++next_;
    }
    for (const auto& heard : heard_) {
        complain("got command " + escaped(heard.first) + ", the trace holds nothing more");
    }
    heard_.clear();
}

std::string Replay::state_text() const {
    const std::string next = next_ == script_.size()  ? "nothing"
                             : script_[next_].command ? "command " + escaped(script_[next_].bytes)
                                                      : "bytes " + escaped(script_[next_].bytes);
    return "played: " + std::to_string(next_) + " of " + std::to_string(script_.size()) +
           " steps\nnext: " + next + "\n";
}

ControlResult replay_control(Replay& replay, std::string_view line) {
    const auto words = tokenize(line).value_or(std::vector<std::string>{});
    const std::string verb = words.empty() ? "" : words[0];
    ControlResult r;
    if (verb == "urc" && words.size() > 1) {
        std::string text = words[1];
        for (std::size_t i = 2; i < words.size(); ++i) {
            text += " " + words[i];
        }
        r.urc = unescape(text);
    } else if (words.size() != 1) {
        r.reply = "error: a replaying modem takes urc <line>, hangup, play, state, help and quit\n";
    } else if (verb == "state" || verb == "help") {
        r.reply = verb == "state" ? replay.state_text() : std::string(kReplayHelp);
    } else if (verb == "play") {
        replay.play(Clock::now());
        r.reply = "ok\n";
    } else {
        r.hangup = verb == "hangup";
        r.quit = verb == "quit";
        if (!r.hangup && !r.quit) {
            r.reply =
                "error: a replaying modem takes urc <line>, hangup, play, state, help and quit\n";
        }
    }
    return r;
}

}  // namespace orv::modem_sim
