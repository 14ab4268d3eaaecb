#include "tools/modem_sim/replay.h"

#include <cstdio>

namespace orv::modem_sim {

namespace {

namespace field = trace_format::field;
using trace::Kind;

constexpr std::string_view kReplayHelp =
    "commands (replay mode):\n"
    "  urc <line>\n"
    "  hangup\n"
    "  play\n"
    "  state\n"
    "  quit\n";

}  // namespace

std::vector<ReplayStep> script_of(const std::vector<trace::Record>& records) {
    std::vector<ReplayStep> script;
    client::LineSplitter tx;        // the command lines of the tx bytes
    std::optional<ReplayStep> cmd;  // a cmd record with no tx or rx after it so far
    bool timed_out = false;         // the last answer was a timeout, no command since
    for (const trace::Record& r : records) {
        const double t = r.t;
        if (r.kind == Kind::kTx || r.kind == Kind::kRx) {
            const std::string& bytes = r.str(field::kBytes);
            cmd.reset();
            if (r.kind == Kind::kRx) {
                script.push_back({false, bytes, t, timed_out});
                continue;
            }
            timed_out = false;
            tx.add(bytes, [&](std::string line) { script.push_back({true, std::move(line), t}); });
        } else if (r.kind == Kind::kCmd) {
            // An answer owed from before may still come while the channel holds the next
            // command back, so only a written command ends the lateness.
            cmd = ReplayStep{true, r.str(field::kCommand), t};
        } else if (r.kind == Kind::kAns) {
            const std::int64_t outcome = r.num(field::kOutcome);
            if (outcome < 0 || outcome > 2) {
                throw TraceError("trace line " + std::to_string(r.line) +
                                 ": outcome 'o' is not 0, 1 or 2");
            }
            timed_out = outcome == 1;
            // No raw bytes for this command: its text and delivered answer stand in.
            if (cmd) {
                script.push_back(*std::move(cmd));
                if (outcome == 0 && !r.str(field::kAnswer).empty()) {
                    script.push_back({false, r.str(field::kAnswer), t});
                }
                cmd.reset();
            }
            if (outcome == 2) {  // the line was lost
                script.push_back({.t = t, .hangup = true});
            }
        }
    }
    return script;
}

std::vector<ReplayStep> load_script(const std::string& path) {
    std::vector<trace::Record> records;
    std::string error;
    if (!trace::read_trace(path, records, error)) {
        throw TraceError(error);
    }
    return script_of(records);
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
            complain("got command " + client::escape_bytes(line) + ", the trace holds " +
                     client::escape_bytes(step.bytes) + " next");
            continue;
        }
        // What the modem sent after this command keeps its recorded distance from it.
        anchor_ = at;
        anchor_t_ = step.t;
        ++next_;
    }
    for (const auto& heard : heard_) {
        complain("got command " + client::escape_bytes(heard.first) +
                 ", the trace holds nothing more");
    }
    heard_.clear();
}

std::string Replay::state_text() const {
    const std::string next = next_ == script_.size() ? "nothing"
                             : script_[next_].command
                                 ? "command " + client::escape_bytes(script_[next_].bytes)
                                 : "bytes " + client::escape_bytes(script_[next_].bytes);
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
    } else if (words.size() == 1 && (verb == "state" || verb == "help")) {
        r.reply = verb == "state" ? replay.state_text() : std::string(kReplayHelp);
    } else if (words.size() == 1 && verb == "play") {
        replay.play(Clock::now());
    } else if (words.size() == 1 && (verb == "hangup" || verb == "quit")) {
        r.hangup = verb == "hangup";
        r.quit = verb == "quit";
    } else {
        r.reply = "error: a replaying modem takes urc <line>, hangup, play, state, help and quit\n";
    }
    return r;
}

}  // namespace orv::modem_sim
