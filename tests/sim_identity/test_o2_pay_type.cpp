#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

constexpr const char* kOperatorFile = "AT AT+CRSM=176,28418,0,0,1,,\"7F43\"";
constexpr const char* kServiceTable = "AT AT+CRSM=176,28472,0,0,1,,\"7F20\"";

std::string byte_answer(std::string_view data) {
    return fake::info_ok("+CRSM: 144, 0,\"" + std::string(data) + "\"");
}

struct PayCase {
    const char* name;
    std::vector<std::string> answers;
    Lines timeline;
    Lines logs;  // among the logged lines
};

TEST_F(SimIdentityTest, O2PayTypeFromOperatorFileOrFdnBits) {
    const std::string not_found = fake::info_ok("+CRSM: 148, 4");
    const PayCase cases[] = {
        {"odd byte: contract",
         {byte_answer("01")},
         {kOperatorFile, "WRITE sim_pay_type_o2=postpay"},
         {"6 pay_flag: 0x30 0x31", "6 pay_flag: 0x1 0xff"}},
        {"even byte: prepaid",
         {byte_answer("00")},
         {kOperatorFile, "WRITE sim_pay_type_o2=prepay"},
         {}},
        {"lower-case ff: contract",
         {byte_answer("ff")},
         {kOperatorFile, "WRITE sim_pay_type_o2=postpay"},
         {}},
        {"non-digit then 1 reads 0x01",
         {byte_answer("G1")},
         {kOperatorFile, "WRITE sim_pay_type_o2=postpay"},
         {"6 pay_flag: 0x1 0xff"}},
        {"1 then non-digit reads 0x10",
         {byte_answer("1G")},
         {kOperatorFile, "WRITE sim_pay_type_o2=prepay"},
         {"6 pay_flag: 0x10 0xff"}},
        {"fallback 1F: FDN allocated",
         {not_found, byte_answer("1F")},
         {kOperatorFile, kServiceTable, "WRITE sim_pay_type_o2=prepay"},
         {"0 sim read o2 pay type fail \n", "6 enter orv_quorl_mdm_get_o2_fdn fun\n"}},
        {"fallback 3F: FDN allocated and activated",
         {not_found, byte_answer("3F")},
         {kOperatorFile, kServiceTable, "WRITE sim_pay_type_o2=postpay"},
         {}},
        {"fallback 0F: no FDN",
         {not_found, byte_answer("0F")},
         {kOperatorFile, kServiceTable, "WRITE sim_pay_type_o2=other"},
         {}},
        {"fallback 2F: no FDN",
         {not_found, byte_answer("2F")},
         {kOperatorFile, kServiceTable, "WRITE sim_pay_type_o2=other"},
         {}},
        {"both reads fail",
         {not_found, fake::final_line("ERROR")},
         {kOperatorFile, kServiceTable},
         {"0 sim read o2 pay type fail \n", "0 sim read o2 fdn fail \n"}},
        {"empty answer: fallback",
         {"", byte_answer("1F")},
         {kOperatorFile, kServiceTable, "WRITE sim_pay_type_o2=prepay"},
         {"6 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"TIMEOUT: fallback",
         {"TIMEOUT", "TIMEOUT"},
         {kOperatorFile, kServiceTable},
         {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"status without blank after the comma is no success",
         {fake::info_ok("+CRSM: 144,0,\"01\""), ""},
         {kOperatorFile, kServiceTable},
         {"0 sim read o2 pay type fail \n"}},
        {"success without quote: fallback",
         {fake::info_ok("+CRSM: 144, 0"), byte_answer("3F")},
         {kOperatorFile, kServiceTable, "WRITE sim_pay_type_o2=postpay"},
         {"0 sim byte read has no two characters after the quote: +CRSM: 144, 0\n"}},
        {"quote at the end of the line: fallback",
         {fake::info_ok("+CRSM: 144, 0,\""), fake::info_ok("+CRSM: 144, 0,\"3")},
         {kOperatorFile, kServiceTable},
         {}},
    };
    for (const PayCase& c : cases) {
        fake::reset();
        fake().answers.assign(c.answers.begin(), c.answers.end());
        orv_quorl_mdm_get_o2_sim_pay_type(nullptr);
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        expect_logged(c.logs, c.name);
    }
}

TEST_F(SimIdentityTest, O2ReadLogsTheWholeExchange) {
    const std::string answer = byte_answer("01");
    fake().answers = {answer};
    orv_quorl_mdm_get_o2_sim_pay_type(nullptr);
    EXPECT_EQ(fake().log_texts(), (Lines{"6 enter orv_quorl_mdm_get_o2_sim_pay_type fun\n",
                                         "6 mdm_ATcmd_buf is AT+CRSM=176,28418,0,0,1,,\"7F43\"\n",
                                         "6 (char*)mdm_res.aucDataBuf is " + answer + "\n",
                                         "6 mdm_at_result is " + answer.substr(2) + "\n",
                                         "6 mdm_at_result_process is +CRSM: 144, 0,\"01\"\n",
                                         "6 pay_flag: 0x30 0x31", "6 pay_flag: 0x1 0xff"}));
    EXPECT_EQ(fake().echoes, (Lines{answer}));
}

}  // namespace
}  // namespace orv::sim_identity::testing
