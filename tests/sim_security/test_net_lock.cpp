#include "sim_security/sim_common.h"
#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

// The attempts left of the first of the two first lock groups that is on. The handshake value is
// lowered after any answer but "ERROR"; the query has the channel's default wait and no echo.
TEST(UnlockRetriesTimes, Outcomes) {
    const std::string q = "AT AT+ESMLCK?|";
    const std::string low = "WRITE unlock_at_wait=-1";
    const std::string e = "+ESMLCK: ";
    const Story stories[] = {
        {"network lock on", e + "(0,1,5,10),(1,1,3,10),(2,0,5,10)",
         q + "WRITE unlock_nck_time=5|" + low,
         "6 unlock retries time is (0,1,5,10)\n|6 unlock retries time is 5\n"},
        {"subset lock on", e + "(0,0,5,10),(1,1,3,10),(2,0,5,10)",
         q + "WRITE unlock_nck_time=3|" + low, "6 unlock retries time subnet is (1,1,3,10)\n"},
        {"two-digit count", e + "(0,1,10,10),(1,0,5,10),(2,0,5,10)",
         q + "WRITE unlock_nck_time=10|" + low, ""},
        {"neither of the first two on", e + "(0,0,5,10),(1,0,5,10),(2,1,5,10)", q + low, ""},
        {"no SIM", "+CME ERROR: SIM not inserted", q + low, ""},
        {"ERROR", "ERROR", q, "0 get unlock times error \n"},
        {"TIMEOUT is judged as an answer", "TIMEOUT", q + low, ""},
        {"no blank", "+ESMLCK:(0,1,5,10),(1,0,5,10),(2,0,5,10)", q + low,
         "0 +ESMLCK answer without a readable first lock group\n"},
        {"no group separator", e + "(0,1,5,10)", q + low, ""},
        {"second group not closed", e + "(0,0,5,10),(1,1,3,10)", q + low,
         "0 +ESMLCK answer without a readable second lock group\n"},
        {"no comma after the count", e + "(0,1,5),(1,0,5,10),(2,0,5,10)", q + low,
         "0 +ESMLCK lock group without a readable count, unlock retries time kept\n"},
        {"count longer than 4", e + "(0,1,12345,10),(1,0,5,10),(2,0,5,10)", q + low, ""},
        {"group of 30", e + "(0,1,5,10,1234567890123456789),(1,0,5,10)", q + low, ""},
        {"group of 29", e + "(0,1,5,10,123456789012345678),(1,0,5,10)",
         q + "WRITE unlock_nck_time=5|" + low, ""},
        {"group too short for a state", e + "(0),(1),(2)", q + low, ""},
        {"group of four, lock on", e + "(0,1,(1,0,5,10),(2,0,5,10)", q + low,
         "0 +ESMLCK lock group without a readable count, unlock retries time kept\n"},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_get_unlock_retries_times(nullptr); });
        EXPECT_EQ(fake().waits, (std::vector<int>{0})) << s.name;
        EXPECT_TRUE(fake().echoes.empty()) << s.name;
    }
}

// The code (input), then two seconds later the lock removed on the facility of the last lock
// kind seen (`arg`). "ERROR" to the removal still means unlocked. A code that would break the
// command or overrun it is refused before anything is sent.
TEST(NetUnlock, CodeEntryThenLockRemoval) {
    const std::string c = "12345678";
    const std::string longest(110, '1');  // with the 17 of the longest frame: the whole buffer
    auto entry = [](const std::string& code) { return "AT AT+CPIN=\"" + code + "\"|"; };
    auto removal = [&](const char* facility, const std::string& result, const std::string& code) {
        return entry(code) + "SLEEP 2|AT AT+CLCK=\"" + facility + "\",0,\"" + code + "\"" +
               (result.empty() ? "" : "|NOTIFY imsi_unlock_status " + result);
    };
    const std::string refused = entry(c) + "NOTIFY imsi_unlock_status 1";
    const Story stories[] = {
        {"subset lock", "OK|OK", removal("PU", "0", c),
         "6 mdm_ATcmd_buf is AT+CPIN=\"12345678\"\n|6 sim is complete is\n|"
         "6  mdm_ATcmd_buf is AT+CLCK=\"PU\",0,\"12345678\"\n",
         c, 2},
        {"SIM lock", "OK|OK", removal("PS", "0", c), "", c, 5},
        {"corporate lock", "OK|OK", removal("PC", "0", c), "", c, 4},
        {"no lock seen", "OK|OK", removal("PN", "0", c), "", c, 0},
        {"blocked kind", "OK|OK", removal("PN", "0", c), "", c, 43},
        {"removal ERROR", "OK|ERROR", removal("PN", "0", c), kErrorLog, c, 1},
        {"removal refused", "OK|+CME ERROR: 16", removal("PN", "1", c), "", c, 1},
        {"removal no answer", "OK|", removal("PN", "", c), "", c, 1},
        {"code refused", "+CME ERROR: incorrect password", refused,
         "6 result_e is 1\n|0 cpin unlock fail!\n", c, 2},
        {"code ERROR", "ERROR", refused, kErrorLog, c, 2},
        {"code no answer", "", refused, "", c, 2},
        {"longest code", "OK|OK", removal("PN", "0", longest), "", longest, 1},
        {"code one too long", "OK|OK", "", "0 unlock code refused", longest + "1", 1},
        {"quote", "OK|OK", "", "0 unlock code refused", "12\"45", 1},
        {"control character", "OK|OK", "", "0 unlock code refused", "\x1b", 1},
    };
    for (const Story& s : stories) {
        mdm_lock_type = static_cast<std::int32_t>(s.arg);
        const Payload p = Payload().text(msg::net_unlock::kCode, s.input);
        expect_story(s, [&] { orv_quorl_mdm_net_unlock(p.data()); });
        EXPECT_TRUE(fake().echoes.empty()) << s.name;
    }
    fake::reset();
    orv_quorl_mdm_net_unlock(nullptr);
    EXPECT_TRUE(fake().timeline.empty());
    EXPECT_EQ(orv_quorl_mdm_enter_unlock_code(nullptr), 1);
    EXPECT_TRUE(fake().logged(ORV_LOG_LEVEL_ERR, "msg_ptr is NULL\n"));
}

}  // namespace
}  // namespace orv::sim_security::test
