// SIM security end to end, through the request tool against the virtual modem's SIM states: PIN
// entry with a wrong and a right PIN, PIN change, PIN lock off, then a network-locked SIM opened
// with its control key after a wrong one. The commands each request sends, the counters' and
// the lock's other answers and codes that would break their command are the unit tests'
// (tests/sim_security).
//
// SIM identity end to end: the language a new SIM brings (its EF PL, else its country's from the
// device database by the ICCID's digits), and the controller's APN record with the home network
// from the IMSI and as many MNC digits as EF AD gives. (The same SIM again, no detection:
// tests/sim_identity/test_iccid.cpp.)
#include <gtest/gtest.h>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

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
        {{"swap", "locked"}, {}},
        {{"GET_PIN_STATUS"}, {R"(pin_status kind=0 state="SIM LOCK")"}},
        {{"NET_UNLOCK", "--code", "00000000"}, {"imsi_unlock_status status=1"}},
        {{"NET_UNLOCK", "--code", "11112222"}, {"imsi_unlock_status status=0"}},
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

constexpr const char* kTwoSims = R"(
[sim.default]
iccid = "8944123456789012345"
imsi = "310260123456789"
languages = ["en"]
mnc_digits = 3

[sim.second]
iccid = "8949226011234567890"
imsi = "262011234567890"
languages = []
mnc_digits = 2
)";

TEST(SimIdentity, LanguageAndApnRecordFollowTheSim) {
    const struct {
        const char* sim;
        const char* language;
        const char* apn;
    } rows[] = {
        {"default", "en", R"(plmn="310260" imsi="310260123456789" iccid="8944123456789012345F")"},
        {"second", "de", R"(plmn="26201" imsi="262011234567890" iccid="8949226011234567890F")"},
    };
    Rig rig;
    rig.write_factory_item(2301, std::string("\x01", 1));  // the language follows the SIM
    rig.start({.profile = kTwoSims});
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].sim);
        rig.modem_ctl({"swap", rows[i].sim});
        rig.set("Language", "xx");
        rig.send(msg::ORV_MDM_GET_ICCID);
        rig.send(msg::ORV_MDM_GET_IMSI);
        rig.send(msg::ORV_MDM_APN_GET_SIM_INFO);  // served after the two before it
        const Lines notes = rig.wait_notes(i + 1);
        ASSERT_EQ(notes.size(), i + 1);
        EXPECT_EQ(notes.back(), std::string("apn_sim_msg ") + rows[i].apn);
        EXPECT_EQ(rig.store("Language"), rows[i].language);
    }
}

}  // namespace
}  // namespace orv::e2e
