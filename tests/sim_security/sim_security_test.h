// Shared pieces of the SIM-security tests: request payloads as the receive buffer holds them,
// scripted stories over the recording platform, and the counters every PIN operation republishes.
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

namespace orv::sim_security::test {

using fake::fake;
using fake::Lines;

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

// One row of a handler's story: the modem's answers in, the timeline and key log lines out.
struct Story {
    const char* name;
    std::vector<std::string> answers;
    Lines timeline;
    Lines logs;  // "LEVEL text" lines that must appear among the logs
};

inline void expect_logged(const Lines& wanted, const char* name) {
    const Lines logs = fake().log_texts();
    for (const std::string& want : wanted) {
        EXPECT_NE(std::find(logs.begin(), logs.end(), want), logs.end())
            << name << ": missing log \"" << want << "\"";
    }
}

// Resets the platform, scripts the answers and runs `handler`; then compares the timeline.
template <typename Run>
void expect_story(const Story& s, Run run) {
    fake::reset();
    fake().answers.assign(s.answers.begin(), s.answers.end());
    run();
    EXPECT_EQ(fake().timeline, s.timeline) << s.name;
    expect_logged(s.logs, s.name);
}

// Leaves the PIN and PUK counters at known values ("+EPINC: pin, 3, puk, 10") and the recording
// platform empty.
inline void prime_counters(std::string_view pin, std::string_view puk) {
    fake::reset();
    fake().answers = {
        fake::info_ok("+EPINC: " + std::string(pin) + ", 3, " + std::string(puk) + ", 10")};
    orv_quorl_mdm_get_pin_puk_times(nullptr);
    fake::reset();
}

inline std::string epinc(std::string_view counters) {
    return fake::info_ok("+EPINC: " + std::string(counters));
}

inline const std::string kOk = fake::final_line("OK");
inline const std::string kError = fake::final_line("ERROR");

}  // namespace orv::sim_security::test
