#include "daemon/dispatch.h"

#include "core/log.h"
#include "daemon/daemon.h"
#include "device/device.h"
#include "sim_identity/sim_identity.h"
#include "sim_identity/spn.h"
#include "sim_security/sim_security.h"

namespace orv::daemon {

namespace {

constexpr core::LogSite kLogSite{core::kCoreModule, core::LogFile::dispatch};

using namespace orv::msg;

// The ICCID request is the one handler that takes a start-up setting: whether the language
// follows the SIM.
std::int32_t get_iccid(const unsigned char* payload) {
    return sim_identity::orv_quorl_mdm_get_iccid(payload, orv_auto_set_language);
}

constexpr std::array<MsgHandlerRow, kMsgCount> kTable = {{
    {ORV_MDM_TEST_RPC_MSG, device::orv_quorl_mdm_proc_rpc_test},
    {ORV_MDM_SIM_STATE_MSG, sim_security::orv_quorl_mdm_get_uim_state},
    {ORV_MDM_GET_PIN_STATUS, sim_security::orv_quorl_mdm_get_pin_status},
    {ORV_MDM_VERIFY_PIN, sim_security::orv_quorl_mdm_verify_pin_puk},
    {ORV_MDM_CHANGE_PIN, sim_security::orv_quorl_mdm_change_pin},
    {ORV_MDM_PIN_MODE, sim_security::orv_quorl_mdm_pin_mode_operate},
    {ORV_MDM_PIN_PUK_TIMES, sim_security::orv_quorl_mdm_get_pin_puk_times},
    {ORV_MDM_GET_IMEI, device::orv_quorl_mdm_get_imei},
    {ORV_MDM_GET_PCB, device::orv_quorl_mdm_get_pcb},
    {ORV_MDM_GET_OVN, device::orv_quorl_mdm_get_ovn},
    {ORV_MDM_GET_BATT_INFO, device::orv_quorl_mdm_get_batt_info},
    {ORV_MDM_GET_OSEC, sim_security::orv_quorl_mdm_get_pin_status},
    {ORV_MDM_NET_UNLOCK_TIMES, sim_security::orv_quorl_mdm_get_unlock_retries_times},
    {ORV_MDM_NET_UNLOCK, sim_security::orv_quorl_mdm_net_unlock},
    {ORV_MDM_GET_SIM_SPN, sim_identity::orv_quorl_mdm_get_spn},
    {ORV_MDM_SLEEP_WAKEUP, device::orv_quorl_mdm_sleep_wakeup},
    {ORV_MDM_GET_MODEM_MODE, device::orv_quorl_mdm_get_modem_mode},
    {ORV_MDM_SET_MODEM_MODE, device::orv_quorl_mdm_set_modem_mode},
    {ORV_MDM_GET_MEID_and_ESN, nullptr},
    {ORV_MDM_SET_SPRINT_FACTORYINIT_MSG, nullptr},
    {ORV_MDM_GET_SPC, nullptr},
    {ORV_MDM_GET_SIM_INIT_COMPLETE_FLAG_MSG, nullptr},
    {ORV_MDM_GET_SIM_CARD_TYPE_MSG, nullptr},
    {ORV_MDM_GET_UIM_OTA_ACTIVE_STATE_MSG, nullptr},
    {ORV_MDM_GET_UIM_MIN_LOCK_STATE_MSG, nullptr},
    {ORV_MDM_GET_MODEM_SPN_AND_ROAM_MSG, nullptr},
    {ORV_MDM_SPRINT_MODEM_LOCK_PROC_MSG, nullptr},
    {ORV_MDM_GET_ICCID, get_iccid},
    {ORV_MDM_GET_IMSI, sim_identity::orv_quorl_mdm_get_imsi},
    {ORV_MDM_GET_MSISDN, sim_identity::orv_quorl_mdm_get_msisdn},
    {ORV_MDM_CLEAR_WISPR_PWD, device::orv_quorl_mdm_clear_wispr_pwd},
    {ORV_MDM_APN_GET_SIM_INFO, sim_identity::orv_quorl_mdm_apn_read_sim_info},
    {ORV_MDM_MAX_MSG, sim_identity::orv_quorl_mdm_get_o2_sim_pay_type},
}};

constexpr bool rows_in_identifier_order() {
    for (std::size_t i = 0; i < kTable.size(); ++i) {
        if (kTable[i].id != i) {
            return false;
        }
    }
    return true;
}
static_assert(kTable.size() == 33, "one row per message identifier");
static_assert(rows_in_identifier_order(), "rows in identifier order");

}  // namespace

const std::array<MsgHandlerRow, kMsgCount> mdm_msg_handler_table = kTable;

int orv_quorl_mdm_dispatch_msg(const unsigned char* msg) {
    if (msg == nullptr) {
        MDM_LOG(kLogErr, "[error] input ptr is null!\n");
        return -1;
    }
    const std::uint32_t id = load_u32(msg);
    MDM_LOG(kLogInfo, "MODEM: msg_id=%d\n", static_cast<int>(id));
    int walked = 0;
    for (; walked < mdm_msg_handler_count; ++walked) {
        const MsgHandlerRow& row = mdm_msg_handler_table[static_cast<std::size_t>(walked)];
        if (row.id == id && row.handler != nullptr) {
            row.handler(msg + kIdSize);
        }
    }
    MDM_LOG(kLogInfo, "MODEM: num=%d\n", walked);
    return 0;
}

}  // namespace orv::daemon
