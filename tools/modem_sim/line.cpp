#include "tools/modem_sim/line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "platform/orv_paths.h"
#include "tools/modem_sim/profile.h"

namespace orv::modem_sim {

namespace {

constexpr std::chrono::milliseconds kChunkPause{2};
constexpr std::chrono::milliseconds kStuckLimit{1000};

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

int unix_socket(const std::string& path, bool server) {
    sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto* a = reinterpret_cast<const sockaddr*>(&addr);
    if (fd >= 0 && (server ? ::bind(fd, a, sizeof addr) != 0 || ::listen(fd, 8) != 0
                           : ::connect(fd, a, sizeof addr) != 0)) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

std::string WireFormat::encode(std::string_view bytes) const {
    std::string out;
    std::size_t since_nul = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool crlf = bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n';
        if (crlf && end != LineEnd::CrLf) {
            out += end == LineEnd::Cr ? '\r' : '\n';
            ++i;
        } else {
            out += bytes[i];
        }
        if (nul_every > 0 && ++since_nul == static_cast<std::size_t>(nul_every)) {
            out += '\0';
            since_nul = 0;
        }
    }
    return out;
}

Line::~Line() {
    close_line();
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
    }
    if (linked_) {
        ::unlink(opts_.link.c_str());  // ours: never the link of another modem that was refused
    }
}

void claim_path(const std::string& path, bool socket) {
    if (!paths::make_parent_dirs(path.c_str())) {
        throw system_error("cannot make the folder of " + path);
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return;  // nothing in the way
        }
        throw system_error("cannot look at " + path);
    }
    const auto refuse = [&](const std::string& what) {
        throw std::runtime_error(path + " " + what + "; remove it, or give another path");
    };
    if (socket) {
        if (!S_ISSOCK(st.st_mode)) {
            refuse("is there and is no socket");
        }
        if (const int fd = unix_socket(path, false); fd >= 0) {
            ::close(fd);
            refuse("is the control socket of a running virtual modem");
        }
    } else {
        char target[PATH_MAX] = {};
        const ssize_t n =
            S_ISLNK(st.st_mode) ? ::readlink(path.c_str(), target, sizeof target - 1) : -1;
        if (n <= 0 || std::string_view(target).rfind("/dev/pts/", 0) != 0) {
            refuse("is there and is no link to a pseudo-terminal");
        }
        struct stat pty {};
        if (::stat(target, &pty) == 0) {
            refuse(std::string("leads to ") + target +
                   ", a pseudo-terminal still open (a running virtual modem?)");
        }
    }
    ::unlink(path.c_str());  // a stale link or socket of a virtual modem that has gone
}

void Line::start() {
    if (opts_.pty && !opts_.link.empty()) {
        claim_path(opts_.link, false);
    }
    opts_.pty ? open_pty() : open_listener();
    next_report_ = Clock::now() + std::chrono::milliseconds(opts_.report_every_ms);
}

void Line::log(const char* what, std::string_view bytes) const {
    if (opts_.verbose) {
        std::fprintf(stderr, "-- %s%s%s\n", what, bytes.empty() ? "" : ": ",
                     client::escape_bytes(bytes).c_str());
    }
}

void Line::close_line() {
    for (int* fd : {&master_fd_, &slave_fd_, &client_fd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void Line::open_pty() {
    master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const char* name = master_fd_ < 0 || ::grantpt(master_fd_) != 0 || ::unlockpt(master_fd_) != 0
                           ? nullptr
                           : ::ptsname(master_fd_);
    if (name == nullptr) {
        throw system_error("cannot open a pseudo-terminal");
    }
    const std::string slave = name;
    // Keep one slave descriptor of our own, in raw mode: the line stays up while the daemon has
    // it closed, and nothing of ours is echoed back.
    slave_fd_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_fd_ < 0) {
        throw system_error("cannot open " + slave);
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
            throw system_error("cannot link " + opts_.link);
        }
        linked_ = true;
    }
    std::printf("pty: %s\n", slave.c_str());
    std::fflush(stdout);
}

void Line::open_listener() {
    const std::string& address = opts_.listen;  // tcp:HOST:PORT
    const std::size_t colon = address.rfind(':');
    const bool parts = address.starts_with("tcp:") && colon != std::string::npos && colon > 4;
    const std::string host = parts ? address.substr(4, colon - 4) : "";
    const auto number = parts ? to_int(address.substr(colon + 1)) : std::nullopt;
    const int port = number.value_or(-1);
    sockaddr_in addr{.sin_family = AF_INET, .sin_port = htons(static_cast<std::uint16_t>(port))};
    if (!parts || port < 0 || port > 65535 ||
        ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        throw std::invalid_argument("--listen wants tcp:HOST:PORT, got " + address);
    }
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listen_fd_ < 0 ||
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 4) != 0) {
        throw system_error("cannot listen on " + address);
    }
    socklen_t len = sizeof addr;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    std::printf("tcp: %s:%u\n", host.c_str(), ntohs(addr.sin_port));
    std::fflush(stdout);
}

