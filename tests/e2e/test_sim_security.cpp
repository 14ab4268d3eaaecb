// SIM security end to end, through the request tool: PIN entry with a wrong and a right PIN, PIN
// change, PIN lock off, on and query, and a network-locked SIM opened with its control key.
// Codes that would break their command are test_security.cpp's.
#include <gtest/gtest.h>

#include "tools/rig/rig.h"

namespace orv::e2e {
namespace {

constexpr const char* kPinLockedSim = R"(
[sim.default]
pin = "4321"
pin_lock = true
)";

constexpr const char* kNetworkLockedSim = R"(
[sim.default.locks.network]
key = "11112222"
attempts = 5
max = 5
)";

// Sends a request the way the controller does: raise the handshake value, send, wait until
// the daemon lowers it.
void request_and_wait(Rig& rig, const std::string& handshake, const Lines& args) {
    rig.set(handshake, "1");
    ASSERT_EQ(rig.send_tool(args), 0);
    ASSERT_TRUE(rig.wait_store(handshake, "0")) << args[0];
}

TEST(SimSecurity, PinEntryChangeAndLock) {
    Rig rig;
    rig.start({.profile = kPinLockedSim});

    ASSERT_EQ(rig.send_tool({"GET_PIN_STATUS"}), 0);
    EXPECT_EQ(rig.wait_notes(1).back(), R"(pin_status kind=0 state="SIM PIN")");
    ASSERT_TRUE(rig.wait_store("puknumber", "10"));
    EXPECT_EQ(rig.store("pinnumber"), "3");

    request_and_wait(rig, "pin_puk_at_wait", {"VERIFY_PIN", "--pin", "1111"});
    EXPECT_EQ(rig.wait_notes(2).back(), R"(verify_pinpuk result=1 state="incorrect password")");
    EXPECT_EQ(rig.store("pinnumber"), "2");
    EXPECT_EQ(rig.store("pin_code"), std::nullopt);

    request_and_wait(rig, "pin_puk_at_wait", {"VERIFY_PIN", "--pin", "4321"});
    EXPECT_EQ(rig.wait_notes(3).back(), R"(verify_pinpuk result=0 state="READY")");
    EXPECT_EQ(rig.store("pinnumber"), "3");
    EXPECT_EQ(rig.store("pin_code"), "4321");

    request_and_wait(rig, "pin_manage_at_wait",
                     {"CHANGE_PIN", "--old-pin", "4321", "--new-pin", "8765"});
    EXPECT_EQ(rig.store("pin_manage_result"), "0");
    EXPECT_EQ(rig.store("pin_code"), "8765");
    EXPECT_EQ(rig.store("pin_status"), "1");
    // The PIN change re-reads the SIM state, which the controller hears.
    EXPECT_EQ(rig.wait_notes(4).back(), R"(pin_status kind=0 state="READY")");

    request_and_wait(rig, "pin_manage_at_wait", {"PIN_MODE", "--op", "off", "--pin", "8765"});
    EXPECT_EQ(rig.store("pin_status"), "0");
    request_and_wait(rig, "pin_manage_at_wait", {"PIN_MODE", "--op", "on", "--pin", "8765"});
    EXPECT_EQ(rig.store("pin_status"), "1");

    rig.set("pin_status", "?");
    ASSERT_EQ(rig.send_tool({"PIN_MODE", "--op", "query"}), 0);
    ASSERT_TRUE(rig.wait_store("pin_status", "1"));

    EXPECT_EQ(
        rig.commands(),
        (Lines{"AT+CPIN?", "AT+EPINC", "AT+CPIN=\"1111\"", "AT+EPINC", "AT+CPIN=\"4321\"",
               "AT+EPINC", "AT+CPWD=\"SC\",\"4321\",\"8765\"", "AT+CLCK=\"SC\",2", "AT+CPIN?",
               "AT+EPINC", "AT+EPINC", "AT+CLCK=\"SC\",0,\"8765\"", "AT+CLCK=\"SC\",2", "AT+EPINC",
               "AT+CLCK=\"SC\",1,\"8765\"", "AT+CLCK=\"SC\",2", "AT+EPINC", "AT+CLCK=\"SC\",2"}));
}

TEST(SimSecurity, NetworkLockOpensWithItsControlKey) {
    Rig rig;
    rig.start({.profile = kNetworkLockedSim});

    ASSERT_EQ(rig.send_tool({"GET_PIN_STATUS"}), 0);
    EXPECT_EQ(rig.wait_notes(1).back(), R"(pin_status kind=0 state="SIM LOCK")");

    ASSERT_EQ(rig.send_tool({"NET_UNLOCK_TIMES"}), 0);
    ASSERT_TRUE(rig.wait_store("unlock_nck_time", "5"));
    EXPECT_EQ(rig.store("unlock_at_wait"), "-1");

    ASSERT_EQ(rig.send_tool({"NET_UNLOCK", "--code", "00000000"}), 0);
    EXPECT_EQ(rig.wait_notes(2).back(), "imsi_unlock_status status=1");
    ASSERT_EQ(rig.send_tool({"NET_UNLOCK_TIMES"}), 0);
    ASSERT_TRUE(rig.wait_store("unlock_nck_time", "4"));

    ASSERT_EQ(rig.send_tool({"NET_UNLOCK", "--code", "11112222"}), 0);
    EXPECT_EQ(rig.wait_notes(3, 15s).back(), "imsi_unlock_status status=0");
    ASSERT_EQ(rig.send_tool({"GET_PIN_STATUS"}), 0);
    EXPECT_EQ(rig.wait_notes(4).back(), R"(pin_status kind=0 state="READY")");

    ASSERT_TRUE(rig.wait_for([&] { return rig.journal().size() >= 12; }));
    EXPECT_EQ(rig.commands(), (Lines{"AT+CPIN?", "AT+EPINC", "AT+ESMLCK?", "AT+CPIN=\"00000000\"",
                                     "AT+ESMLCK?", "AT+CPIN=\"11112222\"",
                                     "AT+CLCK=\"PN\",0,\"11112222\"", "AT+CPIN?", "AT+EPINC"}));
}

}  // namespace
}  // namespace orv::e2e
