// The replay mode of the virtual modem: instead of interpreting commands, it plays back the line
// of a recorded session (a field trace, docs/traces.md) byte for byte. Each command line the
// daemon sends must be the next one recorded; the bytes the modem sent after it go out at the
// recorded pace relative to it. Reading the trace and the playback are here; the line (line.h)
// carries the bytes.
#pragma once

#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/modem_sim/control.h"
#include "tools/modem_sim/line.h"
#include "tools/trace/trace.h"

namespace orv::modem_sim {

// One step of a recorded conversation: a command line the daemon sent (without its line end),
// which playback waits for, or bytes the modem sent; each with its time in the trace (seconds).
struct ReplayStep {
    bool command = false;
    std::string bytes;
    double t = 0;
    // Bytes that came after the daemon had given up waiting for its command's answer: they keep
    // their recorded time even with --fast, or they would become an answer in time.
    bool late = false;
    // The line was lost at this point (the channel reported no port): the modem drops its line
    // here, and the daemon finds it again at its next command.
    bool hangup = false;

    bool operator==(const ReplayStep&) const = default;
};

// A trace that cannot be read: "FILE:LINE: what".
struct TraceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The script of a trace (read by the one trace reader, tools/trace/trace.h): its tx bytes cut
// into command lines (CR or LF ends one) and its rx bytes, in order. A command recorded without
// raw bytes (a cmd and its ans with no tx or rx between them) stands in as its command text, and
// its answer text when the outcome was an answer. Other kinds are skipped. load_script throws
// TraceError with the reader's "FILE:LINE: what".
std::vector<ReplayStep> script_of(const std::vector<trace::Record>& records);
std::vector<ReplayStep> load_script(const std::string& path);

class Replay {
  public:
    // With `fast`, no step waits for its time, only for its turn (late bytes excepted). With
    // `hold`, every command is answered OK and nothing is played until play(): a trace that
    // begins mid-session holds no start-up for the daemon's.
    Replay(std::vector<ReplayStep> script, bool fast, bool hold = false)
        : script_(std::move(script)), fast_(fast), holding_(hold) {}

    // Ends the holding: the script plays from `now`, its first step at once.
    void play(Clock::time_point now);

    // Starts the playback: rx bytes recorded before the first command go out at their recorded
    // offsets from `start`.
    void begin(Clock::time_point start) {
        anchor_ = start;
        begun_ = true;
    }
    bool begun() const { return begun_; }

    // A command line arrived from the daemon at `at`.
    void heard(std::string line, Clock::time_point at) { heard_.push_back({std::move(line), at}); }
    // Plays what is due at `now`: bytes go to `send`; a command heard that is not the one
    // recorded next is dropped with a line for `complain`.
    void run(Clock::time_point now, const std::function<void(std::string_view)>& send,
             const std::function<void(const std::string&)>& complain,
             const std::function<void()>& hang_up);
    // When the next bytes are due; nothing before begin(), while the playback waits for a command
    // or when it is over.
    std::optional<Clock::time_point> next_due() const;
    // "played: N of M steps" and what comes next, for the control command state.
    std::string state_text() const;

  private:
    std::vector<ReplayStep> script_;
    std::size_t next_ = 0;
    bool fast_;
    bool holding_;
    bool begun_ = false;
    Clock::time_point anchor_;  // when the last command matched (or the start) ...
    double anchor_t_ = 0;       // ... and its time in the trace
    std::deque<std::pair<std::string, Clock::time_point>> heard_;
};

// The control commands the replay mode takes: urc, hangup, play, state, help, quit.
ControlResult replay_control(Replay& replay, std::string_view line);

}  // namespace orv::modem_sim
