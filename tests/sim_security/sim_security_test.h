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

#include "platform/orv_log.h"
#include "sim_security/sim_security.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"
#include "wire/mdm_msg.h"

namespace orv::sim_security::test {

using fake::answers;
using fake::expect_story;
using fake::fake;
using fake::Lines;
using fake::split;
using fake::Story;

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

// The counter refresh every PIN operation ends with, after "+EPINC: 3, 3, 10, 10".
inline const std::string kCounters = "+EPINC: 3, 3, 10, 10";
inline const std::string kRefreshed = "AT AT+EPINC|WRITE pinnumber=3|WRITE puknumber=10";

inline constexpr const char* kErrorLog = "0 (char*)mdm_res.aucDataBuf is ERROR\n";

}  // namespace orv::sim_security::test
