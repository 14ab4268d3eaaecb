// The run-time control of the virtual modem: its language (one text line per command), the Unix
// socket that serves it (--control), and the client that sends one command (`orv_modem_sim ctl`).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/modem_sim/interpreter.h"
#include "tools/modem_sim/line.h"

namespace orv::modem_sim {

// Quotes one word so that tokenize() gives it back unchanged.
std::string quote_word(std::string_view word);

// What a control command asks of the line around the modem.
struct ControlResult {
    std::string reply = "ok\n";      // text sent back to the controller; "error: ..." on failure
    bool hangup = false;             // drop the line now
    bool quit = false;               // end the program
    std::optional<std::string> urc;  // an unsolicited line to send now
};

// Runs one control line on the modem and on how its bytes go on the wire.
ControlResult run_control(ModemSim& sim, WireFormat& wire, std::string_view line);

// The control socket: one command per connection, read, acted on, answered, closed.
class ControlServer {
  public:
    explicit ControlServer(std::string path);  // std::runtime_error when it cannot listen
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    int fd() const { return fd_; }
    // Serves one waiting connection: `act` turns its command line into the reply.
    void serve(const std::function<std::string(const std::string&)>& act);

  private:
    std::string path_;
    int fd_ = -1;
};

// `orv_modem_sim ctl SOCKET WORDS...`: sends one command and prints the reply. Returns the exit
// status: 0 on success, 1 on an "error:" reply, 2 when the socket cannot be reached.
int control_client(int argc, char** argv);

}  // namespace orv::modem_sim
