// Controller notification datagrams decoded into one readable line each.
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

std::string int_at(std::string_view d, std::size_t offset) {
    const auto v = static_cast<std::int32_t>(msg::load_u32(bytes_of(d) + offset));
    return std::to_string(v);
}

// The zero-padded text field of `width` bytes at `offset`, up to its terminator, quoted.
std::string text_at(std::string_view d, std::size_t offset, std::size_t width) {
    const std::size_t n = msg::text_length(bytes_of(d), d.size(), msg::TextField{offset, width});
    return "\"" + escape_bytes(d.substr(offset, n)) + "\"";
}

std::string unknown(std::string_view d, std::size_t real_size) {
    const std::string call =
        d.size() >= msg::kIdSize ? std::to_string(msg::load_u32(bytes_of(d))) : "?";
    return "unknown call=" + call + " bytes=" + std::to_string(real_size);
}

std::string decode(Call call, std::string_view d) {
    constexpr std::size_t kField = msg::kIdSize;  // first field after the call number
    switch (call) {
        case msg::notify::kPinStatus:
            return "pin_status kind=" + int_at(d, kField) +
                   " state=" + text_at(d, kField + 4, msg::notify::kStateTextSize);
        case msg::notify::kVerifyPinPuk:
            return "verify_pinpuk result=" + int_at(d, kField) +
                   " state=" + text_at(d, kField + 4, msg::notify::kStateTextSize);
        case msg::notify::kRpcStatus:
            return "rpc_status status=" + int_at(d, kField);
        case msg::notify::kImsiUnlockStatus:
            return "imsi_unlock_status status=" + int_at(d, kField);
        case msg::notify::kApnSimMsg: {
            constexpr std::size_t w = msg::notify::kApnFieldSize;
            return "apn_sim_msg plmn=" + text_at(d, kField, w) +
                   " imsi=" + text_at(d, kField + w, w) + " iccid=" + text_at(d, kField + 2 * w, w);
        }
    }
    return std::string();
}

}  // namespace

std::string describe_notification(std::string_view datagram, std::size_t real_size) {
    if (real_size < datagram.size()) {
        real_size = datagram.size();
    }
    if (datagram.size() < msg::kIdSize) {
        return unknown(datagram, real_size);
    }
    const std::uint32_t number = msg::load_u32(bytes_of(datagram));
    if (number < kFirstCall || number > kLastCall) {
        return unknown(datagram, real_size);
    }
    const auto call = static_cast<Call>(number);
    const std::size_t expected = msg::notify::size_of(call);
    if (datagram.size() < expected) {
        return unknown(datagram, real_size);
    }
    std::string line = decode(call, datagram.substr(0, expected));
    if (real_size > expected) {
        line += " extra_bytes=" + std::to_string(real_size - expected);
    }
    return line;
}

}  // namespace orv::client
