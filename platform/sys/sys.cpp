// The operating-system calls the handlers make directly.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/orv_sys.h"

extern "C" void orv_sleep_s(unsigned int seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    // A signal cuts nanosleep short; the rest of the time is slept after it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// One answer and its line feed, written without ever waiting: a socket (a service manager's
// journal) is sent to with MSG_DONTWAIT; anything else (a pipe, a terminal, a file) is written
// in small pieces, each only when poll() says the output takes it at once (a pipe takes up to
// PIPE_BUF bytes whole once it polls writable, a terminal at least 256), so that no write can
// block. What the output does not take (a reader that stopped reading or went
// away, a full disk) is dropped; SIGPIPE is ignored by the daemon, so a closed pipe only fails
// the write.
extern "C" void orv_echo_answer(const char* text) {
    constexpr std::size_t kPiece = 256;
    const char* shown = text != nullptr ? text : "";
    const std::size_t len = std::strlen(shown);
    // Whether standard output is a socket is learnt at the first echo (send() tells).
    static bool socket_out = true;
    std::size_t done = 0;
    while (done <= len) {
        // The text, then its line feed.
        const char* piece = done < len ? shown + done : "\n";
        std::size_t n = done < len ? len - done : 1;
        if (socket_out) {
            const ssize_t sent = send(STDOUT_FILENO, piece, n, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent > 0) {
                done += static_cast<std::size_t>(sent);
                continue;
            }
            if (sent < 0 && errno == ENOTSOCK) {
                socket_out = false;
                continue;
            }
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            return;  // full or gone: dropped
        }
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        if (poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) {
            return;
        }
        n = n < kPiece ? n : kPiece;
        const ssize_t written = write(STDOUT_FILENO, piece, n);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        done += static_cast<std::size_t>(written);
    }
}
