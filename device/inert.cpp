#include "device/device.h"

namespace orv::device {

// Requests that the controller may send and that need nothing from this modem: accepted and
// answered by doing nothing, without a log line of their own.

std::int32_t orv_quorl_mdm_sleep_wakeup(const unsigned char* /*payload*/) {
    return 0;
}

std::int32_t orv_quorl_mdm_get_modem_mode(const unsigned char* /*payload*/) {
    return 0;
}

std::int32_t orv_quorl_mdm_clear_wispr_pwd(const unsigned char* /*payload*/) {
    return 0;
}

}  // namespace orv::device
