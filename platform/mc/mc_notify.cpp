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

void put_int(unsigned char* at, int value) {
    orv::msg::store_u32(at, static_cast<std::uint32_t>(value));
}

// State text field: at most 31 characters, zero-padded to 32 bytes.
void put_state(unsigned char* at, const char* state) {
    std::memset(at, 0, notify::kStateTextSize);
    if (state != nullptr) {
        const std::size_t len = strnlen(state, notify::kStateTextSize - 1);
        std::memcpy(at, state, len);
    }
}

int send_int_and_state(notify::Call call, int value, const char* state) {
    unsigned char buf[notify::size_of(notify::kPinStatus)];
    static_assert(sizeof buf == notify::size_of(notify::kVerifyPinPuk));
    put_int(buf, static_cast<int>(call));
    put_int(buf + 4, value);
    put_state(buf + 8, state);
    return send_datagram(buf, sizeof buf);
}

int send_int(notify::Call call, int value) {
    unsigned char buf[notify::size_of(notify::kRpcStatus)];
    static_assert(sizeof buf == notify::size_of(notify::kImsiUnlockStatus));
    put_int(buf, static_cast<int>(call));
    put_int(buf + 4, value);
    return send_datagram(buf, sizeof buf);
}

}  // namespace

extern "C" int orv_mc_state_mdm_return_pin_status(int kind, const char* state) {
    return send_int_and_state(notify::kPinStatus, kind, state);
}

extern "C" int orv_mc_state_mdm_return_verify_pinpuk(int result, const char* state) {
    return send_int_and_state(notify::kVerifyPinPuk, result, state);
}

extern "C" int orv_mc_state_mdm_return_rpc_status(int status) {
    return send_int(notify::kRpcStatus, status);
}

extern "C" int orv_mc_state_mdm_return_imsi_unlock_status(int status) {
    return send_int(notify::kImsiUnlockStatus, status);
}

extern "C" int orv_mc_relay_quorl_apn_sim_msg(const apn_sim_msg* record) {
    unsigned char buf[notify::size_of(notify::kApnSimMsg)];
    put_int(buf, static_cast<int>(notify::kApnSimMsg));
    if (record == nullptr) {
        std::memset(buf + 4, 0, sizeof buf - 4);
    } else {
        std::memcpy(buf + 4, record->plmn, notify::kApnFieldSize);
        std::memcpy(buf + 4 + notify::kApnFieldSize, record->imsi, notify::kApnFieldSize);
        std::memcpy(buf + 4 + 2 * notify::kApnFieldSize, record->iccid, notify::kApnFieldSize);
    }
    return send_datagram(buf, sizeof buf);
}
