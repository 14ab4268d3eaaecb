// Controller notification datagrams decoded into one readable line each.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "tools/client/orv_client.h"

namespace orv::client {

namespace {

using msg::notify::Call;

constexpr std::uint32_t kFirstCall = msg::notify::kPinStatus;
constexpr std::uint32_t kLastCall = msg::notify::kApnSimMsg;

const unsigned char* bytes_of(std::string_view d) {
    return reinterpret_cast<const unsigned char*>(d.data());
}

std::string value_of(std::string_view d) {
    const auto v =
        static_cast<std::int32_t>(msg::load_u32(bytes_of(d) + msg::notify::kValue.offset));
    return std::to_string(v);
}

// The zero-padded text field `f`, up to its terminator, quoted.
std::string text_at(std::string_view d, msg::TextField f) {
    return quote_bytes(field_text(d, f));
}

std::string unknown(std::string_view d, std::size_t real_size) {
    const std::string call =
        d.size() >= msg::kIdSize ? std::to_string(msg::load_u32(bytes_of(d))) : "?";
    return "unknown call=" + call + " bytes=" + std::to_string(real_size);
}

std::string decode(Call call, std::string_view d) {
    using namespace msg::notify;
    switch (call) {
        case kPinStatus:
            return "pin_status kind=" + value_of(d) + " state=" + text_at(d, kState);
        case kVerifyPinPuk:
            return "verify_pinpuk result=" + value_of(d) + " state=" + text_at(d, kState);
        case kRpcStatus:
            return "rpc_status status=" + value_of(d);
        case kImsiUnlockStatus:
            return "imsi_unlock_status status=" + value_of(d);
        case kApnSimMsg:
            return "apn_sim_msg plmn=" + text_at(d, kApnPlmn) + " imsi=" + text_at(d, kApnImsi) +
                   " iccid=" + text_at(d, kApnIccid);
    }
    return std::string();
}

}  // namespace

std::string describe_notification(std::string_view datagram, std::size_t real_size) {
    real_size = std::max(real_size, datagram.size());
    const std::uint32_t number =
        datagram.size() >= msg::kIdSize ? msg::load_u32(bytes_of(datagram)) : 0;
    const auto call = static_cast<Call>(number);
    if (number < kFirstCall || number > kLastCall || datagram.size() < msg::notify::size_of(call)) {
        return unknown(datagram, real_size);
    }
    const std::size_t expected = msg::notify::size_of(call);
    std::string line = decode(call, datagram.substr(0, expected));
    if (real_size > expected) {
        line += " extra_bytes=" + std::to_string(real_size - expected);
    }
    return line;
}

}  // namespace orv::client
