#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

struct PinStatusCase {
    Story story;
    std::int32_t lock_after;  // mdm_lock_type starts at 7 in every row
};

TEST(PinStatus, AnswerToNotificationCountersAndLockKind) {
    const std::string counters = epinc("3, 3, 10, 10");
    const Lines refreshed{"AT AT+EPINC", "WRITE pinnumber=3", "WRITE puknumber=10"};
    auto with_refresh = [&](Lines head) {
        head.insert(head.end(), refreshed.begin(), refreshed.end());
        return head;
    };
    const PinStatusCase cases[] = {
        {{"ready",
          {fake::info_ok("+CPIN: READY"), counters},
          with_refresh({"AT AT+CPIN?", "NOTIFY pin_status 0 READY"}),
          {"6 enter orv_quorl_mdm_get_pin_status fun\n", "6 resPara is READY\n",
           "6 mdm_ATcmd_buf is AT+CPIN? \n", "6 mdm_at_result_process is +CPIN: READY \n"}},
         7},
        {{"network subset lock waiting for its key",
          {fake::info_ok("+CPIN: PH-NETSUB PIN"), counters},
          with_refresh({"AT AT+CPIN?", "NOTIFY pin_status 0 SIM LOCK"}),
          {}},
         2},
        {{"service provider lock blocked",
          {fake::info_ok("+CPIN: PH-SP PUK"), counters},
          with_refresh({"AT AT+CPIN?", "NOTIFY pin_status 0 SML BLOCK"}),
          {}},
         43},
        {{"no SIM",
          {fake::final_line("+CME ERROR: SIM not inserted"), counters},
          with_refresh({"AT AT+CPIN?", "NOTIFY pin_status 1 SIM failure"}),
          {"6 resPara is SIM failure\n"}},
         7},
        {{"PUK asked through an error",
          {fake::final_line("+CME ERROR: SIM PUK required"), counters},
          with_refresh({"AT AT+CPIN?", "NOTIFY pin_status 1 SIM PUK"}),
          {}},
         7},
        {{"PUK blocked",
          {fake::final_line("+CME ERROR: SIM invalid - PUK blocked"), counters},
          with_refresh({"AT AT+CPIN?", "NOTIFY pin_status 1 SIM PERM BLOCKED"}),
          {}},
         7},
        {{"numeric error names no row, counters still published",
          {fake::final_line("+CME ERROR: 10"), counters},
          with_refresh({"AT AT+CPIN?"}),
          {}},
         7},
        {{"trailing blank matches no row",
          {fake::info_ok("+CPIN: READY "), counters},
          with_refresh({"AT AT+CPIN?"}),
          {}},
         7},
        {{"lock kind needs the whole line",
          {fake::info_ok("+CPIN: PH-NET PIN2"), counters},
          with_refresh({"AT AT+CPIN?"}),
          {}},
         7},
        {{"only the first line is judged",
          {"\r\n+CPIN: SIM PUK\r\n\r\nERROR\r\n", counters},
          with_refresh({"AT AT+CPIN?", "NOTIFY pin_status 0 SIM PUK"}),
          {}},
         7},
        {{"ERROR", {kError}, {"AT AT+CPIN?"}, {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}}, 7},
        {{"empty answer", {""}, {"AT AT+CPIN?"}, {"0 (char*)mdm_res.aucDataBuf is NULL\n"}}, 7},
        {{"timeout", {"TIMEOUT"}, {"AT AT+CPIN?"}, {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
         7},
        {{"bare OK", {kOk}, {"AT AT+CPIN?"}, {}}, 7},
    };
    for (const PinStatusCase& c : cases) {
        mdm_lock_type = 7;
        expect_story(c.story, [] { orv_quorl_mdm_get_pin_status(nullptr); });
        EXPECT_EQ(mdm_lock_type, c.lock_after) << c.story.name;
    }
}

TEST(UimState, QueriesAndPublishesNothing) {
    const Story stories[] = {
        {"ready", {fake::info_ok("+CPIN: READY")}, {"AT AT+CPIN?\r\n"}, {}},
        {"error", {fake::final_line("+CME ERROR: SIM not inserted")}, {"AT AT+CPIN?\r\n"}, {}},
        {"empty", {""}, {"AT AT+CPIN?\r\n"}, {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"timeout",
         {"TIMEOUT"},
         {"AT AT+CPIN?\r\n"},
         {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_get_uim_state(nullptr); });
        // The entry line is its only information line.
        for (const auto& line : fake().logs) {
            if (line.level == ORV_LOG_LEVEL_INFO) {
                EXPECT_EQ(line.text, "entern orv_quorl_mdm_get_uim_state \n") << s.name;
            }
        }
    }
    fake::reset();
    fake().answers = {fake::info_ok("+CPIN: READY")};
    orv_quorl_mdm_get_uim_state(nullptr);
    EXPECT_EQ(fake().echoes, (Lines{fake::info_ok("+CPIN: READY")}));
}

}  // namespace
}  // namespace orv::sim_security::test
