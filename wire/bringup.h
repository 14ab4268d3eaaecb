// The commands the daemon sends the modem when it starts, in order, before it serves a request;
// defined once for the daemon and for the tools that run it against the virtual modem.
#pragma once

#include <array>
#include <string_view>

namespace orv::msg {

// Modem type, radio on (retried once after a timeout), verbose error texts. An "ERROR" to one
// lets the sequence go on; a timeout (or no port) ends it.
inline constexpr std::array<std::string_view, 3> kBringUpCommands = {"AT+EGTYPE=2", "AT+CFUN=1",
                                                                     "AT+CMEE=2"};

}  // namespace orv::msg
