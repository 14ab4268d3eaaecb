#include "daemon/dispatch.h"
#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

// Each request of the subsystem reaches its handler: the first command it sends shows which
// (identifiers 2 and 11 share the PIN status handler). An empty PIN request sends nothing.
TEST(SimSecurityRows, EachIdentifierSendsItsFirstCommand) {
    const std::pair<std::uint32_t, const char*> rows[] = {
        {msg::ORV_MDM_SIM_STATE_MSG, "AT+CPIN?\r\n"},
        {msg::ORV_MDM_GET_PIN_STATUS, "AT+CPIN?"},
        {msg::ORV_MDM_GET_OSEC, "AT+CPIN?"},
        {msg::ORV_MDM_PIN_PUK_TIMES, "AT+EPINC"},
        {msg::ORV_MDM_NET_UNLOCK_TIMES, "AT+ESMLCK?"},
        {msg::ORV_MDM_CHANGE_PIN, R"(AT+CPWD="SC","","")"},
        {msg::ORV_MDM_PIN_MODE, R"(AT+CLCK="SC",0,"")"},
        {msg::ORV_MDM_NET_UNLOCK, R"(AT+CPIN="")"},
        {msg::ORV_MDM_VERIFY_PIN, ""},
    };
    for (const auto& [id, command] : rows) {
        fake::reset();
        fake().answers = {fake::info_ok("+CPIN: SIM PIN")};
        std::array<unsigned char, msg::kRecvBufferSize> message{};
        msg::store_u32(message.data(), id);
        daemon::orv_quorl_mdm_dispatch_msg(message.data());
        EXPECT_EQ(fake().commands.empty() ? "" : fake().commands.front(), command) << id;
    }
    EXPECT_TRUE(fake().logged(ORV_LOG_LEVEL_INFO, "enter orv_quorl_mdm_verify_pin_puk fun\n"));
}

}  // namespace
}  // namespace orv::sim_security::test
