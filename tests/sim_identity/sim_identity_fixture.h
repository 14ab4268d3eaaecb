// Shared pieces of the SIM identity tests: a fixture that resets the recording platform and the
// language flag, and helpers that put the kept ICCID and IMSI in a known state. Those texts live
// for the whole process, so every test establishes the state it relies on itself.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "core/daemon.h"
#include "sim_identity/sim_identity.h"
#include "tests/fake/fake_platform.h"

namespace orv::sim_identity::testing {

using fake::fake;
using fake::Lines;

// The EF ICCID answer with `quoted` between the quotes, as this modem writes it.
inline std::string iccid_answer(std::string_view quoted) {
    return fake::info_ok("+CRSM: 144, 0,\"" + std::string(quoted) + "\"");
}

// A 20-digit ICCID as the SIM stores it, and as it is published.
inline constexpr std::string_view kStoredIccid = "984421436587092143F5";
inline constexpr std::string_view kIccid = "8944123456789012345F";

// Makes the kept ICCID the swap of `quoted` (flag off), then clears the records.
inline void keep_iccid(std::string_view quoted) {
    fake::reset();
    core::orv_auto_set_language = 0;
    fake().answers = {iccid_answer(quoted)};
    orv_quorl_mdm_get_iccid(nullptr);
    fake::reset();
}

// Makes the kept IMSI `imsi` (an empty text too), then clears the records.
inline void keep_imsi(std::string_view imsi) {
    fake::reset();
    fake().answers = {fake::info_ok(imsi)};
    orv_quorl_mdm_get_imsi(nullptr);
    fake::reset();
}

// Every line of `want` is among the logged lines ("LEVEL text").
inline void expect_logged(const Lines& want, const std::string& context) {
    const Lines logs = fake().log_texts();
    for (const std::string& w : want) {
        EXPECT_NE(std::find(logs.begin(), logs.end(), w), logs.end())
            << context << ": missing log \"" << w << "\"";
    }
}

class SimIdentityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        core::orv_auto_set_language = 0;
    }
    void TearDown() override { core::orv_auto_set_language = 0; }
};

}  // namespace orv::sim_identity::testing
