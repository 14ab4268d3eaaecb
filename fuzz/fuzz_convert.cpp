// Every function of the conversion library with fuzzed sources, kinds and limits. Each
// destination (and each counted source) is a heap block of exactly the size the function's
// contract asks for, so one byte too many is caught.
//
// Input:
//   byte 0      the function (modulo 7): 0 orv_utoa, 1 orv_hex_to_bytes, 2 orv_hex_to_sim_bytes,
//               3 orv_convert_charset, 4 and 5 orv_gsm7_to_ucs2 (which walks the text with
//               orv_gsm7_char_to_bit8), 6 orv_bit8_to_ucs2
//   byte 1, 2   source and destination kind (modulo 10, so that 8 and 9 test the refusal)
//   bytes 3-4   the limit L, little-endian (the radix for orv_utoa; for orv_hex_to_bytes the
//               number of characters added to the source text)
//   bytes 5-8   the value for orv_utoa, little-endian
//   the rest    the source bytes
// Missing header bytes read as zero.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "text/orv_convert.h"

namespace {

namespace tx = orv::text;
using orv::fuzz::check;
using orv::fuzz::exact;

constexpr std::size_t kHeader = 9;

struct Input {
    unsigned function;
    tx::orv_charset_kind src_kind;
    tx::orv_charset_kind dest_kind;
    std::uint16_t limit;
    std::uint32_t value;
    std::string_view source;
};

Input parse(const std::uint8_t* data, std::size_t size) {
    const std::string_view all = orv::fuzz::as_text(data, size);
    const std::uint32_t head = orv::fuzz::le32(all, 0);
    return {(head & 0xFFU) % 7U,          ((head >> 8) & 0xFFU) % 10U,
            ((head >> 16) & 0xFFU) % 10U, static_cast<std::uint16_t>(orv::fuzz::le32(all, 3)),
            orv::fuzz::le32(all, 5),      all.substr(std::min(size, kHeader))};
}

// The source as a zero-terminated text in a heap block of exactly its size.
std::unique_ptr<unsigned char[]> text_block(std::string_view bytes) {
    return exact<unsigned char>(bytes, bytes.size() + 1);
}

// The byte two hexadecimal digits stand for (upper case only unless `lower`), or -1.
int pair_value(const unsigned char* p, bool lower) {
    unsigned v = 0;
    const char* text = reinterpret_cast<const char*>(p);
    const bool pair = std::from_chars(text, text + 2, v, 16).ptr == text + 2;
    const bool cased = lower || (std::islower(p[0]) == 0 && std::islower(p[1]) == 0);
    return pair && cased ? static_cast<int>(v) : -1;
}

// Positions of the converters' limit: L - 1 of it, as the count of a counted source.
std::size_t counted(std::uint16_t limit, std::size_t per_item) {
    return limit == 0 ? 0 : (static_cast<std::size_t>(limit) - 1) / per_item;
}

void utoa(const Input& in) {
    const std::uint16_t radix = in.limit;
    // One digit per division, none in radix 0; radix 1 never divides, so the 32 places of the
    // scratch area end a value other than 0.
    std::size_t digits = radix == 0 ? 0 : radix == 1 && in.value != 0 ? 32 : 1;
    for (std::uint32_t v = in.value; radix > 1 && (v /= radix) != 0;) {
        ++digits;
    }
    auto dest = std::make_unique<char[]>(digits + 1);
    char* end = tx::orv_utoa(in.value, dest.get(), radix);
    check(end == dest.get() + std::strlen(dest.get()), "orv_utoa returns its terminator");
    if (radix >= 2 && radix <= 36) {
        char expected[33] = {};
        const auto r = std::to_chars(expected, expected + sizeof expected - 1, in.value, radix);
        std::transform(expected, r.ptr, expected, [](char c) { return std::toupper(c); });
        check(std::string_view(dest.get()) == std::string_view(expected, r.ptr),
              "orv_utoa agrees with std::to_chars in upper case");
    }
}

// The hexadecimal text of orv_hex_to_bytes: the source bytes up to their first zero byte, made
// longer by the limit field's count of characters (the source repeated, or '0's), so that texts
// past the reader's 16-bit positions are reached with short inputs.
std::string long_text(const Input& in) {
    const std::string_view head = in.source.substr(0, in.source.find('\0'));
    std::string text(head);
    for (std::size_t i = 0; i < in.limit; ++i) {
        text.push_back(head.empty() ? '0' : head[i % head.size()]);
    }
    return text;
}

void hex_to_bytes(const Input& in) {
    const std::string whole = long_text(in);
    const auto src = text_block(whole);
    // The reader's promise: at most 65534 characters read, one byte written per pair.
    const std::size_t length = std::min<std::size_t>(whole.size(), 65534);
    auto dest = std::make_unique<unsigned char[]>((length + 1) / 2);
    tx::orv_hex_to_bytes(reinterpret_cast<const char*>(src.get()), dest.get());
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        const int value = pair_value(src.get() + i, false);
        check(value < 0 || dest[i / 2] == value, "orv_hex_to_bytes gives a pair's byte");
    }
}

