// orv_mdm_load: end-to-end load and footprint measurements of the daemon, or of another program
// in its place (the floor program, bench/floor.cpp), against the virtual modem on a pty. The
// processes, the folder and the store connection are the e2e tests' rig (tools/rig).
//
//   orv_mdm_load latency   [--kind imei|pin|iccid|mix] [-n N] [--delay MS] [--strace FILE]
//   orv_mdm_load footprint [-n N] [--idle S]
//   orv_mdm_load startup   [-r RUNS]
//   common: [--daemon NAME] (the program of the build folder run as the daemon; orv_mdm)
//
// Each mode prints one line of NAME=VALUE figures, which scripts/bench.sh turns into its tables.
// ORV_E2E_KEEP=1 leaves the temporary folder.
//
// latency: a request is timed from its send() to the moment a second SQLite connection sees the
// row the request publishes. The row is deleted before each request (SQLite skips a write that
// changes nothing, so an unchanged value would leave no trace). Between checks the tool sleeps on
// inotify events of the store's WAL file, so it takes no CPU from the daemon and the modem while
// they work (two cores for three processes); after a WAL write it re-checks every 20 µs until the
// commit is visible. Requests go one at a time (closed loop). CPU time is the program's, from
// /proc/PID/schedstat.
//
// With --strace FILE, strace is attached to the program after the warm-up and records the
// system calls of the measured requests to FILE (the times are then strace's, not the program's).
// ORV_DAEMON_WRAPPER runs the program under another (valgrind for instruction counts).
//
// footprint (the daemon only): after N IMEI requests, RssAnon and PSS; the context switches over
// S idle seconds; then the bytes the daemon's writes sent to storage (/proc/PID/io write_bytes)
// over up to 1000 IMEI requests whose value is the one stored. The log goes to /dev/shm (RAM, as a
// device's /var/log) so that the figure is the store's alone.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using orv::e2e::proc_field;
using orv::e2e::Rig;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

double us_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct Options {
    std::string mode;
    std::string kind = "imei";
    long n = 10000;
    int delay_ms = 0;
    int runs = 30;
    int idle_s = 60;
    std::string daemon = "orv_mdm";
    std::string strace;
};

// strace attached to `pid`, writing to `file`, until the object goes (then detached cleanly).
class Strace {
  public:
    Strace(pid_t pid, const std::string& file) {
        if (file.empty()) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            const std::string target = std::to_string(pid);
            execlp("strace", "strace", "-f", "-qq", "-p", target.c_str(), "-o", file.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        // Attached once the program has a tracer.
        for (int i = 0; i < 1000 && proc_field(pid, "status", "TracerPid") <= 0; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        if (proc_field(pid, "status", "TracerPid") <= 0) {
            fail("strace did not attach to the program");
        }
    }
    ~Strace() {
        if (pid_ > 0) {
            kill(pid_, SIGINT);
            waitpid(pid_, nullptr, 0);
        }
    }

  private:
    pid_t pid_ = -1;
};

// One request kind: the identifier sent, the store row whose write ends the request, and how many
// AT exchanges it makes (for the share of the modem's own delay).
struct Kind {
    const char* name;
    std::uint32_t id;
    const char* row;
    int exchanges;
};

constexpr Kind kKinds[] = {
    {"imei", orv::msg::ORV_MDM_GET_IMEI, "imei", 1},
    // AT+CPIN?, then AT+EPINC; "puknumber" is the last value the request writes.
    {"pin", orv::msg::ORV_MDM_GET_PIN_STATUS, "puknumber", 2},
    {"iccid", orv::msg::ORV_MDM_GET_ICCID, "sim_iccid", 1},
};

std::vector<Kind> kinds_of(const std::string& name) {
    std::vector<Kind> kinds;
    for (const Kind& k : kKinds) {
        if (name == k.name || name == "mix") {
            kinds.push_back(k);
        }
    }
    if (kinds.empty()) {
        fail("unknown kind: " + name);
    }
    return kinds;
}

// CPU time a process has used so far, in µs.
double cpu_us(pid_t pid) {
    double ns = 0;
    std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> ns;
    return ns / 1000;
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty()
               ? 0
               : v[std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5))];
}

