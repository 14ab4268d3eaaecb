#include "core/at_exchange.h"
#include "core/log.h"
#include "device/device.h"
#include "platform/orv_mc.h"

namespace orv::device {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::link_test};

using core::AtExchange;
using core::AtOptions;
using core::AtOutcome;
using core::TimeoutTest;

constexpr std::int32_t kPassed = 0;
constexpr std::int32_t kFailed = 1;

// The two "AT" pings: short wait, and a "TIMEOUT" text is judged like any other answer.
constexpr AtOptions kPing{.wait = 0, .timeout = TimeoutTest::Skipped};

}  // namespace

// The controller checks that the daemon and the modem behind it respond. Only "OK" to
// "AT+CMEE=2" and to the second "AT" passes; the first "AT" wakes the channel and its answer is
// not judged. Without an answer to any of the three there is nothing to tell.
std::int32_t orv_quorl_mdm_proc_rpc_test(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "entern orv_quorl_mdm_proc_rpc_testfun \n");
    std::int32_t status = kFailed;

    AtExchange ex;
    // "\r\nOK\r\n"
    if (ex.run("AT+CMEE=2") != AtOutcome::Answer) {
        return -1;
    }
    if (!ex.first_line_is("OK")) {
        orv_mc_state_mdm_return_rpc_status(status);
        return status;
    }

    if (ex.run("AT", kPing) != AtOutcome::Answer) {
        return -1;
    }
    if (ex.run("AT", kPing) != AtOutcome::Answer) {
        return -1;
    }
    if (ex.first_line_is("OK")) {
        status = kPassed;
    }
    orv_mc_state_mdm_return_rpc_status(status);
    return status;
}

}  // namespace orv::device
