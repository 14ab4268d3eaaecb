#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

namespace vp = msg::verify_pin;

// The counters, the handshake value and the notification close every definite answer.
std::string closing(const std::string& notify) {
    return "|" + kRefreshed + "|WRITE pin_puk_at_wait=0|NOTIFY verify_pinpuk " + notify;
}

// PIN entry, or PUK with a new PIN (input "code|new PIN"). Codes that could break the command or
// overrun its buffer are refused before anything is sent, stored or notified.
TEST(VerifyPinPuk, EntryUnblockingAndRefusals) {
    const std::string pin = R"(AT AT+CPIN="1234")";
    const std::string ok = "OK|" + kCounters;
    const std::string fill(127 - 13 - 8, '7');  // the longest new PIN: fills the command buffer
    const Story stories[] = {
        {"PIN accepted", ok, pin + "|WRITE pin_code=1234" + closing("0 READY"),
         "6 mdm_ATcmd_buf is AT+CPIN=\"1234\"\n|6 sim is complete is\n|6 result_e is 0\n", "1234"},
        {"PUK accepted", ok,
         R"(AT AT+CPIN="12345678","4321"|WRITE pin_code=4321)" + closing("0 READY"), "",
         "12345678|4321"},
        {"empty PUK", ok, R"(AT AT+CPIN="","4321"|WRITE pin_code=4321)" + closing("0 READY"), "",
         "|4321"},
        {"first code fills its field", ok,
         R"(AT AT+CPIN="1234567890","55"|WRITE pin_code=55)" + closing("0 READY"), "",
         "1234567890|55"},
        {"longest new PIN, pin_code cut to 10", ok,
         "AT AT+CPIN=\"12345678\",\"" + fill + "\"|WRITE pin_code=7777777777" + closing("0 READY"),
         "", "12345678|" + fill},
        {"wrong PIN", "+CME ERROR: incorrect password|" + kCounters,
         pin + closing("1 incorrect password"), "0 resPara is incorrect password\n", "1234"},
        {"error no row names", "+CME ERROR: 16|" + kCounters, pin + closing("1 "), "", "1234"},
        {"ERROR", "ERROR", pin, kErrorLog, "1234"},
        {"empty answer", "", pin, "6 (char*)mdm_res.aucDataBuf is NULL\n", "1234"},
        {"other answer", "+CPIN: READY", pin, "", "1234"},
        {"both fields empty", "OK", "", "", ""},
        {"quote", "OK", "", "0 PIN refused", "12\"4"},
        {"LF", "OK", "", "0 PUK refused", "1234\n678|4321"},
        {"DEL", "OK", "", "0 new PIN refused", "12345678|43\x7f"},
        {"one past the buffer", "OK", "", "0 new PIN refused", "12345678|7" + fill},
    };
    for (const Story& s : stories) {
        const Payload p = Payload().text(vp::kCode, s.field(0)).text(vp::kNewPin, s.field(1));
        expect_story(s, [&] { orv_quorl_mdm_verify_pin_puk(p.data()); });
    }
    fake::reset();
    orv_quorl_mdm_verify_pin_puk(nullptr);
    EXPECT_TRUE(fake().timeline.empty());
    EXPECT_TRUE(fake().logged(ORV_LOG_LEVEL_ERR, "msg_ptr is NULL\n"));
}

}  // namespace
}  // namespace orv::sim_security::test
