#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "text/orv_convert.h"

namespace orv::text {
namespace {

constexpr orv_charset_kind GSM7 = ORV_CHARSET_GSM7;
constexpr orv_charset_kind HEX = ORV_CHARSET_HEX;
constexpr orv_charset_kind BIT8 = ORV_CHARSET_BIT8;
constexpr char kCanary = '\x5A';

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::string ucs2_digits(unsigned code) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", code);
    return text;
}

TEST(Convert, NumberToText) {
    struct Row {
        std::uint32_t value;
        std::uint16_t radix;
        std::string text;
    };
    const Row rows[] = {
        {0, 16, "0"},
        {0xFFFFFFFFu, 16, "FFFFFFFF"},
        {10, 16, "A"},
        {0xFFFFFFFFu, 2, std::string(32, '1')},
        {0x80000000u, 2, "1" + std::string(31, '0')},
        {255, 10, "255"},
        {35, 36, "Z"},
        {0xE6, 16, "E6"},
        {7, 0, ""},  // radix 0: no digits at all
    };
    for (const Row& r : rows) {
        char dest[40];
        std::memset(dest, kCanary, sizeof dest);
        char* end = orv_utoa(r.value, dest, r.radix);
        EXPECT_EQ(std::string(dest), r.text) << r.value << " radix " << r.radix;
        EXPECT_EQ(end, dest + r.text.size()) << r.value;
        EXPECT_EQ(dest[r.text.size() + 1], kCanary) << "wrote past the terminator";
    }
}

TEST(Convert, TerminatedHexToBytes) {
    struct Row {
        const char* name;
        std::string src;
        Bytes bytes;  // bytes written; the next place must keep its canary
    };
    const Row rows[] = {
        {"two bytes", "656E", {0x65, 0x6E}},
        {"empty slot", "FFFF", {0xFF, 0xFF}},
        {"lower case counts as code - 55", "656e", {0x65, 0x8E}},
        {"empty text writes nothing", "", {}},
        {"lone last digit as if followed by 0", "ABC", {0xAB, 0xC0}},
        {"single digit", "7", {0x70}},
        {"non-digits are not refused", "G0", {0x00}},  // 'G' - 55 = 16 -> 256 mod 256
    };
    for (const Row& r : rows) {
        // The source lives in an exactly sized heap block, so a read past its terminator is
        // caught by the sanitizer build.
        auto src = std::make_unique<char[]>(r.src.size() + 1);
        std::memcpy(src.get(), r.src.c_str(), r.src.size() + 1);
        unsigned char dest[8];
        std::memset(dest, kCanary, sizeof dest);
        orv_hex_to_bytes(src.get(), dest);
        EXPECT_EQ(Bytes(dest, dest + r.bytes.size()), r.bytes) << r.name;
        EXPECT_EQ(dest[r.bytes.size()], static_cast<unsigned char>(kCanary)) << r.name;
    }
    unsigned char dest[2] = {1, 2};
    orv_hex_to_bytes(nullptr, dest);
    EXPECT_EQ(dest[0], 1);
}

// A text longer than the reader's 16-bit positions: it reads 65534 characters and writes the
// 32767 bytes its contract promises, not one more (the byte after them keeps its canary).
TEST(Convert, TerminatedHexToBytesStopsAtItsPositionLimit) {
    constexpr std::size_t kPromisedBytes = 32767;
    for (const std::size_t length :
         {std::size_t{65534}, std::size_t{65535}, std::size_t{65536}, std::size_t{70000}}) {
        const std::string src(length, 'A');
        std::vector<unsigned char> dest(kPromisedBytes + 1, kCanary);
        orv_hex_to_bytes(src.c_str(), dest.data());
        EXPECT_EQ(dest[kPromisedBytes - 1], 0xAA) << length;
        EXPECT_EQ(dest[kPromisedBytes], static_cast<unsigned char>(kCanary)) << length;
    }
}

TEST(Convert, CountedHexToSimBytes) {
    struct Row {
        const char* name;
        std::string src;
        unsigned length;
        unsigned char before;  // prefill of the destination
        Bytes bytes;
    };
    const Row rows[] = {
        {"upper case", "3F", 2, 0x00, {0x3F, 0xFF, 0xFF}},
        {"lower case", "3f", 2, 0x00, {0x3F, 0xFF, 0xFF}},
        {"non-digit keeps the byte, then ORs", "G1", 2, 0x40, {0x41, 0xFF, 0xFF}},
        {"odd length: last half byte overwritten", "ABC", 3, 0x00, {0xAB, 0xFF, 0xFF}},
        {"length 0: only the filler", "12", 0, 0x00, {0xFF, 0xFF}},
        {"length counts, not the terminator", "1234", 2, 0x00, {0x12, 0xFF, 0xFF}},
    };
    for (const Row& r : rows) {
        unsigned char dest[8];
        std::memset(dest, r.before, sizeof dest);
        dest[r.bytes.size()] = static_cast<unsigned char>(kCanary);
        orv_hex_to_sim_bytes(dest, r.src.c_str(), r.length);
        EXPECT_EQ(Bytes(dest, dest + r.bytes.size()), r.bytes) << r.name;
        EXPECT_EQ(dest[r.bytes.size()], static_cast<unsigned char>(kCanary)) << r.name;
    }
}

TEST(Convert, BetweenKinds) {
    struct Row {
        const char* name;
        Bytes src;  // a terminator is appended
        orv_charset_kind from;
        orv_charset_kind to;
        std::uint16_t limit;
        bool refused;
        std::string out;
    };
    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXY";
    const Row rows[] = {
        {"language letters", bytes_of("en"), GSM7, BIT8, 19, false, "en"},
        {"GSM byte above 0x7F", {0x8E, 0x6E}, GSM7, BIT8, 19, true, ""},
        {"GSM byte above 0x7F to hex", {0x41, 0x80}, GSM7, HEX, 19, true, ""},
        {"commercial at to 8-bit", {0xE6}, GSM7, BIT8, 19, false, "\xE6"},
        {"commercial at to hex", {0xE6}, GSM7, HEX, 19, false, "40"},
        {"no alphabet table in hex", {0x41, 0x01}, GSM7, HEX, 19, false, "4101"},
        {"source kind 8", bytes_of("A"), 8, BIT8, 19, true, ""},
        {"destination kind 8", bytes_of("A"), GSM7, 8, 19, true, ""},
        {"8-bit to 8-bit, empty", {}, BIT8, BIT8, 19, true, ""},
        {"hex source, non-empty", bytes_of("41"), HEX, BIT8, 19, true, ""},
        {"hex source, empty", {}, HEX, BIT8, 19, false, ""},
        {"kind without conversion, empty", {}, 0, 7, 19, false, ""},
        {"kind without conversion, non-empty", bytes_of("A"), GSM7, 2, 19, true, ""},
        {"cut to the limit, 8-bit", bytes_of(letters), GSM7, BIT8, 19, false,
         letters.substr(0, 19)},
        {"cut to the limit, hex", bytes_of(letters), GSM7, HEX, 19, false, "414243444546474849"},
        {"8-bit to hex takes (L-1)/2 bytes, zeros included",
         {0x00, 0x0A, 0xFF, 0x01},
         BIT8,
         HEX,
         7,
         false,
         "000AFF"},
        {"limit 0 writes only the terminator", bytes_of("AB"), GSM7, BIT8, 0, false, ""},
    };
    for (const Row& r : rows) {
        Bytes src = r.src;
        src.push_back(0);
        src.resize(src.size() + 8, 0);  // 8-bit sources are read by count, not terminator
        // Capacity stated by the library: L bytes for hex, L + 1 for 8-bit output.
        const std::size_t capacity = r.to == HEX ? (r.limit == 0 ? 1 : r.limit) : r.limit + 1u;
        std::vector<char> dest(capacity + 8, kCanary);
        char* end = orv_convert_charset(src.data(), r.from, dest.data(), r.to, r.limit);
        if (r.refused) {
            EXPECT_EQ(end, nullptr) << r.name;
            continue;
        }
        ASSERT_NE(end, nullptr) << r.name;
        EXPECT_EQ(std::string(dest.data()), r.out) << r.name;
        EXPECT_EQ(end, dest.data() + r.out.size()) << r.name;
        for (std::size_t i = capacity; i < dest.size(); ++i) {
            EXPECT_EQ(dest[i], kCanary) << r.name << ": wrote past the capacity at " << i;
        }
    }
}

TEST(Convert, OneGsmCharacter) {
    struct Row {
        const char* name;
        Bytes src;  // a terminator is appended
        unsigned char value;
        std::ptrdiff_t advance;  // by the function itself (the caller steps one more)
    };
    const Row rows[] = {
        {"letter", {0x41}, 0x41, 0},
        {"pound sign", {0x01}, 0xA3, 0},
        {"Delta private code", {0x10}, 0x90, 0},
        {"Xi private code", {0x1A}, 0x9A, 0},
        {"escape bracket", {0x1B, 0x3C}, 0x5B, 1},
        {"escape euro is not in the table", {0x1B, 0x65}, 0x20, 1},
        {"escape page break is not in the table", {0x1B, 0x0A}, 0x20, 1},
        {"escape at the end", {0x1B}, 0x00, 1},
        {"line feed", {0x0A}, 0x0A, 0},
        {"terminator", {}, 0x00, 0},
        {"byte above 0x7F", {0x80}, 0x20, 0},
        {"commercial at carrier", {0xE6}, 0x20, 0},
    };
    for (const Row& r : rows) {
        Bytes src = r.src;
        src.push_back(0);
        const unsigned char* p = src.data();
        unsigned char value = 0x77;
        orv_gsm7_char_to_bit8(&p, &value);
        EXPECT_EQ(value, r.value) << r.name;
        EXPECT_EQ(p - src.data(), r.advance) << r.name;
    }
}

TEST(Convert, ToUcs2) {
    struct Row {
        const char* name;
        bool from_gsm;
        Bytes src;
        orv_charset_kind kind;
        std::uint16_t limit;
        bool refused;
        std::string out;
    };
    const Row rows[] = {
        {"Delta then A", true, {0x10, 0x41}, GSM7, 40, false, "03940041"},
        {"commercial at", true, {0xE6}, GSM7, 40, false, "0040"},
        {"escape pair is one character", true, {0x1B, 0x28, 0x41}, GSM7, 40, false, "007B0041"},
        {"escape at the end ends the text", true, {0x41, 0x1B}, GSM7, 40, false, "0041"},
        {"accented letter", true, {0x7F}, GSM7, 40, false, "00E0"},
        {"cut at the limit", true, bytes_of("ABC"), GSM7, 9, false, "00410042"},
        {"GSM byte above 0x7F", true, {0x41, 0x8E}, GSM7, 40, true, ""},
        {"GSM kind above 7", true, bytes_of("A"), 8, 40, true, ""},
        {"8-bit takes (L-1)/4 bytes",
         false,
         {0x41, 0x00, 0xFF, 0x42},
         BIT8,
         13,
         false,
         "0041000000FF"},
        {"8-bit kind above 7", false, {0x41}, 9, 13, true, ""},
    };
    for (const Row& r : rows) {
        Bytes src = r.src;
        src.push_back(0);
        src.resize(src.size() + 8, 0);
        std::vector<char> dest(r.limit + 8u, kCanary);
        char* end = r.from_gsm ? orv_gsm7_to_ucs2(src.data(), r.kind, dest.data(), HEX, r.limit)
                               : orv_bit8_to_ucs2(src.data(), r.kind, dest.data(), HEX, r.limit);
        if (r.refused) {
            EXPECT_EQ(end, nullptr) << r.name;
            continue;
        }
        ASSERT_NE(end, nullptr) << r.name;
        EXPECT_EQ(std::string(dest.data()), r.out) << r.name;
        EXPECT_EQ(end, dest.data() + r.out.size()) << r.name;
        for (std::size_t i = r.limit; i < dest.size(); ++i) {
            EXPECT_EQ(dest[i], kCanary) << r.name << ": wrote past the limit at " << i;
        }
    }
}

// The library's alphabet tables against Perl's Encode::GSM0338, a separate statement of
// 3GPP TS 23.038 (rows generated by gen_gsm0338_reference.pl).
struct ReferenceRow {
    unsigned char first;
    unsigned char second;
    unsigned code_point;
};
constexpr ReferenceRow kReference[] = {
#include "tests/text/gsm0338_reference.inc"
};

bool is_greek_capital(unsigned cp) {
    return cp >= 0x0391 && cp <= 0x03A9;
}

TEST(Convert, AlphabetMatchesEncodeGsm0338) {
    int greek = 0;
    int checked = 0;
    for (const ReferenceRow& r : kReference) {
        const bool escaped = r.first == 0x1B;
        if (escaped && r.second == 0) {
            ++checked;  // escape then code 0: the terminator of the text ends it (tested above)
            continue;
        }
        const unsigned char src[3] = {r.first, r.second, 0};
        const unsigned char* p = src;
        unsigned char value = 0;
        orv_gsm7_char_to_bit8(&p, &value);

        char ucs2[16] = {};
        const unsigned char gsm_text[3] = {
            r.first == 0 ? static_cast<unsigned char>(0xE6) : r.first, r.second, 0};
        ASSERT_NE(orv_gsm7_to_ucs2(gsm_text, GSM7, ucs2, HEX, sizeof ucs2), nullptr);

        char label[32];
        std::snprintf(label, sizeof label, "GSM %02X %02X", r.first, r.second);
        if (escaped) {
            // Extension characters outside ISO 8859-1, the page-break control and undefined codes
            // all read as a space.
            const bool latin1 = r.code_point >= 0x20 && r.code_point <= 0xFF;
            EXPECT_EQ(value, latin1 ? r.code_point : 0x20u) << label;
            if (latin1) {
                EXPECT_EQ(std::string(ucs2), ucs2_digits(r.code_point)) << label;
            }
        } else if (r.first == 0) {
            EXPECT_EQ(std::string(ucs2), ucs2_digits(r.code_point)) << label;  // '@' via 0xE6
        } else if (r.code_point <= 0xFF) {
            EXPECT_EQ(value, r.code_point) << label;
            EXPECT_EQ(std::string(ucs2), ucs2_digits(r.code_point)) << label;
        } else {
            ASSERT_TRUE(is_greek_capital(r.code_point)) << label;
            EXPECT_EQ(value, r.first + 0x80u) << label << ": private Greek code";
            EXPECT_EQ(std::string(ucs2), ucs2_digits(r.code_point)) << label;
            ++greek;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 127 + 128);
    EXPECT_EQ(greek, 10);
}

}  // namespace
}  // namespace orv::text
