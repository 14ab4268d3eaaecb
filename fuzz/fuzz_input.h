// Pieces shared by the fuzz targets: cutting one input into its parts, serving modem answers
// through the recording platform, and the check that turns a broken promise into a crash that
// libFuzzer (or the replay driver) reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

// The input as text.
inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The separator between the modem answers of one input: a zero byte, which no answer can carry
// (the channel hands the daemon zero-terminated text).
inline constexpr char kAnswerSeparator = '\0';

// Splits `text` at every separator; an empty text gives no pieces, a text ending in the
// separator gives an empty last piece.
inline std::vector<std::string> split_answers(std::string_view text) {
    std::vector<std::string> out;
    if (text.empty()) {
        return out;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(kAnswerSeparator, start);
        if (end == std::string_view::npos) {
            out.emplace_back(text.substr(start));
            return out;
        }
        out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// A modem answer carrying `line` as its one information line, as the modem frames it:
// CR LF line CR LF CR LF OK CR LF.
inline std::string framed(std::string_view line) {
    return fake::info_ok(line);
}

// Resets the recording platform and queues `answers` for the exchanges to come.
inline void serve(const std::vector<std::string>& answers) {
    fake::reset();
    for (const std::string& a : answers) {
        fake::fake().answers.push_back(a);
    }
}

// Serves each line framed as an information line followed by OK.
inline void serve_lines(const std::vector<std::string>& lines) {
    fake::reset();
    for (const std::string& l : lines) {
        fake::fake().answers.push_back(framed(l));
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
    if (const std::string* v = stored(name)) {
        check(v->size() <= max, what);
    }
}

}  // namespace orv::fuzz
