#include <array>

#include "core/dispatch.h"
#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

// Each SIM identity identifier reaches its own handler: the first command sent tells which.
TEST_F(SimIdentityTest, DispatchRowsReachTheirHandlers) {
    const std::pair<std::uint32_t, const char*> rows[] = {
        {msg::ORV_MDM_GET_ICCID, "AT+CRSM=176,12258,0,0,10"},
        {msg::ORV_MDM_GET_IMSI, "AT+CIMI"},
        {msg::ORV_MDM_GET_MSISDN, "AT+CNUM"},
        {msg::ORV_MDM_APN_GET_SIM_INFO, "AT+CRSM=176,28589,0,0,4"},
        {msg::ORV_MDM_MAX_MSG, "AT+CRSM=176,28418,0,0,1,,\"7F43\""},
    };
    for (const auto& [id, command] : rows) {
        fake::reset();
        std::array<unsigned char, msg::kRecvBufferSize> message{};
        msg::store_u32(message.data(), id);
        core::orv_quorl_mdm_dispatch_msg(message.data());
        ASSERT_FALSE(fake().commands.empty()) << id;
        EXPECT_EQ(fake().commands.front(), command) << id;
    }
}

}  // namespace
}  // namespace orv::sim_identity::testing
