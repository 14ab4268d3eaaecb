// SIM security end to end, through the request tool against the virtual modem's SIM states: PIN
// entry with a wrong and a right PIN, PIN change, PIN lock off, on and query, then a
// network-locked SIM opened with its control key. The commands each request sends are the unit
// tests' (tests/sim_security); codes that would break their command are test_security.cpp's.
#include <gtest/gtest.h>

#include "tools/rig/rig.h"

namespace orv::e2e {
namespace {

constexpr const char* kSims = R"(
[sim.default]
pin = "4321"
pin_lock = true

[sim.locked.locks.network]
key = "11112222"
attempts = 5
max = 5
)";

TEST(SimSecurity, PinAndNetworkLockFollowTheSimsState) {
    const struct {
        Lines args;    // for the request tool; "swap" ones go to the modem
        Lines expect;  // notifications, and store entries ("name=value", removed before)
    } steps[] = {
        {{"GET_PIN_STATUS"}, {R"(pin_status kind=0 state="SIM PIN")"}},
        {{"VERIFY_PIN", "--pin", "1111"},
         {R"(verify_pinpuk result=1 state="incorrect password")", "pinnumber=2"}},
        {{"VERIFY_PIN", "--pin", "4321"},
         {R"(verify_pinpuk result=0 state="READY")", "pin_code=4321"}},
        // The PIN change reads the SIM state again, which the controller hears.
        {{"CHANGE_PIN", "--old-pin", "4321", "--new-pin", "8765"},
         {R"(pin_status kind=0 state="READY")", "pin_code=8765"}},
        {{"PIN_MODE", "--op", "off", "--pin", "8765"}, {"pin_status=0"}},
        {{"PIN_MODE", "--op", "on", "--pin", "8765"}, {"pin_status=1"}},
        {{"swap", "locked"}, {}},
        {{"GET_PIN_STATUS"}, {R"(pin_status kind=0 state="SIM LOCK")"}},
        {{"NET_UNLOCK", "--code", "00000000"}, {"imsi_unlock_status status=1"}},
        {{"NET_UNLOCK_TIMES"}, {"unlock_nck_time=4"}},
        {{"NET_UNLOCK", "--code", "11112222"}, {"imsi_unlock_status status=0"}},
        {{"GET_PIN_STATUS"}, {R"(pin_status kind=0 state="READY")"}},
    };
    Rig rig;
    rig.start({.profile = kSims});
    std::size_t notes = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(::testing::PrintToString(step.args));
        const auto is_store = [](const std::string& e) { return e.find(' ') == std::string::npos; };
        for (const std::string& e : step.expect) {
            if (is_store(e)) {
                rig.unset(e.substr(0, e.find('=')));
            }
        }
        if (step.args[0] == "swap") {
            rig.modem_ctl(step.args);
        } else {
            ASSERT_EQ(rig.send_tool(step.args), 0);
        }
        for (const std::string& e : step.expect) {
            if (is_store(e)) {
                EXPECT_TRUE(rig.wait_store(e.substr(0, e.find('=')), e.substr(e.find('=') + 1)));
            } else {
                const Lines got = rig.wait_notes(++notes, 15s);  // the unlock sleeps 2 s
                ASSERT_EQ(got.size(), notes);
                EXPECT_EQ(got.back(), e);
            }
        }
    }
}

}  // namespace
}  // namespace orv::e2e