void Line::accept_client() {
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
        client_fd_ = fd;
        log("client connected");
    }
}

// The far end went away (TCP only; a pty stays open on our side).
void Line::lost() {
    pending_.clear();
    if (!opts_.pty) {
        close_line();
        log("client gone");
    }
}

void Line::hangup() {
    log("hangup");
    out_.clear();
    held_.clear();
    pending_.clear();
    if (!opts_.pty) {
        close_line();
        return;
    }
    // The new pty and its link first, then the old one closed: the daemon that sees the hangup
    // and opens the link again at once finds the new line, never the dead one.
    const int old_master = std::exchange(master_fd_, -1);
    const int old_slave = std::exchange(slave_fd_, -1);
    open_pty();
    for (const int fd : {old_master, old_slave}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::vector<std::string> Line::receive() {
    char buf[4096];
    const ssize_t n = ::read(data_fd(), buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        lost();
    }
    std::vector<std::string> lines;
    pending_.add(std::string_view(buf, n > 0 ? static_cast<std::size_t>(n) : 0),
                 [&](std::string line) { lines.push_back(std::move(line)); });
    return lines;
}

// Answers leave in the order their commands came, whatever their delays.
Clock::time_point Line::due_in(int delay_ms) const {
    return std::max(Clock::now() + std::chrono::milliseconds(delay_ms),
                    out_.empty() ? Clock::time_point{} : out_.back().due);
}

void Line::send(std::string_view bytes, int delay_ms, bool hangup) {
    out_.push_back({due_in(delay_ms), wire.encode(bytes), hangup});
}

void Line::send_answer(std::string bytes, int delay_ms, const Burst& later) {
    const Clock::time_point due = due_in(delay_ms);
    // Held reports due by then go first, after the echo: the answer's first CR LF ends it.
    std::string held;
    for (auto at = held_.begin(); at != held_.end() && at->first <= due; at = held_.erase(at)) {
        held += at->second;
    }
    bytes.insert(std::min(bytes.find("\r\n"), bytes.size()), held);
    for (const TimedReport& r : later) {
        const std::string framed = "\r\n" + r.line + "\r\n";
        if (r.after_ms == 0) {
            bytes += framed;
        } else {
            held_.emplace(due + std::chrono::milliseconds(r.after_ms), framed);
        }
    }
    out_.push_back({due, wire.encode(bytes)});
}

std::optional<Clock::time_point> Line::next_due() const {
    const auto report = opts_.report_every_ms > 0 ? std::optional(next_report_) : std::nullopt;
    if (out_.empty()) {
        return report;
    }
    return report ? std::min(*report, out_.front().due) : out_.front().due;
}

void Line::run_due() {
    if (opts_.report_every_ms > 0 && Clock::now() >= next_report_) {
        send_report(opts_.report);
        next_report_ += std::chrono::milliseconds(opts_.report_every_ms);
    }
    while (!out_.empty() && out_.front().due <= Clock::now()) {
        Outgoing& o = out_.front();
        if (o.hangup) {
            hangup();
            continue;
        }
        const std::size_t take =
            opts_.chunk > 0 ? std::min(opts_.chunk, o.bytes.size()) : o.bytes.size();
        const int fd = data_fd();
        const ssize_t n = fd < 0 ? -1 : ::write(fd, o.bytes.data(), take);
        const bool again = n < 0 && fd >= 0 && (errno == EAGAIN || errno == EINTR);
        if (n < 0 && !again) {  // no line, or a TCP client gone: the bytes are dropped
            if (fd >= 0 && !opts_.pty) {
                lost();
            }
            log("dropped", o.bytes);
            out_.pop_front();
            continue;
        }
        const std::size_t written = again ? 0 : static_cast<std::size_t>(n);
        o.bytes.erase(0, written);
        // Nobody reads the pty: after a while the bytes are dropped rather than kept.
        if (written > 0) {
            o.stuck_since = {};
        } else if (o.stuck_since == Clock::time_point{}) {
            o.stuck_since = Clock::now();
        } else if (Clock::now() - o.stuck_since > kStuckLimit) {
            log("dropped, line full", o.bytes);
            o.bytes.clear();
        }
        if (o.bytes.empty()) {
            out_.pop_front();
            continue;
        }
        // The rest follows after a short pause, as a real serial port delivers it; a full pty
        // buffer is retried the same way.
        o.due = Clock::now() + kChunkPause;
        break;
    }
}

}  // namespace orv::modem_sim