// Sleeps on writes to the store's WAL file.
class WalWatch {
  public:
    explicit WalWatch(const std::string& wal) : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        if (inotify_add_watch(fd_, wal.c_str(), IN_MODIFY) < 0) {
            fail("cannot watch " + wal);
        }
    }
    ~WalWatch() { close(fd_); }
    // Waits up to `wait` for a write; true when there was one since the last call.
    bool wait(std::chrono::microseconds wait) {
        pollfd p{fd_, POLLIN, 0};
        const timespec ts{0, static_cast<long>(wait.count()) * 1000};
        ppoll(&p, 1, &ts, nullptr);
        alignas(inotify_event) char buf[4096];
        bool written = false;
        while (read(fd_, buf, sizeof buf) > 0) {
            written = true;
        }
        return written;
    }

  private:
    int fd_;
};

// Starts the virtual modem (answering every command `delay_ms` late when not 0).
void start_modem(Rig& rig, const Options& o) {
    orv::e2e::ModemOptions modem;
    if (o.delay_ms > 0) {
        modem.profile = "script = [\"AT* delay " + std::to_string(o.delay_ms) + "\"]\n";
    }
    rig.start_modem(modem);
    rig.set_daemon_binary(o.daemon);
    // ORV_DAEMON_WRAPPER (blank-separated words, e.g. "valgrind --tool=callgrind") runs the
    // program under another, for counting what it does.
    std::istringstream wrapper(
        std::getenv("ORV_DAEMON_WRAPPER") != nullptr ? std::getenv("ORV_DAEMON_WRAPPER") : "");
    orv::e2e::Lines words;
    for (std::string word; wrapper >> word;) {
        words.push_back(word);
    }
    rig.set_daemon_wrapper(words);
}

// Starts the program with the device's AT waits and without output on disk, sends it one request
// of `k` and, once its row exists, keeps a store connection open.
void start_daemon(Rig& rig, const Kind& k, const std::vector<std::string>& env = {}) {
    static const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    rig.daemon_stdout(null_fd);
    std::vector<std::string> full = {"ORV_AT_WAIT_SCALE=1"};
    full.insert(full.end(), env.begin(), env.end());
    rig.start_daemon(full);
    rig.send(k.id);
    if (!rig.wait_for([&] { return rig.store(k.row).has_value(); })) {
        fail("the first request was not answered");
    }
    rig.keep_store_open();
}

// One request, closed loop: latency in µs from send to the request's row being visible.
double request(Rig& rig, WalWatch& wal, const Kind& k) {
    rig.unset(k.row);
    rig.notifications();  // read, so that the controller socket never fills
    wal.wait(0us);
    const auto t0 = Clock::now();
    rig.send(k.id);
    bool written = false;
    while (!rig.store(k.row)) {
        written = wal.wait(written ? 20us : 100ms) || written;
        if (Clock::now() - t0 > 10s) {
            fail(std::string("no answer to a request for ") + k.row);
        }
    }
    return us_since(t0);
}

void run_latency(const Options& o) {
    const std::vector<Kind> kinds = kinds_of(o.kind);
    Rig rig;
    start_modem(rig, o);
    start_daemon(rig, kinds.front());
    WalWatch wal(rig.path("nvram.db-wal"));
    // Warm-up: every kind a few times, so the first-use costs are out of the figures.
    for (int i = 0; i < 20; ++i) {
        for (const Kind& k : kinds) {
            request(rig, wal, k);
        }
    }
    std::vector<double> lat;
    std::vector<double> over;  // latency less the modem's own delay for that request's exchanges
    const double cpu0 = cpu_us(rig.daemon_pid());
    const auto t0 = Clock::now();
    {
        const Strace traced(rig.daemon_pid(), o.strace);
        for (long i = 0; i < o.n; ++i) {
            const Kind& k = kinds[static_cast<std::size_t>(i) % kinds.size()];
            lat.push_back(request(rig, wal, k));
            over.push_back(lat.back() - 1000.0 * o.delay_ms * k.exchanges);
        }
    }
    const double n = static_cast<double>(o.n);
    std::printf("median_us=%.1f p99_us=%.1f cpu_us=%.1f rps=%.0f", percentile(lat, 0.5),
                percentile(lat, 0.99), (cpu_us(rig.daemon_pid()) - cpu0) / n,
                n * 1e6 / us_since(t0));
    if (o.delay_ms > 0) {
        std::printf(" over_median_us=%.1f over_p99_us=%.1f", percentile(over, 0.5),
                    percentile(over, 0.99));
    }
    std::printf("\n");
}

