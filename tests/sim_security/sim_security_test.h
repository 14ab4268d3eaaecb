// Shared pieces of the SIM-security tests: request payloads as the receive buffer holds them, and
// compact scripted stories over the recording platform. A story is written as strings with '|'
// between entries: the modem's answers, the expected timeline and log lines that must appear.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/mdm_msg.h"
#include "platform/orv_log.h"
#include "sim_security/sim_security.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"

namespace orv::sim_security::test {

using fake::answers;
using fake::fake;
using fake::Lines;
using fake::split;

// A payload as the receive loop hands it over: the bytes after the identifier, zero beyond what
// was sent.
class Payload {
  public:
    Payload& text(std::size_t offset, std::string_view value) {
        std::memcpy(bytes_.data() + offset, value.data(), value.size());
        return *this;
    }
    Payload& text(msg::TextField field, std::string_view value) {
        return text(field.offset, value);
    }
    Payload& u32(msg::IntField field, std::uint32_t value) {
        msg::store_u32(bytes_.data() + field.offset, value);
        return *this;
    }
    const unsigned char* data() const { return bytes_.data(); }

  private:
    // The receive buffer holds 1024 bytes; the payload starts after the 4-byte identifier.
    std::array<unsigned char, msg::kRecvBufferSize - msg::kIdSize> bytes_{};
};

inline bool has_log_starting(std::string_view start) {
    const Lines logs = fake().log_texts();
    return std::any_of(logs.begin(), logs.end(),
                       [&](const std::string& l) { return l.starts_with(start); });
}

// One row of a handler's story: answers in; timeline and the starts of "LEVEL text" log lines
// out. `input` holds the request's text fields ('|' between), `arg` what else a table needs (a
// lock kind, an operation).
struct Story {
    const char* name;
    std::string answers;
    std::string timeline;
    std::string logs;
    std::string input = {};
    std::uint32_t arg = 0;

    std::string field(std::size_t i) const {
        const Lines f = split(input);
        return i < f.size() ? f[i] : "";
    }
};

// Resets the platform, scripts the answers, runs `handler` and checks the story.
template <typename Run>
void expect_story(const Story& s, Run run) {
    fake::reset();
    const std::vector<std::string> in = answers(s.answers);
    fake().answers.assign(in.begin(), in.end());
    run();
    EXPECT_EQ(fake().timeline, split(s.timeline)) << s.name;
    for (const std::string& want : split(s.logs)) {
        EXPECT_TRUE(has_log_starting(want)) << s.name << ": missing log \"" << want << "\"";
    }
}

// The counter refresh every PIN operation ends with, after "+EPINC: 3, 3, 10, 10".
inline const std::string kCounters = "+EPINC: 3, 3, 10, 10";
inline const std::string kRefreshed = "AT AT+EPINC|WRITE pinnumber=3|WRITE puknumber=10";

inline constexpr const char* kErrorLog = "0 (char*)mdm_res.aucDataBuf is ERROR\n";

}  // namespace orv::sim_security::test
