// orv_modem_sim: a virtual AT modem with a virtual SIM on a pseudo-terminal or a TCP port, for
// the daemon's demo and end-to-end tests. See docs/virtual-modem.md.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <string>

#include "tools/modem_sim/control.h"
#include "tools/modem_sim/modem_sim.h"

namespace orv::modem_sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kChunkPause{2};
constexpr milliseconds kStuckLimit{1000};
constexpr int kControlReadTimeoutMs = 2000;

struct Options {
    bool pty = false;
    std::string link;
    std::string listen;
    std::string profile;
    std::string sim;
    std::string journal;
    std::string control;
    std::size_t chunk = 0;
    int urc_every_ms = 0;
    std::string urc_line;
    std::optional<LineEnd> line_end;
    int nul_every = -1;
    bool verbose = false;
};

void usage(std::FILE* out) {
    std::fputs(
        "usage: orv_modem_sim (--pty [--link PATH] | --listen tcp:HOST:PORT) [options]\n"
        "       orv_modem_sim ctl SOCKET COMMAND...\n"
        "options:\n"
        "  --profile FILE        modem and SIM profile (TOML); built-in default without it\n"
        "  --sim NAME            insert this SIM of the profile at start ('none' for an empty "
        "slot)\n"
        "  --journal FILE        append every received command line to FILE\n"
        "  --control PATH        listen for control commands on a Unix socket at PATH\n"
        "  --chunk N             deliver answers N bytes at a time\n"
        "  --urc-every MS LINE   send the unsolicited LINE every MS milliseconds\n"
        "  --line-end crlf|cr|lf end lines this way (default crlf)\n"
        "  --nul-every N         put a NUL byte after every N bytes sent\n"
        "  -v, --verbose         log the conversation on standard error\n"
        "  -h, --help            this text\n",
        out);
}

std::string printable(std::string_view bytes) {
    std::string out;
    for (char c : bytes) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(c));
            out += buf;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "orv_modem_sim: %s\n", what.c_str());
    std::exit(2);
}

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool fill_unix_address(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The line to the daemon: a pseudo-terminal or one TCP client.
class Line {
  public:
    explicit Line(const Options& o) : opts_(o) {}
    ~Line() {
        close_line();
        if (listen_fd_ >= 0) {
            ::close(listen_fd_);
        }
        if (!opts_.link.empty()) {
            ::unlink(opts_.link.c_str());
        }
    }

    void start() {
        if (opts_.pty) {
            open_pty();
        } else {
            open_listener();
        }
    }

    int data_fd() const { return opts_.pty ? master_fd_ : client_fd_; }
    int accept_fd() const { return !opts_.pty && client_fd_ < 0 ? listen_fd_ : -1; }

    void accept_client() {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            client_fd_ = fd;
            if (opts_.verbose) {
                std::fprintf(stderr, "-- client connected\n");
            }
        }
    }

    // Drops the line: the pty is closed and a new one takes its place (relinked), or the TCP
    // client is disconnected.
    void hangup() {
        if (opts_.verbose) {
            std::fprintf(stderr, "-- hangup\n");
        }
        close_line();
        if (opts_.pty) {
            open_pty();
        }
    }

    // The far end went away (TCP only; a pty stays open on our side).
    void lost() {
        if (!opts_.pty) {
            close_line();
            if (opts_.verbose) {
                std::fprintf(stderr, "-- client gone\n");
            }
        }
    }

    // Writes what the line takes now; returns the number of bytes written, or -1 when the
    // bytes cannot go out and should be dropped.
    long write_some(std::string_view bytes) {
        const int fd = data_fd();
        if (fd < 0) {
            return -1;
        }
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return 0;
            }
            if (!opts_.pty) {
                lost();
            }
            return -1;
        }
        return n;
    }

  private:
    void close_line() {
        for (int* fd : {&master_fd_, &slave_fd_, &client_fd_}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

    void open_pty() {
        master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_fd_ < 0 || ::grantpt(master_fd_) != 0 || ::unlockpt(master_fd_) != 0) {
            die(errno_text("cannot open a pseudo-terminal"));
        }
        const char* name = ::ptsname(master_fd_);
        if (name == nullptr) {
            die(errno_text("ptsname"));
        }
        const std::string slave = name;
        // Keep one slave descriptor of our own, in raw mode: the line stays up while the daemon
        // has it closed, and nothing of ours is echoed back.
        slave_fd_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave_fd_ < 0) {
            die(errno_text("cannot open " + slave));
        }
        termios tio{};
        if (::tcgetattr(slave_fd_, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(slave_fd_, TCSANOW, &tio);
        }
        if (!opts_.link.empty()) {
            const std::string tmp = opts_.link + ".tmp";
            ::unlink(tmp.c_str());
            if (::symlink(slave.c_str(), tmp.c_str()) != 0 ||
                ::rename(tmp.c_str(), opts_.link.c_str()) != 0) {
                die(errno_text("cannot link " + opts_.link));
            }
        }
        std::printf("pty: %s\n", slave.c_str());
        std::fflush(stdout);
    }

    void open_listener() {
        // tcp:HOST:PORT
        const std::string& address = opts_.listen;
        const std::size_t colon = address.rfind(':');
        if (address.rfind("tcp:", 0) != 0 || colon == std::string::npos || colon < 4) {
            die("--listen wants tcp:HOST:PORT, got " + address);
        }
        const std::string host = address.substr(4, colon - 4);
        const int port = std::atoi(address.c_str() + colon + 1);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1 || port < 0 || port > 65535) {
            die("--listen: bad address " + address);
        }
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int one = 1;
        ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (listen_fd_ < 0 ||
            ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_fd_, 4) != 0) {
            die(errno_text("cannot listen on " + address));
        }
        socklen_t len = sizeof addr;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        std::printf("tcp: %s:%u\n", host.c_str(), ntohs(addr.sin_port));
        std::fflush(stdout);
    }

    const Options& opts_;
    int master_fd_ = -1;
    int slave_fd_ = -1;
    int listen_fd_ = -1;
    int client_fd_ = -1;
};

