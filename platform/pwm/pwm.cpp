// Battery driver access. On the device: open /dev/pwm, one ioctl per query, close. With
// ORV_PWM_SIM=FILE the file stands in for the driver: lines "present=N", "level=N", "percent=N",
// "charging=N". The file is read at each query, so its values can change between requests; a
// query whose line is missing or not a number fails as a failing ioctl would.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/orv_paths.h"
#include "platform/orv_pwm.h"

namespace {

using std::string_view;

// The stand-in file of the open handle, if the handle is one.
int g_sim_handle = -1;
char g_sim_path[4096];

bool parse_int(string_view text, int& value) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    long long v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) {
            return false;
        }
    }
    v = negative ? -v : v;
    if (v > INT_MAX || v < INT_MIN) {
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

int sim_query(unsigned long request, int* value) {
    string_view key;
    for (const orv::pwm::Query& row : orv::pwm::kQueries) {
        if (row.request == request) {
            key = row.key;
        }
    }
    if (key.empty()) {
        return -1;  // a request the driver does not know
    }
    const int fd = open(g_sim_path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    char text[4096];
    std::size_t len = 0;
    for (;;) {
        const ssize_t n = read(fd, text + len, sizeof text - len);
        if (n > 0) {
            len += static_cast<std::size_t>(n);
            if (len == sizeof text) {
                break;  // a stand-in file is a few lines; the rest is not looked at
            }
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fd);

    string_view rest(text, len);
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        const string_view line = rest.substr(0, nl);
        rest = nl == string_view::npos ? string_view() : rest.substr(nl + 1);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=') {
            return parse_int(line.substr(key.size() + 1), *value) ? 0 : -1;
        }
    }
    return -1;
}

}  // namespace

extern "C" int orv_pwm_open(const char* path) {
    const char* sim = orv::paths::get(orv::paths::kPwmSim);
    if (sim == nullptr) {
        return path == nullptr ? -1 : open(path, O_RDWR | O_CLOEXEC | O_NOCTTY);
    }
    const std::size_t len = std::strlen(sim);
    if (len >= sizeof g_sim_path) {
        return -1;
    }
    const int fd = open(sim, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    std::memcpy(g_sim_path, sim, len + 1);
    g_sim_handle = fd;
    return fd;
}

extern "C" int orv_pwm_ioctl(int handle, unsigned long request, int* value) {
    if (handle < 0 || value == nullptr) {
        return -1;
    }
    if (handle == g_sim_handle) {
        return sim_query(request, value);
    }
    return ioctl(handle, request, value) < 0 ? -1 : 0;
}

extern "C" void orv_pwm_close(int handle) {
    if (handle < 0) {
        return;
    }
    if (handle == g_sim_handle) {
        g_sim_handle = -1;
    }
    close(handle);
}
