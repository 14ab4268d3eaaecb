// orv_mc_listen: stands in for the main controller's socket and prints every notification the
// daemon sends there, one readable line each.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

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

enum LongOnly : int { kOptCount = 256, kOptTimeout, kOptRunDir, kOptVersion };

const option kOptions[] = {
    {"count", required_argument, nullptr, kOptCount},
    {"timeout", required_argument, nullptr, kOptTimeout},
    {"run-dir", required_argument, nullptr, kOptRunDir},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0},
};

// Larger than any notification, so that an oversized datagram is still seen and counted.
constexpr std::size_t kReceiveSize = 4096;

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "orv_mc_listen: %s\nTry 'orv_mc_listen --help'.\n", message.c_str());
    return kExitUsage;
}

double monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int listen_loop(int fd, const std::string& path, long count, double timeout) {
    const double deadline = timeout >= 0 ? monotonic_seconds() + timeout : -1;
    long received = 0;
    static unsigned char buf[kReceiveSize];
    while (g_stop == 0 && (count <= 0 || received < count)) {
        int wait_ms = -1;
        if (deadline >= 0) {
            const double left = deadline - monotonic_seconds();
            if (left <= 0) {
                std::fprintf(stderr, "orv_mc_listen: timeout after %ld notification(s)\n",
                             received);
                return kExitFailed;
            }
            wait_ms = static_cast<int>(left * 1000) + 1;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int rc = poll(&pfd, 1, wait_ms);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            std::fprintf(stderr, "orv_mc_listen: cannot wait on %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return kExitFailed;
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
            std::fprintf(stderr, "orv_mc_listen: cannot receive on %s: %s\n", path.c_str(),
                         std::strerror(errno));
            return kExitFailed;
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
    int c = 0;
    std::string error;
    while ((c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
        switch (c) {
            case kOptCount:
                if (!parse_count_option(optarg, count, error)) {
                    return usage_error(error);
                }
                break;
            case kOptTimeout:
                if (!parse_timeout_option(optarg, timeout, error)) {
                    return usage_error(error);
                }
                break;
            case kOptRunDir:
                run_dir = optarg;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return kExitOk;
            case kOptVersion:
                std::fputs(version_line("orv_mc_listen").c_str(), stdout);
                return kExitOk;
            default:
                std::fputs("Try 'orv_mc_listen --help'.\n", stderr);
                return kExitUsage;
        }
    }
    if (optind < argc) {
        return usage_error(std::string("unexpected argument \"") + argv[optind] + "\"");
    }

    if (!orv::paths::make_dirs(run_dir.c_str())) {
        std::fprintf(stderr, "orv_mc_listen: cannot create the folder %s: %s\n", run_dir.c_str(),
                     std::strerror(errno));
        return kExitFailed;
    }
    const std::string path = join_path(run_dir, orv::msg::kControllerSocketName);
    const int fd = bind_datagram_socket(path, error);
    if (fd < 0) {
        std::fprintf(stderr, "orv_mc_listen: %s\n", error.c_str());
        return kExitFailed;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const int status = listen_loop(fd, path, count, timeout);
    close(fd);
    unlink(path.c_str());
    return status;
}
