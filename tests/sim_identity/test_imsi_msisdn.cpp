#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

constexpr const char* kCimi = "AT AT+CIMI";
constexpr const char* kCnum = "AT AT+CNUM";
constexpr std::string_view kPrimedImsi = "001010000000001";

struct IdentityCase {
    const char* name;
    std::vector<std::string> answers;
    Lines timeline;
    Lines logs;  // among the logged lines
};

TEST_F(SimIdentityTest, ImsiWithOneRetryOnABusySim) {
    using fake::final_line;
    using fake::info_ok;
    const IdentityCase cases[] = {
        {"IMSI", {info_ok("262011234567890")}, {kCimi, "WRITE sim_imsi=262011234567890"}, {}},
        {"busy, then the IMSI after 5 s",
         {final_line("+CME ERROR: SIM busy"), info_ok("262011234567890")},
         {kCimi, "SLEEP 5", kCimi, "WRITE sim_imsi=262011234567890"},
         {"0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy\n"}},
        {"ERROR, then the IMSI",
         {final_line("ERROR"), info_ok("262011234567890")},
         {kCimi, "SLEEP 5", kCimi, "WRITE sim_imsi=262011234567890"},
         {"0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy\n"}},
        {"busy twice: discarded",
         {final_line("+CME ERROR: SIM busy"), final_line("ERROR")},
         {kCimi, "SLEEP 5", kCimi},
         {"0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy again,discard it!!!\n"}},
        {"another error text is published as it is",
         {final_line("+CME ERROR: SIM not inserted")},
         {kCimi, "WRITE sim_imsi=+CME ERROR: SIM not inserted"},
         {}},
        {"a bare OK is published too", {final_line("OK")}, {kCimi, "WRITE sim_imsi=OK"}, {}},
        {"empty first answer: information level",
         {""},
         {kCimi},
         {"6 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"empty answer after the wait: error level",
         {final_line("ERROR"), ""},
         {kCimi, "SLEEP 5", kCimi},
         {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"TIMEOUT", {"TIMEOUT"}, {kCimi}, {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"TIMEOUT after the wait",
         {final_line("ERROR"), "TIMEOUT"},
         {kCimi, "SLEEP 5", kCimi},
         {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
    };
    for (const IdentityCase& c : cases) {
        keep_imsi(kPrimedImsi);
        fake().answers.assign(c.answers.begin(), c.answers.end());
        orv_quorl_mdm_get_imsi(nullptr);
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        expect_logged(c.logs, c.name);
        // The kept IMSI follows the store: the value written, or the one from before.
        const std::string& last = fake().timeline.back();
        const std::string written = last.starts_with("WRITE sim_imsi=")
                                        ? last.substr(std::string_view("WRITE sim_imsi=").size())
                                        : std::string(kPrimedImsi);
        EXPECT_EQ(mdm_sim_imsi_text(), written) << c.name;
    }
}

TEST_F(SimIdentityTest, ImsiLogsOnlyItsFirstLine) {
    fake().answers = {fake::info_ok("262011234567890")};
    orv_quorl_mdm_get_imsi(nullptr);
    EXPECT_EQ(fake().log_texts(), (Lines{"6 enter orv_quorl_mdm_get_imsi fun\n",
                                         "6 mdm_at_result_process is 262011234567890\n"}));
    EXPECT_EQ(fake().echoes.size(), 1u);
}

TEST_F(SimIdentityTest, MsisdnTakesTheFirstNumber) {
    using fake::final_line;
    using fake::info_ok;
    const std::string nineteen(19, '9');
    const IdentityCase cases[] = {
        {"number with alpha tag",
         {info_ok("+CNUM: \"Own\",\"+491701234567\",145")},
         {kCnum, "WRITE msisdn=+491701234567"},
         {"6 msisdn is +491701234567\n"}},
        {"empty alpha tag",
         {info_ok("+CNUM: \"\",\"01701234567\",129")},
         {kCnum, "WRITE msisdn=01701234567"},
         {}},
        {"two numbers: the first one",
         {"\r\n+CNUM: \"\",\"+4917011111\",145\r\n+CNUM: \"\",\"+4917022222\",145\r\n\r\nOK\r\n"},
         {kCnum, "WRITE msisdn=+4917011111"},
         {}},
        {"19 characters fit",
         {info_ok("+CNUM: \"\",\"" + nineteen + "\",129")},
         {kCnum, "WRITE msisdn=" + nineteen},
         {}},
        {"empty quoted number is published empty",
         {info_ok("+CNUM: \"\",\"\",129")},
         {kCnum, "WRITE msisdn="},
         {}},
        {"unknown: no retry",
         {final_line("+CME ERROR: unknown")},
         {kCnum},
         {"0 get msisdn is unknown,return\n"}},
        {"busy, then the number",
         {final_line("+CME ERROR: SIM busy"), info_ok("+CNUM: \"\",\"+4917011111\",145")},
         {kCnum, "SLEEP 5", kCnum, "WRITE msisdn=+4917011111"},
         {"6 (char*)mdm_res.aucDataBuf is ERROR or SIM busy or operation not allowed\n"}},
        {"not allowed twice: discarded",
         {final_line("+CME ERROR: operation not allowed"), final_line("ERROR")},
         {kCnum, "SLEEP 5", kCnum},
         {"0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy or operation not allowed "
          "again,discard it!!!\n"}},
        {"unknown after the wait is not tested again and has no number",
         {final_line("ERROR"), final_line("+CME ERROR: unknown")},
         {kCnum, "SLEEP 5", kCnum},
         {"0 msisdn line has no number field: +CME ERROR: unknown\n"}},
        {"no own number", {final_line("OK")}, {kCnum}, {"6 (char*)mdm_res.aucDataBuf is OK\n"}},
        {"no second comma",
         {info_ok("+CNUM: \"\",\"+4917011111\"")},
         {kCnum},
         {"0 msisdn line has no number field: +CNUM: \"\",\"+4917011111\"\n"}},
        {"adjacent commas", {info_ok("+CNUM: \"\",,145")}, {kCnum}, {}},
        {"one character between the commas", {info_ok("+CNUM: \"\",5,145")}, {kCnum}, {}},
        {"number of 20 characters",
         {info_ok("+CNUM: \"\",\"" + nineteen + "0\",129")},
         {kCnum},
         {"0 msisdn longer than 19 characters: +CNUM: \"\",\"" + nineteen + "0\",129\n"}},
        {"empty answer", {""}, {kCnum}, {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"TIMEOUT", {"TIMEOUT"}, {kCnum}, {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
    };
    for (const IdentityCase& c : cases) {
        fake::reset();
        fake().answers.assign(c.answers.begin(), c.answers.end());
        orv_quorl_mdm_get_msisdn(nullptr);
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        expect_logged(c.logs, c.name);
    }
}

TEST_F(SimIdentityTest, MsisdnLogsTheRawAnswerButNotTheCommand) {
    const std::string answer = fake::info_ok("+CNUM: \"\",\"123\",129");
    fake().answers = {answer};
    orv_quorl_mdm_get_msisdn(nullptr);
    EXPECT_EQ(fake().log_texts(),
              (Lines{"6 enter orv_quorl_mdm_get_msisdn fun\n",
                     "6 (char*)mdm_res.aucDataBuf is " + answer + "\n",
                     "6 mdm_at_result_process is +CNUM: \"\",\"123\",129\n", "6 msisdn is 123\n"}));
}

}  // namespace
}  // namespace orv::sim_identity::testing
