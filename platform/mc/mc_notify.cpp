// Controller notifications: each call is one datagram to ORV_RUN_DIR/orv_mc_path in the layout
// of orv::msg::notify (little-endian 32-bit call number, then the call's fields). Sending never
// blocks: when nobody listens or the controller's queue is full the datagram is dropped.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/orv_mc.h"
#include "platform/orv_paths.h"
#include "wire/mdm_msg.h"

namespace {

namespace notify = orv::msg::notify;

static_assert(sizeof(apn_sim_msg) == 3 * notify::kApnFieldSize);
static_assert(ORV_APN_FIELD_SIZE == notify::kApnFieldSize);

// Returns 0 when the datagram was queued, -1 when it was dropped.
int send_datagram(const unsigned char* data, std::size_t len) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!orv::paths::join(addr.sun_path, sizeof addr.sun_path, orv::paths::get(orv::paths::kRunDir),
                          orv::msg::kControllerSocketName)) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    const ssize_t n = sendto(fd, data, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    close(fd);
    return n == static_cast<ssize_t>(len) ? 0 : -1;
}

// Each call sends its datagram as orv::msg::notify::compose writes it.
int send_call(notify::Call call, int value, const char* state, const void* record = nullptr) {
    unsigned char buf[notify::kMaxSize];
    return send_datagram(buf, notify::compose(buf, call, value, state, record));
}

}  // namespace

extern "C" int orv_mc_state_mdm_return_pin_status(int kind, const char* state) {
    return send_call(notify::kPinStatus, kind, state);
}

extern "C" int orv_mc_state_mdm_return_verify_pinpuk(int result, const char* state) {
    return send_call(notify::kVerifyPinPuk, result, state);
}

extern "C" int orv_mc_state_mdm_return_rpc_status(int status) {
    return send_call(notify::kRpcStatus, status, nullptr);
}

extern "C" int orv_mc_state_mdm_return_imsi_unlock_status(int status) {
    return send_call(notify::kImsiUnlockStatus, status, nullptr);
}

extern "C" int orv_mc_relay_quorl_apn_sim_msg(const apn_sim_msg* record) {
    return send_call(notify::kApnSimMsg, 0, nullptr, record);
}
