// System log (liborvlog).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ORV_LOG_LEVEL_ERR = 0,
    ORV_LOG_LEVEL_INFO = 6,
};

// Appends one line "YYYY-MM-DD HH:MM:SS.mmm LEVEL MODULE:LINE MESSAGE" to ORV_LOG_DIR/log_name.
// Control characters inside the message are escaped; the final line feed is dropped.
int orv_syslog_append(int level, const char* log_name, const char* module, int line,
                      const char* format, ...) __attribute__((format(printf, 5, 6)));

#ifdef __cplusplus
}
#endif
