// The daemon's spine end to end: start-up and bring-up against the virtual modem (with its edge
// cases), the receive loop's logging of each request, and the single-instance guard. Datagrams of
// any content are the flood test's (test_faults.cpp).
#include <gtest/gtest.h>

#include "tools/rig/rig.h"

namespace orv::e2e {
namespace {

TEST(Spine, BringUpThenEveryRequestIsLoggedAndServed) {
    struct Row {
        const char* silent;  // the command the modem leaves unanswered; null: none
        const char* times;
        Lines journal;  // everything the modem receives, inert requests included
        Lines logged;
    };
    const std::vector<Row> rows = {
        {nullptr,
         "",
         {"AT+EGTYPE=2", "AT+CFUN=1", "AT+CMEE=2"},
         {"entern orv_send_cfun_fun ", "get ORV_CFG_AUTO_SET_LANGUAGE_ID error!!!"}},
        // A silent EGTYPE ends the bring-up; the receive loop still starts.
        {"AT+EGTYPE=2", "always", {"AT+EGTYPE=2"}, {"(char*)mdm_res.aucDataBuf is TIMEOUT "}},
        // CFUN is asked once more after its first timeout.
        {"AT+CFUN=1",
         "1",
         {"AT+EGTYPE=2", "AT+CFUN=1", "AT+CFUN=1", "AT+CMEE=2"},
         {"(char*)mdm_res.aucDataBuf is timeout"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.silent == nullptr ? "plain" : row.silent);
        Rig rig;
        rig.start_modem();
        if (row.silent != nullptr) {
            rig.modem_ctl({"script", row.silent, "silent", row.times});
        }
        rig.start_daemon();
        rig.send(21);
        ASSERT_TRUE(rig.wait_log("msg_id = 21, ORV_MDM_GET_SIM_INIT_COMPLETE_FLAG_MSG", 20s));
        rig.send(4000);
        ASSERT_TRUE(rig.wait_log("msg_id = 4000, ORV_MDM_UNKNOWN_MSG"));
        const Lines log = rig.log_messages();
        for (const std::string& m : row.logged) {
            EXPECT_EQ(count(log, m), 1u) << m;
        }
        EXPECT_EQ(count(log, "MODEM: msg_id=21"), 1u);
        EXPECT_EQ(count(log, "MODEM: msg_id=4000"), 1u);
        EXPECT_EQ(count(log, "MODEM: num=33"), 2u);
        // Nothing of an inert request reaches the modem.
        EXPECT_EQ(rig.journal(), row.journal);
    }
}

TEST(Spine, ASecondDaemonIsRefused) {
    Rig rig;
    rig.start_modem();
    rig.start_daemon();
    EXPECT_EQ(rig.run_second_daemon(), 255);
    EXPECT_TRUE(rig.daemon_running());
}

}  // namespace
}  // namespace orv::e2e