void hex_to_sim_bytes(const Input& in) {
    const auto length = static_cast<unsigned>(in.source.size());
    const auto src = exact<unsigned char>(in.source, length);
    auto dest = std::make_unique<unsigned char[]>(length / 2 + 2);
    tx::orv_hex_to_sim_bytes(dest.get(), reinterpret_cast<const char*>(src.get()), length);
    check(dest[length / 2] == 0xFF && dest[length / 2 + 1] == 0xFF, "two filler bytes end it");
    for (unsigned i = 0; i + 1 < length; i += 2) {
        const int value = pair_value(src.get() + i, true);
        check(value < 0 || dest[i / 2] == value, "a pair of digits gives its byte");
    }
}

// A result points at the terminator it wrote inside the destination of `size` bytes, with no zero
// byte before it; hexadecimal output comes in whole units of `unit` upper-case digits.
void check_result(const char* dest, const char* end, std::size_t size, std::size_t unit) {
    const auto written = static_cast<std::size_t>(end - dest);
    check(written < size && written == std::strlen(dest), "the result points at its terminator");
    check(unit == 0 ||
              (written % unit == 0 &&
               std::all_of(dest, end, [](char c) { return std::strchr("0123456789ABCDEF", c); })),
          "hexadecimal output in whole units of upper-case digits");
}

void convert_charset(const Input& in) {
    const auto src = in.src_kind == tx::ORV_CHARSET_BIT8
                         ? exact<unsigned char>(in.source, counted(in.limit, 2))
                         : text_block(in.source);
    const bool hex_out = in.dest_kind == tx::ORV_CHARSET_HEX;
    // Hexadecimal output needs L bytes, any other output L + 1; at least the terminator.
    const std::size_t size = hex_out ? std::max<std::size_t>(in.limit, 1) : in.limit + 1U;
    auto dest = std::make_unique<char[]>(size);
    if (char* end =
            tx::orv_convert_charset(src.get(), in.src_kind, dest.get(), in.dest_kind, in.limit)) {
        check_result(dest.get(), end, size, hex_out ? 2 : 0);
    }
}

template <bool from_gsm>
void to_ucs2(const Input& in) {
    const auto src =
        from_gsm ? text_block(in.source) : exact<unsigned char>(in.source, counted(in.limit, 4));
    const std::size_t size = std::max<std::size_t>(in.limit, 1);
    auto dest = std::make_unique<char[]>(size);
    char* end =
        from_gsm ? tx::orv_gsm7_to_ucs2(src.get(), in.src_kind, dest.get(), in.dest_kind, in.limit)
                 : tx::orv_bit8_to_ucs2(src.get(), in.src_kind, dest.get(), in.dest_kind, in.limit);
    if (end != nullptr) {
        check_result(dest.get(), end, size, 4);
        check(from_gsm || static_cast<std::size_t>(end - dest.get()) == 4 * counted(in.limit, 4),
              "8-bit source converted byte for byte");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Function = void (*)(const Input&);
    constexpr Function kFunctions[] = {
        utoa,          hex_to_bytes,  hex_to_sim_bytes, convert_charset,
        to_ucs2<true>, to_ucs2<true>, to_ucs2<false>};
    const Input in = parse(data, size);
    kFunctions[in.function](in);
    return 0;
}
