// Pieces shared by the fuzz targets: cutting one input into its parts, exactly sized copies,
// serving modem answers through the recording platform, and the check that turns a broken
// promise into a crash that libFuzzer (or the replay driver) reports.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fake/fake_platform.h"

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

// Splits `text` at every zero byte, which no answer can carry (the channel hands the daemon
// zero-terminated text). An empty text gives no pieces, a text ending in a zero byte gives an
// empty last piece.
inline std::vector<std::string> split_answers(std::string_view text) {
    std::vector<std::string> out;
    for (std::size_t start = 0; start < text.size() || (start > 0 && start == text.size());) {
        const std::size_t end = std::min(text.find('\0', start), text.size());
        out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Resets the recording platform and queues `answers` for the exchanges to come; with `framed`
// each is the information line of an answer (CR LF line CR LF CR LF OK CR LF).
inline void serve(const std::vector<std::string>& answers, bool framed = false) {
    fake::reset();
    for (const std::string& a : answers) {
        fake::fake().answers.push_back(framed ? fake::info_ok(a) : a);
    }
}

// The value last written to the parameter store under `name`, if any.
inline const std::string* stored(const char* name) {
    const auto& store = fake::fake().store;
    const auto it = store.find(name);
    return it == store.end() ? nullptr : &it->second;
}

// Checks that a written parameter-store value is no longer than `max`.
inline void check_stored_length(const char* name, std::size_t max, const char* what) {
    const std::string* v = stored(name);
    check(v == nullptr || v->size() <= max, what);
}

}  // namespace orv::fuzz
