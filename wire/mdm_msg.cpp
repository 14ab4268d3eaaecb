#include "wire/mdm_msg.h"

#include <cctype>

namespace orv::msg {

namespace {

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::uint32_t> msg_id_by_name(std::string_view name) {
    constexpr std::string_view kPrefix = "ORV_MDM_";
    for (std::uint32_t id = 0; id < kMsgCount; ++id) {
        const std::string_view full = mdm_msg_name_table[id];
        if (equal_nocase(name, full) || equal_nocase(name, full.substr(kPrefix.size()))) {
            return id;
        }
    }
    return std::nullopt;
}

namespace notify {

std::size_t compose(unsigned char* out, Call call, int value, const char* state,
                    const void* record) {
    const std::size_t size = size_of(call);
    std::memset(out, 0, size);
    store_u32(out, call);
    if (call == kApnSimMsg) {
        if (record != nullptr) {
            std::memcpy(out + kApnPlmn.offset, record, 3 * kApnFieldSize);
        }
    } else if (size > kValue.offset) {
        store_u32(out + kValue.offset, static_cast<std::uint32_t>(value));
        if (size > kState.offset && state != nullptr) {
            std::memcpy(out + kState.offset, state, strnlen(state, kState.width - 1));
        }
    }
    return size;
}

}  // namespace notify

}  // namespace orv::msg