void run_footprint(const Options& o) {
    const Kind& imei = kKinds[0];
    char logs[] = "/dev/shm/orv_log_XXXXXX";
    if (mkdtemp(logs) == nullptr) {
        fail("cannot make a log folder in /dev/shm");
    }
    Rig rig;
    start_modem(rig, o);
    start_daemon(rig, imei, {std::string("ORV_LOG_DIR=") + logs});
    WalWatch wal(rig.path("nvram.db-wal"));
    const pid_t pid = rig.daemon_pid();
    for (long i = 0; i < o.n; ++i) {
        request(rig, wal, imei);
    }
    const long rss = proc_field(pid, "status", "VmRSS");
    const long anon = proc_field(pid, "status", "RssAnon");
    const long pss = proc_field(pid, "smaps_rollup", "Pss");

    const auto switches = [&] {
        return proc_field(pid, "status", "voluntary_ctxt_switches") +
               proc_field(pid, "status", "nonvoluntary_ctxt_switches");
    };
    const long before = switches();
    std::this_thread::sleep_for(std::chrono::seconds(o.idle_s));
    const long wakeups = switches() - before;

    // Requests that find the stored IMEI unchanged, then a link test: it writes nothing to the
    // store, and its notification says that every request before it is done.
    const long unchanged = std::min(o.n, 1000L);
    const long written0 = proc_field(pid, "io", "write_bytes");
    for (long i = 0; i < unchanged; ++i) {
        rig.send(imei.id);
    }
    const std::size_t notes = rig.notifications().size();
    rig.send(orv::msg::ORV_MDM_TEST_RPC_MSG);
    if (rig.wait_notes(notes + 1, 60s).size() <= notes) {
        fail("the link test after the unchanged requests was not answered");
    }
    std::printf(
        "rss_kb=%ld rss_anon_kb=%ld pss_kb=%ld idle_s=%d wakeups=%ld unchanged=%ld "
        "write_bytes=%ld\n",
        rss, anon, pss, o.idle_s, wakeups, unchanged,
        proc_field(pid, "io", "write_bytes") - written0);
    std::system((std::string("rm -rf ") + logs).c_str());
}

// Exec to the request socket's creation (the daemon's modem bring-up comes after the socket).
void run_startup(const Options& o) {
    Rig rig;
    start_modem(rig, o);
    std::vector<double> us;
    for (int r = 0; r < o.runs; ++r) {
        const auto t0 = Clock::now();
        rig.start_daemon({"ORV_AT_WAIT_SCALE=1"});
        us.push_back(us_since(t0));
        rig.stop_daemon();
    }
    std::printf("socket_us=%.0f\n", percentile(us, 0.5));
}

[[noreturn]] void usage() {
    std::fputs(
        "usage: orv_mdm_load latency [--kind imei|pin|iccid|mix] [-n N] [--delay MS]\n"
        "                            [--strace FILE]\n"
        "       orv_mdm_load footprint [-n N] [--idle S]\n"
        "       orv_mdm_load startup [-r RUNS]\n"
        "       common option: --daemon NAME (default orv_mdm)\n",
        stderr);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (argc < 2) {
        usage();
    }
    o.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            usage();
        }
        const std::string v = argv[++i];
        if (a == "--strace") {
            o.strace = v;
        } else if (a == "--kind") {
            o.kind = v;
        } else if (a == "-n") {
            o.n = std::stol(v);
        } else if (a == "--delay") {
            o.delay_ms = std::stoi(v);
        } else if (a == "-r") {
            o.runs = std::stoi(v);
        } else if (a == "--idle") {
            o.idle_s = std::stoi(v);
        } else if (a == "--daemon") {
            o.daemon = v;
        } else {
            usage();
        }
    }
    // Short sleeps of this tool wake on time; its own timer slack must not add to the figures.
    prctl(PR_SET_TIMERSLACK, 1UL);
    signal(SIGPIPE, SIG_IGN);
    try {
        if (o.mode == "latency") {
            run_latency(o);
        } else if (o.mode == "footprint") {
            run_footprint(o);
        } else if (o.mode == "startup") {
            run_startup(o);
        } else {
            usage();
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orv_mdm_load: %s\n", e.what());
        return 1;
    }
}
