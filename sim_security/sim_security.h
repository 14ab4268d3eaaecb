// SIM security: SIM state and PIN status, PIN and PUK entry, PIN change, PIN lock on and off,
// PIN and PUK attempts left, and the network (personalisation) lock with its attempts left.
//
// Each request handler takes a pointer to the request payload (the bytes after the message
// identifier) and returns a status that nobody reads. Results travel through the parameter store
// and the controller notifications only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::sim_security {

// Request 1: sends "AT+CPIN?\r\n" and echoes the answer; publishes nothing.
std::int32_t orv_quorl_mdm_get_uim_state(const unsigned char* payload);

// Requests 2 and 11: "AT+CPIN?" mapped to a state text for the controller, the lock kind kept
// for the network unlock, then the retry counters republished. Also a step of the PIN change,
// which calls it with a null payload.
std::int32_t orv_quorl_mdm_get_pin_status(const unsigned char* payload);

// Request 3: PIN entry, or PUK with a new PIN; "pin_code", counters, "pin_puk_at_wait" = "0" and
// the controller told the outcome.
std::int32_t orv_quorl_mdm_verify_pin_puk(const unsigned char* payload);

// Request 4: PIN change with "+CPWD".
std::int32_t orv_quorl_mdm_change_pin(const unsigned char* payload);

// Request 5: PIN lock off (0), on (1), or query only (2).
std::int32_t orv_quorl_mdm_pin_mode_operate(const unsigned char* payload);

// Request 6: "AT+EPINC" into the in-memory PIN and PUK counters; writes nothing to the store.
std::int32_t orv_quorl_mdm_get_pin_puk_times(const unsigned char* payload);

// Request 12: "AT+ESMLCK?", the network-unlock attempts left published as "unlock_nck_time".
std::int32_t orv_quorl_mdm_get_unlock_retries_times(const unsigned char* payload);

// Request 13: the network control key entered with "+CPIN", then the lock removed with "+CLCK".
std::int32_t orv_quorl_mdm_net_unlock(const unsigned char* payload);

// Steps shared between the requests above.

// Retry-counter refresh: "AT+EPINC", then "pinnumber" and "puknumber" written whatever the
// exchange gave (the counters of the last good answer, empty before the first).
void orv_quorl_mdm_refresh_pin_puk_numbers();

// Lock state read-back: "AT+CLCK=\"SC\",2" published as "pin_status" ("1", "0", or empty when the
// answer cannot be read).
std::int32_t orv_quorl_mdm_pin_mode_query();

// Enters the network control key with "+CPIN": 0 when the modem answered "OK", 1 otherwise.
std::int32_t orv_quorl_mdm_enter_unlock_code(const char* code);

// Module state read outside the file that owns it.

// The PIN that will be in force if the PIN operation under way succeeds: at most 10 characters
// and a terminator. Owned by the PIN entry, also filled by the PIN change and lock operations.
inline constexpr std::size_t kPinCodeSize = 11;
extern char mdm_pin_code[kPinCodeSize];

// Lock kind of the last "+CPIN: PH-..." answer of the PIN status query (0 before any): 1 to 5
// for the five personalisation locks waiting for their key, 41 to 45 for the same kinds blocked.
// Read by the network unlock to choose its facility.
extern std::int32_t mdm_lock_type;

}  // namespace orv::sim_security
