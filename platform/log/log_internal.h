// Internal pieces of the system log, shared with its tests.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace orv::log {

// Longest formatted message kept; longer messages are cut. Large enough for a whole modem
// answer line of the usual kind.
inline constexpr std::size_t kMessageSize = 4096;

// A log file that has grown past this many bytes is moved to "<name>.1".
inline constexpr std::size_t kRotateBytes = 1024 * 1024;

// orv_syslog_append with its arguments already gathered. The only state between calls is the
// descriptor of the log file, which follows the path by itself, so the log needs no reset.
int vappend(int level, const char* log_name, const char* module, int line, const char* format,
            va_list args) __attribute__((format(printf, 5, 0)));

}  // namespace orv::log
