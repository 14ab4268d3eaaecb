// Unix datagram sockets of the daemon (requests) and of the controller (notifications).
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "tools/client/orv_client.h"

namespace orv::client {

namespace {

// The address of `path` and a new datagram socket; -1 with a message in `error`.
int new_socket(const std::string& path, sockaddr_un& addr, std::string& error) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path \"" + escape_bytes(path) + "\" is empty or longer than " +
                std::to_string(sizeof addr.sun_path - 1) + " characters";
        return -1;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot create a socket: " + std::string(std::strerror(errno));
    }
    return fd;
}

}  // namespace

std::string join_path(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (path.empty() || path.back() != '/') {
        path.push_back('/');
    }
    path.append(name);
    return path;
}

SendResult send_datagram(const std::string& path, std::string_view datagram, std::string& error,
                         double timeout_s) {
    sockaddr_un addr{};
    const int fd = new_socket(path, addr, error);
    if (fd < 0) {
        return SendResult::kFailed;
    }
    // Connected, so that poll() tells when the daemon's queue has room again; every send is
    // non-blocking, so a full queue costs at most the timeout.
    ssize_t n = -1;
    int saved = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        saved = errno;
    } else {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
        for (;;) {
            n = send(fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            saved = errno;
            if (n >= 0 || (saved != EAGAIN && saved != EINTR)) {
                break;
            }
            const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (left <= 0) {
                close(fd);
                char waited[32];
                std::snprintf(waited, sizeof waited, "%g", timeout_s);
                error = "the daemon is busy or hung: its request queue at " + path +
                        " stayed full for " + waited + " s";
                return SendResult::kBusy;
            }
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1,
                 static_cast<int>(std::min(left, 3600.0) * 1000) + 1);  // room, or the time is up
        }
    }
    close(fd);
    if (n == static_cast<ssize_t>(datagram.size())) {
        return SendResult::kSent;
    }
    if (n >= 0) {
        error = "datagram to " + path + " was cut short";
        return SendResult::kFailed;
    }
    if (saved == ENOENT || saved == ECONNREFUSED) {
        error = "nobody listens on " + path + " (" + std::strerror(saved) + ")";
        return SendResult::kNoListener;
    }
    error = "cannot send to " + path + ": " + std::strerror(saved);
    return SendResult::kFailed;
}

Receiver probe_receiver(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    const int probe = new_socket(path, addr, error);
    if (probe < 0) {
        return Receiver::kFailed;
    }
    const int rc = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int saved = errno;
    close(probe);
    if (rc == 0) {
        return Receiver::kLive;
    }
    if (saved == ECONNREFUSED || saved == ENOENT) {
        return Receiver::kNone;
    }
    error = "cannot check the socket " + path + ": " + std::strerror(saved);
    return Receiver::kFailed;
}

int bind_datagram_socket(const std::string& path, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket; not replacing it";
            return -1;
        }
        // A socket file: replaced when nobody receives on it.
        const Receiver receiver = probe_receiver(path, error);
        if (receiver == Receiver::kLive) {
            error = "another process already listens on " + path;
        }
        if (receiver != Receiver::kNone) {
            return -1;
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
            return -1;
        }
    }
    sockaddr_un addr{};
    const int fd = new_socket(path, addr, error);
    if (fd < 0) {
        return -1;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot bind " + path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    chmod(path.c_str(), 0660);
    return fd;
}

}  // namespace orv::client
