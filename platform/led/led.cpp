// Battery indicator: on a development machine each update is one line "PERCENTAGE CHARGING"
// appended to ORV_RUN_DIR/battery_led, where a test or a person can follow the indicator.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/orv_led.h"
#include "platform/orv_paths.h"

extern "C" int orv_lib_led_power_vol_state(int percentage, int charging) {
    const char* dir = orv::paths::get(orv::paths::kRunDir);
    char path[4096];
    if (!orv::paths::join(path, sizeof path, dir, "battery_led") || !orv::paths::make_dirs(dir)) {
        return -1;
    }
    char line[32];
    const int len = std::snprintf(line, sizeof line, "%d %d\n", percentage, charging);
    const int fd =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0640);
    if (fd < 0) {
        return -1;
    }
    const ssize_t n = write(fd, line, static_cast<std::size_t>(len));
    close(fd);
    return n == len ? 0 : -1;
}
