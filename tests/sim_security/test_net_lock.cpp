#include "sim_security/sim_common.h"
#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

const std::string kTimesCmd = "AT AT+ESMLCK?";
const std::string kWaitLowered = "WRITE unlock_at_wait=-1";

std::string esmlck(std::string_view groups) {
    return fake::info_ok("+ESMLCK: " + std::string(groups));
}

TEST(UnlockRetriesTimes, Outcomes) {
    const Story stories[] = {
        {"network lock on: its count, the subset group not read",
         {esmlck("(0,1,5,10),(1,1,3,10),(2,0,5,10)")},
         {kTimesCmd, "WRITE unlock_nck_time=5", kWaitLowered},
         {"6 enter orv_quorl_mdm_get_unlock_retries_times fun \n",
          "6 unlock retries time is (0,1,5,10)\n", "6 unlock retries time is 5\n"}},
        {"network subset lock on",
         {esmlck("(0,0,5,10),(1,1,3,10),(2,0,5,10)")},
         {kTimesCmd, "WRITE unlock_nck_time=3", kWaitLowered},
         {"6 unlock retries time subnet is (1,1,3,10)\n", "6 unlock retries time is 3\n"}},
        {"two-digit count",
         {esmlck("(0,1,10,10),(1,0,5,10),(2,0,5,10)")},
         {kTimesCmd, "WRITE unlock_nck_time=10", kWaitLowered},
         {}},
        {"neither of the first two on; later groups not read",
         {esmlck("(0,0,5,10),(1,0,5,10),(2,1,5,10)")},
         {kTimesCmd, kWaitLowered},
         {}},
        {"no SIM",
         {fake::final_line("+CME ERROR: SIM not inserted")},
         {kTimesCmd, kWaitLowered},
         {}},
        {"ERROR", {kError}, {kTimesCmd}, {"0 get unlock times error \n"}},
        {"empty", {""}, {kTimesCmd}, {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"TIMEOUT is judged as an answer", {"TIMEOUT"}, {kTimesCmd, kWaitLowered}, {}},
        // Out of shape: only the handshake value, and an error line.
        {"no blank",
         {fake::info_ok("+ESMLCK:(0,1,5,10),(1,0,5,10),(2,0,5,10)")},
         {kTimesCmd, kWaitLowered},
         {"0 +ESMLCK answer without a readable first lock group\n"}},
        {"no group separator", {esmlck("(0,1,5,10)")}, {kTimesCmd, kWaitLowered}, {}},
        {"second group needed but not closed by a separator",
         {esmlck("(0,0,5,10),(1,1,3,10)")},
         {kTimesCmd, kWaitLowered},
         {"0 +ESMLCK answer without a readable second lock group\n"}},
        {"no comma after the count",
         {esmlck("(0,1,5),(1,0,5,10),(2,0,5,10)")},
         {kTimesCmd, kWaitLowered},
         {"0 +ESMLCK lock group without a readable count, unlock retries time kept\n"}},
        {"count longer than 4",
         {esmlck("(0,1,12345,10),(1,0,5,10),(2,0,5,10)")},
         {kTimesCmd, kWaitLowered},
         {}},
        {"group of 30 characters",
         {esmlck("(0,1,5,10,1234567890123456789),(1,0,5,10),(2,0,5,10)")},
         {kTimesCmd, kWaitLowered},
         {}},
        {"group of 29 characters is read",
         {esmlck("(0,1,5,10,123456789012345678),(1,0,5,10),(2,0,5,10)")},
         {kTimesCmd, "WRITE unlock_nck_time=5", kWaitLowered},
         {}},
        {"group too short for a lock state",
         {esmlck("(0),(1),(2)")},
         {kTimesCmd, kWaitLowered},
         {}},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_get_unlock_retries_times(nullptr); });
        EXPECT_EQ(fake().waits, (std::vector<int>{0})) << s.name;
        EXPECT_TRUE(fake().echoes.empty()) << s.name;
    }
}

struct UnlockCase {
    Story story;
    std::int32_t lock_type;
};

