#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "text/orv_convert.h"

namespace orv::text {
namespace {

using namespace std::string_literals;
using Bytes = std::vector<unsigned char>;

constexpr orv_charset_kind GSM7 = ORV_CHARSET_GSM7;
constexpr orv_charset_kind HEX = ORV_CHARSET_HEX;
constexpr orv_charset_kind BIT8 = ORV_CHARSET_BIT8;
constexpr unsigned char kCanary = 0x5A;

// `text`, its terminator, then zeros: 8-bit sources are read by count, not terminator.
Bytes source(const std::string& text) {
    Bytes b(text.begin(), text.end());
    b.resize(b.size() + 9, 0);
    return b;
}

// The first bytes of `dest` as far as `want` goes and one more, which must still be the canary.
void expect_written(const Bytes& dest, Bytes want, const std::string& label) {
    want.push_back(kCanary);
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + want.size()), want) << label;
}

// Radix 2 gives the widest text, radix 0 the empty one.
TEST(Convert, NumberToText) {
    const struct {
        std::uint32_t value;
        std::uint16_t radix;
        std::string text;
    } rows[] = {{0, 16, "0"},
                {255, 10, "255"},
                {0xE6, 16, "E6"},
                {35, 36, "Z"},
                {0xFFFFFFFFu, 2, std::string(32, '1')},
                {7, 0, ""}};
    for (const auto& r : rows) {
        char dest[40];
        std::memset(dest, kCanary, sizeof dest);
        EXPECT_EQ(orv_utoa(r.value, dest, r.radix), dest + r.text.size()) << r.value;
        EXPECT_EQ(std::string(dest), r.text) << r.value << " radix " << r.radix;
        EXPECT_EQ(dest[r.text.size() + 1], kCanary) << "wrote past the terminator";
    }
}

TEST(Convert, HexToBytes) {
    // Terminated reader: lower case reads as code - 55; a lone last digit as if a '0' followed.
    const struct {
        std::string src;
        Bytes bytes;
    } terminated[] = {
        {"656E", {0x65, 0x6E}}, {"656e", {0x65, 0x8E}}, {"", {}}, {"ABC", {0xAB, 0xC0}}};
    for (const auto& r : terminated) {
        // An exactly sized heap block: a read past the terminator shows in the sanitizer build.
        auto src = std::make_unique<char[]>(r.src.size() + 1);
        std::memcpy(src.get(), r.src.c_str(), r.src.size() + 1);
        Bytes dest(8, kCanary);
        orv_hex_to_bytes(src.get(), dest.data());
        expect_written(dest, r.bytes, r.src);
    }
    // Counted reader to SIM bytes: a non-digit keeps the byte (then the low digit is ORed in),
    // an odd last digit is overwritten by the two filler bytes.
    const struct {
        std::string src;
        unsigned length;
        unsigned char before;
        Bytes bytes;
    } counted[] = {{"3f", 2, 0, {0x3F, 0xFF, 0xFF}},
                   {"G1", 2, 0x40, {0x41, 0xFF, 0xFF}},
                   {"ABC", 3, 0, {0xAB, 0xFF, 0xFF}},
                   {"1234", 2, 0, {0x12, 0xFF, 0xFF}}};
    for (const auto& r : counted) {
        Bytes dest(8, r.before);
        dest[r.bytes.size()] = kCanary;
        orv_hex_to_sim_bytes(dest.data(), r.src.c_str(), r.length);
        expect_written(dest, r.bytes, r.src);
    }
}

enum class Fn { Charset, GsmUcs2, Bit8Ucs2 };

