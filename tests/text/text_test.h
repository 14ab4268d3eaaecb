// Helpers of the text handler tests.
#pragma once

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "tests/fake/fake_platform.h"

namespace orv::text::test {

// Timeline or log entries written as one text with '|' between them; "" is no entry.
inline fake::Lines lines(const std::string& text) {
    fake::Lines out;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t bar = std::min(text.find('|', from), text.size());
        out.push_back(text.substr(from, bar - from));
        from = bar + 1;
    }
    return out;
}

// Every "LEVEL text" entry of `want` is among the lines logged.
inline void expect_logged(const std::string& want, const std::string& label) {
    const fake::Lines logs = fake::fake().log_texts();
    for (const std::string& line : lines(want)) {
        EXPECT_NE(std::find(logs.begin(), logs.end(), line), logs.end())
            << label << ": missing log " << line;
    }
}

}  // namespace orv::text::test
