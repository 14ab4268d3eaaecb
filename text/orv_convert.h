// Character-set and number conversions for SIM data: pure functions over caller buffers, with the
// GSM 7-bit default alphabet as constant tables. No state, no logging, no allocation.
#pragma once

#include <cstdint>

namespace orv::text {

// Character-set kinds. Kinds 0 to 7 pass the range test; only these three have conversions.
using orv_charset_kind = std::uint32_t;
inline constexpr orv_charset_kind ORV_CHARSET_GSM7 = 1;  // GSM default alphabet, '@' as 0xE6
inline constexpr orv_charset_kind ORV_CHARSET_HEX = 3;   // two upper-case digits per byte
inline constexpr orv_charset_kind ORV_CHARSET_BIT8 = 4;  // 8-bit bytes
inline constexpr orv_charset_kind kMaxCharsetKind = 7;

// Unsigned number to text in `radix` (not 0), most significant digit first, upper-case letters.
// The destination must hold 33 bytes in the worst case. Returns a pointer to the terminator.
// Radix 0 writes the empty text.
char* orv_utoa(std::uint32_t value, char* dest, std::uint16_t radix);

// Zero-terminated hexadecimal text to bytes, one byte per pair, no terminator written. '0'-'9'
// count as digits, every other character as an upper-case letter (code - 55). A lone last digit
// (odd length) yields one more byte, read as if a '0' followed it; nothing past the terminator is
// read. The source position counts in 16 bits: at most 65534 characters are read and at most
// 32767 bytes written.
void orv_hex_to_bytes(const char* src, unsigned char* dest);

// `length` hexadecimal characters to bytes, then two 0xFF filler bytes: `dest` must hold
// length / 2 + 2 bytes.
void orv_hex_to_sim_bytes(unsigned char* dest, const char* src, unsigned length);

// Converts between kinds with limit L. Returns a pointer to the terminator written, or null when
// refused (kind above 7, unsupported pair, GSM byte of 0x80 or above other than 0xE6).
char* orv_convert_charset(const unsigned char* src, orv_charset_kind src_kind, char* dest,
                          orv_charset_kind dest_kind, std::uint16_t limit);

// One GSM character to its 8-bit value; advances *src past an escape's first byte. An escape that
// is the last byte yields 0 and leaves *src on the terminator: the caller stops there.
void orv_gsm7_char_to_bit8(const unsigned char** src, unsigned char* dest);

// GSM text, or 8-bit bytes, to UCS-2 hexadecimal text (four upper-case digits per character).
char* orv_gsm7_to_ucs2(const unsigned char* src, orv_charset_kind src_kind, char* dest,
                       orv_charset_kind dest_kind, std::uint16_t limit);
char* orv_bit8_to_ucs2(const unsigned char* src, orv_charset_kind src_kind, char* dest,
                       orv_charset_kind dest_kind, std::uint16_t limit);

}  // namespace orv::text
