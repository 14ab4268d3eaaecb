// Log macros. Each source file names its module once (kLogModule: "orv_quorl_mdm" in core/,
// "orv_quorl_mdm_handler" in the request handlers); a call site then reads as the line it logs.
// The format is always a literal of the call site: request and modem text only ever travel as
// arguments, never as a format.
#pragma once

#include "platform/orv_log.h"

namespace orv::core {
inline constexpr const char* kLogName = "orv_mdm.log";
inline constexpr const char* kCoreModule = "orv_quorl_mdm";
inline constexpr const char* kHandlerModule = "orv_quorl_mdm_handler";
}  // namespace orv::core

#define MDM_LOG_ERR(...) \
    ::orv_syslog_append(ORV_LOG_LEVEL_ERR, ::orv::core::kLogName, kLogModule, __LINE__, __VA_ARGS__)
#define MDM_LOG_INFO(...)                                                                \
    ::orv_syslog_append(ORV_LOG_LEVEL_INFO, ::orv::core::kLogName, kLogModule, __LINE__, \
                        __VA_ARGS__)
