// The SIM-security requests over the recording platform: PIN state, PIN and PUK entry, PIN
// management, the retry counters and the network lock. Each table row is a story written as
// strings with '|' between entries: the modem's answers, the expected timeline and log lines that
// must appear. Payloads are built as the receive buffer holds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/orv_log.h"
#include "sim_security/sim_common.h"
#include "sim_security/sim_security.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"
#include "wire/mdm_msg.h"

namespace orv::sim_security::test {
namespace {

using fake::expect_story;
using fake::fake;
using fake::Lines;
using fake::Story;

// A payload as the receive loop hands it over: the bytes after the identifier, zero beyond what
// was sent.
class Payload {
  public:
    Payload& text(std::size_t offset, std::string_view value) {
        std::memcpy(bytes_.data() + offset, value.data(), value.size());
        return *this;
    }
    Payload& text(msg::TextField field, std::string_view value) {
        return text(field.offset, value);
    }
    Payload& u32(msg::IntField field, std::uint32_t value) {
        msg::store_u32(bytes_.data() + field.offset, value);
        return *this;
    }
    const unsigned char* data() const { return bytes_.data(); }

  private:
    // The receive buffer holds 1024 bytes; the payload starts after the 4-byte identifier.
    std::array<unsigned char, msg::kRecvBufferSize - msg::kIdSize> bytes_{};
};

// The counter refresh every PIN operation ends with, after "+EPINC: 3, 3, 10, 10".
const std::string kCounters = "+EPINC: 3, 3, 10, 10";
const std::string kRefreshed = "AT AT+EPINC|WRITE pinnumber=3|WRITE puknumber=10";

constexpr const char* kErrorLog = "0 (char*)mdm_res.aucDataBuf is ERROR\n";

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

// PIN1 and PUK1 as "pin|puk", or "" when the line cannot be read.
TEST(Epinc, ReadsPin1AndPuk1OrNothing) {
    const std::pair<const char*, const char*> rows[] = {
        {"+EPINC: 3, 3, 10, 10", "3|10"},
        {"+EPINC: 1234, 3, 1234, 10", "1234|1234"},
        {"+EPINC: 3,3,10,10", "3|0"},  // bare commas: the PUK counter loses its first character
        {"+EPINC:3,3,10,10", ""},
        {"+EPINC: 3", ""},
        {"+EPINC: 3, 3", ""},
        {"+EPINC: 3, 3, 10", ""},
        {"+EPINC: 3, 3,,10", ""},
        {"+EPINC: 12345, 3, 10, 10", ""},
        {"+EPINC: 3, 3, 12345, 10", ""},
    };
    for (const auto& [line, want] : rows) {
        const auto c = read_epinc(line);
        EXPECT_EQ(c ? std::string(c->pin) + "|" + std::string(c->puk) : "", want) << line;
    }
}

// Request 6 changes only the in-memory counters (3 and 10 before each row); the refresh publishes
// them, those of the last good answer when the new one is no good.
TEST(PinPukTimes, KeepsTheCountersOfTheLastGoodAnswer) {
    const struct {
        const char* name;
        const char* answer;
        const char* kept;  // "WRITE pinnumber=..|WRITE puknumber=.."
        const char* log;
    } rows[] = {
        {"good", "+EPINC: 2, 3, 8, 10", "pinnumber=2|WRITE puknumber=8",
         "6 pin time is 2,puk time is 8 \n"},
        {"ERROR", "ERROR", "pinnumber=3|WRITE puknumber=10", "0 get pin puk times error \n"},
        {"other answer", "+CME ERROR: SIM not inserted", "pinnumber=3|WRITE puknumber=10", ""},
        {"timeout", "TIMEOUT", "pinnumber=3|WRITE puknumber=10",
         "0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"},
        {"out of shape", "+EPINC: 3, 3, 123456789, 10", "pinnumber=3|WRITE puknumber=10",
         "0 +EPINC answer out of shape, pin and puk times kept\n"},
    };
    for (const auto& r : rows) {
        expect_story({r.name, kCounters + "|" + r.answer,
                      "AT AT+EPINC|AT AT+EPINC|WRITE " + std::string(r.kept), r.log},
                     [] {
                         orv_quorl_mdm_get_pin_puk_times(nullptr);
                         orv_quorl_mdm_refresh_pin_puk_numbers();
                     });
        for (const std::string& logged : fake().log_texts()) {
            EXPECT_FALSE(logged.starts_with("6 mdm_ATcmd_buf")) << "the command line is logged";
        }
    }
}

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
