// The daemon's log call: MDM_LOG(level, format, ...), level kLogErr or kLogInfo.
//
// A log line names its module ("orv_quorl_mdm" for the start-up, loop, dispatch and bring-up,
// "orv_quorl_mdm_handler" for the request handlers) and a line number. Many files share a
// module, so the number a call site logs is its file's number times 1000 plus its source line:
// module and number name exactly one call site. Each file that logs states its site once:
//
//     constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::iccid};
//     ...
//     MDM_LOG(kLogErr, "p1 is null\n");   // "orv_quorl_mdm_handler:11130" for line 130
//
// The format is always a literal of the call site: request and modem text only ever travel as
// arguments, never as a format.
#pragma once

#include "platform/orv_log.h"

namespace orv {

inline constexpr int kLogErr = ORV_LOG_LEVEL_ERR;
inline constexpr int kLogInfo = ORV_LOG_LEVEL_INFO;

namespace core {

inline constexpr const char* kLogName = "orv_mdm.log";
inline constexpr const char* kCoreModule = "orv_quorl_mdm";
inline constexpr const char* kHandlerModule = "orv_quorl_mdm_handler";

// The number of every file that logs. Listed once here, so no two files share one.
enum class LogFile : int {
    // the composition root
    daemon = 1,
    dispatch,
    bringup,
    // the AT exchange
    at_exchange,
    // SIM security
    sim_common,
    sim_state,
    pin_counters,
    pin_verify,
    pin_manage,
    net_lock,
    // SIM identity
    iccid,
    language,
    imsi_msisdn,
    apn_sim_info,
    spn,
    o2_pay_type,
    // device
    link_test,
    imei,
    version,
    battery,
    radio,
    // the field trace
    trace,
    // the process entry (its first line: the version)
    main,
};

inline constexpr int kLinesPerLogFile = 1000;

struct LogSite {
    const char* module;
    LogFile file;

    constexpr int line(int source_line) const {
        return static_cast<int>(file) * kLinesPerLogFile + source_line;
    }
};

}  // namespace core
}  // namespace orv

#define MDM_LOG(level, ...)                                                  \
    do {                                                                     \
        static_assert(__LINE__ < ::orv::core::kLinesPerLogFile,              \
                      "a file that logs stays "                              \
                      "under 1000 lines");                                   \
        ::orv_syslog_append((level), ::orv::core::kLogName, kLogSite.module, \
                            kLogSite.line(__LINE__), __VA_ARGS__);           \
    } while (0)
