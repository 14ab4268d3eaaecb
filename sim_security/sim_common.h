// The vocabulary of the SIM-security handlers: answer tables, answer readers, the check of a code
// before it goes into a command, and the small helpers every handler file uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/at_exchange.h"
#include "core/lookup.h"
#include "platform/orv_nvram.h"
#include "wire/mdm_msg.h"

namespace orv::sim_security {

using StateRow = Row<std::string_view, std::string_view>;
using LockKindRow = Row<std::string_view, std::int32_t>;
using FacilityRow = Row<std::int32_t, std::string_view>;

// "+CPIN:" answer lines to the state text sent to the controller.
inline constexpr std::array<StateRow, 13> cpin_state_table{{
    {"+CPIN: READY", "READY"},
    {"+CPIN: SIM PIN", "SIM PIN"},
    {"+CPIN: SIM PUK", "SIM PUK"},
    {"+CPIN: PH-NET PIN", "SIM LOCK"},
    {"+CPIN: PH-NETSUB PIN", "SIM LOCK"},
    {"+CPIN: PH-SP PIN", "SIM LOCK"},
    {"+CPIN: PH-CORP PIN", "SIM LOCK"},
    {"+CPIN: PH-FSIM PIN", "SIM LOCK"},
    {"+CPIN: PH-NET PUK", "SML BLOCK"},
    {"+CPIN: PH-NETSUB PUK", "SML BLOCK"},
    {"+CPIN: PH-SP PUK", "SML BLOCK"},
    {"+CPIN: PH-CORP PUK", "SML BLOCK"},
    {"+CPIN: PH-FSIM PUK", "SML BLOCK"},
}};

// "+CME ERROR:" answer lines to the state text, for the state query and the PIN operations.
inline constexpr std::array<StateRow, 8> cme_state_table{{
    {"+CME ERROR: SIM not inserted", "SIM failure"},
    {"+CME ERROR: SIM failure", "SIM failure"},
    {"+CME ERROR: SIM wrong", "SIM PERM BLOCKED"},
    {"+CME ERROR: incorrect password", "incorrect password"},
    {"+CME ERROR: SIM busy", "SIM busy"},
    {"+CME ERROR: SIM invalid - PUK blocked", "SIM PERM BLOCKED"},
    {"+CME ERROR: SIM PUK required", "SIM PUK"},
    {"+CME ERROR: operation not allowed", "SIM failure"},
}};

// "+CPIN: PH-" answer lines to the personalisation lock kind: 1 to 5 waiting for the control key,
// 41 to 45 the same kinds blocked and waiting for the unblocking key.
inline constexpr std::array<LockKindRow, 10> lock_type_table{{
    {"+CPIN: PH-NET PIN", 1},
    {"+CPIN: PH-NETSUB PIN", 2},
    {"+CPIN: PH-SP PIN", 3},
    {"+CPIN: PH-CORP PIN", 4},
    {"+CPIN: PH-FSIM PIN", 5},
    {"+CPIN: PH-NET PUK", 41},
    {"+CPIN: PH-NETSUB PUK", 42},
    {"+CPIN: PH-SP PUK", 43},
    {"+CPIN: PH-CORP PUK", 44},
    {"+CPIN: PH-FSIM PUK", 45},
}};

// Lock kind to the command that removes the lock, before the code. Every kind not listed (none
// seen yet, or a blocked kind) uses the network facility.
inline constexpr std::string_view kNetworkUnlockCommand = "AT+CLCK=\"PN\",0,\"";
inline constexpr std::array<FacilityRow, 5> unlock_facility_table{{
    {1, kNetworkUnlockCommand},
    {2, "AT+CLCK=\"PU\",0,\""},
    {3, "AT+CLCK=\"PP\",0,\""},
    {4, "AT+CLCK=\"PC\",0,\""},
    {5, "AT+CLCK=\"PS\",0,\""},
}};

// Size of a handler's state-text buffer: the controller's state-text field.
inline constexpr std::size_t kStateTextSize = msg::notify::kStateTextSize;

// A counter text of "+EPINC" or "+ESMLCK" holds at most this many characters.
inline constexpr std::size_t kCounterMax = 4;

// PIN1 and PUK1 of a "+EPINC" line, as views into the line.
struct PinPukCounters {
    std::string_view pin;
    std::string_view puk;
};

// "+EPINC: 3, 3, 10, 10" (PIN1, PIN2, PUK1, PUK2) -> {"3", "10"}. The PIN counter lies between
// the first blank and the next comma; the PUK counter starts two places after the second comma
// and ends at the third. Without the blank after each comma the PUK counter loses its first
// character ("+EPINC: 3,3,10,10" -> {"3", "0"}), as the modem's layout defines. Nothing for a
// line without the blank or one of the three commas, or with a counter longer than 4.
std::optional<PinPukCounters> read_epinc(std::string_view line);

enum class LockGroup { Network, NetworkSubset };

// A lock group of "+ESMLCK: (0,1,5,10),(1,0,5,10),(2,...)": the first one runs from after the
// first blank to the first ",(" ("(0,1,5,10)"), the second from the "(" after that ",(" to the
// next ",(". Nothing when a blank or ",(" is missing or the group is longer than 29 characters.
std::optional<std::string_view> read_lock_group(std::string_view line, LockGroup which);

// Whether the group's lock is on: its fourth character is "1" ("(0,1,5,10)").
bool lock_group_is_on(std::string_view group);

// The unlock attempts left of a group: from its sixth character up to the next comma
// ("(0,1,5,10)" -> "5"). Nothing without that comma or for a count longer than 4.
std::optional<std::string_view> read_lock_group_count(std::string_view group);

// Checks a code the user typed before it goes between the double quotes of a command with
// `frame` characters around it: it must fit the command buffer, and hold no double quote and no
// control character (CR, LF, any byte below 0x20, and 0x7F), which could end the quoted text or
// the command line early. A refused code is logged at error level under the name `what`.
bool code_fits_command(std::string_view code, std::size_t frame, const char* what);

// How a PIN operation's answer ends (PIN entry, PIN change, PIN lock on or off).
enum class PinAnswer {
    Accepted,  // "OK": the state text is "READY"
    Refused,   // a line beginning "+CM": the state text of its cme_state_table row, or empty
    Ended,     // "ERROR" (logged) or any other line: the request ends
};

// Judges the first answer line of a PIN operation and fills `state` with the state text for the
// controller. The state text of a refusal is logged as "resPara is %s\n" at `state_log_level`.
PinAnswer judge_pin_answer(const core::AtExchange& ex, int state_log_level,
                           char (&state)[kStateTextSize]);

// The text of a payload field, never read past the payload the receive buffer guarantees.
inline std::string_view payload_text(const unsigned char* payload, msg::TextField field) {
    return {reinterpret_cast<const char*>(payload) + field.offset,
            msg::text_length(payload, msg::kMaxPayload, field)};
}

// Writes a parameter-store value with its text length and no terminator.
inline void store_text(const char* name, std::string_view value) {
    orv_nvconfig_write(name, value.data(), static_cast<int>(value.size()));
}

}  // namespace orv::sim_security
