#include "daemon/daemon.h"

#include <array>
#include <cstring>

#include "core/log.h"
#include "daemon/dispatch.h"
#include "platform/orv_cfg.h"
#include "platform/orv_socket.h"
#include "wire/mdm_msg.h"

namespace orv::daemon {

namespace {
constexpr core::LogSite kLogSite{core::kCoreModule, core::LogFile::daemon};
}  // namespace

std::uint8_t orv_auto_set_language = 0;

void orv_get_auto_set_language_cfg() {
    if (orv_cfg_get_item(ORV_CFG_AUTO_SET_LANGUAGE_ID, &orv_auto_set_language, 1) == -1) {
        orv_auto_set_language = 0;
        MDM_LOG(kLogErr, "get ORV_CFG_AUTO_SET_LANGUAGE_ID error!!!\n");
        return;
    }
    MDM_LOG(kLogInfo, "get auto set language cfg success, auto set language: %d\n",
            orv_auto_set_language);
}

void orv_quorl_mdm_receive_turn(int handle) {
    std::array<unsigned char, msg::kRecvBufferSize> buf{};
    if (orv_recv_msg(handle, buf.data(), static_cast<int>(msg::kMaxMessage)) == -1) {
        MDM_LOG(kLogErr, "[error] receive data error \n");
        return;
    }
    const std::uint32_t id = msg::load_u32(buf.data());
    if (id != msg::ORV_MDM_GET_BATT_INFO) {
        const std::string_view name = msg::msg_name(id);
        MDM_LOG(kLogErr, "msg_id = %d, %.*s\n", static_cast<int>(id), static_cast<int>(name.size()),
                name.data());
    }
    orv_quorl_mdm_dispatch_msg(buf.data());
}

int orv_quorl_mdm_run() {
    orv_get_auto_set_language_cfg();
    int handle = -1;
    if (orv_init_msg(msg::kRequestSocketName, &handle) == -1) {
        MDM_LOG(kLogErr, "[error] mdm module can not create server socket!\n");
        return -1;
    }
    orv_send_cfun();
    for (;;) {
        orv_quorl_mdm_receive_turn(handle);
    }
}

}  // namespace orv::daemon
