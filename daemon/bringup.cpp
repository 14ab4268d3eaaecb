#include "wire/bringup.h"
#include "core/at_exchange.h"
#include "core/log.h"
#include "daemon/daemon.h"

namespace orv::daemon {

namespace {
constexpr core::LogSite kLogSite{core::kCoreModule, core::LogFile::bringup};
}  // namespace

// The outcome of the bring-up is never judged beyond "did the modem answer": an "ERROR" to any of
// the three commands lets the sequence go on, and the daemon serves requests whatever happened.
void orv_send_cfun() {
    MDM_LOG(kLogInfo, "entern orv_send_cfun_fun \n");
    core::AtExchange ex{core::kCoreModule};
    const auto [egtype, cfun, cmee] = msg::kBringUpCommands;
    if (ex.run(egtype) != core::AtOutcome::Answer) {
        return;
    }
    if (ex.run(cfun, {.timeout = core::TimeoutTest::RetryOnce,
                      .first_timeout_line = "(char*)mdm_res.aucDataBuf is timeout\n"}) !=
        core::AtOutcome::Answer) {
        return;
    }
    ex.run(cmee);
}

}  // namespace orv::daemon
