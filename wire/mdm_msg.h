// Request messages of the daemon's socket and the controller notification datagram: identifiers,
// names and payload layouts, defined once for the daemon and for the tools that talk to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace orv::msg {

inline constexpr const char* kRequestSocketName = "orv_mdm_path";
inline constexpr const char* kControllerSocketName = "orv_mc_path";

// A request is one datagram: a 32-bit little-endian identifier, then the payload.
inline constexpr std::size_t kRecvBufferSize = 1024;
inline constexpr std::size_t kMaxMessage = kRecvBufferSize - 1;  // one zero byte always follows
inline constexpr std::size_t kIdSize = 4;
inline constexpr std::size_t kMaxPayload = kMaxMessage - kIdSize;

enum MsgId : std::uint32_t {
    ORV_MDM_TEST_RPC_MSG = 0,
    ORV_MDM_SIM_STATE_MSG = 1,
    ORV_MDM_GET_PIN_STATUS = 2,
    ORV_MDM_VERIFY_PIN = 3,
    ORV_MDM_CHANGE_PIN = 4,
    ORV_MDM_PIN_MODE = 5,
    ORV_MDM_PIN_PUK_TIMES = 6,
    ORV_MDM_GET_IMEI = 7,
    ORV_MDM_GET_PCB = 8,
    ORV_MDM_GET_OVN = 9,
    ORV_MDM_GET_BATT_INFO = 10,
    ORV_MDM_GET_OSEC = 11,
    ORV_MDM_NET_UNLOCK_TIMES = 12,
    ORV_MDM_NET_UNLOCK = 13,
    ORV_MDM_GET_SIM_SPN = 14,
    ORV_MDM_SLEEP_WAKEUP = 15,
    ORV_MDM_GET_MODEM_MODE = 16,
    ORV_MDM_SET_MODEM_MODE = 17,
    ORV_MDM_GET_MEID_and_ESN = 18,
    ORV_MDM_SET_SPRINT_FACTORYINIT_MSG = 19,
    ORV_MDM_GET_SPC = 20,
    ORV_MDM_GET_SIM_INIT_COMPLETE_FLAG_MSG = 21,
    ORV_MDM_GET_SIM_CARD_TYPE_MSG = 22,
    ORV_MDM_GET_UIM_OTA_ACTIVE_STATE_MSG = 23,
    ORV_MDM_GET_UIM_MIN_LOCK_STATE_MSG = 24,
    ORV_MDM_GET_MODEM_SPN_AND_ROAM_MSG = 25,
    ORV_MDM_SPRINT_MODEM_LOCK_PROC_MSG = 26,
    ORV_MDM_GET_ICCID = 27,
    ORV_MDM_GET_IMSI = 28,
    ORV_MDM_GET_MSISDN = 29,
    ORV_MDM_CLEAR_WISPR_PWD = 30,
    ORV_MDM_APN_GET_SIM_INFO = 31,
    ORV_MDM_MAX_MSG = 32,
};

inline constexpr std::size_t kMsgCount = 33;

// Name of each identifier, as the receive log line shows it. Entry 32 is "ORV_MDM_MAX_MSG",
// although identifier 32 is served (operator pay type).
inline constexpr std::array<std::string_view, kMsgCount> mdm_msg_name_table = {
    "ORV_MDM_TEST_RPC_MSG",
    "ORV_MDM_SIM_STATE_MSG",
    "ORV_MDM_GET_PIN_STATUS",
    "ORV_MDM_VERIFY_PIN",
    "ORV_MDM_CHANGE_PIN",
    "ORV_MDM_PIN_MODE",
    "ORV_MDM_PIN_PUK_TIMES",
    "ORV_MDM_GET_IMEI",
    "ORV_MDM_GET_PCB",
    "ORV_MDM_GET_OVN",
    "ORV_MDM_GET_BATT_INFO",
    "ORV_MDM_GET_OSEC",
    "ORV_MDM_NET_UNLOCK_TIMES",
    "ORV_MDM_NET_UNLOCK",
    "ORV_MDM_GET_SIM_SPN",
    "ORV_MDM_SLEEP_WAKEUP",
    "ORV_MDM_GET_MODEM_MODE",
    "ORV_MDM_SET_MODEM_MODE",
    "ORV_MDM_GET_MEID_and_ESN",
    "ORV_MDM_SET_SPRINT_FACTORYINIT_MSG",
    "ORV_MDM_GET_SPC",
    "ORV_MDM_GET_SIM_INIT_COMPLETE_FLAG_MSG",
    "ORV_MDM_GET_SIM_CARD_TYPE_MSG",
    "ORV_MDM_GET_UIM_OTA_ACTIVE_STATE_MSG",
    "ORV_MDM_GET_UIM_MIN_LOCK_STATE_MSG",
    "ORV_MDM_GET_MODEM_SPN_AND_ROAM_MSG",
    "ORV_MDM_SPRINT_MODEM_LOCK_PROC_MSG",
    "ORV_MDM_GET_ICCID",
    "ORV_MDM_GET_IMSI",
    "ORV_MDM_GET_MSISDN",
    "ORV_MDM_CLEAR_WISPR_PWD",
    "ORV_MDM_APN_GET_SIM_INFO",
    "ORV_MDM_MAX_MSG",
};

// Name shown for an identifier that has no row.
inline constexpr std::string_view kUnknownMsgName = "ORV_MDM_UNKNOWN_MSG";

