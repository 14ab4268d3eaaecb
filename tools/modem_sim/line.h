// The line between the virtual modem and the daemon: a pseudo-terminal or one TCP client. Bytes
// come in as command lines; bytes go out as the modem's own (its line end, NUL noise), in the
// order they were sent, each when it is due, in pieces when asked (as serial ports deliver
// them), with an unsolicited report on a timer when asked, and timed reports at the start of the
// answers.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/client/orv_client.h"

#include "tools/modem_sim/profile.h"

namespace orv::modem_sim {

using Clock = std::chrono::steady_clock;

// How the modem's bytes look on the wire.
struct WireFormat {
    LineEnd end = LineEnd::CrLf;
    int nul_every = 0;  // a NUL byte after every this many bytes; 0: none

    // CR LF line ends turned into the modem's own, and NUL noise put in.
    std::string encode(std::string_view bytes) const;
};

struct LineOptions {
    bool pty = false;
    std::string link;         // with a pty: a symbolic link to it, kept across hangups
    std::string listen;       // otherwise tcp:HOST:PORT
    std::size_t chunk = 0;    // bytes per write; 0: whole answers
    int report_every_ms = 0;  // the report timer; 0: off
    std::string report;       // the line it sends
    bool verbose = false;
};

// Makes the folder of `path` and takes the path for a --link (a pseudo-terminal link) or a
// --control socket: nothing there, or a stale one of a virtual modem that has gone (a link to a
// pseudo-terminal that no longer exists, a socket nobody listens on), which is removed. Anything
// else, a running virtual modem's included, is refused (std::runtime_error naming what is in the
// way).
void claim_path(const std::string& path, bool socket);

// A Unix stream socket at `path`: bound and listening (server), or connected to it; -1 with
// errno set when it cannot be had.
int unix_socket(const std::string& path, bool server);

class Line {
  public:
    Line(LineOptions options, WireFormat format) : wire(format), opts_(std::move(options)) {}
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    WireFormat wire;  // changed at run time by the control commands lineend and noise

    // Opens the pty or the listening socket and prints its name (std::runtime_error if not).
    void start();
    // What to wait on: incoming bytes, and a client waiting to be accepted (-1: nothing).
    int data_fd() const { return opts_.pty ? master_fd_ : client_fd_; }
    int accept_fd() const { return !opts_.pty && client_fd_ < 0 ? listen_fd_ : -1; }
    void accept_client();
    // Reads what has come and returns the command lines it completes: CR, LF and CR LF all end a
    // line, empty lines are dropped, the bytes of an unfinished line are kept for the next read.
    std::vector<std::string> receive();
    // Sends bytes (or drops the line, with hangup) delay_ms from now, and after everything sent
    // before.
    void send(std::string_view bytes, int delay_ms = 0, bool hangup = false);
    // Sends an answer as send() does, with the timed reports due by the time it leaves at its start
    // (after the echo); then holds the reports `later` brings, timed from it (after_ms 0: right
    // after it, in the same write).
    void send_answer(std::string bytes, int delay_ms, const Burst& later);
    void send_report(const std::string& line) { send("\r\n" + line + "\r\n"); }
    // Drops the line now, and what waits to go out: a new pty takes the old one's place (and
    // its link), or the TCP client is disconnected.
    void hangup();
    // When the next bytes or report are due; nothing when nothing waits.
    std::optional<Clock::time_point> next_due() const;
    // Sends the report when its time has come, and the bytes that are due.
    void run_due();

  private:
    // Bytes waiting to go out, with the time they may leave.
    struct Outgoing {
        Clock::time_point due;
        std::string bytes;
        bool hangup = false;
        Clock::time_point stuck_since{};  // when the line first took none of these bytes
    };

    void open_pty();
    void open_listener();
    void close_line();
    void lost();
    Clock::time_point due_in(int delay_ms) const;
    void log(const char* what, std::string_view bytes = {}) const;

    LineOptions opts_;
    bool linked_ = false;  // the --link path is ours to remove at exit
    int master_fd_ = -1;
    int slave_fd_ = -1;
    int listen_fd_ = -1;
    int client_fd_ = -1;
    client::LineSplitter pending_{4096};  // the unfinished command line, cut at 4096 bytes
    std::deque<Outgoing> out_;
    std::multimap<Clock::time_point, std::string> held_;  // timed reports, framed, by due time
    Clock::time_point next_report_;
};

}  // namespace orv::modem_sim
