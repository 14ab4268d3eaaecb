#include "platform/orv_paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace orv::paths {

const char* get(const PathVar& var) {
    const char* value = std::getenv(var.variable);
    return (value != nullptr && value[0] != '\0') ? value : var.fallback;
}

bool join(char* out, std::size_t size, const char* dir, const char* name) {
    const std::size_t dir_len = std::strlen(dir);
    const std::size_t name_len = std::strlen(name);
    if (dir_len + 1 + name_len >= size) {
        if (size != 0) {
            out[0] = '\0';
        }
        return false;
    }
    std::memcpy(out, dir, dir_len);
    out[dir_len] = '/';
    std::memcpy(out + dir_len + 1, name, name_len + 1);
    return true;
}

bool make_dirs(const char* dir) {
    char path[4096];
    const std::size_t len = std::strlen(dir);
    if (len == 0 || len >= sizeof path) {
        return false;
    }
    std::memcpy(path, dir, len + 1);
    for (std::size_t i = 1; i <= len; ++i) {
        if (path[i] == '/' || path[i] == '\0') {
            const char saved = path[i];
            path[i] = '\0';
            if (mkdir(path, 0750) == 0) {
                chmod(path, 0750);  // a folder made here is 0750 whatever the umask
            } else if (errno != EEXIST) {
                return false;
            }
            path[i] = saved;
        }
    }
    struct stat st {};
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_parent_dirs(const char* file_path) {
    char dir[4096];
    const char* slash = std::strrchr(file_path, '/');
    if (slash == nullptr) {
        return true;  // the current folder
    }
    const std::size_t len = static_cast<std::size_t>(slash - file_path);
    if (len == 0) {
        return true;  // the root
    }
    if (len >= sizeof dir) {
        return false;
    }
    std::memcpy(dir, file_path, len);
    dir[len] = '\0';
    return make_dirs(dir);
}

}  // namespace orv::paths