constexpr std::string_view msg_name(std::uint32_t id) {
    return id < kMsgCount ? mdm_msg_name_table[id] : kUnknownMsgName;
}

// Identifier by its full name ("ORV_MDM_GET_IMEI") or its short form ("GET_IMEI", "get_imei").
std::optional<std::uint32_t> msg_id_by_name(std::string_view name);

// Little-endian 32-bit load and store; the device is little-endian, and so is the wire.
constexpr std::uint32_t load_u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
constexpr void store_u32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// A text field of a payload: offset from the first payload byte, and width. Width 0 means the
// text runs to its terminator (the zeroed receive buffer always holds one).
struct TextField {
    std::size_t offset;
    std::size_t width;
};
struct IntField {
    std::size_t offset;
};

// ORV_MDM_VERIFY_PIN: PIN (or PUK) and, for unblocking, the new PIN.
namespace verify_pin {
inline constexpr TextField kCode{0, 10};
inline constexpr TextField kNewPin{10, 0};
}  // namespace verify_pin

// ORV_MDM_CHANGE_PIN: bytes 0..9 are not read.
namespace change_pin {
inline constexpr TextField kOldPin{10, 10};
inline constexpr TextField kNewPin{20, 10};
}  // namespace change_pin

// ORV_MDM_PIN_MODE: bytes 0..11 are not read.
namespace pin_mode {
inline constexpr IntField kOperation{12};
inline constexpr TextField kPin{16, 10};
inline constexpr std::uint32_t kLockOff = 0;
inline constexpr std::uint32_t kLockOn = 1;
inline constexpr std::uint32_t kQuery = 2;
}  // namespace pin_mode

// ORV_MDM_NET_UNLOCK: the network control key.
namespace net_unlock {
inline constexpr TextField kCode{0, 0};
}  // namespace net_unlock

// ORV_MDM_SET_MODEM_MODE: 1 radio off, 0 radio on.
namespace modem_mode {
inline constexpr IntField kMode{0};
}  // namespace modem_mode

// Width of the payload text at `f`, up to its terminator or the field's width, never past
// `payload_size` bytes.
constexpr std::size_t text_length(const unsigned char* payload, std::size_t payload_size,
                                  TextField f) {
    if (f.offset >= payload_size) {
        return 0;
    }
    std::size_t limit = payload_size - f.offset;
    if (f.width != 0 && f.width < limit) {
        limit = f.width;
    }
    std::size_t n = 0;
    while (n < limit && payload[f.offset + n] != 0) {
        ++n;
    }
    return n;
}

// Controller notification datagram: a 32-bit call number, then the call's fields.
namespace notify {
enum Call : std::uint32_t {
    kPinStatus = 1,         // int32 kind, 32-byte state text
    kVerifyPinPuk = 2,      // int32 result, 32-byte state text
    kRpcStatus = 3,         // int32 status
    kImsiUnlockStatus = 4,  // int32 status
    kApnSimMsg = 5,         // 96-byte record: plmn, imsi, iccid, 32 bytes each
};
inline constexpr std::size_t kStateTextSize = 32;
inline constexpr std::size_t kApnFieldSize = 32;
inline constexpr std::size_t kMaxSize = 4 + 3 * kApnFieldSize;

// The fields after the call number, offsets from the datagram's first byte.
inline constexpr IntField kValue{kIdSize};                       // kinds 1 to 4
inline constexpr TextField kState{kIdSize + 4, kStateTextSize};  // kinds 1 and 2
inline constexpr TextField kApnPlmn{kIdSize, kApnFieldSize};     // kind 5, the three in a row
inline constexpr TextField kApnImsi{kApnPlmn.offset + kApnFieldSize, kApnFieldSize};
inline constexpr TextField kApnIccid{kApnImsi.offset + kApnFieldSize, kApnFieldSize};

constexpr std::size_t size_of(Call c) {
    switch (c) {
        case kPinStatus:
        case kVerifyPinPuk:
            return 4 + 4 + kStateTextSize;
        case kRpcStatus:
        case kImsiUnlockStatus:
            return 4 + 4;
        case kApnSimMsg:
            return 4 + 3 * kApnFieldSize;
    }
    return 0;
}

// Writes the datagram of `call` into `out` (kMaxSize bytes at least) and returns its size: the
// call number, then `value` (kinds 1 to 4) and, for kinds 1 and 2, `state` cut to 31 characters
// and zero-padded to its field (none: an empty text); for kind 5, the 96 bytes at `record` as
// they are (none: zeros).
std::size_t compose(unsigned char* out, Call call, int value, const char* state,
                    const void* record = nullptr);
}  // namespace notify

// Factory configuration item 2000: the 352-byte version record, one zero-terminated text per
// field. The manufacturer runs from offset 96 up to the integrated version at 320.
namespace version_record {
inline constexpr std::size_t kSize = 352;
inline constexpr TextField kInnerVersion{0, 32};
inline constexpr TextField kModelName{32, 32};
inline constexpr TextField kHardwareVersion{64, 32};
inline constexpr TextField kManufacturer{96, 224};
inline constexpr TextField kIntegratedVersion{320, 32};
}  // namespace version_record

// Factory configuration item 2301: one byte, non-zero when the language follows the SIM.
namespace language_flag {
inline constexpr std::size_t kSize = 1;
}  // namespace language_flag

}  // namespace orv::msg