TEST(NetUnlock, CodeEntryThenLockRemoval) {
    const std::string code_entry = R"(AT AT+CPIN="12345678")";
    auto removal = [](const char* facility) {
        return std::string("AT AT+CLCK=\"") + facility + "\",0,\"12345678\"";
    };
    const UnlockCase cases[] = {
        {{"network subset lock",
          {kOk, kOk},
          {code_entry, "SLEEP 2", removal("PU"), "NOTIFY imsi_unlock_status 0"},
          {"6 enter orv_quorl_mdm_net_unlock\n", "6 mdm_ATcmd_buf is AT+CPIN=\"12345678\"\n",
           "6 sim is complete is\n", "6  mdm_ATcmd_buf is AT+CLCK=\"PU\",0,\"12345678\"\n"}},
         2},
        {{"SIM lock",
          {kOk, kOk},
          {code_entry, "SLEEP 2", removal("PS"), "NOTIFY imsi_unlock_status 0"},
          {}},
         5},
        {{"blocked kind uses the network facility",
          {kOk, kOk},
          {code_entry, "SLEEP 2", removal("PN"), "NOTIFY imsi_unlock_status 0"},
          {}},
         43},
        {{"no lock seen yet uses the network facility",
          {kOk, kOk},
          {code_entry, "SLEEP 2", removal("PN"), "NOTIFY imsi_unlock_status 0"},
          {}},
         0},
        {{"removal answered ERROR: unlocked all the same",
          {kOk, kError},
          {code_entry, "SLEEP 2", removal("PN"), "NOTIFY imsi_unlock_status 0"},
          {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}},
         1},
        {{"removal refused",
          {kOk, fake::final_line("+CME ERROR: incorrect password")},
          {code_entry, "SLEEP 2", removal("PN"), "NOTIFY imsi_unlock_status 1"},
          {}},
         1},
        {{"removal got no answer", {kOk, ""}, {code_entry, "SLEEP 2", removal("PN")}, {}}, 1},
        {{"removal timed out",
          {kOk, "TIMEOUT"},
          {code_entry, "SLEEP 2", removal("PN")},
          {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
         1},
        {{"code refused",
          {fake::final_line("+CME ERROR: incorrect password")},
          {code_entry, "NOTIFY imsi_unlock_status 1"},
          {"6 result_e is 1\n", "0 cpin unlock fail!\n"}},
         2},
        {{"code answered ERROR",
          {kError},
          {code_entry, "NOTIFY imsi_unlock_status 1"},
          {"0 (char*)mdm_res.aucDataBuf is ERROR\n", "0 cpin unlock fail!\n"}},
         2},
        {{"code got no answer", {""}, {code_entry, "NOTIFY imsi_unlock_status 1"}, {}}, 2},
        {{"code timed out", {"TIMEOUT"}, {code_entry, "NOTIFY imsi_unlock_status 1"}, {}}, 2},
    };
    const Payload p = Payload().text(msg::net_unlock::kCode, "12345678");
    for (const UnlockCase& c : cases) {
        mdm_lock_type = c.lock_type;
        expect_story(c.story, [&] { orv_quorl_mdm_net_unlock(p.data()); });
        EXPECT_TRUE(fake().echoes.empty()) << c.story.name;
    }
}

TEST(NetUnlock, CodeLengthAndCharacters) {
    mdm_lock_type = 1;
    // 110 characters with the 17 of the longest frame fill the command buffer exactly.
    const std::string longest(110, '1');
    fake::reset();
    fake().answers = {kOk, kOk};
    orv_quorl_mdm_net_unlock(Payload().text(msg::net_unlock::kCode, longest).data());
    EXPECT_EQ(fake().commands, (Lines{"AT+CPIN=\"" + longest + "\"",
                                      std::string(kNetworkUnlockCommand) + longest + "\""}));

    const std::string refused[] = {std::string(111, '1'), std::string(1000, '1'), "12\"45",
                                   "12\r\n45", "\x1b"};
    for (const std::string& code : refused) {
        fake::reset();
        fake().answers = {kOk, kOk};
        orv_quorl_mdm_net_unlock(Payload().text(msg::net_unlock::kCode, code).data());
        EXPECT_TRUE(fake().timeline.empty()) << code.size();
        const Lines logs = fake().log_texts();
        EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [](const std::string& l) {
            return l.starts_with("0 unlock code refused");
        })) << code.size();
    }

    fake::reset();
    orv_quorl_mdm_net_unlock(nullptr);
    EXPECT_TRUE(fake().timeline.empty());
    EXPECT_EQ(orv_quorl_mdm_enter_unlock_code(nullptr), 1);
    EXPECT_TRUE(fake().logged(ORV_LOG_LEVEL_ERR, "msg_ptr is NULL\n"));
}

}  // namespace
}  // namespace orv::sim_security::test
