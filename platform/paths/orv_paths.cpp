#include "platform/orv_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" char** environ;

namespace orv::paths {

namespace {

// Where a variable was last found: the environment array, its slot there and the entry in that
// slot. A lookup is answered from it while the slot still holds that entry: setenv puts a new
// entry in the slot, unsetenv moves the entries after it, so a changed or removed variable is
// always seen, and an unchanged one costs no scan of the environment (the daemon looks up its
// log folder for every log line). None of the programs calls clearenv, which would free the
// array under a kept slot.
struct Found {
    const PathVar* var = nullptr;
    char** env = nullptr;
    std::size_t slot = 0;
    const char* entry = nullptr;
};
Found g_found[16];

const char* lookup(const PathVar& var) {
    const std::size_t name_len = std::strlen(var.variable);
    Found* mine = nullptr;
    for (Found& f : g_found) {
        if (f.var == &var || (mine == nullptr && f.var == nullptr)) {
            mine = &f;
            if (f.var == &var) {
                break;
            }
        }
    }
    if (mine != nullptr && mine->var == &var && mine->env == environ && environ != nullptr &&
        environ[mine->slot] == mine->entry) {
        return mine->entry + name_len + 1;
    }
    for (std::size_t i = 0; environ != nullptr && environ[i] != nullptr; ++i) {
        if (std::strncmp(environ[i], var.variable, name_len) == 0 && environ[i][name_len] == '=') {
            if (mine != nullptr) {
                *mine = Found{&var, environ, i, environ[i]};
            }
            return environ[i] + name_len + 1;
        }
    }
    return nullptr;
}

}  // namespace

const char* get(const PathVar& var) {
    const char* value = lookup(var);
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
        errno = len == 0 ? ENOENT : ENAMETOOLONG;  // errno says why, as after a failed mkdir
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
    if (stat(dir, &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;  // a file where the folder should be
        return false;
    }
    return true;
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
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(dir, file_path, len);
    dir[len] = '\0';
    return make_dirs(dir);
}

bool make_store_file(const char* path) {
    if (!make_parent_dirs(path)) {
        return false;
    }
    const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd >= 0) {
        fchmod(fd, 0640);  // a file made here is 0640 whatever the umask
        close(fd);
        return true;
    }
    return errno == EEXIST;
}

}  // namespace orv::paths
