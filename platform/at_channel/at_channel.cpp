// AT channel: one command out, one answer back, over a serial port (a pty slave works the same
// way) or a TCP stream to a networked modem.
//
// The port opens lazily at the first command and stays open. After a read or write error or a
// hang-up it is closed, and the next command opens ORV_MODEM afresh, so a USB modem that
// re-enumerates comes back without restarting the daemon.
//
// One command: discard what is already waiting (unsolicited lines), write the command and a CR,
// then read with poll() against one deadline until a final result line is complete. Nothing ever
// sleeps or polls at a fixed interval. The raw bytes are kept in a static buffer and turned into
// the delivered answer at the end (echo removed, CR LF line ends).

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/at_channel/at_channel_internal.h"
#include "platform/orv_at.h"
#include "platform/orv_paths.h"

namespace orv::at_channel {
namespace {

using std::string_view;

// Final result lines: the answer is complete once one of them has arrived. Prefix rows match a
// line that begins with the text; the others match the whole line.
struct FinalRow {
    string_view text;
    bool prefix;
    LineKind kind;
};

constexpr std::array<FinalRow, 8> kFinals{{
    {"OK", false, LineKind::kFinalOk},
    {"ERROR", false, LineKind::kFinalError},
    {"+CME ERROR:", true, LineKind::kFinalError},
    {"+CMS ERROR:", true, LineKind::kFinalError},
    {"NO CARRIER", false, LineKind::kFinalError},
    {"BUSY", false, LineKind::kFinalError},
    {"NO ANSWER", false, LineKind::kFinalError},
    {"NO DIALTONE", false, LineKind::kFinalError},
}};

constexpr int kDefaultWaitMs = 5000;
constexpr string_view kTimeoutText = "TIMEOUT";
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

// Raw bytes of the answer being collected. Bytes beyond it are still read and watched for the
// final line, but not kept.
char g_raw[ORV_AT_DATA_SIZE];

enum class Io { kOk, kTimeout, kFailed };

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
    double scale = 1.0;
    const char* text = paths::get(paths::kAtWaitScale);
    char* end = nullptr;
    const double parsed = std::strtod(text, &end);
    if (end != text && *end == '\0' && parsed >= 0.0 && parsed < 1e6) {
        scale = parsed;
    }
    const double ms = (wait_ms <= 0 ? kDefaultWaitMs : wait_ms) * scale;
    return static_cast<std::int64_t>(ms * 1e6);
}

void close_port() {
    if (g_fd >= 0) {
        close(g_fd);
    }
    g_fd = -1;
    g_is_socket = false;
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
        return -1;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        // Not a terminal (a character device without line settings): use it as a raw stream.
        return fd;
    }
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
    if (getaddrinfo(host_buf, port_buf, &hints, &found) != 0) {
        return -1;
    }
    int fd = -1;
    for (addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            continue;
        }
        bool connected = connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        if (!connected && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int rc;
            do {
                rc = poll(&p, 1, remaining_ms(deadline));
            } while (rc < 0 && errno == EINTR);
            int err = 0;
            socklen_t len = sizeof err;
            connected =
                rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        if (!connected) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
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

// Reads and drops whatever is already waiting. False when the port has hung up or failed. A
// line that never stops sending cannot hold the command back past its deadline: the discarding
// ends there and the command goes out (its answer then waits for the deadline like any other).
bool discard_waiting(std::int64_t deadline) {
    char scratch[512];
    while (now_ns() < deadline) {
        pollfd p{g_fd, POLLIN, 0};
        const int rc = poll(&p, 1, 0);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (rc == 0) {
            return true;
        }
        if ((p.revents & POLLIN) == 0) {
            return false;  // POLLHUP, POLLERR or POLLNVAL without data
        }
        const ssize_t n = read(g_fd, scratch, sizeof scratch);
        if (n > 0) {
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        return false;  // end of stream or error
    }
    return true;
}

Io write_all(const char* data, std::size_t len, std::int64_t deadline) {
    while (len > 0) {
        const ssize_t n =
            g_is_socket ? send(g_fd, data, len, MSG_NOSIGNAL) : write(g_fd, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return Io::kFailed;
        }
        pollfd p{g_fd, POLLOUT, 0};
        const int rc = poll(&p, 1, remaining_ms(deadline));
        if (rc == 0) {
            return Io::kTimeout;
        }
        if (rc < 0 && errno != EINTR) {
            return Io::kFailed;
        }
        if (rc > 0 && (p.revents & POLLOUT) == 0) {
            return Io::kFailed;
        }
    }
    return Io::kOk;
}

// Watches the byte stream for complete lines and tells when one is a final result line. Lines
// end at LF (CRs before it belong to the line end) or at a run of CRs followed by anything other
// than LF. Only the head of a line is kept: enough for every row of the finals table.
class FinalWatch {
  public:
    // Feeds one byte; true when the line that ended before or at this byte is a final line.
    // `ended_before` tells whether that line ended before this byte (a CR run) or at it (LF).
    bool feed(char c, bool& ended_before) {
        ended_before = false;
        if (c == '\n') {
            return end_line();
        }
        if (c == '\r') {
            pending_cr_ = true;
            return false;
        }
        if (pending_cr_) {
            ended_before = true;
            const bool final_line = end_line();
            if (final_line) {
                return true;
            }
        }
        if (len_ < sizeof head_) {
            head_[len_] = c;
        }
        ++len_;
        return false;
    }

  private:
    bool end_line() {
        // A line longer than the head is judged by its head: the head is longer than every
        // whole-line row, so only a prefix row can match it.
        const std::size_t kept = len_ < sizeof head_ ? len_ : sizeof head_;
        const bool final_line = classify_line(string_view(head_, kept)) != LineKind::kInformation;
        len_ = 0;
        pending_cr_ = false;
        return final_line;
    }

    char head_[64] = {};
    std::size_t len_ = 0;
    bool pending_cr_ = false;
};

// Bounded writer into the caller's answer buffer.
class Out {
  public:
    Out(char* buf, std::size_t size) : buf_(buf), size_(size), cap_(size == 0 ? 0 : size - 1) {}
    void put(string_view s) {
        const std::size_t room = cap_ - len_;
        const std::size_t n = s.size() < room ? s.size() : room;
        if (n != 0) {
            std::memcpy(buf_ + len_, s.data(), n);
            len_ += n;
        }
    }
    std::size_t finish() {
        if (size_ != 0) {
            buf_[len_] = '\0';
        }
        return len_;
    }

  private:
    char* buf_;
    std::size_t size_;
    std::size_t cap_;
    std::size_t len_ = 0;
};

string_view strip_line_end(string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
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
    Out out(res->aucDataBuf, sizeof res->aucDataBuf);
    out.put(kTimeoutText);
    set_head(res, out.finish(), ORV_AT_OUTCOME_TIMEOUT);
    return ORV_AT_OUTCOME_TIMEOUT;
}

}  // namespace

LineKind classify_line(string_view line) {
    for (const FinalRow& row : kFinals) {
        const bool match =
            row.prefix ? line.substr(0, row.text.size()) == row.text : line == row.text;
        if (match) {
            return row.kind;
        }
    }
    return LineKind::kInformation;
}

std::size_t normalise_answer(string_view raw, string_view command, char* out_buf,
                             std::size_t out_size) {
    const string_view echo = strip_line_end(command);
    Out out(out_buf, out_size);
    bool seen_text = false;  // a non-empty line has been looked at (the echo can only be first)
    bool started = false;    // something has been delivered

    auto emit = [&](string_view line, bool terminated) {
        if (!seen_text && !line.empty()) {
            seen_text = true;
            if (line == echo) {
                return;
            }
        }
        if (!started) {
            started = true;
            if (!line.empty()) {
                out.put("\r\n");
            }
        }
        out.put(line);
        if (terminated) {
            out.put("\r\n");
        }
    };

    std::size_t start = 0;
    std::size_t i = 0;
    while (i < raw.size()) {
        if (raw[i] == '\n') {
            emit(strip_line_end(raw.substr(start, i - start)), true);
            start = ++i;
            continue;
        }
        if (raw[i] == '\r') {
            std::size_t j = i;
            while (j < raw.size() && raw[j] == '\r') {
                ++j;
            }
            if (j < raw.size() && raw[j] == '\n') {
                i = j;  // CR ... CR LF: one line end
                continue;
            }
            emit(raw.substr(start, i - start), true);
            start = i = j;
            continue;
        }
        ++i;
    }
    if (start < raw.size()) {
        emit(raw.substr(start), false);  // cut in the middle of a line
    }
    return out.finish();
}

void reset() {
    close_port();
}

}  // namespace orv::at_channel

using namespace orv::at_channel;

extern "C" int ClientSendCmd(const char* cmd, orv_at_response* res, int wait_ms) {
    if (res == nullptr) {
        return ORV_AT_OUTCOME_NO_PORT;
    }
    if (cmd == nullptr) {
        return finish_empty(res);
    }
    const std::int64_t deadline = now_ns() + wait_ns(wait_ms);

    // A port that hung up while idle shows it here; it gets one fresh open within this command.
    if (!ensure_open(deadline)) {
        return finish_empty(res);
    }
    if (!discard_waiting(deadline)) {
        close_port();
        if (!ensure_open(deadline) || !discard_waiting(deadline)) {
            close_port();
            return finish_empty(res);
        }
    }

    const std::size_t cmd_len = std::strlen(cmd);
    const std::string_view command(cmd, cmd_len);
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
        close_port();
        return finish_empty(res);
    }
    if (io == Io::kTimeout) {
        return finish_timeout(res);
    }

