// Pieces shared by the fuzz targets: the input as text and its numbers, exactly sized copies, and
// the check that turns a broken promise into a crash that libFuzzer (or the replay driver)
// reports.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace orv::fuzz {

// Stops the run with a message when a promise of the code under test does not hold.
inline void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The 32-bit little-endian number at `at`; bytes past the end read as zero.
inline std::uint32_t le32(std::string_view bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4 && at + i < bytes.size(); ++i) {
        v |= std::uint32_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
    }
    return v;
}

// A heap block of exactly `size` bytes holding `bytes`, cut or padded with zeros: a read or write
// one byte past it is an AddressSanitizer report.
template <typename Char = char>
std::unique_ptr<Char[]> exact(std::string_view bytes, std::size_t size) {
    auto out = std::make_unique<Char[]>(size);
    if (!bytes.empty() && size != 0) {
        std::memcpy(out.get(), bytes.data(), std::min(bytes.size(), size));
    }
    return out;
}

}  // namespace orv::fuzz
