// AT channel: one command out, one answer back, over a serial port (a pty slave works the same
// way) or a TCP stream to a networked modem.
//
// The port opens lazily at the first command and stays open. After a read or write error or a
// hang-up it is closed, and the next command opens ORV_MODEM afresh, so a USB modem that
// re-enumerates comes back without restarting the daemon.
//
// One command: discard what is already waiting (unsolicited lines, a late answer), write the
// command and a CR, then read with poll() against one deadline until a final result line is
// complete. Nothing ever sleeps or polls at a fixed interval. Lines are judged as they arrive and
// the answer is assembled straight into the caller's record: echo, unsolicited reports and NUL
// bytes removed, CR LF line ends. An answer whose wait ran out is owed: the next command is still
// sent, but first waits for it until half its own wait has passed since the timeout, so that an
// answer up to that late is dropped and never delivered as that command's answer.
//
// A serial port is opened for exclusive use: TIOCEXCL keeps other openers out (root excepted),
// and an advisory flock(2) lock, which other well-behaved programs and a second daemon respect,
// is taken on it. The channel logs in ORV_LOG_DIR/orv_at.log why the port cannot be used (the
// port and the system's reason), once each time that changes, and when it works again.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/at_channel/at_channel_internal.h"
#include "platform/orv_at.h"
#include "platform/orv_log.h"
#include "platform/orv_paths.h"

