// orv_mc_listen: stands in for the main controller's socket and prints every notification the
// daemon sends there, one readable line each.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/orv_paths.h"
#include "tools/client/orv_client.h"

namespace {

using namespace orv::client;

constexpr const char* kUsage =
    "Usage: orv_mc_listen [--count N] [--timeout S] [--run-dir DIR]\n"
    "Binds the controller socket $ORV_RUN_DIR/orv_mc_path and prints each notification\n"
    "the modem manager sends as one line, for example:\n"
    "  pin_status kind=0 state=\"READY\"\n"
    "  verify_pinpuk result=1 state=\"incorrect password\"\n"
    "  rpc_status status=0\n"
    "  imsi_unlock_status status=1\n"
    "  apn_sim_msg plmn=\"26201\" imsi=\"262011234567890\" iccid=\"8949...\"\n"
    "  unknown call=N bytes=M      (unknown call, or a datagram too short for its call)\n"
    "A stale socket file is replaced; a socket another process listens on is refused.\n"
    "\n"
    "Options:\n"
    "  --count N      exit 0 after N notifications\n"
    "  --timeout S    give up after S seconds (exit 1)\n"
    "  --run-dir DIR  folder of the socket (default $ORV_RUN_DIR or /var/run/orv)\n"
    "  -h, --help     print this help\n"
    "  --version      print the version\n"
    "\n"
    "Exit status: 0 after N notifications (or stopped by a signal without --count),\n"
    "1 socket unavailable or timeout, 2 usage error.\n";

constexpr CommandLine kCli{"orv_mc_listen", kUsage};

// Larger than any notification, so that an oversized datagram is still seen and counted.
constexpr std::size_t kReceiveSize = 4096;

int listen_loop(int fd, const std::string& path, long count, double timeout) {
    const volatile sig_atomic_t& stop = stop_on_signals();
    const double deadline = timeout >= 0 ? monotonic_seconds() + timeout : -1;
    long received = 0;
    static unsigned char buf[kReceiveSize];
    while (stop == 0 && (count <= 0 || received < count)) {
        int wait_ms = -1;
        if (deadline >= 0) {
            const double left = deadline - monotonic_seconds();
            if (left <= 0) {
                return kCli.failed("timeout after " + std::to_string(received) +
                                   " notification(s)");
            }
            wait_ms = static_cast<int>(std::min(left, 3600.0) * 1000) + 1;  // int ms
        }
        pollfd pfd{fd, POLLIN, 0};
        const int rc = poll(&pfd, 1, wait_ms);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            return kCli.failed("cannot wait on " + path + ": " + std::strerror(errno));
        }
        if (rc == 0) {
            continue;  // the deadline check above ends the loop
        }
        // MSG_TRUNC: the result is the datagram's real size even when it was cut.
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return kCli.failed("cannot receive on " + path + ": " + std::strerror(errno));
        }
        const std::size_t real = static_cast<std::size_t>(n);
        const std::size_t held = real < sizeof buf ? real : sizeof buf;
        const std::string line =
            describe_notification(std::string_view(reinterpret_cast<char*>(buf), held), real);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        ++received;
    }
    return count > 0 && received < count ? kExitFailed : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    std::string run_dir = orv::paths::get(orv::paths::kRunDir);
    long count = 0;
    double timeout = -1;
    std::vector<std::string> words;
    if (const auto status = kCli.parse(
            arguments(argc, argv),
            {count_option(count), timeout_option(timeout), text_option("--run-dir", run_dir)},
            words)) {
        return *status;
    }
    if (!words.empty()) {
        return kCli.usage_error("unexpected argument \"" + words[0] + "\"");
    }
    std::string error;
    if (!orv::paths::make_dirs(run_dir.c_str())) {
        return kCli.failed("cannot create the folder " + run_dir + ": " + std::strerror(errno));
    }
    const std::string path = join_path(run_dir, orv::msg::kControllerSocketName);
    const int fd = bind_datagram_socket(path, error);
    if (fd < 0) {
        return kCli.failed(error);
    }
    const int status = listen_loop(fd, path, count, timeout);
    close(fd);
    unlink(path.c_str());
    return status;
}