// Bytes waiting to go out, each with the time it may leave.
struct Outgoing {
    Clock::time_point due;
    std::string bytes;
    bool hangup = false;
    Clock::time_point stuck_since{};  // when the line first took none of these bytes
};

class Program {
  public:
    Program(const Options& o, ModemSim& sim) : opts_(o), sim_(sim), line_(o) {}

    ~Program() {
        if (control_fd_ >= 0) {
            ::close(control_fd_);
            ::unlink(opts_.control.c_str());
        }
        if (journal_ != nullptr) {
            std::fclose(journal_);
        }
    }

    int run() {
        sigset_t mask;
        sigemptyset(&mask);
        sigaddset(&mask, SIGTERM);
        sigaddset(&mask, SIGINT);
        sigprocmask(SIG_BLOCK, &mask, nullptr);
        const int sig_fd = ::signalfd(-1, &mask, SFD_CLOEXEC);
        if (sig_fd < 0) {
            die(errno_text("signalfd"));
        }
        ::signal(SIGPIPE, SIG_IGN);
        // Timed waits end when asked, not up to the default 50 µs later.
        ::prctl(PR_SET_TIMERSLACK, 1UL);

        if (!opts_.journal.empty()) {
            journal_ = std::fopen(opts_.journal.c_str(), "a");
            if (journal_ == nullptr) {
                die(errno_text("cannot open journal " + opts_.journal));
            }
        }
        if (!opts_.control.empty()) {
            open_control();
        }
        line_.start();
        next_urc_ = Clock::now() + milliseconds(opts_.urc_every_ms);

        while (!quit_) {
            pollfd fds[4];
            nfds_t n = 0;
            fds[n++] = {sig_fd, POLLIN, 0};
            const int data_fd = line_.data_fd();
            const int accept_fd = line_.accept_fd();
            const nfds_t data_i = n;
            fds[n++] = {data_fd, POLLIN, 0};
            const nfds_t accept_i = n;
            fds[n++] = {accept_fd, POLLIN, 0};
            const nfds_t control_i = n;
            fds[n++] = {control_fd_, POLLIN, 0};

            timespec wait{};
            const bool timed = next_timeout(wait);
            if (::ppoll(fds, n, timed ? &wait : nullptr, nullptr) < 0 && errno != EINTR) {
                die(errno_text("poll"));
            }
            if (fds[0].revents & POLLIN) {
                signalfd_siginfo info{};
                if (::read(sig_fd, &info, sizeof info) > 0 && opts_.verbose) {
                    std::fprintf(stderr, "-- signal %u, ending\n", info.ssi_signo);
                }
                break;
            }
            if (data_fd >= 0 && (fds[data_i].revents & (POLLIN | POLLHUP | POLLERR))) {
                read_line_data(data_fd);
            }
            if (accept_fd >= 0 && (fds[accept_i].revents & POLLIN)) {
                line_.accept_client();
            }
            if (control_fd_ >= 0 && (fds[control_i].revents & POLLIN)) {
                serve_control();
            }
            if (opts_.urc_every_ms > 0 && Clock::now() >= next_urc_) {
                queue(Clock::now(), "\r\n" + opts_.urc_line + "\r\n");
                next_urc_ += milliseconds(opts_.urc_every_ms);
            }
            flush_due();
        }
        ::close(sig_fd);
        return 0;
    }

