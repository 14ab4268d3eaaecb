// SIM identity: the ICCID (with detection of a newly inserted SIM), the IMSI, the own number, the
// home network and identities for the controller's access-point choice, and the O2 pay type.
//
// Each handler takes the request payload (not read by any of them) and returns a status that
// nobody reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace orv::sim_identity {

// Request 27: reads EF ICCID, publishes "sim_iccid", and when `auto_set_language` is non-zero
// (the language follows the SIM, a start-up setting) and the SIM is new, runs the language
// detection and remembers the ICCID in "iccid" (committed).
std::int32_t orv_quorl_mdm_get_iccid(const unsigned char* payload, std::uint8_t auto_set_language);

// Request 28: "AT+CIMI", published as "sim_imsi".
std::int32_t orv_quorl_mdm_get_imsi(const unsigned char* payload);

// Request 29: "AT+CNUM", the first number published as "msisdn".
std::int32_t orv_quorl_mdm_get_msisdn(const unsigned char* payload);

// Request 31: relays the home network, IMSI and ICCID to the controller.
std::int32_t orv_quorl_mdm_apn_read_sim_info(const unsigned char* payload);

// Request 32: O2 prepaid or contract flag, published as "sim_pay_type_o2".
std::int32_t orv_quorl_mdm_get_o2_sim_pay_type(const unsigned char* payload);

// Fallback of request 32: the pay type from the FDN bits of the SIM service table.
std::int32_t orv_quorl_mdm_get_o2_fdn();

// The ICCID of the last successful ICCID read since start-up (empty before the first); owned by
// the ICCID handler, read by the APN request.
inline constexpr std::size_t kSimIccidSize = 50;
std::string_view mdm_sim_iccid_text();

// The first answer line of the last IMSI request that stored one (empty before the first); owned
// by the IMSI handler, read by the APN request.
inline constexpr std::size_t kSimImsiSize = 250;
std::string_view mdm_sim_imsi_text();

// Pieces of the APN request, exposed for their tests.
inline constexpr std::size_t kApnTextSize = 32;

// Copies the kept ICCID (or IMSI) into `out`, cut to 31 characters: 1, or 0 when none is known.
int orv_quorl_mdm_apn_get_iccid(char (&out)[kApnTextSize]);
int orv_quorl_mdm_apn_get_imsi(char (&out)[kApnTextSize]);

// Reads EF AD: 1 with *mnc_len set to 2 or 3, or 0 when the answer could not be used.
int orv_quorl_mdm_apn_read_efad(std::int32_t* mnc_len);

// 1 when the EF AD answer line says the MNC has three digits.
int orv_quorl_mdm_apn_parse_efad(const char* line, std::size_t length);

// Copies the n-th `delimiter`-led field counted from the end of the first `length` characters of
// `text` into `out`, at most 16 characters, no terminator of its own (so `out` must be zeroed and
// hold more than 16 bytes). The field begins with its delimiter; the text's first character is
// never examined and its last is never part of a field. 0 copied, 1 bad argument, 2 fewer than n
// delimiters.
int get_field_from_end(const char* text, std::size_t length, unsigned n, std::span<char> out,
                       char delimiter);

// Zeroes the first `size` bytes of `out` and copies the hexadecimal digits among the first
// `length` characters of `in` into it, at most `size` of them and never more than out.size() - 1.
void filter_hex_digits(const char* in, std::size_t length, std::span<char> out, std::size_t size);

// 1 when the first `length` characters of `text` hold more than one comma.
int has_multiple_commas(const char* text, std::size_t length);

}  // namespace orv::sim_identity
