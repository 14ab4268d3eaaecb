#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

namespace cp = msg::change_pin;
namespace pm = msg::pin_mode;

const std::string kQuery = R"(AT AT+CLCK="SC",2)";
// After a definite answer: the counters, then "pin_manage_at_wait" lowered.
const std::string kEnd = "|" + kRefreshed + "|WRITE pin_manage_at_wait=0";

// The read-back after an operation: only the whole lines "+CLCK: 1" and "+CLCK: 0" count.
TEST(PinModeQuery, ReadBackOfTheLockState) {
    const Story stories[] = {
        {"on", "+CLCK: 1", kQuery + "|WRITE pin_status=1", "6 sim enable\n"},
        {"off", "+CLCK: 0", kQuery + "|WRITE pin_status=0", "6 sim disable\n"},
        {"line goes on", "+CLCK: 1,7", kQuery + "|WRITE pin_status=", "0 sim fail\n"},
        {"not a lock answer", "+CME ERROR: SIM busy", kQuery + "|WRITE pin_status=", "0 sim error"},
        {"ERROR", "ERROR", kQuery, kErrorLog},
        {"empty", "", kQuery, "0 (char*)mdm_res.aucDataBuf is NULL\n"},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_pin_mode_query(); });
    }
}

// Operation (`arg`) 2 reads the lock state by prefix and writes only "pin_status", never reading
// the PIN (input). Lock off (0) and on (1): "pin_manage_result" raised before the command goes
// out and lowered only on "OK"; a definite answer is followed by the read-back and the counters.
TEST(PinModeOperate, QueryLockOffAndOn) {
    const std::string on = R"(WRITE pin_manage_result=1|AT AT+CLCK="SC",1,"1234")";
    const std::string off = R"(WRITE pin_manage_result=1|AT AT+CLCK="SC",0,"1234")";
    const std::string done = "|WRITE pin_manage_result=0|" + kQuery;
    const std::string c = "|" + kCounters;
    const Story stories[] = {
        {"query: on", "+CLCK: 1", kQuery + "|WRITE pin_status=1",
         "6  mdm_ATcmd_buf is AT+CLCK=\"SC\",2\n|6 mdm_at_result_process is +cl\n|6 sim is enable",
         "12\"4", pm::kQuery},
        {"query: line goes on", "+CLCK: 1,7", kQuery + "|WRITE pin_status=1", "", "", pm::kQuery},
        {"query: off", "+CLCK: 0", kQuery + "|WRITE pin_status=0", "6 sim is disable", "",
         pm::kQuery},
        {"query: unknown state", "+CLCK: 2", kQuery, "", "", pm::kQuery},
        {"query: not a lock answer", "+CME ERROR: SIM busy", kQuery, "", "", pm::kQuery},
        {"query: ERROR", "ERROR", kQuery, kErrorLog, "", pm::kQuery},
        {"query: empty", "", kQuery, "6 (char*)mdm_res.aucDataBuf is NULL\n", "", pm::kQuery},
        {"on accepted", "OK|+CLCK: 1" + c,
         on + "|WRITE pin_code=1234|WRITE pin_status=1" + done + "|WRITE pin_status=1" + kEnd,
         "6  mdm_ATcmd_buf is AT+CLCK=\"SC\",1,\"1234\"\n|6 enable sim ok\n", "1234", pm::kLockOn},
        {"off accepted", "OK|+CLCK: 0" + c,
         off + "|WRITE pin_code=1234|WRITE pin_status=0" + done + "|WRITE pin_status=0" + kEnd,
         "6 disable sim  ok\n", "1234", pm::kLockOff},
        {"PUK asked", "+CME ERROR: SIM PUK required|+CLCK: 1" + c,
         off + "|NOTIFY verify_pinpuk 1 SIM PUK|" + kQuery + "|WRITE pin_status=1" + kEnd,
         "6 resPara is SIM PUK\n", "1234", pm::kLockOff},
        {"wrong PIN", "+CME ERROR: incorrect password|+CLCK: 0" + c,
         on + "|" + kQuery + "|WRITE pin_status=0" + kEnd, "6 resPara is incorrect password\n",
         "1234", pm::kLockOn},
        {"ERROR", "ERROR", on, kErrorLog, "1234", pm::kLockOn},
        {"other answer", "+CLCK: 1", on, "", "1234", pm::kLockOn},
        {"operation 3", "OK", "", "0 PIN mode operation 3 refused", "1234", 3},
        {"largest operation", "OK", "", "0 PIN mode operation 4294967295 refused", "", 0xFFFFFFFFu},
        {"quote in the PIN", "OK", "", "0 PIN refused", "1\"34", pm::kLockOn},
    };
    for (const Story& s : stories) {
        const Payload p = Payload().u32(pm::kOperation, s.arg).text(pm::kPin, s.field(0));
        expect_story(s, [&] { orv_quorl_mdm_pin_mode_operate(p.data()); });
    }
}

// Input "old PIN|new PIN"; each PIN is read up to the end of its 10-byte field.
TEST(ChangePin, Outcomes) {
    auto cpwd = [](const char* old_pin, const char* new_pin) {
        return "WRITE pin_manage_result=1|AT AT+CPWD=\"SC\",\"" + std::string(old_pin) + "\",\"" +
               new_pin + "\"";
    };
    const std::string change = cpwd("1234", "4321");
    const std::string after = "|+CLCK: 1|+CPIN: READY|" + kCounters + "|" + kCounters;
    // Read-back, the full state query with its own counters, then the closing counters.
    const std::string end = "|" + kQuery + "|WRITE pin_status=1|AT AT+CPIN?|" +
                            "NOTIFY pin_status 0 READY|" + kRefreshed + kEnd;
    const Story stories[] = {
        {"accepted", "OK" + after, change + "|WRITE pin_code=4321|WRITE pin_manage_result=0" + end,
         "6 change sim ok\n|6 mdm_ATcmd_buf is AT+CPWD=\"SC\",\"1234\",\"4321\"\n", "1234|4321"},
        {"PUK asked", "+CME ERROR: SIM PUK required" + after,
         change + "|NOTIFY verify_pinpuk 1 SIM PUK" + end, "0 resPara is SIM PUK\n", "1234|4321"},
        {"wrong old PIN", "+CME ERROR: incorrect password" + after, change + end,
         "0 resPara is incorrect password\n", "1234|4321"},
        {"ERROR", "ERROR", change, kErrorLog, "1234|4321"},
        {"other answer", "+CPIN: READY", change, "", "1234|4321"},
        {"full fields", "", cpwd("0123456789", "9876543210"), "", "0123456789|9876543210"},
        {"quote in the old PIN", "OK", "", "0 old PIN refused", "12\"4|4321"},
        {"CR in the new PIN", "OK", "", "0 new PIN refused", "1234|43\r1"},
    };
    for (const Story& s : stories) {
        Payload p = Payload().text(cp::kOldPin, s.field(0)).text(cp::kNewPin, s.field(1));
        p.text(0, "ignored!!");  // bytes 0 to 9 are not read
        expect_story(s, [&] { orv_quorl_mdm_change_pin(p.data()); });
    }
    fake::reset();
    orv_quorl_mdm_pin_mode_operate(nullptr);
    orv_quorl_mdm_change_pin(nullptr);
    EXPECT_TRUE(fake().timeline.empty());
}

}  // namespace
}  // namespace orv::sim_security::test
