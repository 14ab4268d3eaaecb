// orv_mdm_load: end-to-end load and footprint measurements of the real daemon against the real
// virtual modem on a pty, in a temporary folder.
//
//   orv_mdm_load latency   [--kind imei|pin|iccid|mix] [-n N] [--delay MS]
//   orv_mdm_load footprint [-n N]
//   orv_mdm_load startup   [-r RUNS]
//   common: [--bin DIR] (where orv_mdm and orv_modem_sim are; default: this program's folder)
//           [--keep] (leave the temporary folder)
//
// A request is timed from its send() to the moment a second SQLite connection sees the value the
// request publishes. Before each request that row is deleted, so "the row exists again" is the
// completion signal. The tool sleeps on inotify events of the store's WAL file between checks,
// so it takes no CPU from the daemon and the modem while they work (two cores for three
// processes); after a WAL write it re-checks at 20 µs intervals until the commit is visible.
// Requests go one at a time (closed loop): the rate is N over the wall time of the run.
//
// Each mode prints markdown table rows: | measure | value | target | verdict |.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <limits.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "wire/mdm_msg.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

double us_since(Clock::time_point t0, Clock::time_point t1) {
    return std::chrono::duration<double, std::micro>(t1 - t0).count();
}

struct Options {
    std::string mode;
    std::string kind = "imei";
    long n = 10000;
    int delay_ms = 0;
    int runs = 30;
    std::string bin;
    bool keep = false;
    std::string dump;  // file for every latency, one per line
};

// One request kind: the identifier sent, the store row whose write ends the request, and how many
// AT exchanges it makes (for the share of the modem's own delay).
struct Kind {
    const char* name;
    std::uint32_t id;
    const char* row;
    int exchanges;
};

constexpr Kind kImei{"imei", orv::msg::ORV_MDM_GET_IMEI, "imei", 1};
// AT+CPIN?, then AT+EPINC; "puknumber" is the last value the request writes.
constexpr Kind kPin{"pin", orv::msg::ORV_MDM_GET_PIN_STATUS, "puknumber", 2};
constexpr Kind kIccid{"iccid", orv::msg::ORV_MDM_GET_ICCID, "sim_iccid", 1};

std::string self_dir() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return ".";
    }
    std::string p(buf, static_cast<std::size_t>(n));
    return p.substr(0, p.rfind('/'));
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        fail("socket path too long: " + path);
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return a;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_file) {
    // Built before fork: the child only calls async-signal-safe functions.
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
            close(out);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (pid < 0) {
        fail("fork failed");
    }
    return pid;
}

