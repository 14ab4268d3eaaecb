#include "text/orv_convert.h"

#include <array>
#include <cstddef>

#include "core/answer.h"
#include "core/lookup.h"

namespace orv::text {

namespace {

// One code of the GSM 7-bit default alphabet (3GPP TS 23.038) that is not its own 8-bit code,
// with the ISO 8859-1 code of its character. The ten Greek capitals, which ISO 8859-1 lacks,
// carry private codes: their GSM code plus 0x80. The escape 0x1B has no value of its own.
using GsmRow = Row<unsigned char, unsigned char>;

constexpr unsigned char kEscape = 0x1B;
constexpr unsigned char kAtCarrier = 0xE6;  // '@' (GSM code 0) inside a zero-terminated text
constexpr unsigned char kAtBit8 = 0x40;
constexpr unsigned char kSpace = 0x20;

constexpr std::array<GsmRow, 42> kGsmDefaultTable = {{
    {0x01, 0xA3},                   // pound sign
    {0x02, 0x24},                   // dollar sign
    {0x03, 0xA5},                   // yen sign
    {0x04, 0xE8},                   // e grave
    {0x05, 0xE9},                   // e acute
    {0x06, 0xF9},                   // u grave
    {0x07, 0xEC},                   // i grave
    {0x08, 0xF2},                   // o grave
    {0x09, 0xC7},                   // capital C cedilla
    {0x0B, 0xD8},                   // capital O stroke
    {0x0C, 0xF8},                   // o stroke
    {0x0E, 0xC5},                   // capital A ring
    {0x0F, 0xE5},                   // a ring
    {0x10, 0x90},                   // Delta (private)
    {0x11, 0x5F},                   // low line
    {0x12, 0x92},                   // Phi (private)
    {0x13, 0x93},                   // Gamma (private)
    {0x14, 0x94},                   // Lambda (private)
    {0x15, 0x95},                   // Omega (private)
    {0x16, 0x96},                   // Pi (private)
    {0x17, 0x97},                   // Psi (private)
    {0x18, 0x98},                   // Sigma (private)
    {0x19, 0x99},                   // Theta (private)
    {0x1A, 0x9A},                   // Xi (private)
    {kEscape, 0x00}, {0x1C, 0xC6},  // capital AE
    {0x1D, 0xE6},                   // ae
    {0x1E, 0xDF},                   // sharp s
    {0x1F, 0xC9},                   // capital E acute
    {0x24, 0xA4},                   // currency sign
    {0x40, 0xA1},                   // inverted exclamation mark
    {0x5B, 0xC4},                   // capital A diaeresis
    {0x5C, 0xD6},                   // capital O diaeresis
    {0x5D, 0xD1},                   // capital N tilde
    {0x5E, 0xDC},                   // capital U diaeresis
    {0x5F, 0xA7},                   // section sign
    {0x60, 0xBF},                   // inverted question mark
    {0x7B, 0xE4},                   // a diaeresis
    {0x7C, 0xF6},                   // o diaeresis
    {0x7D, 0xF1},                   // n tilde
    {0x7E, 0xFC},                   // u diaeresis
    {0x7F, 0xE0},                   // a grave
}};

// The extension table: the code after an escape, for the entries that have an ISO 8859-1 code
// (the page break and the euro sign have none).
constexpr std::array<GsmRow, 8> kGsmEscapeTable = {{
    {0x14, 0x5E},  // circumflex accent
    {0x28, 0x7B},  // left curly bracket
    {0x29, 0x7D},  // right curly bracket
    {0x2F, 0x5C},  // reverse solidus
    {0x3C, 0x5B},  // left square bracket
    {0x3D, 0x7E},  // tilde
    {0x3E, 0x5D},  // right square bracket
    {0x40, 0x7C},  // vertical line
}};

// The private Greek codes as UCS-2 hexadecimal text.
using GreekRow = Row<unsigned char, const char*>;

constexpr std::array<GreekRow, 10> kGreekUcs2Table = {{
    {0x90, "0394"},
    {0x92, "03A6"},
    {0x93, "0393"},
    {0x94, "039B"},
    {0x95, "03A9"},
    {0x96, "03A0"},
    {0x97, "03A8"},
    {0x98, "03A3"},
    {0x99, "0398"},
    {0x9A, "039E"},
}};

constexpr bool gsm_table_in_order() {
    for (std::size_t i = 1; i < kGsmDefaultTable.size(); ++i) {
        if (kGsmDefaultTable[i - 1].key >= kGsmDefaultTable[i].key) {
            return false;
        }
    }
    return true;
}
static_assert(gsm_table_in_order(), "GSM rows in code order, each code once");

// Two upper-case hexadecimal digits of `byte` at `at`, terminated; returns the terminator.
char* put_hex_byte(unsigned char byte, char* at) {
    if (byte < 16) {
        *at++ = '0';
    }
    return orv_utoa(byte, at, 16);
}

// Digit value for the terminated reader: '0'-'9', anything else taken as an upper-case letter.
int loose_hex_value(unsigned char c) {
    return c >= '0' && c <= '9' ? c - 48 : c - 55;
}

// Room test of the converters: the write position may advance while its index is at most
// `last` (which may be negative for tiny limits, so that nothing is written).
constexpr long room_index(std::uint16_t limit, int reserve) {
    return static_cast<long>(limit) - 1 - reserve;
}

}  // namespace

char* orv_utoa(std::uint32_t value, char* dest, std::uint16_t radix) {
    if (dest == nullptr) {
        return nullptr;
    }
    if (radix == 0) {
        // No digits exist in radix 0: the empty text.
        *dest = '\0';
        return dest;
    }
    char scratch[33];
    std::size_t at = sizeof scratch - 1;
    scratch[at] = '\0';
    do {
        const std::uint32_t digit = value % radix;
        scratch[--at] = static_cast<char>(digit <= 9 ? '0' + digit : 55 + digit);
        value /= radix;
    } while (value != 0 && at > 0);
    char* out = dest;
    while (scratch[at] != '\0') {
        *out++ = scratch[at++];
    }
    *out = '\0';
    return out;
}

void orv_hex_to_bytes(const char* src, unsigned char* dest) {
    if (src == nullptr || dest == nullptr) {
        return;
    }
    // Positions count in 16 bits: the reader takes pairs while its source position is below
    // 65534, so it reads at most 65534 characters, writes at most 32767 bytes, and its position
    // never wraps.
    constexpr std::uint16_t kReadLimit = 0xFFFE;
    std::uint16_t in = 0;
    std::uint16_t out = 0;
    while (in < kReadLimit && src[in] != '\0') {
        const int high = loose_hex_value(static_cast<unsigned char>(src[in]));
        const char second = src[in + 1];
        if (second == '\0') {
            // A lone last digit is read as if a '0' followed it; nothing past the terminator.
            dest[out] = static_cast<unsigned char>((high * 16) & 0xFF);
            return;
        }
        const int low = loose_hex_value(static_cast<unsigned char>(second));
        dest[out++] = static_cast<unsigned char>((high * 16 + low) & 0xFF);
        in = static_cast<std::uint16_t>(in + 2);
    }
}

void orv_hex_to_sim_bytes(unsigned char* dest, const char* src, unsigned length) {
    if (dest == nullptr || src == nullptr) {
        return;
    }
    for (unsigned i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(src[i]);
        const int value = core::hex_digit_value(static_cast<char>(c));
        if (value < 0) {
            continue;  // no value: the byte is left as it is, the position still counts
        }
        if (i % 2 == 0) {
            dest[i / 2] = static_cast<unsigned char>(value * 16);
        } else {
            dest[i / 2] = static_cast<unsigned char>(dest[i / 2] | value);
        }
    }
    dest[length / 2] = 0xFF;
    dest[length / 2 + 1] = 0xFF;
}

char* orv_convert_charset(const unsigned char* src, orv_charset_kind src_kind, char* dest,
                          orv_charset_kind dest_kind, std::uint16_t limit) {
    if (src_kind > kMaxCharsetKind || dest_kind > kMaxCharsetKind || src == nullptr ||
        dest == nullptr) {
        return nullptr;
    }
    const long last = room_index(limit, dest_kind == ORV_CHARSET_HEX ? 2 : 0);

    std::size_t count = 0;
    if (src_kind == ORV_CHARSET_BIT8) {
        if (dest_kind != ORV_CHARSET_HEX) {
            return nullptr;
        }
        count = static_cast<std::size_t>((static_cast<int>(limit) - 1) / 2);
    } else {
        while (src[count] != 0) {
            ++count;
        }
    }

    char* at = dest;
    for (std::size_t i = 0; i < count && (at - dest) <= last; ++i) {
        const unsigned char c = src[i];
        if (src_kind == ORV_CHARSET_GSM7) {
            if (c >= 0x80 && c != kAtCarrier) {
                return nullptr;
            }
            if (dest_kind == ORV_CHARSET_HEX) {
                at = put_hex_byte(c == kAtCarrier ? kAtBit8 : c, at);
            } else if (dest_kind == ORV_CHARSET_BIT8) {
                *at++ = static_cast<char>(c);
            } else {
                return nullptr;
            }
        } else if (src_kind == ORV_CHARSET_BIT8) {
            at = put_hex_byte(c, at);
        } else {
            return nullptr;
        }
    }
    *at = '\0';
    return at;
}

void orv_gsm7_char_to_bit8(const unsigned char** src, unsigned char* dest) {
    if (src == nullptr || *src == nullptr || dest == nullptr) {
        return;
    }
    const unsigned char c = **src;
    if (c >= 0x80) {
        *dest = kSpace;
        return;
    }
    if (c == kEscape) {
        ++*src;
        const unsigned char next = **src;
        if (next == 0) {
            *dest = 0;  // escape at the end of the text: *src rests on the terminator
            return;
        }
        *dest = lookup(kGsmEscapeTable, next).value_or(kSpace);
        return;
    }
    *dest = lookup(kGsmDefaultTable, c).value_or(c);  // c = 0 gives 0
}

char* orv_gsm7_to_ucs2(const unsigned char* src, orv_charset_kind src_kind, char* dest,
                       orv_charset_kind dest_kind, std::uint16_t limit) {
    if (src_kind > kMaxCharsetKind || dest_kind > kMaxCharsetKind || src == nullptr ||
        dest == nullptr) {
        return nullptr;
    }
    const long last = room_index(limit, 4);
    char* at = dest;
    const unsigned char* p = src;
    while (*p != 0 && (at - dest) <= last) {
        const unsigned char c = *p;
        if (c >= 0x80 && c != kAtCarrier) {
            return nullptr;
        }
        if (c == kAtCarrier) {
            *at++ = '0';
            *at++ = '0';
            *at++ = '4';
            *at++ = '0';
            ++p;
            continue;
        }
        unsigned char value = 0;
        orv_gsm7_char_to_bit8(&p, &value);
        if (*p == 0) {
            break;  // an escape as the last byte ends the text without a character
        }
        ++p;
        if (const auto greek = lookup(kGreekUcs2Table, value)) {
            for (int k = 0; k < 4; ++k) {
                *at++ = (*greek)[k];
            }
        } else {
            *at++ = '0';
            *at++ = '0';
            at = put_hex_byte(value, at);
        }
    }
    *at = '\0';
    return at;
}

char* orv_bit8_to_ucs2(const unsigned char* src, orv_charset_kind src_kind, char* dest,
                       orv_charset_kind dest_kind, std::uint16_t limit) {
    if (src_kind > kMaxCharsetKind || dest_kind > kMaxCharsetKind || src == nullptr ||
        dest == nullptr) {
        return nullptr;
    }
    const long last = room_index(limit, 4);
    const int count = (static_cast<int>(limit) - 1) / 4;
    char* at = dest;
    for (int i = 0; i < count && (at - dest) <= last; ++i) {
        *at++ = '0';
        *at++ = '0';
        at = put_hex_byte(src[i], at);
    }
    *at = '\0';
    return at;
}

}  // namespace orv::text
