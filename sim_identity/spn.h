// The service provider name request: EF_SPN read from the SIM and published as UCS-2 hexadecimal
// text with its two display-condition flags.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv::sim_identity {

inline constexpr std::size_t kSpnDigitsSize = 40;  // name digits as scanned, with terminator
inline constexpr std::size_t kSpnNameSize = 80;    // UCS-2 hexadecimal name, with terminator

// Handler of ORV_MDM_GET_SIM_SPN (14); the payload is not read. Writes "spn_name_data",
// "spn_b1_flag" and "spn_b2_flag". Returns 0 when they were written, -1 when the request ended
// early (the values then keep what they held).
std::int32_t orv_quorl_mdm_get_spn(const unsigned char* payload);

// Widens hexadecimal byte text (pairs XY) to UCS-2 hexadecimal text (00XY per pair) after what
// `name` already holds; `name` must be zero-filled beforehand. A lone last digit is dropped, and
// the name is cut at the last whole character that fits with its terminator.
void orv_spn_asc_to_ucs2(const char (&digits)[kSpnDigitsSize], char (&name)[kSpnNameSize]);

// Writes "spn_b1_flag" and "spn_b2_flag" from the low digit of the display-condition byte (a
// hexadecimal digit character; any other character counts as 0).
void orv_set_sim_spn_display_flag(char display_digit);

}  // namespace orv::sim_identity
