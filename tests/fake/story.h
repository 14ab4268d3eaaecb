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

// Resets the platform and scripts its answers, written as answers() reads them.
inline void script(std::string_view s) {
    reset();
    const std::vector<std::string> in = answers(s);
    fake().answers.assign(in.begin(), in.end());
}

// Every "LEVEL text" entry of `want` begins a line logged (written with its line feed, an entry
// must match the whole line).
inline void expect_logged(std::string_view want, std::string_view label) {
    const Lines logs = fake().log_texts();
    for (const std::string& line : split(want)) {
        EXPECT_TRUE(std::any_of(logs.begin(), logs.end(),
                                [&](const std::string& l) { return l.starts_with(line); }))
            << label << ": missing log \"" << line << "\"";
    }
}

// One row of a handler's table: answers in; the timeline and the "LEVEL text" log lines that must
// appear out. `input` ('|' between fields) and `arg` are what a table needs beyond that.
struct Story {
    const char* name;
    std::string answers;
    std::string timeline;
    std::string logs;
    std::string input = {};
    long long arg = 0;

    std::string field(std::size_t i) const {
        const Lines f = split(input);
        return i < f.size() ? f[i] : "";
    }
};

// Resets the platform, scripts the answers, runs `run` and checks the story. The timeline is
// compared as '|'-joined text, so an entry may hold '|' itself (the APN record does).
template <typename Run>
void expect_story(const Story& s, Run run) {
    script(s.answers);
    run();
    std::string timeline;
    for (const std::string& entry : fake().timeline) {
        timeline += (timeline.empty() ? "" : "|") + entry;
    }
    EXPECT_EQ(split(timeline), split(s.timeline)) << s.name;
    expect_logged(s.logs, s.name);
}

}  // namespace orv::fake