  private:
    // Time until the next answer or unsolicited line is due, to the nanosecond (a `delay`
    // answer leaves on time, not up to a millisecond late); false when nothing is due.
    bool next_timeout(timespec& wait) const {
        auto next = Clock::time_point::max();
        if (!out_.empty()) {
            next = out_.front().due;
        }
        if (opts_.urc_every_ms > 0 && next_urc_ < next) {
            next = next_urc_;
        }
        if (next == Clock::time_point::max()) {
            return false;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now());
        const long long left = ns.count() < 0 ? 0 : ns.count();
        wait.tv_sec = static_cast<time_t>(left / 1000000000);
        wait.tv_nsec = static_cast<long>(left % 1000000000);
        return true;
    }

    void queue(Clock::time_point due, const std::string& bytes, bool hangup = false) {
        if (!out_.empty() && out_.back().due > due) {
            due = out_.back().due;  // answers leave in the order their commands came
        }
        out_.push_back({due, sim_.on_the_wire(bytes), hangup});
    }

    void hangup_now() {
        out_.clear();
        splitter_ = LineSplitter{};
        line_.hangup();
    }

    void flush_due() {
        while (!out_.empty() && out_.front().due <= Clock::now()) {
            Outgoing& o = out_.front();
            if (o.hangup) {
                hangup_now();
                continue;
            }
            const std::size_t take =
                opts_.chunk > 0 && opts_.chunk < o.bytes.size() ? opts_.chunk : o.bytes.size();
            const long written = line_.write_some(std::string_view(o.bytes).substr(0, take));
            if (written < 0) {
                if (opts_.verbose) {
                    std::fprintf(stderr, "-- dropped: %s\n", printable(o.bytes).c_str());
                }
                out_.pop_front();
                continue;
            }
            o.bytes.erase(0, static_cast<std::size_t>(written));
            if (o.bytes.empty()) {
                out_.pop_front();
                continue;
            }
            // Nobody reads the pty: after a while the bytes are dropped rather than kept.
            if (written > 0) {
                o.stuck_since = {};
            } else if (o.stuck_since == Clock::time_point{}) {
                o.stuck_since = Clock::now();
            } else if (Clock::now() - o.stuck_since > kStuckLimit) {
                if (opts_.verbose) {
                    std::fprintf(stderr, "-- dropped, line full: %s\n", printable(o.bytes).c_str());
                }
                out_.pop_front();
                continue;
            }
            // The rest follows after a short pause, as a real serial port delivers it; a full
            // pty buffer is retried the same way.
            o.due = Clock::now() + kChunkPause;
            break;
        }
    }

