#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

// The state text and its kind notified, the counters refreshed, and a "+CPIN: PH-..." answer's
// lock kind kept (`arg`; 0 before each row).
TEST(PinStatus, AnswerToNotificationCountersAndLockKind) {
    const std::string q = "AT AT+CPIN?|";
    auto notified = [&](const char* kind_text) {
        return q + "NOTIFY pin_status " + kind_text + "|" + kRefreshed;
    };
    const std::string c = "|" + kCounters;
    const Story stories[] = {
        {"ready", "+CPIN: READY" + c, notified("0 READY"),
         "6 resPara is READY\n|6 mdm_ATcmd_buf is AT+CPIN? \n"},
        {"lock waiting for its key", "+CPIN: PH-NETSUB PIN" + c, notified("0 SIM LOCK"), "", "", 2},
        {"lock blocked", "+CPIN: PH-SP PUK" + c, notified("0 SML BLOCK"), "", "", 43},
        {"no SIM", "+CME ERROR: SIM not inserted" + c, notified("1 SIM failure"),
         "6 resPara is SIM failure\n"},
        {"error no row names", "+CME ERROR: 10" + c, q + kRefreshed, ""},
        {"lock kind needs the whole line", "+CPIN: PH-NET PIN2" + c, q + kRefreshed, ""},
        {"first line judged", "\r\n+CPIN: SIM PUK\r\n\r\nERROR\r\n" + c, notified("0 SIM PUK"), ""},
        {"ERROR", "ERROR", q, kErrorLog},
        {"timeout", "TIMEOUT", q, "0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"},
        {"bare OK", "OK", q, ""},
    };
    for (const Story& s : stories) {
        mdm_lock_type = 0;
        expect_story(s, [] { orv_quorl_mdm_get_pin_status(nullptr); });
        EXPECT_EQ(mdm_lock_type, static_cast<std::int32_t>(s.arg)) << s.name;
    }
}

// Every personalisation lock line gives its kind: 1 to 5 waiting for the key, 41 to 45 blocked.
TEST(PinStatus, EveryLockLineGivesItsKind) {
    const char* names[] = {"NET", "NETSUB", "SP", "CORP", "FSIM"};
    for (int i = 0; i < 5; ++i) {
        for (const bool puk : {false, true}) {
            fake::reset();
            mdm_lock_type = 0;
            fake().answers = {
                fake::info_ok(std::string("+CPIN: PH-") + names[i] + (puk ? " PUK" : " PIN"))};
            orv_quorl_mdm_get_pin_status(nullptr);
            EXPECT_EQ(mdm_lock_type, (puk ? 41 : 1) + i) << names[i] << puk;
        }
    }
}

// The raw query carries its own line end, echoes the answer and logs nothing but its entry line.
TEST(UimState, QueriesAndPublishesNothing) {
    expect_story({"ready", "+CPIN: READY", "AT AT+CPIN?\r\n", ""},
                 [] { orv_quorl_mdm_get_uim_state(nullptr); });
    EXPECT_EQ(fake().echoes, (Lines{fake::info_ok("+CPIN: READY")}));
    EXPECT_EQ(fake().log_texts(), (Lines{"6 entern orv_quorl_mdm_get_uim_state \n"}));
}

}  // namespace
}  // namespace orv::sim_security::test