void stop(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(5ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

// The kB value of one line of /proc/PID/status ("VmRSS:     1234 kB").
long status_kb(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return -1;
}

// CPU time (user and system) a process has used so far, in µs (clock-tick resolution).
double cpu_us(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close_paren = all.rfind(')');
    if (close_paren == std::string::npos) {
        return 0;
    }
    // Fields after the command name: state is field 3; utime and stime are fields 14 and 15.
    std::vector<std::string> fields;
    std::size_t at = close_paren + 2;
    while (at < all.size() && fields.size() < 13) {
        const std::size_t end = all.find(' ', at);
        fields.push_back(all.substr(at, end - at));
        at = end == std::string::npos ? all.size() : end + 1;
    }
    if (fields.size() < 13) {
        return 0;
    }
    const double ticks =
        std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr);
    return ticks * 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double self_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// The daemon, the virtual modem, a controller socket and a second store connection in one
// temporary folder.
class Rig {
  public:
    explicit Rig(const Options& o) : opt_(o) {
        char tmpl[] = "/tmp/orv_load_XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            fail("mkdtemp failed");
        }
        dir_ = tmpl;
        mkdir(path("run").c_str(), 0750);
        mkdir(path("factory").c_str(), 0750);
        // A listening controller, as on the device: PIN-state notifications have somewhere to go.
        mc_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_un a = unix_address(path("run/orv_mc_path"));
        if (bind(mc_fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
            fail("cannot bind the controller socket");
        }
        req_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        req_addr_ = unix_address(path("run/orv_mdm_path"));
    }

    ~Rig() {
        stop(daemon_pid_);
        stop(modem_pid_);
        sqlite3_finalize(get_);
        sqlite3_finalize(del_);
        sqlite3_close(db_);
        if (shm_ != nullptr) {
            munmap(const_cast<std::uint32_t*>(shm_), 4096);
        }
        close(mc_fd_);
        close(req_fd_);
        if (ifd_ >= 0) {
            close(ifd_);
        }
        if (!opt_.keep) {
            std::system(("rm -rf '" + dir_ + "'").c_str());
        } else {
            std::fprintf(stderr, "kept %s\n", dir_.c_str());
        }
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    pid_t daemon_pid() const { return daemon_pid_; }
    pid_t modem_pid() const { return modem_pid_; }

    void start_modem(int delay_ms) {
        std::vector<std::string> argv = {opt_.bin + "/orv_modem_sim", "--pty", "--link",
                                         path("modem")};
        if (delay_ms > 0) {
            // Every command answered `delay_ms` late: the modem's own answer time.
            std::ofstream(path("profile.toml"))
                << "[[script]]\nmatch = \"AT*\"\ndelay = " << delay_ms << "\n";
            argv.insert(argv.end(), {"--profile", path("profile.toml")});
        }
        modem_pid_ = spawn(argv, {}, path("modem.out"));
        wait_until([&] { return exists(path("modem")); }, 10s, "the virtual modem did not start");
    }

    std::vector<std::string> daemon_env() const {
        return {"ORV_RUN_DIR=" + path("run"),    "ORV_MODEM=" + path("modem"),
                "ORV_NVRAM=" + path("nvram.db"), "ORV_FACTORY_DIR=" + path("factory"),
                "ORV_LOG_DIR=" + path("log"),    "ORV_DEVICE_DB=" + opt_.bin + "/device.db"};
    }

    // Starts the daemon; returns the time from just before exec to the request socket's creation,
    // seen by inotify on the run folder (no polling interval in the figure).
    double start_daemon() {
        const int watch = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(watch, path("run").c_str(), IN_CREATE);
        const auto t0 = Clock::now();
        daemon_pid_ = spawn({opt_.bin + "/orv_mdm"}, daemon_env(), "/dev/null");
        if (opt_.keep) {
            std::fprintf(stderr, "daemon pid %d in %s\n", static_cast<int>(daemon_pid_),
                         dir_.c_str());
        }
        double ready_us = -1;
        while (ready_us < 0) {
            pollfd p{watch, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0) {
                close(watch);
                fail("the daemon did not create its socket");
            }
            alignas(inotify_event) char buf[4096];
            const ssize_t n = read(watch, buf, sizeof buf);
            const auto t1 = Clock::now();
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + at);
                if (ev->len > 0 && std::strcmp(ev->name, orv::msg::kRequestSocketName) == 0) {
                    ready_us = us_since(t0, t1);
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        close(watch);
        return ready_us;
    }

    void stop_daemon() { stop(daemon_pid_); }

    void send(std::uint32_t id) {
        unsigned char d[4];
        orv::msg::store_u32(d, id);
        if (sendto(req_fd_, d, sizeof d, 0, reinterpret_cast<const sockaddr*>(&req_addr_),
                   sizeof req_addr_) != static_cast<ssize_t>(sizeof d)) {
            fail(std::string("request not sent: ") + std::strerror(errno));
        }
    }

    // Opens the second store connection once the daemon has created the store, maps the WAL
    // index and watches the WAL file. Sends one request of `k` and waits until its row exists.
    void open_store(const Kind& k) {
        send(k.id);
        wait_until([&] { return exists(path("nvram.db-shm")); }, 10s,
                   "the daemon did not create the store");
        if (sqlite3_open_v2(path("nvram.db").c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK) {
            fail("cannot open the store");
        }
        sqlite3_busy_timeout(db_, 5000);
        // The tool's deletes do not wait for the disk. Its connection keeps SQLite's automatic
        // checkpoint: with two writers and the tool's checkpoints turned off, the daemon's
        // passive checkpoints never let the WAL start over and it grew without bound.
        sqlite3_exec(db_, "PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
        // The WAL file comes before the table: prepare once the table is there.
        wait_until(
            [&] {
                return sqlite3_prepare_v2(db_, "SELECT 1 FROM nvram WHERE name = ?1", -1, &get_,
                                          nullptr) == SQLITE_OK;
            },
            10s, "the daemon did not create the store table");
        wait_until([&] { return has_row(k.row); }, 10s, "the first request was not answered");
        if (sqlite3_prepare_v2(db_, "DELETE FROM nvram WHERE name = ?1", -1, &del_, nullptr) !=
            SQLITE_OK) {
            fail("cannot prepare the delete");
        }
        const int shm = open(path("nvram.db-shm").c_str(), O_RDONLY | O_CLOEXEC);
        void* map = shm < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ, MAP_SHARED, shm, 0);
        if (shm >= 0) {
            close(shm);
        }
        if (map == MAP_FAILED) {
            fail("cannot map the store's WAL index");
        }
        shm_ = static_cast<const volatile std::uint32_t*>(map);
        ifd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        inotify_add_watch(ifd_, path("nvram.db-wal").c_str(), IN_MODIFY);
    }

    // The WAL index header's transaction counter (third 32-bit word of the first header copy,
    // which SQLite writes last): it grows by one with every commit, at the moment the commit
    // becomes visible to readers.
    std::uint32_t commits() const { return shm_[2]; }

    bool has_row(const char* name) {
        sqlite3_bind_text(get_, 1, name, -1, SQLITE_STATIC);
        const bool found = sqlite3_step(get_) == SQLITE_ROW;
        sqlite3_reset(get_);
        return found;
    }

    void drain() {
        alignas(inotify_event) char buf[4096];
        while (read(ifd_, buf, sizeof buf) > 0) {
        }
        char note[512];
        while (recv(mc_fd_, note, sizeof note, 0) > 0) {
        }
    }

    void delete_row(const char* name) {
        sqlite3_bind_text(del_, 1, name, -1, SQLITE_STATIC);
        if (sqlite3_step(del_) != SQLITE_DONE) {
            fail(std::string("cannot delete ") + name + ": " + sqlite3_errmsg(db_));
        }
        sqlite3_reset(del_);
    }

    // One request, closed loop: latency in µs from send to the request's row being visible.
    // The row is deleted first (SQLite skips a write that changes nothing, so a value written
    // again unchanged would leave no trace). The tool sleeps on WAL writes; once the commit
    // counter has moved it looks for the row, and re-checks every 20 µs, since the counter
    // moves just after the frames are written.
    double request(const Kind& k) {
        delete_row(k.row);
        drain();
        const std::uint32_t base = commits();
        const auto t0 = Clock::now();
        send(k.id);
        bool recent_write = false;
        const auto give_up = t0 + 10s;
        for (;;) {
            if (commits() != base && has_row(k.row)) {
                return us_since(t0, Clock::now());
            }
            pollfd p{ifd_, POLLIN, 0};
            const timespec short_wait{0, 20000};
            const timespec long_wait{0, 100000000};
            ppoll(&p, 1, recent_write ? &short_wait : &long_wait, nullptr);
            alignas(inotify_event) char buf[4096];
            if (read(ifd_, buf, sizeof buf) > 0) {
                recent_write = true;
            }
            if (Clock::now() > give_up) {
                fail(std::string("no answer to a request for ") + k.row);
            }
        }
    }

    template <typename Pred>
    void wait_until(Pred pred, std::chrono::milliseconds timeout, const char* what) {
        const auto deadline = Clock::now() + timeout;
        while (!pred()) {
            if (Clock::now() > deadline) {
                fail(what);
            }
            std::this_thread::sleep_for(200us);
        }
    }

  private:
    Options opt_;
    std::string dir_;
    pid_t modem_pid_ = -1;
    pid_t daemon_pid_ = -1;
    int mc_fd_ = -1;
    int req_fd_ = -1;
    sockaddr_un req_addr_{};
    int ifd_ = -1;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* get_ = nullptr;
    sqlite3_stmt* del_ = nullptr;
    const volatile std::uint32_t* shm_ = nullptr;
};

double percentile(std::vector<double> v, double q) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t at =
        std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5));
    return v[at];
}

void row(const std::string& measure, const std::string& value, const std::string& target,
         const char* verdict) {
    std::printf("| %s | %s | %s | %s |\n", measure.c_str(), value.c_str(), target.c_str(), verdict);
    std::fflush(stdout);
}

// A figure with `decimals` places and an optional unit.
std::string fmt(double v, int decimals, const char* unit = "") {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f%s", decimals, v, unit);
    return buf;
}

const char* verdict(bool ok) {
    return ok ? "met" : "MISSED";
}

std::vector<Kind> kinds_of(const std::string& name) {
    if (name == "imei") {
        return {kImei};
    }
    if (name == "pin") {
        return {kPin};
    }
    if (name == "iccid") {
        return {kIccid};
    }
    if (name == "mix") {
        return {kImei, kPin, kIccid};
    }
    fail("unknown kind: " + name);
}

int run_latency(const Options& o) {
    const std::vector<Kind> kinds = kinds_of(o.kind);
    Rig rig(o);
    rig.start_modem(o.delay_ms);
    rig.start_daemon();
    rig.open_store(kinds.front());
    // Warm-up: every kind a few times, so the first-use costs are out of the figures.
    for (int i = 0; i < 20; ++i) {
        for (const Kind& k : kinds) {
            rig.request(k);
        }
    }
    std::vector<double> lat;
    std::vector<double> over;  // latency less the modem's own delay for that request's exchanges
    lat.reserve(static_cast<std::size_t>(o.n));
    over.reserve(static_cast<std::size_t>(o.n));
    const double daemon_cpu0 = cpu_us(rig.daemon_pid());
    const double modem_cpu0 = cpu_us(rig.modem_pid());
    const double tool_cpu0 = self_cpu_us();
    const auto t0 = Clock::now();
    for (long i = 0; i < o.n; ++i) {
        const Kind& k = kinds[static_cast<std::size_t>(i) % kinds.size()];
        const double us = rig.request(k);
        lat.push_back(us);
        over.push_back(us - 1000.0 * o.delay_ms * k.exchanges);
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double n = static_cast<double>(o.n);
    const double daemon_cpu = (cpu_us(rig.daemon_pid()) - daemon_cpu0) / n;
    const double modem_cpu = (cpu_us(rig.modem_pid()) - modem_cpu0) / n;
    const double tool_cpu = (self_cpu_us() - tool_cpu0) / n;
    if (!o.dump.empty()) {
        std::ofstream out(o.dump);
        for (const double us : lat) {
            out << us << "\n";
        }
    }
    for (const Kind& k : kinds) {
        if (!rig.has_row(k.row)) {
            fail(std::string("the store has no ") + k.row + " after the run");
        }
    }
    const double rps = static_cast<double>(o.n) / secs;
    const double med = percentile(lat, 0.5);
    const double p99 = percentile(lat, 0.99);
    const std::string what =
        o.kind +
        (o.delay_ms > 0 ? ", modem " + std::to_string(o.delay_ms) + " ms late" : ", instant modem");
    const bool imei_instant = o.kind == "imei" && o.delay_ms == 0;
    row("requests/s (" + what + ", n=" + std::to_string(o.n) + ")", fmt(rps, 0),
        imei_instant ? ">= 8000" : "-", imei_instant ? verdict(rps >= 8000) : "-");
    row("latency median (" + what + ")", fmt(med, 1, " µs"), imei_instant ? "< 150 µs" : "-",
        imei_instant ? verdict(med < 150) : "-");
    row("latency p99 (" + what + ")", fmt(p99, 1, " µs"), "-", "-");
    row("CPU per request: daemon / virtual modem / this tool (" + what + ")",
        fmt(daemon_cpu, 1, " / ") + fmt(modem_cpu, 1, " / ") + fmt(tool_cpu, 1, " µs"), "-", "-");
    if (o.delay_ms > 0) {
        const double omed = percentile(over, 0.5);
        const double op99 = percentile(over, 0.99);
        row("daemon overhead above the modem's delay, median (" + o.kind + ")", fmt(omed, 1, " µs"),
            "< 50 µs", verdict(omed < 50));
        row("daemon overhead above the modem's delay, p99 (" + o.kind + ")", fmt(op99, 1, " µs"),
            "< 200 µs", verdict(op99 < 200));
    }
    return 0;
}

// VmRSS and its parts at one moment.
struct Rss {
    long rss, hwm, anon, file, shmem;
};

Rss rss_of(pid_t pid) {
    return {status_kb(pid, "VmRSS"), status_kb(pid, "VmHWM"), status_kb(pid, "RssAnon"),
            status_kb(pid, "RssFile"), status_kb(pid, "RssShmem")};
}

std::string rss_text(const Rss& r) {
    return std::to_string(r.rss) + " kB (anon " + std::to_string(r.anon) + ", file " +
           std::to_string(r.file) + ", shmem " + std::to_string(r.shmem) + "; HWM " +
           std::to_string(r.hwm) + ")";
}

int run_footprint(const Options& o) {
    Rig rig(o);
    rig.start_modem(0);
    rig.start_daemon();
    rig.open_store(kImei);
    const pid_t pid = rig.daemon_pid();
    const Rss start = rss_of(pid);
    // A warm-up long enough for the paths taken only now and then (store checkpoint, log
    // rotation at 1 MiB) to have run once: their code pages count from here on.
    const long warm = std::min<long>(o.n, 5000);
    for (long i = 0; i < warm; ++i) {
        rig.request(kImei);
    }
    const Rss warmed = rss_of(pid);
    for (long i = 0; i < o.n; ++i) {
        rig.request(kImei);
    }
    const Rss end = rss_of(pid);
    row("VmRSS after start-up (bring-up and first request)", rss_text(start), "< 1536 kB",
        verdict(start.rss < 1536));
    row("VmRSS after " + std::to_string(warm) + " IMEI requests", rss_text(warmed), "-", "-");
    row("VmRSS after " + std::to_string(o.n) + " more IMEI requests", rss_text(end), "no growth",
        verdict(end.rss <= warmed.rss));
    row("daemon's own memory (RssAnon) growth over those " + std::to_string(o.n),
        std::to_string(end.anon - warmed.anon) + " kB", "0 kB", verdict(end.anon <= warmed.anon));
    return 0;
}

int run_startup(const Options& o) {
    std::vector<double> to_socket;
    std::vector<double> to_answer;
    Rig rig(o);
    rig.start_modem(0);
    for (int r = 0; r < o.runs; ++r) {
        // Exec to socket: the modem bring-up (AT+EGTYPE, AT+CFUN, AT+CMEE) comes after the socket.
        const auto t0 = Clock::now();
        to_socket.push_back(rig.start_daemon());
        // Exec to the first answer: socket, bring-up, then one IMEI request end to end.
        rig.send(kImei.id);
        rig.wait_until([&] { return exists(rig.path("nvram.db")); }, 10s, "no store");
        sqlite3* db = nullptr;
        sqlite3_open_v2(rig.path("nvram.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* st = nullptr;
        for (;;) {
            // The table may not be there yet when the file is.
            if (st == nullptr) {
                sqlite3_prepare_v2(db, "SELECT 1 FROM nvram WHERE name = 'imei'", -1, &st, nullptr);
            }
            const bool found = st != nullptr && sqlite3_step(st) == SQLITE_ROW;
            sqlite3_reset(st);
            if (found) {
                break;
            }
            if (Clock::now() - t0 > 10s) {
                fail("no first answer");
            }
            std::this_thread::sleep_for(50us);
        }
        to_answer.push_back(us_since(t0, Clock::now()));
        sqlite3_finalize(st);
        sqlite3_close(db);
        rig.stop_daemon();
        unlink(rig.path("nvram.db").c_str());
        unlink(rig.path("nvram.db-wal").c_str());
        unlink(rig.path("nvram.db-shm").c_str());
    }
    const double sock = percentile(to_socket, 0.5);
    row("exec to request socket ready, median of " + std::to_string(o.runs) +
            " (modem bring-up excluded)",
        fmt(sock, 0, " µs"), "< 1000 µs", verdict(sock < 1000));
    row("exec to first IMEI answer in the store, median (bring-up included)",
        fmt(percentile(to_answer, 0.5), 0, " µs"), "-", "-");
    return 0;
}

void usage() {
    std::fputs(
        "usage: orv_mdm_load latency [--kind imei|pin|iccid|mix] [-n N] [--delay MS]\n"
        "       orv_mdm_load footprint [-n N]\n"
        "       orv_mdm_load startup [-r RUNS]\n"
        "       common options: --bin DIR, --keep, --dump FILE (latencies)\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.bin = self_dir();
    if (argc < 2) {
        usage();
        return 2;
    }
    o.mode = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--kind") {
            o.kind = value();
        } else if (a == "-n") {
            o.n = std::stol(value());
        } else if (a == "--delay") {
            o.delay_ms = std::stoi(value());
        } else if (a == "-r") {
            o.runs = std::stoi(value());
        } else if (a == "--bin") {
            o.bin = value();
        } else if (a == "--dump") {
            o.dump = value();
        } else if (a == "--keep") {
            o.keep = true;
        } else {
            usage();
            return 2;
        }
    }
    // Short sleeps of this tool wake on time; its own timer slack must not add to the figures.
    prctl(PR_SET_TIMERSLACK, 1UL);
    signal(SIGPIPE, SIG_IGN);
    try {
        if (o.mode == "latency") {
            return run_latency(o);
        }
        if (o.mode == "footprint") {
            return run_footprint(o);
        }
        if (o.mode == "startup") {
            return run_startup(o);
        }
        usage();
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orv_mdm_load: %s\n", e.what());
        return 1;
    }
}
