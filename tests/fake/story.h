// Compact stories for tests over the recording platform: scripted answers, expected timelines
// and log lines written as one text with '|' between entries.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fake/fake_platform.h"

namespace orv::fake {

// "a|b|c" -> {"a", "b", "c"}; "" -> {}; "a||b" keeps the empty entry.
inline Lines split(std::string_view s) {
    Lines out;
    while (!s.empty()) {
        const std::size_t bar = std::min(s.find('|'), s.size());
        out.emplace_back(s.substr(0, bar));
        s.remove_prefix(std::min(bar + 1, s.size()));
    }
    return out;
}

// One modem answer per entry: "" or "-" no answer, "TIMEOUT" and text starting with CR LF as they
// are, "OK", "ERROR" and "+CME ..." as a bare final line, anything else as an information line
// followed by OK.
inline std::vector<std::string> answers(std::string_view s) {
    std::vector<std::string> out;
    for (const std::string& a : split(s)) {
        const bool none = a.empty() || a == "-";
        const bool raw = a == "TIMEOUT" || a.starts_with("\r\n");
        const bool final = a == "OK" || a == "ERROR" || a.starts_with("+CME");
        out.push_back(none ? "" : raw ? a : final ? final_line(a) : info_ok(a));
    }
    return out;
}

// Every "LEVEL text" entry of `want` is among the lines logged.
inline void expect_logged(std::string_view want, std::string_view label) {
    const Lines logs = fake().log_texts();
    for (const std::string& line : split(want)) {
        EXPECT_NE(std::find(logs.begin(), logs.end(), line), logs.end())
            << label << ": missing log \"" << line << "\"";
    }
}

}  // namespace orv::fake