    FinalWatch watch;
    std::size_t raw_len = 0;
    char chunk[1024];
    for (;;) {
        const int wait = remaining_ms(deadline);
        if (wait == 0) {
            return finish_timeout(res);
        }
        pollfd p{g_fd, POLLIN, 0};
        const int rc = poll(&p, 1, wait);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            close_port();
            return finish_empty(res);
        }
        if (rc == 0) {
            continue;  // the deadline check above ends the wait
        }
        if ((p.revents & POLLIN) == 0) {
            close_port();  // hang-up or error with nothing left to read
            return finish_empty(res);
        }
        const ssize_t n = read(g_fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            close_port();
            return finish_empty(res);
        }
        bool complete = false;
        for (ssize_t k = 0; k < n && !complete; ++k) {
            bool ended_before = false;
            complete = watch.feed(chunk[k], ended_before);
            if (complete && ended_before) {
                break;  // the final line ended at the CR run just before this byte
            }
            if (raw_len < sizeof g_raw) {
                g_raw[raw_len++] = chunk[k];
            }
        }
        if (complete) {
            // Bytes after the final line in the same read are unsolicited; the next command
            // would discard them anyway.
            const std::size_t len = normalise_answer(std::string_view(g_raw, raw_len), command,
                                                     res->aucDataBuf, sizeof res->aucDataBuf);
            set_head(res, len, ORV_AT_OUTCOME_ANSWER);
            return ORV_AT_OUTCOME_ANSWER;
        }
    }
}
