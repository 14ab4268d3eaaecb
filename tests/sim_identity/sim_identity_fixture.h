// Shared pieces of the SIM identity tests: compact scripted stories over the recording platform
// (answers, expected timeline and log lines as strings with '|' between entries), and a helper
// that puts the kept ICCID and IMSI in a known state. Those texts live for the whole process, so
// every test establishes them itself.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "sim_identity/sim_identity.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"

namespace orv::sim_identity::testing {

using fake::answers;
using fake::expect_story;
using fake::fake;
using fake::Lines;
using fake::split;
using fake::Story;

// The EF ICCID answer with `quoted` between the quotes, as this modem writes it.
inline std::string crsm(std::string_view quoted) {
    return "+CRSM: 144, 0,\"" + std::string(quoted) + "\"";
}

// A 20-digit ICCID as the SIM stores it, and as it is published.
inline constexpr std::string_view kStoredIccid = "984421436587092143F5";
inline constexpr std::string_view kIccid = "8944123456789012345F";

// Makes the kept ICCID the swap of `quoted` and the kept IMSI `imsi` (the language not following
// the SIM), then resets the platform.
inline void keep(std::string_view quoted, std::string_view imsi) {
    fake::reset();
    fake().answers = {fake::info_ok(crsm(quoted)), fake::info_ok(imsi)};
    orv_quorl_mdm_get_iccid(nullptr, 0);
    orv_quorl_mdm_get_imsi(nullptr);
    fake::reset();
}

}  // namespace orv::sim_identity::testing
