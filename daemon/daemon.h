// Process start-up, the receive loop and the modem bring-up.
#pragma once

#include <cstdint>

namespace orv::daemon {

// Language auto-selection flag, read once at start-up from factory item 2301; non-zero means the
// interface language follows a newly inserted SIM.
extern std::uint8_t orv_auto_set_language;

void orv_get_auto_set_language_cfg();

// Brings the modem up with msg::kBringUpCommands (wire/bringup.h).
void orv_send_cfun();

// One turn of the receive loop: clear the buffer, receive one message, log it, dispatch it.
void orv_quorl_mdm_receive_turn(int handle);

// Start-up and the receive loop. Returns -1 only when the request socket cannot be created.
int orv_quorl_mdm_run();

}  // namespace orv::daemon