    void read_line_data(int fd) {
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            line_.lost();
            splitter_ = LineSplitter{};
            return;
        }
        if (n < 0) {
            return;
        }
        for (const std::string& cmd :
             splitter_.push(std::string_view(buf, static_cast<std::size_t>(n)))) {
            handle_command(cmd);
        }
    }

    void handle_command(const std::string& cmd) {
        if (journal_ != nullptr) {
            std::fprintf(journal_, "%s\n", cmd.c_str());
            std::fflush(journal_);
        }
        const Reply r = sim_.feed(cmd);
        if (opts_.verbose) {
            std::fprintf(stderr, "<< %s\n", printable(cmd).c_str());
        }
        const auto due = Clock::now() + milliseconds(r.delay_ms);
        switch (r.kind) {
            case Reply::Kind::Hangup:
                queue(due, {}, true);
                break;
            case Reply::Kind::Silent:
            case Reply::Kind::Answer:
                if (opts_.verbose) {
                    std::fprintf(stderr, ">> %s%s\n", printable(r.bytes).c_str(),
                                 r.kind == Reply::Kind::Silent ? " (silent)" : "");
                }
                if (!r.bytes.empty()) {
                    queue(due, r.bytes);
                }
                break;
        }
    }

    void open_control() {
        sockaddr_un addr{};
        if (!fill_unix_address(opts_.control, addr)) {
            die("control socket path too long: " + opts_.control);
        }
        ::unlink(opts_.control.c_str());
        control_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (control_fd_ < 0 ||
            ::bind(control_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(control_fd_, 8) != 0) {
            die(errno_text("cannot listen on " + opts_.control));
        }
    }

    // One command per connection: read a line, act, answer, close.
    void serve_control() {
        const int fd = ::accept4(control_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::string text;
        const auto deadline = Clock::now() + milliseconds(kControlReadTimeoutMs);
        while (text.find('\n') == std::string::npos && text.size() < 65536) {
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
                break;
            }
            char buf[1024];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            text.append(buf, static_cast<std::size_t>(n));
        }
        const std::string command = text.substr(0, text.find('\n'));
        ControlResult r = run_control(sim_, command);
        if (opts_.verbose) {
            std::fprintf(stderr, "-- control: %s -> %s", command.c_str(), r.reply.c_str());
        }
        for (const std::string& u : r.urcs) {
            queue(Clock::now(), "\r\n" + u + "\r\n");
        }
        if (r.hangup) {
            hangup_now();
        }
        std::size_t sent = 0;
        while (sent < r.reply.size()) {
            const ssize_t n = ::write(fd, r.reply.data() + sent, r.reply.size() - sent);
            if (n <= 0) {
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        ::close(fd);
        if (r.quit) {
            quit_ = true;
        }
    }

    const Options& opts_;
    ModemSim& sim_;
    Line line_;
    LineSplitter splitter_;
    std::deque<Outgoing> out_;
    std::FILE* journal_ = nullptr;
    int control_fd_ = -1;
    Clock::time_point next_urc_;
    bool quit_ = false;
};

// `orv_modem_sim ctl SOCKET WORDS...`: sends one control command, prints the reply.
int run_ctl(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: orv_modem_sim ctl SOCKET COMMAND...\n", stderr);
        return 2;
    }
    std::string line;
    for (int i = 3; i < argc; ++i) {
        line += (i == 3 ? "" : " ") + quote_word(argv[i]);
    }
    line += "\n";
    sockaddr_un addr{};
    if (!fill_unix_address(argv[2], addr)) {
        std::fputs("orv_modem_sim ctl: socket path too long\n", stderr);
        return 2;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "orv_modem_sim ctl: cannot connect to %s: %s\n", argv[2],
                     std::strerror(errno));
        return 2;
    }
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::write(fd, line.data() + sent, line.size() - sent);
        if (n <= 0) {
            std::fprintf(stderr, "orv_modem_sim ctl: write: %s\n", std::strerror(errno));
            return 2;
        }
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    if (reply.empty()) {
        std::fputs("orv_modem_sim ctl: no reply\n", stderr);
        return 2;
    }
    return reply.rfind("error:", 0) == 0 ? 1 : 0;
}

