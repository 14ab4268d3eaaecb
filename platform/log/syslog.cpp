// System log: one line per call, appended to ORV_LOG_DIR/<log name> with a single write(), so
// lines of several processes never interleave inside a line. The descriptor of each regular log
// file is kept between lines (a few files: the daemon's, the store's, the channel's), with the
// size it has reached. Whether the path still names that file is looked at once a second at
// most, not for every line: a file moved away by another program (logrotate) is followed within
// a second, and the lines of that second go to the file where it was moved, after the lines
// before them. Our own rotation is known at once. Anything else at the path (a FIFO, a device)
// is opened for each line, and a folder that cannot be written costs a failed open.
//
//     2026-12-06 02:41:07.123 INFO orv_quorl_mdm:118 MODEM: msg_id=2

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/log/log_internal.h"
#include "platform/orv_log.h"
#include "platform/orv_paths.h"

namespace orv::log {
namespace {

// Escaped message text plus the head (time, level, module, line) and the line feed.
constexpr std::size_t kLineSize = kMessageSize * 4 + 512;

class LineBuf {
  public:
    // Appends the whole of `s` or nothing; one byte always stays free for the line feed.
    bool put(std::string_view s) {
        if (s.size() > sizeof buf_ - 1 - len_) {
            return false;
        }
        std::memcpy(buf_ + len_, s.data(), s.size());
        len_ += s.size();
        return true;
    }
    // Bytes that still fit before the place kept for the line feed.
    std::size_t room() const { return sizeof buf_ - 1 - len_; }
    void end_line() { buf_[len_++] = '\n'; }
    const char* data() const { return buf_; }
    std::size_t size() const { return len_; }

  private:
    char buf_[kLineSize];
    std::size_t len_ = 0;
};

// Appends the decimal digits of `v`.
bool put_number(LineBuf& line, long v) {
    char digits[24];
    char* at = digits + sizeof digits;
    const bool negative = v < 0;
    unsigned long u =
        negative ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    do {
        *--at = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (negative) {
        *--at = '-';
    }
    return line.put(std::string_view(at, static_cast<std::size_t>(digits + sizeof digits - at)));
}

// "YYYY-MM-DD HH:MM:SS.mmm LEVEL MODULE:LINE ", put together by hand: the date and time by
// strftime, the rest without a printf of its own. The module is cut at 200 characters.
bool put_head(LineBuf& line, int level, const char* module, int line_no) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char stamp[32];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S.", &local);
    const long ms = ts.tv_nsec / 1000000;
    const char millis[4] = {static_cast<char>('0' + ms / 100),
                            static_cast<char>('0' + ms / 10 % 10), static_cast<char>('0' + ms % 10),
                            ' '};
    const std::string_view mod = module != nullptr ? std::string_view(module) : "-";
    bool ok = line.put(std::string_view(stamp, n)) && line.put(std::string_view(millis, 4));
    if (level == ORV_LOG_LEVEL_ERR) {
        ok = ok && line.put("ERR ");
    } else if (level == ORV_LOG_LEVEL_INFO) {
        ok = ok && line.put("INFO ");
    } else {
        ok = ok && put_number(line, level) && line.put(" ");
    }
    return ok && line.put(mod.substr(0, 200)) && line.put(":") && put_number(line, line_no) &&
           line.put(" ");
}

// Appends the message with control characters escaped: runs of plain characters in one copy.
void put_escaped(LineBuf& line, std::string_view message) {
    static constexpr char kHex[] = "0123456789abcdef";
    while (!message.empty()) {
        std::size_t plain = 0;
        while (plain < message.size()) {
            const unsigned char u = static_cast<unsigned char>(message[plain]);
            if (u < 0x20 || u == 0x7f) {
                break;
            }
            ++plain;
        }
        if (plain > 0) {
            const std::size_t room = line.room();
            if (!line.put(message.substr(0, plain < room ? plain : room)) || plain > room) {
                return;  // cut at a whole character
            }
            message.remove_prefix(plain);
            continue;
        }
        const unsigned char u = static_cast<unsigned char>(message[0]);
        char esc[4] = {'\\', 0, 0, 0};
        std::string_view piece;
        if (u == '\r' || u == '\n') {
            esc[1] = u == '\r' ? 'r' : 'n';
            piece = std::string_view(esc, 2);
        } else {
            esc[1] = 'x';
            esc[2] = kHex[u >> 4];
            esc[3] = kHex[u & 0xf];
            piece = std::string_view(esc, 4);
        }
        if (!line.put(piece)) {
            return;  // cut at a whole character, never inside an escape
        }
        message.remove_prefix(1);
    }
}

// Moves a file that has passed the limit to "<path>.1" (replacing an older one), unless another
// process has already rotated it away from under `fd`. Returns whether `fd` no longer names the
// file at `path` (moved by this call or before it).
bool rotate_if_full(int fd, const char* path) {
    struct stat by_fd {};
    if (fstat(fd, &by_fd) != 0 || by_fd.st_size <= static_cast<off_t>(kRotateBytes)) {
        return false;
    }
    struct stat by_path {};
    if (stat(path, &by_path) != 0 || by_path.st_ino != by_fd.st_ino ||
        by_path.st_dev != by_fd.st_dev) {
        return true;
    }
    char old_path[4096 + 3];
    return std::snprintf(old_path, sizeof old_path, "%s.1", path) <
               static_cast<int>(sizeof old_path) &&
           rename(path, old_path) == 0;
}

// An open log file: its path, descriptor, identity, the size it had when last looked at plus
// what this process wrote since, and when its path was last looked at (seconds, monotonic).
struct OpenLog {
    char path[4096];
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    std::int64_t checked_s = 0;
};
constexpr std::size_t kOpenLogs = 4;
OpenLog g_open[kOpenLogs];
std::size_t g_next_slot = 0;  // the slot a new file takes when all are in use

void forget(OpenLog& log) {
    if (log.fd >= 0) {
        close(log.fd);
    }
    log.fd = -1;
    log.path[0] = '\0';
}

std::int64_t now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);  // read in user space, no system call
    return ts.tv_sec;
}

