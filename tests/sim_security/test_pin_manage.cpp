#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

namespace cp = msg::change_pin;
namespace pm = msg::pin_mode;

const std::string kQueryCmd = R"(AT AT+CLCK="SC",2)";
const std::string kCounters = epinc("3, 3, 10, 10");
const Lines kRefreshed{"AT AT+EPINC", "WRITE pinnumber=3", "WRITE puknumber=10"};

Lines join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// The read-back after an operation: only the whole lines "+CLCK: 1" and "+CLCK: 0" count.
TEST(PinModeQuery, ReadBackOfTheLockState) {
    const Story stories[] = {
        {"on", {fake::info_ok("+CLCK: 1")}, {kQueryCmd, "WRITE pin_status=1"}, {"6 sim enable\n"}},
        {"off",
         {fake::info_ok("+CLCK: 0")},
         {kQueryCmd, "WRITE pin_status=0"},
         {"6 sim disable\n"}},
        {"line goes on after the state",
         {fake::info_ok("+CLCK: 1,7")},
         {kQueryCmd, "WRITE pin_status="},
         {"0 sim fail\n"}},
        {"not a lock answer",
         {fake::final_line("+CME ERROR: SIM busy")},
         {kQueryCmd, "WRITE pin_status="},
         {"0 sim error\n"}},
        {"ERROR", {kError}, {kQueryCmd}, {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}},
        {"empty", {""}, {kQueryCmd}, {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"timeout", {"TIMEOUT"}, {kQueryCmd}, {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_pin_mode_query(); });
    }
}

// Operation 2 reads by prefix and writes only "pin_status", and only for a state it read.
TEST(PinModeOperate, QueryOnly) {
    const Story stories[] = {
        {"on",
         {fake::info_ok("+CLCK: 1")},
         {kQueryCmd, "WRITE pin_status=1"},
         {"6  mdm_ATcmd_buf is AT+CLCK=\"SC\",2\n", "6 mdm_at_result_process is +cl\n",
          "6 sim is enable\n", "6  mdm_at_result_process is +CLCK: 1\n"}},
        {"line goes on after the state",
         {fake::info_ok("+CLCK: 1,7")},
         {kQueryCmd, "WRITE pin_status=1"},
         {}},
        {"off",
         {fake::info_ok("+CLCK: 0")},
         {kQueryCmd, "WRITE pin_status=0"},
         {"6 sim is disable\n"}},
        {"unknown state", {fake::info_ok("+CLCK: 2")}, {kQueryCmd}, {}},
        {"not a lock answer", {fake::final_line("+CME ERROR: SIM busy")}, {kQueryCmd}, {}},
        {"ERROR", {kError}, {kQueryCmd}, {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}},
        {"empty", {""}, {kQueryCmd}, {"6 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"timeout", {"TIMEOUT"}, {kQueryCmd}, {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
    };
    // The PIN field is not read for a query, whatever it holds.
    const Payload p = Payload().u32(pm::kOperation, pm::kQuery).text(pm::kPin, "12\"4");
    for (const Story& s : stories) {
        expect_story(s, [&] { orv_quorl_mdm_pin_mode_operate(p.data()); });
    }
}

struct SwitchCase {
    Story story;
    std::uint32_t operation;
};

TEST(PinModeOperate, LockOffAndOn) {
    const std::string lock_on = R"(AT AT+CLCK="SC",1,"1234")";
    const std::string lock_off = R"(AT AT+CLCK="SC",0,"1234")";
    const Lines raised{"WRITE pin_manage_result=1"};
    const Lines closing = join({kRefreshed, {"WRITE pin_manage_at_wait=0"}});
    const SwitchCase cases[] = {
        {{"lock on accepted: pin_status written twice",
          {kOk, fake::info_ok("+CLCK: 1"), kCounters},
          join({raised,
                {lock_on, "WRITE pin_code=1234", "WRITE pin_status=1", "WRITE pin_manage_result=0",
                 kQueryCmd, "WRITE pin_status=1"},
                closing}),
          {"6  mdm_ATcmd_buf is AT+CLCK=\"SC\",1,\"1234\"\n", "6 enable sim ok\n"}},
         pm::kLockOn},
        {{"lock off accepted",
          {kOk, fake::info_ok("+CLCK: 0"), kCounters},
          join({raised,
                {lock_off, "WRITE pin_code=1234", "WRITE pin_status=0", "WRITE pin_manage_result=0",
                 kQueryCmd, "WRITE pin_status=0"},
                closing}),
          {"6 disable sim  ok\n"}},
         pm::kLockOff},
        {{"PUK asked: controller told before the read-back",
          {fake::final_line("+CME ERROR: SIM PUK required"), fake::info_ok("+CLCK: 1"), kCounters},
          join({raised,
                {lock_off, "NOTIFY verify_pinpuk 1 SIM PUK", kQueryCmd, "WRITE pin_status=1"},
                closing}),
          {"6 resPara is SIM PUK\n"}},
         pm::kLockOff},
        {{"wrong PIN: no notification, handshake closed",
          {fake::final_line("+CME ERROR: incorrect password"), fake::info_ok("+CLCK: 0"),
           kCounters},
          join({raised, {lock_on, kQueryCmd, "WRITE pin_status=0"}, closing}),
          {"6 resPara is incorrect password\n"}},
         pm::kLockOn},
        {{"ERROR", {kError}, join({raised, {lock_on}}), {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}},
         pm::kLockOn},
        {{"empty", {""}, join({raised, {lock_on}}), {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
         pm::kLockOn},
        {{"timeout",
          {"TIMEOUT"},
          join({raised, {lock_on}}),
          {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
         pm::kLockOn},
        {{"other answer", {fake::info_ok("+CLCK: 1")}, join({raised, {lock_on}}), {}}, pm::kLockOn},
    };
    for (const SwitchCase& c : cases) {
        const Payload p = Payload().u32(pm::kOperation, c.operation).text(pm::kPin, "1234");
        expect_story(c.story, [&] { orv_quorl_mdm_pin_mode_operate(p.data()); });
    }
}

TEST(PinModeOperate, RefusesUnknownOperationsAndBadPins) {
    struct Refusal {
        const char* name;
        std::uint32_t operation;
        std::string pin;
        const char* log_start;
    } cases[] = {
        {"operation 3", 3, "1234", "0 PIN mode operation 3 refused"},
        {"largest operation", 0xFFFFFFFFu, "1234", "0 PIN mode operation 4294967295 refused"},
        {"double quote in the PIN", pm::kLockOn, "1\"34", "0 PIN refused"},
        {"LF in the PIN", pm::kLockOff, "12\n4", "0 PIN refused"},
    };
    for (const Refusal& c : cases) {
        fake::reset();
        fake().answers = {kOk};
        const Payload p = Payload().u32(pm::kOperation, c.operation).text(pm::kPin, c.pin);
        orv_quorl_mdm_pin_mode_operate(p.data());
        EXPECT_TRUE(fake().timeline.empty()) << c.name;
        const Lines logs = fake().log_texts();
        EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [&](const std::string& l) {
            return l.starts_with(c.log_start);
        })) << c.name;
    }
    fake::reset();
    orv_quorl_mdm_pin_mode_operate(nullptr);
    EXPECT_TRUE(fake().timeline.empty());
}

TEST(ChangePin, Outcomes) {
    const std::string change = R"(AT AT+CPWD="SC","1234","4321")";
    const Lines raised{"WRITE pin_manage_result=1"};
    // Read-back, full state query with its own counters, counters again, handshake closed.
    auto closing = [&](const char* state_notify) {
        Lines state{"AT AT+CPIN?"};
        if (state_notify != nullptr) {
            state.push_back(state_notify);
        }
        return join({{kQueryCmd, "WRITE pin_status=1"},
                     state,
                     kRefreshed,
                     kRefreshed,
                     {"WRITE pin_manage_at_wait=0"}});
    };
    const std::vector<std::string> after{fake::info_ok("+CLCK: 1"), fake::info_ok("+CPIN: READY"),
                                         kCounters, kCounters};
    auto answers = [&](std::string first) {
        std::vector<std::string> out{std::move(first)};
        out.insert(out.end(), after.begin(), after.end());
        return out;
    };
    const Story stories[] = {
        {"accepted",
         answers(kOk),
         join({raised,
               {change, "WRITE pin_code=4321", "WRITE pin_manage_result=0"},
               closing("NOTIFY pin_status 0 READY")}),
         {"6 enter orv_quorl_mdm_change_pin\n", "6 change sim ok\n",
          "6 mdm_ATcmd_buf is AT+CPWD=\"SC\",\"1234\",\"4321\"\n"}},
        {"PUK asked",
         answers(fake::final_line("+CME ERROR: SIM PUK required")),
         join({raised,
               {change, "NOTIFY verify_pinpuk 1 SIM PUK"},
               closing("NOTIFY pin_status 0 READY")}),
         {"0 resPara is SIM PUK\n"}},
        {"wrong old PIN",
         answers(fake::final_line("+CME ERROR: incorrect password")),
         join({raised, {change}, closing("NOTIFY pin_status 0 READY")}),
         {"0 resPara is incorrect password\n"}},
        {"error the table does not name",
         answers(fake::final_line("+CME ERROR: 16")),
         join({raised, {change}, closing("NOTIFY pin_status 0 READY")}),
         {}},
        {"ERROR", {kError}, join({raised, {change}}), {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}},
        {"empty", {""}, join({raised, {change}}), {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"timeout",
         {"TIMEOUT"},
         join({raised, {change}}),
         {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"other answer", {fake::info_ok("+CPIN: READY")}, join({raised, {change}}), {}},
    };
    const Payload p =
        Payload().text(0, "ignored!!").text(cp::kOldPin, "1234").text(cp::kNewPin, "4321");
    for (const Story& s : stories) {
        expect_story(s, [&] { orv_quorl_mdm_change_pin(p.data()); });
    }
}

TEST(ChangePin, FullWidthPinsAndRefusals) {
    // Both PINs fill their 10-byte fields: each is read up to its field's end.
    fake::reset();
    fake().answers = {kError};
    const Payload full = Payload().text(cp::kOldPin, "0123456789").text(cp::kNewPin, "9876543210");
    orv_quorl_mdm_change_pin(full.data());
    EXPECT_EQ(fake().commands, (Lines{R"(AT+CPWD="SC","0123456789","9876543210")"}));

    struct Refusal {
        const char* name;
        const char* old_pin;
        const char* new_pin;
        const char* log_start;
    } cases[] = {
        {"quote in the old PIN", "12\"4", "4321", "0 old PIN refused"},
        {"CR in the new PIN", "1234", "43\r1", "0 new PIN refused"},
        {"tab in the new PIN", "1234", "43\t1", "0 new PIN refused"},
    };
    for (const Refusal& c : cases) {
        fake::reset();
        fake().answers = {kOk};
        const Payload p = Payload().text(cp::kOldPin, c.old_pin).text(cp::kNewPin, c.new_pin);
        orv_quorl_mdm_change_pin(p.data());
        EXPECT_TRUE(fake().timeline.empty()) << c.name;
        const Lines logs = fake().log_texts();
        EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [&](const std::string& l) {
            return l.starts_with(c.log_start);
        })) << c.name;
    }
}

}  // namespace
}  // namespace orv::sim_security::test
