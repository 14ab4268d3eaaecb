#include <array>
#include <cstdint>

#include "core/at_exchange.h"
#include "core/log.h"
#include "core/lookup.h"
#include "device/device.h"
#include "wire/mdm_msg.h"

namespace orv::device {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::radio};

using core::AtExchange;
using core::AtOptions;

// Requested mode and the command that sets it: mode 1 is radio off (minimum functionality),
// mode 0 radio on (full functionality).
constexpr std::array<Row<std::int32_t, const char*>, 2> kModeCommands{{
    {1, "AT+CFUN=0"},
    {0, "AT+CFUN=1"},
}};

// The answer is only logged, not echoed and not judged.
constexpr AtOptions kCfun{.echo = false};

}  // namespace

std::int32_t orv_quorl_mdm_set_modem_mode(const unsigned char* payload) {
    if (payload == nullptr) {
        MDM_LOG(kLogErr, "[error] input ptr is null!\n");
        return -1;
    }
    const auto mode =
        static_cast<std::int32_t>(msg::load_u32(payload + msg::modem_mode::kMode.offset));
    MDM_LOG(kLogInfo, "mode is %d\n", mode);

    const auto command = lookup(kModeCommands, mode);
    if (!command) {
        return 0;
    }
    // "\r\nOK\r\n", or "\r\n+CME ERROR: ...\r\n": either way only logged.
    AtExchange ex;
    ex.run(*command, kCfun);
    return 0;
}

}  // namespace orv::device
