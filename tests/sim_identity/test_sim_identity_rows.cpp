#include <array>
#include <tuple>

#include "daemon/dispatch.h"
#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

// Each SIM identity identifier reaches its own handler (the first command sent tells which), and
// each handler logs exactly its own lines of the exchange (wording, which lines, order) between
// the dispatcher's.
TEST(SimIdentityRows, EachIdentifierReachesItsHandlerWhichLogsItsExchange) {
    const std::string iccid = fake::info_ok(crsm(kStoredIccid));
    const std::string cnum = fake::info_ok("+CNUM: \"\",\"123\",129");
    const std::string o2 = fake::info_ok(crsm("01"));
    const std::string raw = "6 (char*)mdm_res.aucDataBuf is ";
    // Identifier, answer, first command, the handler's log lines.
    const std::tuple<std::uint32_t, std::string, const char*, std::string> rows[] = {
        {msg::ORV_MDM_GET_ICCID, iccid, "AT+CRSM=176,12258,0,0,10",
         "6 enter orv_quorl_mdm_get_iccid fun\n|6 mdm_ATcmd_buf is AT+CRSM=176,12258,0,0,10\n|" +
             raw + iccid + "\n|6 mdm_at_result is " + iccid.substr(2) +
             "\n|6 mdm_at_result_process is " + crsm(kStoredIccid) +
             "\n|6 sim iccid is 8944123456789012345F\n"},
        {msg::ORV_MDM_GET_IMSI, fake::info_ok("262011234567890"), "AT+CIMI",
         "6 enter orv_quorl_mdm_get_imsi fun\n|6 mdm_at_result_process is 262011234567890\n"},
        {msg::ORV_MDM_GET_MSISDN, cnum, "AT+CNUM",
         "6 enter orv_quorl_mdm_get_msisdn fun\n|" + raw + cnum +
             "\n|6 mdm_at_result_process is +CNUM: \"\",\"123\",129\n|6 msisdn is 123\n"},
        {msg::ORV_MDM_APN_GET_SIM_INFO, "", "AT+CRSM=176,28589,0,0,4",
         "6 enter orv_quorl_mdm_apn_read_sim_info fun|6 apn, read efad, err_code[2], "
         "mdm_at_result_process []|6 enter orv_quorl_mdm_apn_read_sim_info fun return"},
        {msg::ORV_MDM_MAX_MSG, o2, "AT+CRSM=176,28418,0,0,1,,\"7F43\"",
         "6 enter orv_quorl_mdm_get_o2_sim_pay_type fun\n|6 mdm_ATcmd_buf is "
         "AT+CRSM=176,28418,0,0,1,,\"7F43\"\n|" +
             raw + o2 + "\n|6 mdm_at_result is " + o2.substr(2) +
             "\n|6 mdm_at_result_process is +CRSM: 144, 0,\"01\"\n|6 pay_flag: 0x30 0x31|"
             "6 pay_flag: 0x1 0xff"},
    };
    for (const auto& [id, answer, command, logs_wanted] : rows) {
        keep("", "");
        fake().answers = {answer};
        std::array<unsigned char, msg::kRecvBufferSize> message{};
        msg::store_u32(message.data(), id);
        daemon::orv_quorl_mdm_dispatch_msg(message.data());
        ASSERT_FALSE(fake().commands.empty()) << id;
        EXPECT_EQ(fake().commands.front(), command) << id;
        Lines logs = fake().log_texts();
        std::erase_if(logs, [](const std::string& l) { return l.starts_with("6 MODEM: "); });
        EXPECT_EQ(logs, split(logs_wanted)) << id;
        EXPECT_EQ(fake().echoes, answer.empty() ? Lines{} : Lines{answer}) << id;
    }
}

}  // namespace
}  // namespace orv::sim_identity::testing
