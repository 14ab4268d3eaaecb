// Factory configuration: item N is the file ORV_FACTORY_DIR/N holding the item's raw bytes.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/orv_cfg.h"
#include "platform/orv_paths.h"

extern "C" int orv_cfg_get_item(int id, void* buf, int size) {
    if (buf == nullptr || size < 0) {
        return -1;
    }
    char name[16];
    std::snprintf(name, sizeof name, "%d", id);
    char path[4096];
    if (!orv::paths::join(path, sizeof path, orv::paths::get(orv::paths::kFactoryDir), name)) {
        return -1;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buf);
    std::size_t got = 0;
    const std::size_t want = static_cast<std::size_t>(size);
    while (got < want) {
        const ssize_t n = read(fd, out + got, want - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            close(fd);
            return -1;  // a folder or an unreadable file
        }
    }
    close(fd);
    std::memset(out + got, 0, want - got);
    return static_cast<int>(got);
}
