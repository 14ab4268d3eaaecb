// Message sockets: the daemon's request endpoint is a Unix datagram socket in ORV_RUN_DIR.
// One datagram is one message, so no framing is needed and a message is never split.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/orv_paths.h"
#include "platform/orv_socket.h"

namespace {

// Fills `addr` with "$ORV_RUN_DIR/<name>"; false when the path does not fit in sun_path.
bool socket_address(const char* name, sockaddr_un& addr) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    return orv::paths::join(addr.sun_path, sizeof addr.sun_path,
                            orv::paths::get(orv::paths::kRunDir), name);
}

// A socket file is stale when nobody accepts datagrams on it: connecting is refused.
bool is_stale_socket(const sockaddr_un& addr) {
    struct stat st {};
    if (lstat(addr.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return false;  // not ours to remove
    }
    const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const bool refused =
        connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
        errno == ECONNREFUSED;
    close(probe);
    return refused;
}

}  // namespace

extern "C" int orv_init_msg(const char* name, int* handle) {
    if (name == nullptr || handle == nullptr || name[0] == '\0' ||
        std::strchr(name, '/') != nullptr) {
        return -1;
    }
    sockaddr_un addr;
    if (!socket_address(name, addr) ||
        !orv::paths::make_dirs(orv::paths::get(orv::paths::kRunDir))) {
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
    // The socket file is born 0660 (bind applies the umask to 0777): no moment in which others
    // could connect before the chmod below settles the mode whatever the umask was.
    const mode_t saved_umask = umask(0117);
    int rc = bind(fd, sa, sizeof addr);
    if (rc != 0 && errno == EADDRINUSE && is_stale_socket(addr)) {
        unlink(addr.sun_path);
        rc = bind(fd, sa, sizeof addr);
    }
    umask(saved_umask);
    if (rc != 0 || chmod(addr.sun_path, 0660) != 0) {
        close(fd);
        return -1;
    }
    *handle = fd;
    return 0;
}

extern "C" int orv_recv_msg(int handle, void* buf, int max_len) {
    if (buf == nullptr || max_len < 0) {
        return -1;
    }
    for (;;) {
        // A datagram longer than max_len is cut; the rest of it is discarded by the kernel.
        const ssize_t n = recv(handle, buf, static_cast<std::size_t>(max_len), 0);
        if (n >= 0) {
            return static_cast<int>(n);
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}
