// Where the platform keeps its files: each path has a device default and an environment variable
// that moves it (how tests, the demo and a development machine run the daemon). Used by the
// platform libraries and by the tools, so all agree.
#pragma once

#include <cstddef>

namespace orv::paths {

struct PathVar {
    const char* variable;
    const char* fallback;
};

inline constexpr PathVar kRunDir{"ORV_RUN_DIR", "/var/run/orv"};
inline constexpr PathVar kModem{"ORV_MODEM", "/dev/ttyUSB0"};
inline constexpr PathVar kModemBaud{"ORV_MODEM_BAUD", "115200"};
inline constexpr PathVar kAtWaitScale{"ORV_AT_WAIT_SCALE", "1"};
inline constexpr PathVar kNvram{"ORV_NVRAM", "/var/lib/orv/nvram.db"};
inline constexpr PathVar kFactoryDir{"ORV_FACTORY_DIR", "/etc/orv/factory"};
inline constexpr PathVar kLogDir{"ORV_LOG_DIR", "/var/log/orv"};
inline constexpr PathVar kDeviceDb{"ORV_DEVICE_DB", "/usr/share/orv/device.db"};
inline constexpr PathVar kPwmSim{"ORV_PWM_SIM", nullptr};

// The variable's value when set and not empty, else the default (null for ORV_PWM_SIM).
const char* get(const PathVar& var);

// Writes "<dir>/<name>" into `out`; false when it does not fit (out is then empty).
bool join(char* out, std::size_t size, const char* dir, const char* name);

// Creates `dir` and any missing parents with mode 0750 (whatever the umask; a folder that exists
// keeps its mode). True when the folder exists afterwards; false with errno set otherwise.
bool make_dirs(const char* dir);

// Creates the folder that holds `file_path`.
bool make_parent_dirs(const char* file_path);

// Creates a missing parameter store file: its folder as make_dirs does, and the file itself empty
// with mode 0640 whatever the umask (SQLite would create it 0644 under the usual umask; the WAL
// and shared-memory files it adds take the database file's mode). A file that exists is left as
// it is. True when the file exists afterwards. The daemon's store and the tools share it.
bool make_store_file(const char* path);

}  // namespace orv::paths
