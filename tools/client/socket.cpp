// Unix datagram sockets of the daemon (requests) and of the controller (notifications).
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/client/orv_client.h"

namespace orv::client {

namespace {

bool make_address(const std::string& path, sockaddr_un& addr, std::string& error) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "socket path \"" + escape_bytes(path) + "\" is empty or longer than " +
                std::to_string(sizeof addr.sun_path - 1) + " characters";
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

std::string errno_text() {
    return std::strerror(errno);
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

SendResult send_datagram(const std::string& path, std::string_view datagram, std::string& error) {
    sockaddr_un addr{};
    if (!make_address(path, addr, error)) {
        return SendResult::kFailed;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot create a socket: " + errno_text();
        return SendResult::kFailed;
    }
    const ssize_t n = sendto(fd, datagram.data(), datagram.size(), 0,
                             reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int saved = errno;
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

int bind_datagram_socket(const std::string& path, std::string& error) {
    sockaddr_un addr{};
    if (!make_address(path, addr, error)) {
        return -1;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " exists and is not a socket; not replacing it";
            return -1;
        }
        // A socket file: live when a connect to it succeeds, stale when it is refused.
        const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe < 0) {
            error = "cannot create a socket: " + errno_text();
            return -1;
        }
        const int rc = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        const int saved = errno;
        close(probe);
        if (rc == 0) {
            error = "another process already listens on " + path;
            return -1;
        }
        if (saved != ECONNREFUSED) {
            error = "cannot check the socket " + path + ": " + std::strerror(saved);
            return -1;
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove the stale socket " + path + ": " + errno_text();
            return -1;
        }
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot create a socket: " + errno_text();
        return -1;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot bind " + path + ": " + errno_text();
        close(fd);
        return -1;
    }
    chmod(path.c_str(), 0660);
    return fd;
}

}  // namespace orv::client
