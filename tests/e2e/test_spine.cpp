// The daemon's spine end to end: a bring-up that a silent modem ends early still leaves a daemon
// that serves, and a second daemon in the same folders is refused. The bring-up's commands and
// the loop's log lines are the unit tests' (tests/core/test_daemon.cpp); datagrams of any
// content are the flood test's (test_faults.cpp).
#include <gtest/gtest.h>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

TEST(Spine, AfterABringUpCutShortTheDaemonServesAndStaysTheOnlyOne) {
    Rig rig;
    rig.start_modem();
    rig.modem_ctl({"script", "AT+EGTYPE=2", "silent", "1"});
    rig.start_daemon();
    rig.send(msg::ORV_MDM_GET_IMEI);
    ASSERT_TRUE(rig.wait_store("imei", "356938035643809", 20s));
    EXPECT_EQ(rig.journal(), (Lines{"AT+EGTYPE=2", "AT+CGSN"}));
    EXPECT_EQ(rig.run_second_daemon(), 255);
    EXPECT_TRUE(rig.daemon_running());
}

}  // namespace
}  // namespace orv::e2e
