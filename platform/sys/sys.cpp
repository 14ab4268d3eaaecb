// The operating-system calls the handlers make directly.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "platform/orv_sys.h"

extern "C" void orv_sleep_s(unsigned int seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    // A signal cuts nanosleep short; the rest of the time is slept after it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

// Whether standard output is a socket is learnt at the first echo (send() tells).
bool g_stdout_socket = true;

// Writes `len` bytes to standard output without ever waiting: a socket (a service manager's
// journal) is sent to with MSG_DONTWAIT; anything else (a pipe, a terminal, a file) is written in
// pieces of at most PIPE_BUF bytes, each only when poll() says the output takes it at once (a pipe
// that polls writable takes PIPE_BUF bytes whole). False when the rest was dropped: the reader
// stopped reading or went away, or the disk is full. SIGPIPE is ignored by the daemon, so a
// closed pipe only fails the write.
bool put_out(const char* data, std::size_t len) {
    while (len > 0) {
        ssize_t n = -1;
        if (g_stdout_socket) {
            n = send(STDOUT_FILENO, data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK) {
                g_stdout_socket = false;
                continue;
            }
        } else {
            pollfd p{STDOUT_FILENO, POLLOUT, 0};
            if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
                return false;
            }
            n = write(STDOUT_FILENO, data, len < PIPE_BUF ? len : PIPE_BUF);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

// The answer and its line feed go out as one piece when they fit the line buffer (one write
// instead of two); a longer answer goes as two.
extern "C" void orv_echo_answer(const char* text) {
    const char* shown = text != nullptr ? text : "";
    char line[1024];
    const std::size_t len = strnlen(shown, sizeof line);
    if (len < sizeof line) {
        std::memcpy(line, shown, len);
        line[len] = '\n';
        put_out(line, len + 1);
    } else if (put_out(shown, std::strlen(shown))) {
        put_out("\n", 1);
    }
}
