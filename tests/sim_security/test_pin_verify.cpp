#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

namespace vp = msg::verify_pin;

struct VerifyCase {
    Story story;
    std::string code;
    std::string new_pin;
};

TEST(VerifyPinPuk, EntryAndUnblockingOutcomes) {
    const std::string counters = epinc("2, 3, 10, 10");
    const Lines published{"AT AT+EPINC", "WRITE pinnumber=2", "WRITE puknumber=10",
                          "WRITE pin_puk_at_wait=0"};
    auto then_published = [&](Lines head, const std::string& notify) {
        head.insert(head.end(), published.begin(), published.end());
        head.push_back(notify);
        return head;
    };
    const std::string pin_entry = R"(AT AT+CPIN="1234")";
    const std::string long_new_pin(127 - 13 - 8, '7');  // fills the command buffer exactly
    const VerifyCase cases[] = {
        {{"PIN accepted",
          {kOk, counters},
          then_published({pin_entry, "WRITE pin_code=1234"}, "NOTIFY verify_pinpuk 0 READY"),
          {"6 enter orv_quorl_mdm_verify_pin_puk fun\n", "6 mdm_ATcmd_buf is AT+CPIN=\"1234\"\n",
           "6 sim is complete is\n", "6 result_e is 0\n"}},
         "1234",
         ""},
        {{"PUK accepted, the new PIN is kept",
          {kOk, counters},
          then_published({R"(AT AT+CPIN="12345678","4321")", "WRITE pin_code=4321"},
                         "NOTIFY verify_pinpuk 0 READY"),
          {}},
         "12345678",
         "4321"},
        {{"empty first code with a new PIN still unblocks",
          {kOk, counters},
          then_published({R"(AT AT+CPIN="","4321")", "WRITE pin_code=4321"},
                         "NOTIFY verify_pinpuk 0 READY"),
          {}},
         "",
         "4321"},
        {{"first code fills its field; the new PIN is the next field",
          {kOk, counters},
          then_published({R"(AT AT+CPIN="1234567890","55")", "WRITE pin_code=55"},
                         "NOTIFY verify_pinpuk 0 READY"),
          {}},
         "1234567890",
         "55"},
        {{"longest new PIN that fits: pin_code keeps its first 10 characters",
          {kOk, counters},
          then_published({"AT AT+CPIN=\"12345678\",\"" + long_new_pin + "\"",
                          "WRITE pin_code=" + long_new_pin.substr(0, 10)},
                         "NOTIFY verify_pinpuk 0 READY"),
          {}},
         "12345678",
         long_new_pin},
        {{"wrong PIN",
          {fake::final_line("+CME ERROR: incorrect password"), counters},
          then_published({pin_entry}, "NOTIFY verify_pinpuk 1 incorrect password"),
          {"0 resPara is incorrect password\n", "6 result_e is 1\n"}},
         "1234",
         ""},
        {{"PIN blocked, PUK asked",
          {fake::final_line("+CME ERROR: SIM PUK required"), counters},
          then_published({pin_entry}, "NOTIFY verify_pinpuk 1 SIM PUK"),
          {}},
         "1234",
         ""},
        {{"error the table does not name: empty state text",
          {fake::final_line("+CME ERROR: 16"), counters},
          then_published({pin_entry}, "NOTIFY verify_pinpuk 1 "),
          {}},
         "1234",
         ""},
        {{"only the first line is judged",
          {"\r\n+CME ERROR: incorrect password\r\n\r\nOK\r\n", counters},
          then_published({pin_entry}, "NOTIFY verify_pinpuk 1 incorrect password"),
          {}},
         "1234",
         ""},
        {{"ERROR", {kError}, {pin_entry}, {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}}, "1234", ""},
        {{"empty answer", {""}, {pin_entry}, {"6 (char*)mdm_res.aucDataBuf is NULL\n"}},
         "1234",
         ""},
        {{"timeout", {"TIMEOUT"}, {pin_entry}, {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
         "1234",
         ""},
        {{"other answer", {fake::info_ok("+CPIN: READY")}, {pin_entry}, {}}, "1234", ""},
        {{"both fields empty", {}, {}, {}}, "", ""},
    };
    for (const VerifyCase& c : cases) {
        const Payload p = Payload().text(vp::kCode, c.code).text(vp::kNewPin, c.new_pin);
        expect_story(c.story, [&] { orv_quorl_mdm_verify_pin_puk(p.data()); });
    }
}

// Codes that could break the command or overrun its buffer are refused before anything is sent,
// stored or notified.
TEST(VerifyPinPuk, RefusesCodesThatBreakTheCommand) {
    struct Refusal {
        const char* name;
        std::string code;
        std::string new_pin;
        const char* log_start;
    } cases[] = {
        {"double quote in the PIN", "12\"4", "", "0 PIN refused"},
        {"CR in the PIN", "12\r4", "", "0 PIN refused"},
        {"LF in the PUK", "1234\n678", "4321", "0 PUK refused"},
        {"DEL in the new PIN", "12345678",
         "43\x7f"
         "1",
         "0 new PIN refused"},
        {"control character in the new PIN", "12345678", "\x01", "0 new PIN refused"},
        {"new PIN one past the buffer", "12345678", std::string(127 - 13 - 8 + 1, '7'),
         "0 new PIN refused"},
        {"new PIN far past the buffer", "12345678", std::string(900, '7'), "0 new PIN refused"},
    };
    for (const Refusal& c : cases) {
        fake::reset();
        fake().answers = {kOk};
        const Payload p = Payload().text(vp::kCode, c.code).text(vp::kNewPin, c.new_pin);
        orv_quorl_mdm_verify_pin_puk(p.data());
        EXPECT_TRUE(fake().timeline.empty()) << c.name;
        const Lines logs = fake().log_texts();
        EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [&](const std::string& l) {
            return l.starts_with(c.log_start);
        })) << c.name;
    }
    fake::reset();
    orv_quorl_mdm_verify_pin_puk(nullptr);
    EXPECT_TRUE(fake().timeline.empty());
    EXPECT_TRUE(fake().logged(ORV_LOG_LEVEL_ERR, "msg_ptr is NULL\n"));
}

}  // namespace
}  // namespace orv::sim_security::test
