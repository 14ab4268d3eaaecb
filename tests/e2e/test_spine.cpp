// The daemon's spine end to end: start-up and bring-up against the virtual modem, the receive
// loop's handling of any datagram, and the single-instance guard.
#include <gtest/gtest.h>

#include <random>

#include "tests/e2e/harness.h"

namespace orv::e2e {
namespace {

using Lines = std::vector<std::string>;

bool contains(const Lines& lines, const std::string& s) {
    return std::find(lines.begin(), lines.end(), s) != lines.end();
}

TEST(Spine, BringsTheModemUpAndLogsEachRequest) {
    Rig rig;
    rig.start_modem();
    rig.start_daemon();
    ASSERT_TRUE(rig.wait_for([&] { return rig.journal().size() >= 3; }));
    EXPECT_EQ(rig.journal(), (Lines{"AT+EGTYPE=2", "AT+CFUN=1", "AT+CMEE=2"}));

    rig.send(21);
    ASSERT_TRUE(rig.wait_log("msg_id = 21, ORV_MDM_GET_SIM_INIT_COMPLETE_FLAG_MSG"));
    rig.send(4000);
    ASSERT_TRUE(rig.wait_log("msg_id = 4000, ORV_MDM_UNKNOWN_MSG"));
    const Lines log = rig.log_messages();
    EXPECT_TRUE(contains(log, "MODEM: msg_id=21"));
    EXPECT_TRUE(contains(log, "MODEM: msg_id=4000"));
    EXPECT_TRUE(contains(log, "MODEM: num=33"));
    EXPECT_TRUE(contains(log, "entern orv_send_cfun_fun "));
    EXPECT_TRUE(contains(log, "get ORV_CFG_AUTO_SET_LANGUAGE_ID error!!!"));
    // Nothing of an inert request reaches the modem.
    EXPECT_EQ(rig.journal().size(), 3u);
}

TEST(Spine, BringUpStopsWhenEgtypeTimesOut) {
    Rig rig;
    rig.start_modem();
    rig.modem_ctl({"script", "AT+EGTYPE=2", "silent", "always"});
    rig.start_daemon();
    ASSERT_TRUE(rig.wait_log("(char*)mdm_res.aucDataBuf is TIMEOUT "));
    rig.send(20);
    ASSERT_TRUE(rig.wait_log("msg_id = 20, ORV_MDM_GET_SPC"));
    EXPECT_EQ(rig.journal(), (Lines{"AT+EGTYPE=2"}));
}

TEST(Spine, BringUpRetriesCfunOnceAfterItsFirstTimeout) {
    Rig rig;
    rig.start_modem();
    rig.modem_ctl({"script", "AT+CFUN=1", "silent", "1"});
    const auto start = std::chrono::steady_clock::now();
    rig.start_daemon();
    ASSERT_TRUE(rig.wait_for([&] { return rig.journal().size() >= 4; }, 20s));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(rig.journal(), (Lines{"AT+EGTYPE=2", "AT+CFUN=1", "AT+CFUN=1", "AT+CMEE=2"}));
    EXPECT_GE(took, 3s);
    EXPECT_TRUE(contains(rig.log_messages(), "(char*)mdm_res.aucDataBuf is timeout"));
}

TEST(Spine, ASecondDaemonIsRefused) {
    Rig rig;
    rig.start_modem();
    rig.start_daemon();
    EXPECT_EQ(rig.run_second_daemon(), 255);
    EXPECT_TRUE(rig.daemon_running());
}

TEST(Spine, SurvivesDatagramsOfAnyLengthAndContent) {
    Rig rig;
    rig.start_modem();
    rig.start_daemon();
    std::mt19937 rng(20261206);
    for (int i = 0; i < 300; ++i) {
        std::string d(rng() % 1400, '\0');
        for (char& c : d) {
            c = static_cast<char>(rng());
        }
        // Keep to identifiers without modem traffic so the run stays quick; the handlers' own
        // tests cover their payloads.
        // Identifiers 18 to 26 (or far above the table, with the high bytes set).
        const char high = (i % 2 == 0) ? '\0' : static_cast<char>(0xFF);
        for (std::size_t b = 0; b < d.size() && b < 4; ++b) {
            d[b] = b == 0 ? static_cast<char>(18 + rng() % 9) : (d.size() >= 4 ? high : '\0');
        }
        rig.send_raw(d);
    }
    rig.send(26);
    ASSERT_TRUE(rig.wait_log("msg_id = 26, ORV_MDM_SPRINT_MODEM_LOCK_PROC_MSG", 30s));
    EXPECT_TRUE(rig.daemon_running());
}

}  // namespace
}  // namespace orv::e2e