int to_positive(const char* text, const char* option) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 100000000) {
        die(std::string(option) + " wants a number, got " + text);
    }
    return static_cast<int>(v);
}

int run_main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "ctl") {
        return run_ctl(argc, argv);
    }
    Options o;
    enum {
        kLink = 1000,
        kListen,
        kProfile,
        kSim,
        kJournal,
        kChunk,
        kUrcEvery,
        kControl,
        kPty,
        kLineEnd,
        kNulEvery
    };
    static const option kLong[] = {
        {"pty", no_argument, nullptr, kPty},
        {"link", required_argument, nullptr, kLink},
        {"listen", required_argument, nullptr, kListen},
        {"profile", required_argument, nullptr, kProfile},
        {"sim", required_argument, nullptr, kSim},
        {"journal", required_argument, nullptr, kJournal},
        {"chunk", required_argument, nullptr, kChunk},
        {"urc-every", required_argument, nullptr, kUrcEvery},
        {"control", required_argument, nullptr, kControl},
        {"line-end", required_argument, nullptr, kLineEnd},
        {"nul-every", required_argument, nullptr, kNulEvery},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c = 0;
    // "+": stop at the first word that is not an option, so that --urc-every can take the word
    // after its value as the line.
    while ((c = getopt_long(argc, argv, "+vh", kLong, nullptr)) != -1) {
        switch (c) {
            case kPty:
                o.pty = true;
                break;
            case kLink:
                o.link = optarg;
                break;
            case kListen:
                o.listen = optarg;
                break;
            case kProfile:
                o.profile = optarg;
                break;
            case kSim:
                o.sim = optarg;
                break;
            case kJournal:
                o.journal = optarg;
                break;
            case kChunk:
                o.chunk = static_cast<std::size_t>(to_positive(optarg, "--chunk"));
                break;
            case kUrcEvery:
                o.urc_every_ms = to_positive(optarg, "--urc-every");
                if (optind >= argc || o.urc_every_ms == 0) {
                    die("--urc-every wants MS (above 0) and LINE");
                }
                o.urc_line = unescape(argv[optind++]);
                break;
            case kControl:
                o.control = optarg;
                break;
            case kLineEnd:
                o.line_end = line_end_named(optarg);
                if (!o.line_end) {
                    die("--line-end takes crlf, cr or lf");
                }
                break;
            case kNulEvery:
                o.nul_every = to_positive(optarg, "--nul-every");
                break;
            case 'v':
                o.verbose = true;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind != argc) {
        die(std::string("unexpected argument ") + argv[optind]);
    }
    if (o.pty == !o.listen.empty()) {
        usage(stderr);
        die("give exactly one of --pty and --listen");
    }
    if (!o.link.empty() && !o.pty) {
        die("--link goes with --pty");
    }

    Profile profile;
    try {
        profile = o.profile.empty() ? default_profile() : load_profile(o.profile);
    } catch (const ProfileError& e) {
        die(e.what());
    }
    if (o.sim == "none") {
        profile.inserted.clear();
    } else if (!o.sim.empty()) {
        if (profile.sims.count(o.sim) == 0) {
            die("--sim: the profile has no SIM named '" + o.sim + "'");
        }
        profile.inserted = o.sim;
    }
    if (o.line_end) {
        profile.device.line_end = *o.line_end;
    }
    if (o.nul_every >= 0) {
        profile.device.nul_every = o.nul_every;
    }
    ModemSim sim(std::move(profile));
    Program program(o, sim);
    return program.run();
}

}  // namespace
}  // namespace orv::modem_sim

int main(int argc, char** argv) {
    return orv::modem_sim::run_main(argc, argv);
}
