#include "core/dispatch.h"
#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

std::string request(std::uint32_t id) {
    std::string m(msg::kRecvBufferSize, '\0');
    msg::store_u32(reinterpret_cast<unsigned char*>(m.data()), id);
    return m;
}

// Identifiers 2 and 11 are two rows of one handler, and a request of either tells the same story.
TEST(SimSecurityRows, PinStatusAndOsecShareOneHandler) {
    EXPECT_EQ(core::mdm_msg_handler_table[msg::ORV_MDM_GET_PIN_STATUS].handler,
              &orv_quorl_mdm_get_pin_status);
    EXPECT_EQ(core::mdm_msg_handler_table[msg::ORV_MDM_GET_OSEC].handler,
              &orv_quorl_mdm_get_pin_status);

    Lines stories[2];
    const std::uint32_t ids[] = {msg::ORV_MDM_GET_PIN_STATUS, msg::ORV_MDM_GET_OSEC};
    for (int i = 0; i < 2; ++i) {
        fake::reset();
        fake().answers = {fake::info_ok("+CPIN: SIM PIN"), epinc("3, 3, 10, 10")};
        const std::string m = request(ids[i]);
        core::orv_quorl_mdm_dispatch_msg(reinterpret_cast<const unsigned char*>(m.data()));
        stories[i] = fake().timeline;
    }
    EXPECT_EQ(stories[0], (Lines{"AT AT+CPIN?", "NOTIFY pin_status 0 SIM PIN", "AT AT+EPINC",
                                 "WRITE pinnumber=3", "WRITE puknumber=10"}));
    EXPECT_EQ(stories[1], stories[0]);
}

// Each request of the subsystem reaches its handler: the first command it sends shows which.
TEST(SimSecurityRows, EachIdentifierSendsItsFirstCommand) {
    const struct {
        std::uint32_t id;
        const char* first_command;
    } rows[] = {
        {msg::ORV_MDM_SIM_STATE_MSG, "AT+CPIN?\r\n"},
        {msg::ORV_MDM_GET_PIN_STATUS, "AT+CPIN?"},
        {msg::ORV_MDM_PIN_PUK_TIMES, "AT+EPINC"},
        {msg::ORV_MDM_NET_UNLOCK_TIMES, "AT+ESMLCK?"},
        {msg::ORV_MDM_CHANGE_PIN, R"(AT+CPWD="SC","","")"},
        {msg::ORV_MDM_PIN_MODE, R"(AT+CLCK="SC",0,"")"},
        {msg::ORV_MDM_NET_UNLOCK, R"(AT+CPIN="")"},
    };
    for (const auto& row : rows) {
        fake::reset();
        const std::string m = request(row.id);
        core::orv_quorl_mdm_dispatch_msg(reinterpret_cast<const unsigned char*>(m.data()));
        ASSERT_FALSE(fake().commands.empty()) << row.id;
        EXPECT_EQ(fake().commands.front(), row.first_command) << row.id;
    }
    // An empty PIN request sends nothing at all.
    fake::reset();
    const std::string m = request(msg::ORV_MDM_VERIFY_PIN);
    core::orv_quorl_mdm_dispatch_msg(reinterpret_cast<const unsigned char*>(m.data()));
    EXPECT_TRUE(fake().commands.empty());
    EXPECT_TRUE(fake().logged(ORV_LOG_LEVEL_INFO, "enter orv_quorl_mdm_verify_pin_puk fun\n"));
}

}  // namespace
}  // namespace orv::sim_security::test
