// Every function of the conversion library with fuzzed sources, kinds and limits. Each
// destination (and each counted source) is a heap block of exactly the size the function's
// contract asks for, so one byte too many is caught.
//
// Input:
//   byte 0      the function (modulo 7): 0 orv_utoa, 1 orv_hex_to_bytes, 2 orv_hex_to_sim_bytes,
//               3 orv_convert_charset, 4 orv_gsm7_char_to_bit8 over a text, 5 orv_gsm7_to_ucs2,
//               6 orv_bit8_to_ucs2
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
    const auto h = [&](std::size_t i) { return i < size ? data[i] : 0U; };
    return {h(0) % 7U,
            h(1) % 10U,
            h(2) % 10U,
            static_cast<std::uint16_t>(h(3) | (h(4) << 8)),
            orv::fuzz::le32(all, 5),
            size > kHeader ? all.substr(kHeader) : std::string_view{}};
}

// A heap block of exactly `size` bytes holding `bytes`; the source as a zero-terminated text
// in a block of exactly its size.
std::unique_ptr<unsigned char[]> block(std::string_view bytes, std::size_t size) {
    return orv::fuzz::exact<unsigned char>(bytes, size);
}

std::unique_ptr<unsigned char[]> text_block(std::string_view bytes) {
    return block(bytes, bytes.size() + 1);
}

bool upper_hex(const char* text, std::size_t n) {
    return std::all_of(text, text + n, [](char c) { return std::strchr("0123456789ABCDEF", c); });
}

// Positions of the converters' limit: L - 1 of it, as the count of a counted source.
std::size_t counted(std::uint16_t limit, std::size_t per_item) {
    return limit == 0 ? 0 : (static_cast<std::size_t>(limit) - 1) / per_item;
}

void utoa(const Input& in) {
    const std::uint16_t radix = in.limit;
    // Digits the conversion produces: none in radix 0, 32 in radix 1 (the value never shrinks
    // and the scratch area ends it), otherwise one per division.
    std::size_t digits = 0;
    if (radix == 1) {
        digits = in.value == 0 ? 1 : 32;
    } else if (radix >= 2) {
        std::uint32_t v = in.value;
        do {
            ++digits;
            v /= radix;
        } while (v != 0);
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

int loose_value(unsigned char c) {
    return c >= '0' && c <= '9' ? c - '0' : c - 55;
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
    const char* text = reinterpret_cast<const char*>(src.get());
    // The reader's promise: at most 65534 characters read, one byte written per pair.
    constexpr std::size_t kMaxRead = 65534;
    const std::size_t length = std::min(whole.size(), kMaxRead);
    const std::size_t bytes = (length + 1) / 2;
    auto dest = std::make_unique<unsigned char[]>(bytes);
    tx::orv_hex_to_bytes(text, dest.get());
    for (std::size_t i = 0; i < bytes; ++i) {
        const int high = loose_value(static_cast<unsigned char>(text[2 * i]));
        const int low =
            2 * i + 1 < length ? loose_value(static_cast<unsigned char>(text[2 * i + 1])) : 0;
        check(dest[i] == static_cast<unsigned char>((high * 16 + low) & 0xFF),
              "orv_hex_to_bytes gives one byte per pair");
    }
}

int hex_value(unsigned char c) {
    const char* const digits = "0123456789abcdef";
    const char* at = c != 0 ? std::strchr(digits, std::tolower(c)) : nullptr;
    return at != nullptr ? static_cast<int>(at - digits) : -1;
}

void hex_to_sim_bytes(const Input& in) {
    const auto length = static_cast<unsigned>(in.source.size());
    const auto src = block(in.source, length);
    const std::size_t size = length / 2 + 2;
    auto dest = std::make_unique<unsigned char[]>(size);
    tx::orv_hex_to_sim_bytes(dest.get(), reinterpret_cast<const char*>(src.get()), length);
    check(dest[length / 2] == 0xFF && dest[length / 2 + 1] == 0xFF, "two filler bytes end it");
    for (unsigned i = 0; i + 1 < length; i += 2) {
        const int high = hex_value(src[i]);
        const int low = hex_value(src[i + 1]);
        if (high >= 0 && low >= 0) {
            check(dest[i / 2] == high * 16 + low, "a pair of digits gives its byte");
        }
    }
}

void convert_charset(const Input& in) {
    const bool counted_source = in.src_kind == tx::ORV_CHARSET_BIT8;
    const auto src =
        counted_source ? block(in.source, counted(in.limit, 2)) : text_block(in.source);
    const bool hex_out = in.dest_kind == tx::ORV_CHARSET_HEX;
    // Hexadecimal output needs L bytes, any other output L + 1; at least the terminator.
    const std::size_t size = hex_out ? std::max<std::size_t>(in.limit, 1) : in.limit + 1U;
    auto dest = std::make_unique<char[]>(size);
    char* end = tx::orv_convert_charset(src.get(), in.src_kind, dest.get(), in.dest_kind, in.limit);
    if (end == nullptr) {
        return;
    }
    const std::size_t written = static_cast<std::size_t>(end - dest.get());
    check(written < size && *end == '\0', "the result points at the terminator written");
    check(written == std::strlen(dest.get()), "no zero byte inside the output");
    if (in.src_kind == tx::ORV_CHARSET_GSM7 && in.dest_kind == tx::ORV_CHARSET_BIT8) {
        check(std::memcmp(dest.get(), src.get(), written) == 0, "GSM to 8-bit copies the bytes");
    }
    if (hex_out) {
        check(written % 2 == 0 && upper_hex(dest.get(), written),
              "hexadecimal output in whole bytes of upper-case digits");
    }
}

void gsm7_walk(const Input& in) {
    const auto src = text_block(in.source);
    const unsigned char* const first = src.get();
    const unsigned char* const terminator =
        first + std::strlen(reinterpret_cast<const char*>(first));
    const unsigned char* p = first;
    while (*p != 0) {
        unsigned char value = 0;
        tx::orv_gsm7_char_to_bit8(&p, &value);
        check(p <= terminator, "the source position stays within the text");
        if (*p == 0) {
            break;
        }
        ++p;
    }
}

template <bool from_gsm>
void to_ucs2(const Input& in) {
    const auto src = from_gsm ? text_block(in.source) : block(in.source, counted(in.limit, 4));
    const std::size_t size = std::max<std::size_t>(in.limit, 1);
    auto dest = std::make_unique<char[]>(size);
    char* end =
        from_gsm ? tx::orv_gsm7_to_ucs2(src.get(), in.src_kind, dest.get(), in.dest_kind, in.limit)
                 : tx::orv_bit8_to_ucs2(src.get(), in.src_kind, dest.get(), in.dest_kind, in.limit);
    if (end == nullptr) {
        return;
    }
    const std::size_t written = static_cast<std::size_t>(end - dest.get());
    check(written < size && written == std::strlen(dest.get()), "UCS-2 output is terminated");
    check(written % 4 == 0 && upper_hex(dest.get(), written),
          "UCS-2 output in whole characters of upper-case digits");
    if (!from_gsm) {
        check(written == 4 * counted(in.limit, 4), "8-bit source converted byte for byte");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Function = void (*)(const Input&);
    constexpr Function kFunctions[] = {utoa,      hex_to_bytes,  hex_to_sim_bytes, convert_charset,
                                       gsm7_walk, to_ucs2<true>, to_ucs2<false>};
    const Input in = parse(data, size);
    kFunctions[in.function](in);
    return 0;
}
