// System log: one line per call, appended to ORV_LOG_DIR/<log name> with a single write(), so
// lines of several processes never interleave inside a line. The descriptor of a regular log
// file is kept between lines, and before each line one stat() of the path checks that the path
// still names that file: a file moved away or removed (by our rotation or an outside tool) is
// followed at once by opening the path afresh. Anything else at the path (a FIFO, a device) is
// opened for each line, and a folder that cannot be written costs a failed stat and open and
// nothing else.
//
//     2026-12-06 02:41:07.123 INFO orv_quorl_mdm:118 MODEM: msg_id=2

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
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
    void end_line() { buf_[len_++] = '\n'; }
    const char* data() const { return buf_; }
    std::size_t size() const { return len_; }

  private:
    char buf_[kLineSize];
    std::size_t len_ = 0;
};

bool put_head(LineBuf& line, int level, const char* module, int line_no) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char stamp[64];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char level_text[16];
    const char* level_name = level_text;
    if (level == ORV_LOG_LEVEL_ERR) {
        level_name = "ERR";
    } else if (level == ORV_LOG_LEVEL_INFO) {
        level_name = "INFO";
    } else {
        std::snprintf(level_text, sizeof level_text, "%d", level);
    }
    char head[384];
    const int len =
        std::snprintf(head, sizeof head, "%.*s.%03ld %s %.200s:%d ", static_cast<int>(n), stamp,
                      ts.tv_nsec / 1000000, level_name, module != nullptr ? module : "-", line_no);
    if (len < 0) {
        return false;
    }
    const std::size_t used = static_cast<std::size_t>(len) < sizeof head ? len : sizeof head - 1;
    return line.put(std::string_view(head, used));
}

void put_escaped(LineBuf& line, std::string_view message) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : message) {
        const unsigned char u = static_cast<unsigned char>(c);
        char esc[4] = {'\\', 0, 0, 0};
        std::string_view piece;
        if (c == '\r') {
            esc[1] = 'r';
            piece = std::string_view(esc, 2);
        } else if (c == '\n') {
            esc[1] = 'n';
            piece = std::string_view(esc, 2);
        } else if (u < 0x20 || u == 0x7f) {
            esc[1] = 'x';
            esc[2] = kHex[u >> 4];
            esc[3] = kHex[u & 0xf];
            piece = std::string_view(esc, 4);
        } else {
            piece = std::string_view(&c, 1);
        }
        if (!line.put(piece)) {
            return;  // cut at a whole character, never inside an escape
        }
    }
}

// Moves a file that has passed the limit to "<path>.1" (replacing an older one), unless another
// process has already rotated it away from under `fd`.
void rotate_if_full(int fd, const char* path) {
    struct stat by_fd {};
    if (fstat(fd, &by_fd) != 0 || by_fd.st_size <= static_cast<off_t>(kRotateBytes)) {
        return;
    }
    struct stat by_path {};
    if (stat(path, &by_path) != 0 || by_path.st_ino != by_fd.st_ino ||
        by_path.st_dev != by_fd.st_dev) {
        return;
    }
    char old_path[4096 + 3];
    if (std::snprintf(old_path, sizeof old_path, "%s.1", path) <
        static_cast<int>(sizeof old_path)) {
        rename(path, old_path);
    }
}

// The open log file: its path, descriptor and identity. Only a regular file is kept.
struct OpenLog {
    char path[4096];
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};
OpenLog g_open;

void forget_open_log() {
    if (g_open.fd >= 0) {
        close(g_open.fd);
    }
    g_open.fd = -1;
    g_open.path[0] = '\0';
}

int open_log(const char* path) {
    // O_NONBLOCK: a FIFO or device planted at the path must never hold up the daemon.
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = open(path, kFlags, 0640);
    if (fd < 0 && errno == ENOENT && paths::make_parent_dirs(path)) {
        fd = open(path, kFlags, 0640);
    }
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && st.st_size == 0 && S_ISREG(st.st_mode)) {
        fchmod(fd, 0640);  // a new file: 0640 whatever the umask
    }
    return fd;
}

}  // namespace

int vappend(int level, const char* log_name, const char* module, int line_no, const char* format,
            va_list args) {
    if (log_name == nullptr || format == nullptr || log_name[0] == '\0' ||
        std::strchr(log_name, '/') != nullptr) {
        return -1;
    }
    char path[4096];
    if (!paths::join(path, sizeof path, paths::get(paths::kLogDir), log_name)) {
        return -1;
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

    // The kept descriptor serves while the path still names its file.
    struct stat at_path {};
    const bool at_path_known = stat(path, &at_path) == 0;
    const bool kept = g_open.fd >= 0 && at_path_known && std::strcmp(g_open.path, path) == 0 &&
                      at_path.st_dev == g_open.dev && at_path.st_ino == g_open.ino;
    if (!kept) {
        forget_open_log();
    }
    const int fd = kept ? g_open.fd : open_log(path);
    if (fd < 0) {
        return -1;
    }
    const ssize_t written = write(fd, line.data(), line.size());
    // The size at the path before this line plus the line tells whether rotation may be due;
    // rotate_if_full looks at the file itself.
    if (!kept || !at_path_known ||
        at_path.st_size + static_cast<off_t>(line.size()) > static_cast<off_t>(kRotateBytes)) {
        rotate_if_full(fd, path);
    }
    // A newly opened regular file is kept for the next lines; a rotation above has moved it
    // away already, which the next line's stat notices.
    if (!kept) {
        struct stat by_fd {};
        const std::size_t path_len = std::strlen(path);
        if (fstat(fd, &by_fd) == 0 && S_ISREG(by_fd.st_mode) && path_len < sizeof g_open.path) {
            std::memcpy(g_open.path, path, path_len + 1);
            g_open.fd = fd;
            g_open.dev = by_fd.st_dev;
            g_open.ino = by_fd.st_ino;
        } else {
            close(fd);
        }
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
