// The request table and the dispatcher.
#pragma once

#include <array>
#include <cstdint>

#include "wire/mdm_msg.h"

namespace orv::daemon {

// A handler gets a pointer to the payload bytes (valid only during the call) and returns a status
// that nobody reads.
using mdm_msg_handler = std::int32_t (*)(const unsigned char* payload);

struct MsgHandlerRow {
    std::uint32_t id;
    mdm_msg_handler handler;  // null: the identifier is received and logged, nothing runs
};

inline constexpr int mdm_msg_handler_count = static_cast<int>(msg::kMsgCount);
extern const std::array<MsgHandlerRow, msg::kMsgCount> mdm_msg_handler_table;

// Calls the handler of the message's identifier. Returns 0, or -1 for a null message.
int orv_quorl_mdm_dispatch_msg(const unsigned char* msg);

}  // namespace orv::daemon