// Every converter: its result, and nothing written past the capacity it states (limit L: L bytes
// for hex and UCS-2 output, L + 1 for 8-bit output).
TEST(Convert, Converters) {
    const struct {
        const char* name;
        Fn fn;
        std::string src;
        orv_charset_kind from, to;
        std::uint16_t limit;
        const char* out;  // null: refused
    } rows[] = {
        {"GSM to 8-bit", Fn::Charset, "en", GSM7, BIT8, 19, "en"},
        {"GSM byte above 0x7F", Fn::Charset, "\x8E\x6E", GSM7, BIT8, 19, nullptr},
        {"'@' carrier to 8-bit", Fn::Charset, "\xE6", GSM7, BIT8, 19, "\xE6"},
        {"'@' carrier to hex", Fn::Charset, "\xE6", GSM7, HEX, 19, "40"},
        {"GSM to hex: no alphabet table", Fn::Charset, "A\x01", GSM7, HEX, 19, "4101"},
        {"source kind 8", Fn::Charset, "A", 8, BIT8, 19, nullptr},
        {"destination kind 8", Fn::Charset, "A", GSM7, 8, 19, nullptr},
        {"8-bit to 8-bit", Fn::Charset, "", BIT8, BIT8, 19, nullptr},
        {"hex source", Fn::Charset, "41", HEX, BIT8, 19, nullptr},
        {"hex source, empty: nothing to refuse", Fn::Charset, "", HEX, BIT8, 19, ""},
        {"GSM to a kind without conversion", Fn::Charset, "A", GSM7, 2, 19, nullptr},
        {"cut, 8-bit", Fn::Charset, "ABCDEFGHIJKLMNOPQRSTUVWXY", GSM7, BIT8, 19,
         "ABCDEFGHIJKLMNOPQRS"},
        {"cut, hex (even limit)", Fn::Charset, "ABCDEFGHIJKL", GSM7, HEX, 20, "414243444546474849"},
        {"8-bit to hex: (L-1)/2 bytes", Fn::Charset, "\0\x0A\xFF\x01"s, BIT8, HEX, 7, "000AFF"},
        {"limit 0", Fn::Charset, "AB", GSM7, BIT8, 0, ""},
        {"GSM: Greek, escape pair", Fn::GsmUcs2, "\x10\x1B(A", GSM7, HEX, 40, "0394007B0041"},
        {"GSM: escape at the end", Fn::GsmUcs2, "A\x1B", GSM7, HEX, 40, "0041"},
        {"GSM: cut", Fn::GsmUcs2, "ABC", GSM7, HEX, 9, "00410042"},
        {"GSM: byte above 0x7F", Fn::GsmUcs2, "A\x8E", GSM7, HEX, 40, nullptr},
        {"GSM: kind 8", Fn::GsmUcs2, "A", 8, HEX, 40, nullptr},
        {"GSM: destination kind 7", Fn::GsmUcs2, "A", GSM7, 7, 40, "0041"},
        {"8-bit: (L-1)/4 bytes", Fn::Bit8Ucs2, "A\0\xFF\x42"s, BIT8, HEX, 13, "0041000000FF"},
        {"8-bit: kind 9", Fn::Bit8Ucs2, "A", 9, HEX, 13, nullptr},
    };
    for (const auto& r : rows) {
        const Bytes src = source(r.src);
        const std::size_t capacity = r.fn != Fn::Charset ? r.limit
                                     : r.to == HEX       ? std::max<std::size_t>(r.limit, 1)
                                                         : r.limit + 1u;
        std::vector<char> dest(capacity + 8, kCanary);
        char* end = r.fn == Fn::Charset
                        ? orv_convert_charset(src.data(), r.from, dest.data(), r.to, r.limit)
                    : r.fn == Fn::GsmUcs2
                        ? orv_gsm7_to_ucs2(src.data(), r.from, dest.data(), r.to, r.limit)
                        : orv_bit8_to_ucs2(src.data(), r.from, dest.data(), r.to, r.limit);
        if (r.out == nullptr) {
            EXPECT_EQ(end, nullptr) << r.name;
            continue;
        }
        ASSERT_NE(end, nullptr) << r.name;
        EXPECT_EQ(std::string(dest.data()), r.out) << r.name;
        EXPECT_EQ(end, dest.data() + std::strlen(r.out)) << r.name;
        EXPECT_EQ(std::count(dest.begin() + capacity, dest.end(), kCanary), 8)
            << r.name << ": wrote past the capacity";
    }
}

// The library's alphabet tables against Perl's Encode::GSM0338, a separate statement of
// 3GPP TS 23.038 (generated by gen_gsm0338_reference.pl).
#include "tests/text/gsm0338_reference.inc"

std::string ucs2_digits(unsigned code) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", code);
    return text;
}

TEST(Convert, AlphabetMatchesEncodeGsm0338) {
    int greek = 0;
    for (unsigned code = 0; code < 256; ++code) {
        const bool escaped = code >= 128;  // 128 + n: the escape, then n
        const auto first = static_cast<unsigned char>(escaped ? 0x1B : code);
        const auto second = static_cast<unsigned char>(escaped ? code - 128 : 0);
        if (first == 0x1B && second == 0) {
            continue;  // the escape ends the text (a converter row)
        }
        unsigned cp = escaped ? 0xFFFD : kGsmDefault[code];
        for (const auto& e : kGsmEscape) {
            cp = escaped && e[0] == second ? e[1] : cp;
        }
        const unsigned char src[3] = {first, second, 0};
        const unsigned char* p = src;
        unsigned char value = 0;
        orv_gsm7_char_to_bit8(&p, &value);
        char ucs2[16] = {};
        const unsigned char text[3] = {first == 0 ? static_cast<unsigned char>(0xE6) : first,
                                       second, 0};
        ASSERT_NE(orv_gsm7_to_ucs2(text, GSM7, ucs2, HEX, sizeof ucs2), nullptr);

        char label[32];
        std::snprintf(label, sizeof label, "GSM %02X %02X", first, second);
        // After an escape, controls, characters outside ISO 8859-1 and undefined codes read as a
        // space; the ten Greek capitals have private 8-bit codes: their GSM code plus 0x80.
        const bool latin1 = cp >= (escaped ? 0x20u : 0u) && cp <= 0xFF;
        unsigned want = latin1 ? cp : 0x20u;
        if (!escaped && !latin1) {
            ASSERT_TRUE(cp >= 0x0391 && cp <= 0x03A9) << label << ": not a Greek capital";
            want = first + 0x80u;
            ++greek;
        }
        if (first != 0) {  // code 0 ('@') is the terminator; it travels as 0xE6
            EXPECT_EQ(value, want) << label;
        }
        if (latin1 || !escaped) {
            EXPECT_EQ(std::string(ucs2), ucs2_digits(cp)) << label;
        }
    }
    EXPECT_EQ(greek, 10);
}

}  // namespace
}  // namespace orv::text
