// Bounded copies into fixed buffers. The destination is an array reference, so its size is
// derived, never passed by hand.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace orv {

// Length of the text in `buf`, never looking past its end.
template <std::size_t N>
constexpr std::size_t text_len(const char (&buf)[N]) {
    std::size_t n = 0;
    while (n < N && buf[n] != '\0') {
        ++n;
    }
    return n;
}

template <std::size_t N>
constexpr std::string_view text_view(const char (&buf)[N]) {
    return std::string_view(buf, text_len(buf));
}

// Copies as much of `src` as fits with a terminator; the rest of `dst` after the terminator is
// left as it was. Returns the number of characters copied.
template <std::size_t N>
std::size_t copy_text_cut(char (&dst)[N], std::string_view src) {
    static_assert(N > 0);
    const std::size_t n = src.size() < N - 1 ? src.size() : N - 1;
    if (n != 0) {
        std::memcpy(dst, src.data(), n);
    }
    dst[n] = '\0';
    return n;
}

// Copies `src` with its terminator only when it fits whole; otherwise leaves `dst` untouched
// and returns false.
template <std::size_t N>
bool copy_text_whole(char (&dst)[N], std::string_view src) {
    if (src.size() >= N) {
        return false;
    }
    if (!src.empty()) {
        std::memcpy(dst, src.data(), src.size());
    }
    dst[src.size()] = '\0';
    return true;
}

// Joins `parts` into `dst` with a terminator when the whole fits; otherwise leaves `dst`
// zeroed and returns false.
template <std::size_t N>
bool join_text(char (&dst)[N], std::initializer_list<std::string_view> parts) {
    std::size_t total = 0;
    for (std::string_view p : parts) {
        total += p.size();
    }
    std::memset(dst, 0, N);
    if (total >= N) {
        return false;
    }
    std::size_t at = 0;
    for (std::string_view p : parts) {
        if (!p.empty()) {
            std::memcpy(dst + at, p.data(), p.size());
            at += p.size();
        }
    }
    return true;
}

}  // namespace orv
