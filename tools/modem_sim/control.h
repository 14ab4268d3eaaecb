// The run-time control language of the virtual modem: one text line per command, as sent over
// its control socket or by `orv_modem_sim ctl`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/modem_sim/modem_sim.h"

namespace orv::modem_sim {

// Splits a control line into words. A word in double quotes may hold blanks; inside it \" and
// \\ stand for a quote and a backslash, and other escapes are kept for the answer text.
// Returns nothing for an unterminated quote.
std::optional<std::vector<std::string>> tokenize(std::string_view line);

// Quotes one word so that tokenize() gives it back unchanged.
std::string quote_word(std::string_view word);

// Reads the words after "script": <match> then actions (answer <text>, silent, hangup,
// delay <ms>) and an optional final count (a number, or "always"). Sets `error` on failure.
std::optional<ScriptRule> parse_script(const std::vector<std::string>& words, std::string& error);

// What a control command asks of the line around the modem.
struct ControlResult {
    std::string reply;              // text sent back to the controller
    bool ok = true;                 // false: reply starts with "error:"
    bool hangup = false;            // drop the line now
    bool quit = false;              // end the program
    std::vector<std::string> urcs;  // unsolicited lines to send now
};

ControlResult run_control(ModemSim& sim, std::string_view line);

}  // namespace orv::modem_sim
