// orv_mdm: the modem manager daemon. Takes no arguments; paths come from the environment.
#include <csignal>

#include "core/log.h"
#include "daemon/daemon.h"
#include "daemon/trace.h"
#include "platform/orv_paths.h"
#include "wire/version.h"

namespace {
constexpr orv::core::LogSite kLogSite{orv::core::kCoreModule, orv::core::LogFile::main};
}  // namespace

int main() {
    // Standard output carries only the echo of modem answers, which is dropped when nobody
    // takes it: a reader that went away must not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    // The run, log and store folders exist from the start (mode 0750), whatever is asked first.
    namespace paths = orv::paths;
    paths::make_dirs(paths::get(paths::kRunDir));
    paths::make_dirs(paths::get(paths::kLogDir));
    paths::make_parent_dirs(paths::get(paths::kNvram));
    // The log's first line of every start names the version that runs.
    MDM_LOG(orv::kLogInfo, "orv_mdm %s starting\n", ORV_VERSION);
    orv::daemon::trace::start();
    return orv::daemon::orv_quorl_mdm_run();
}