// Opens the path for appending, and what it is in `st`.
int open_log(const char* path, struct stat& st) {
    // O_NONBLOCK: a FIFO or device planted at the path must never hold up the daemon.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = open(path, kFlags, 0640);
    if (fd < 0 && errno == ENOENT && paths::make_parent_dirs(path)) {
        fd = open(path, kFlags, 0640);
    }
    if (fd >= 0 && fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    if (fd >= 0 && st.st_size == 0 && S_ISREG(st.st_mode)) {
        fchmod(fd, 0640);  // a new file: 0640 whatever the umask
    }
    return fd;
}

// The kept file for `path`, looked at again when a second has passed; nullptr when none is kept
// (or the path names another file now, which forgets the kept one).
OpenLog* kept_log(const char* path, std::int64_t now) {
    for (OpenLog& log : g_open) {
        if (log.fd < 0 || std::strcmp(log.path, path) != 0) {
            continue;
        }
        if (now == log.checked_s) {
            return &log;
        }
        struct stat at_path {};
        if (stat(path, &at_path) == 0 && at_path.st_dev == log.dev && at_path.st_ino == log.ino) {
            log.size = at_path.st_size;  // other processes may write to it too
            log.checked_s = now;
            return &log;
        }
        forget(log);
        return nullptr;
    }
    return nullptr;
}

// Keeps a newly opened file (`st` as it was opened, `written` bytes since); nullptr when it is
// no regular file (or its path is too long), and the caller closes it after its line.
OpenLog* keep(int fd, const struct stat& st, off_t written, const char* path, std::int64_t now) {
    const std::size_t len = std::strlen(path);
    if (!S_ISREG(st.st_mode) || len >= sizeof g_open[0].path) {
        return nullptr;
    }
    OpenLog* slot = nullptr;
    for (OpenLog& log : g_open) {
        slot = slot == nullptr && log.fd < 0 ? &log : slot;
    }
    if (slot == nullptr) {
        slot = &g_open[g_next_slot];
        g_next_slot = (g_next_slot + 1) % kOpenLogs;
        forget(*slot);
    }
    std::memcpy(slot->path, path, len + 1);
    slot->fd = fd;
    slot->dev = st.st_dev;
    slot->ino = st.st_ino;
    slot->size = st.st_size + written;
    slot->checked_s = now;
    return slot;
}

}  // namespace

int vappend(int level, const char* log_name, const char* module, int line_no, const char* format,
            va_list args) {
    if (log_name == nullptr || format == nullptr || log_name[0] == '\0' ||
        std::strchr(log_name, '/') != nullptr) {
        return -1;
    }
    // The path of the last line's file serves again while the folder's variable is the same
    // string and the log name the same text (the usual case: one file, line after line).
    static const char* last_dir = nullptr;
    static char last_name[64];
    static char path[4096];
    const char* dir = paths::get(paths::kLogDir);
    if (dir != last_dir || std::strcmp(log_name, last_name) != 0) {
        last_dir = nullptr;
        if (!paths::join(path, sizeof path, dir, log_name)) {
            return -1;
        }
        if (std::strlen(log_name) < sizeof last_name) {
            std::strcpy(last_name, log_name);
            last_dir = dir;
        }
    }

    char message[kMessageSize];
    const int formatted = std::vsnprintf(message, sizeof message, format, args);
    if (formatted < 0) {
        return -1;
    }
    std::size_t len = static_cast<std::size_t>(formatted);
    const bool cut = len >= sizeof message;
    if (cut) {
        len = sizeof message - 1;
    }
    std::string_view text(message, len);
    if (!cut && !text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }

    LineBuf line;
    if (!put_head(line, level, module, line_no)) {
        return -1;
    }
    put_escaped(line, text);
    line.end_line();

    const std::int64_t now = now_s();
    OpenLog* log = kept_log(path, now);
    struct stat opened {};
    const int fd = log != nullptr ? log->fd : open_log(path, opened);
    if (fd < 0) {
        return -1;
    }
    const ssize_t written = write(fd, line.data(), line.size());
    const off_t grown = written > 0 ? written : 0;
    if (log != nullptr) {
        log->size += grown;
    } else if ((log = keep(fd, opened, grown, path, now)) == nullptr) {
        close(fd);  // not a regular file: opened for each line
    }
    // Past the limit the file is moved away (by us or already by another process); the next
    // line opens the path afresh.
    if (log != nullptr && log->size > static_cast<off_t>(kRotateBytes) &&
        rotate_if_full(fd, path)) {
        forget(*log);
    }
    return written == static_cast<ssize_t>(line.size()) ? 0 : -1;
}

}  // namespace orv::log

extern "C" int orv_syslog_append(int level, const char* log_name, const char* module, int line,
                                 const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int rc = orv::log::vappend(level, log_name, module, line, format, args);
    va_end(args);
    return rc;
}