namespace orv::at_channel {
namespace {

using std::string_view;

constexpr int kDefaultWaitMs = ORV_AT_DEFAULT_WAIT_MS;
constexpr string_view kTimeoutText = ORV_AT_TIMEOUT_TEXT;
constexpr string_view kTcpPrefix = "tcp:";

// Line speeds a serial port can be set to; anything else falls back to 115200.
struct BaudRow {
    long value;
    speed_t speed;
};
constexpr std::array<BaudRow, 12> kBauds{{
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
    {230400, B230400},
    {460800, B460800},
    {500000, B500000},
    {921600, B921600},
    {1000000, B1000000},
    {3000000, B3000000},
    {4000000, B4000000},
}};

// The open port. A socket is written with send(MSG_NOSIGNAL) so that a peer that went away
// gives an error instead of SIGPIPE.
int g_fd = -1;
bool g_is_socket = false;

// The line reader and the owed answer live as long as the port: a line that began before a
// command, or an answer that came late, is known at the next command.
LineReader g_reader;
Debt g_debt;

enum class Io { kOk, kTimeout, kFailed };

// Why the port cannot be used, as last logged: nothing (it works, or nothing was logged yet), or
// a step and the system's reason. A failure is logged when it begins or changes, and the port's
// working again once after a failure, never once per command.
constexpr const char* kLogName = "orv_at.log";
constexpr const char* kLogModule = "orv_at";
char g_failure[320];
bool g_failed = false;

// Logs "<what> <port>: <reason>" unless it is what the log last said.
void port_failed(int line, const char* what, const char* reason) {
    char text[sizeof g_failure];
    std::snprintf(text, sizeof text, "%s %.200s: %.80s", what, paths::get(paths::kModem), reason);
    if (g_failed && std::strcmp(text, g_failure) == 0) {
        return;
    }
    std::memcpy(g_failure, text, sizeof text);
    g_failed = true;
    orv_syslog_append(ORV_LOG_LEVEL_ERR, kLogName, kLogModule, line, "%s\n", text);
}

void port_works(int line) {
    if (g_failed) {
        g_failed = false;
        orv_syslog_append(ORV_LOG_LEVEL_INFO, kLogName, kLogModule, line, "%.200s works again\n",
                          paths::get(paths::kModem));
    }
}

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Milliseconds left until `deadline`, rounded up so that poll() never wakes before it; 0 when
// the deadline has passed.
int remaining_ms(std::int64_t deadline) {
    const std::int64_t left = deadline - now_ns();
    if (left <= 0) {
        return 0;
    }
    const std::int64_t ms = (left + 999999) / 1000000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

std::int64_t wait_ns(int wait_ms) {
    // The scale is parsed again only when the variable's text is another string than last time.
    static const char* parsed_text = nullptr;
    static double scale = 1.0;
    const char* text = paths::get(paths::kAtWaitScale);
    if (text != parsed_text) {
        parsed_text = text;
        char* end = nullptr;
        const double parsed = std::strtod(text, &end);
        scale = end != text && *end == '\0' && parsed >= 0.0 && parsed < 1e6 ? parsed : 1.0;
    }
    const double ms = (wait_ms <= 0 ? kDefaultWaitMs : wait_ms) * scale;
    return static_cast<std::int64_t>(ms * 1e6);
}

void close_port() {
    if (g_fd >= 0) {
        if (!g_is_socket) {
            ioctl(g_fd, TIOCNXCL);  // the exclusive mode belongs to the tty, not to this descriptor
        }
        close(g_fd);
    }
    g_fd = -1;
    g_is_socket = false;
    g_reader.clear();  // a new line starts clean and owes nothing
    g_debt.settle();
}

speed_t baud_speed() {
    const long wanted = std::strtol(paths::get(paths::kModemBaud), nullptr, 10);
    for (const BaudRow& row : kBauds) {
        if (row.value == wanted) {
            return row.speed;
        }
    }
    return B115200;
}

int open_serial(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        port_failed(__LINE__, "cannot open", std::strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close(fd);
        port_failed(__LINE__, "cannot lock",
                    err == EWOULDBLOCK ? "in use by another program" : std::strerror(err));
        return -1;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        // Not a terminal (a character device without line settings): use it as a raw stream.
        return fd;
    }
    ioctl(fd, TIOCEXCL);
    cfmakeraw(&tio);  // no echo, no canonical mode, no character translation, 8 bits
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = baud_speed();
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        port_failed(__LINE__, "cannot configure", std::strerror(errno));
        ioctl(fd, TIOCNXCL);
        close(fd);
        return -1;
    }
    return fd;
}

// Connects to "HOST:PORT" (HOST may be a name, an IPv4 address or a bracketed IPv6 address)
// without waiting past `deadline`.
int open_tcp(string_view target, std::int64_t deadline) {
    const std::size_t colon = target.rfind(':');
    if (colon == string_view::npos || colon == 0 || colon + 1 >= target.size()) {
        port_failed(__LINE__, "cannot use", "not tcp:HOST:PORT");
        return -1;
    }
    string_view host = target.substr(0, colon);
    const string_view port = target.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    char host_buf[256];
    char port_buf[16];
    if (host.empty() || host.size() >= sizeof host_buf || port.size() >= sizeof port_buf) {
        port_failed(__LINE__, "cannot use", "not tcp:HOST:PORT");
        return -1;
    }
    std::memcpy(host_buf, host.data(), host.size());
    host_buf[host.size()] = '\0';
    std::memcpy(port_buf, port.data(), port.size());
    port_buf[port.size()] = '\0';

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int gai = getaddrinfo(host_buf, port_buf, &hints, &found);
    if (gai != 0) {
        port_failed(__LINE__, "cannot resolve", gai_strerror(gai));
        return -1;
    }
    int fd = -1;
    int err = 0;
    for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        bool connected = connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        err = connected ? 0 : errno;
        if (!connected && err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int rc;
            do {
                rc = poll(&p, 1, remaining_ms(deadline));
            } while (rc < 0 && errno == EINTR);
            socklen_t len = sizeof err;
            err = rc == 0 ? ETIMEDOUT : rc < 0 ? errno : 0;
            connected =
                rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        if (!connected) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        port_failed(__LINE__, "cannot connect to", std::strerror(err));
    }
    if (fd >= 0) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

bool ensure_open(std::int64_t deadline) {
    if (g_fd >= 0) {
        return true;
    }
    const string_view modem = paths::get(paths::kModem);
    if (modem.substr(0, kTcpPrefix.size()) == kTcpPrefix) {
        g_fd = open_tcp(modem.substr(kTcpPrefix.size()), deadline);
        g_is_socket = g_fd >= 0;
    } else {
        g_fd = open_serial(modem.data());
        g_is_socket = false;
    }
    return g_fd >= 0;
}

// Shows the bytes to the program's line observer, when it has one.
void observe(int direction, const char* bytes, ssize_t n) {
    if (orv_at_observe != nullptr && n > 0) {
        orv_at_observe(direction, bytes, static_cast<int>(n));
    }
}

// The reason given when the far end went away.
const char* hung_up() {
    return g_is_socket ? "the connection was closed" : "the line hung up";
}

Io write_all(const char* data, std::size_t len, std::int64_t deadline) {
    while (len > 0) {
        const ssize_t n =
            g_is_socket ? send(g_fd, data, len, MSG_NOSIGNAL) : write(g_fd, data, len);
        if (n > 0) {
            observe(ORV_AT_WRITTEN, data, n);
            data += n;
            len -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            port_failed(__LINE__, "cannot write", std::strerror(errno));
            return Io::kFailed;
        }
        pollfd p{g_fd, POLLOUT, 0};
        const int rc = poll(&p, 1, remaining_ms(deadline));
        if (rc == 0) {
            return Io::kTimeout;
        }
        if (rc < 0 && errno != EINTR) {
            port_failed(__LINE__, "cannot write", std::strerror(errno));
            return Io::kFailed;
        }
        if (rc > 0 && (p.revents & POLLOUT) == 0) {
            port_failed(__LINE__, "cannot write", hung_up());
            return Io::kFailed;
        }
    }
    return Io::kOk;
}

void set_head(orv_at_response* res, std::size_t len, int outcome) {
    const std::uint32_t length = static_cast<std::uint32_t>(len);
    const std::int32_t code = outcome;
    static_assert(ORV_AT_HEAD_SIZE == sizeof length + sizeof code);
    std::memcpy(res->aucHead, &length, sizeof length);
    std::memcpy(res->aucHead + sizeof length, &code, sizeof code);
}

int finish_empty(orv_at_response* res) {
    res->aucDataBuf[0] = '\0';
    set_head(res, 0, ORV_AT_OUTCOME_NO_PORT);
    return ORV_AT_OUTCOME_NO_PORT;
}

int finish_timeout(orv_at_response* res) {
    static_assert(kTimeoutText.size() < sizeof res->aucDataBuf);
    std::memcpy(res->aucDataBuf, kTimeoutText.data(), kTimeoutText.size());
    res->aucDataBuf[kTimeoutText.size()] = '\0';
    set_head(res, kTimeoutText.size(), ORV_AT_OUTCOME_TIMEOUT);
    return ORV_AT_OUTCOME_TIMEOUT;
}

}  // namespace

void reset() {
    close_port();
}

}  // namespace orv::at_channel

using namespace orv::at_channel;

namespace {

// The last read from the port; what followed an answer's final line in it stays here until the
// answer is finished.
char g_chunk[1024];
string_view g_after_final;

// Reads what the port delivers into the reader until `done()` holds or `deadline` passes. When
// the reader completes an answer, the rest of that read is kept in g_after_final. With `drain`,
// reads only what is already waiting (the deadline still bounds it).
template <typename Done>
Io pump(std::int64_t deadline, bool drain, Done done) {
    g_after_final = {};
    while (!done()) {
        const int wait = drain ? 0 : remaining_ms(deadline);
        if (!drain && wait == 0) {
            return Io::kTimeout;
        }
        if (drain && now_ns() >= deadline) {
            return Io::kOk;  // a line that never stops sending cannot hold the command back
        }
        pollfd p{g_fd, POLLIN, 0};
        const int rc = poll(&p, 1, wait);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            port_failed(__LINE__, "cannot read", std::strerror(errno));
            return Io::kFailed;
        }
        if (rc == 0) {
            if (drain) {
                return Io::kOk;
            }
            continue;  // the deadline check above ends the wait
        }
        if ((p.revents & POLLIN) == 0) {
            port_failed(__LINE__, "cannot read", hung_up());  // with nothing left to read
            return Io::kFailed;
        }
        const ssize_t n = read(g_fd, g_chunk, sizeof g_chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {  // end of stream or error
            port_failed(__LINE__, "cannot read", n == 0 ? hung_up() : std::strerror(errno));
            return Io::kFailed;
        }
        observe(ORV_AT_READ, g_chunk, n);
        const string_view bytes(g_chunk, static_cast<std::size_t>(n));
        g_after_final = bytes.substr(g_reader.feed(bytes));
    }
    return Io::kOk;
}

// Ends the collecting of an answer: the reader goes back to watching, and bytes that came after
// the final line in the same read are watched too (an unsolicited line begun there is known
// when the next command goes out).
void stop_collecting() {
    g_reader.idle();
    g_reader.feed(g_after_final);
    g_after_final = {};
}

// Reads and drops whatever is already waiting (unsolicited lines, a late answer). A final line
// among it settles an owed answer. False when the port has hung up or failed.
bool discard_waiting(std::int64_t deadline) {
    g_reader.idle();
    const Io io = pump(deadline, true, [] { return false; });
    if (g_reader.finals() > 0) {
        g_debt.settle();
    }
    return io != Io::kFailed;
}

int fail_port(orv_at_response* res) {
    close_port();
    return finish_empty(res);
}

}  // namespace

extern "C" int ClientSendCmd(const char* cmd, orv_at_response* res, int wait_ms) {
    if (res == nullptr) {
        return ORV_AT_OUTCOME_NO_PORT;
    }
    if (cmd == nullptr) {
        return finish_empty(res);
    }
    const std::int64_t wait = wait_ns(wait_ms);
    std::int64_t deadline = now_ns() + wait;

    // A port that hung up while idle shows it here; it gets one fresh open within this command.
    if (!ensure_open(deadline)) {
        return finish_empty(res);
    }
    if (!discard_waiting(deadline)) {
        close_port();
        if (!ensure_open(deadline) || !discard_waiting(deadline)) {
            return fail_port(res);
        }
    }

    const std::size_t cmd_len = std::strlen(cmd);
    const string_view command(cmd, cmd_len);
    // The last command's wait ran out and its answer is still to come: this command waits for
    // it (dropping it) until half its own wait has passed since that timeout, so that an answer
    // up to that late can never pass for this one's. Then it goes out whether the answer came or
    // not, with its whole wait still before it.
    if (const std::int64_t hold = g_debt.hold_until(command, now_ns(), wait); hold != 0) {
        g_reader.idle();
        const Io io = pump(hold, false, [] { return g_reader.finals() > 0; });
        g_debt.settle();
        if (io == Io::kFailed) {
            return fail_port(res);
        }
        deadline = now_ns() + wait;
    }

    const bool has_cr =
        !command.empty() && (command.back() == '\r' ||
                             (command.size() >= 2 && command.substr(command.size() - 2) == "\r\n"));
    // The command and its CR go out in one write, so the modem wakes once for the line; a
    // command longer than the line buffer goes out in two.
    char line[512];
    Io io;
    if (!has_cr && cmd_len < sizeof line) {
        std::memcpy(line, cmd, cmd_len);
        line[cmd_len] = '\r';
        io = write_all(line, cmd_len + 1, deadline);
    } else {
        io = write_all(cmd, cmd_len, deadline);
        if (io == Io::kOk && !has_cr) {
            io = write_all("\r", 1, deadline);
        }
    }
    if (io == Io::kFailed) {
        return fail_port(res);
    }
    if (io == Io::kTimeout) {
        g_debt.owe(command, now_ns());
        return finish_timeout(res);
    }

    g_reader.begin(command, res->aucDataBuf, sizeof res->aucDataBuf);
    io = pump(deadline, false, [] { return g_reader.complete(); });
    if (io == Io::kFailed) {
        return fail_port(res);
    }
    if (io == Io::kTimeout) {
        stop_collecting();
        g_debt.owe(command, now_ns());
        return finish_timeout(res);
    }
    const std::size_t len = g_reader.finish();
    stop_collecting();
    port_works(__LINE__);
    set_head(res, len, ORV_AT_OUTCOME_ANSWER);
    return ORV_AT_OUTCOME_ANSWER;
}
