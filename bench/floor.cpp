// orv_mdm_floor: the least a daemon could do for an IMEI request, the measuring stick that
// scripts/bench.sh holds the daemon against. It binds the daemon's request socket and, for every
// datagram (whatever it asks), writes AT+CGSN to the modem line, reads the answer up to its final
// OK and upserts its first line as "imei" into the parameter store. No logging, no bring-up, no
// recovery: a failure ends it with status 1. The paths come from the same environment as the
// daemon's.
//
// orv_mdm_floor_required (the same source with ORV_FLOOR_REQUIRED) also writes what the daemon
// must write for an IMEI request: its five log lines, each formatted as the daemon's log formats
// them (local time to the millisecond, level, module and line, the message) and written with one
// write() to the log file held open, and the echo of the answer to standard output in one
// write(). So the daemon measured against it pays only for what it does beyond its outputs.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/orv_paths.h"
#include "wire/mdm_msg.h"

#ifdef ORV_FLOOR_REQUIRED
namespace {

int g_log = -1;

// One line as the daemon's log writes it: "YYYY-MM-DD HH:MM:SS.mmm LEVEL MODULE:LINE MESSAGE".
void log_line(const char* level, const char* module, int line, const char* message,
              std::string_view value = {}) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char stamp[32];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char text[512];
    const int len = std::snprintf(text, sizeof text, "%.*s.%03ld %s %s:%d %s%.*s\n",
                                  static_cast<int>(n), stamp, ts.tv_nsec / 1000000, level, module,
                                  line, message, static_cast<int>(value.size()), value.data());
    if (len < 0 || len >= static_cast<int>(sizeof text) ||
        write(g_log, text, static_cast<std::size_t>(len)) != len) {
        std::exit(1);
    }
}

}  // namespace
#endif

int main() {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (!orv::paths::join(addr.sun_path, sizeof addr.sun_path, orv::paths::get(orv::paths::kRunDir),
                          orv::msg::kRequestSocketName)) {
        return 1;
    }
    unlink(addr.sun_path);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        chmod(addr.sun_path, 0660) != 0) {
        return 1;
    }

    const int modem = open(orv::paths::get(orv::paths::kModem), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (modem < 0 || tcgetattr(modem, &tio) != 0) {
        return 1;
    }
    cfmakeraw(&tio);
    tcsetattr(modem, TCSANOW, &tio);

    sqlite3* db = nullptr;
    sqlite3_stmt* upsert = nullptr;
    // A reader of the store (the load tool) may hold it while the table is made: wait for it, as
    // the daemon's store does.
    if (sqlite3_open(orv::paths::get(orv::paths::kNvram), &db) != SQLITE_OK ||
        sqlite3_busy_timeout(db, 5000) != SQLITE_OK ||
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                     "CREATE TABLE IF NOT EXISTS nvram(name TEXT PRIMARY KEY NOT NULL, value BLOB "
                     "NOT NULL);",
                     nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db,
                           "INSERT INTO nvram(name, value) VALUES('imei', ?1) "
                           "ON CONFLICT(name) DO UPDATE SET value = excluded.value",
                           -1, &upsert, nullptr) != SQLITE_OK) {
        return 1;
    }

#ifdef ORV_FLOOR_REQUIRED
    char log_path[4096];
    if (!orv::paths::join(log_path, sizeof log_path, orv::paths::get(orv::paths::kLogDir),
                          "orv_mdm.log") ||
        !orv::paths::make_parent_dirs(log_path) ||
        (g_log = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640)) < 0) {
        return 1;
    }
#endif
    char request[orv::msg::kRecvBufferSize];
    char answer[512 + 1];  // one byte more for the echo's line feed
    constexpr std::string_view kCommand = "AT+CGSN\r";
    constexpr std::string_view kFinal = "\r\nOK\r\n";
    while (recv(sock, request, sizeof request, 0) >= 0) {
#ifdef ORV_FLOOR_REQUIRED
        log_line("ERR", "orv_quorl_mdm", 1039, "msg_id = 7, ORV_MDM_GET_IMEI");
        log_line("INFO", "orv_quorl_mdm", 2081, "MODEM: msg_id=7");
        log_line("INFO", "orv_quorl_mdm_handler", 18031, "entern orv_quorl_mdm_get_imei ");
#endif
        if (write(modem, kCommand.data(), kCommand.size()) !=
            static_cast<ssize_t>(kCommand.size())) {
            return 1;
        }
        // "\r\n356938035643809\r\n\r\nOK\r\n", the command's echo first when the modem echoes.
        std::size_t len = 0;
        while (!std::string_view(answer, len).ends_with(kFinal)) {
            const ssize_t n = read(modem, answer + len, sizeof answer - 1 - len);
            if (n <= 0) {
                return 1;
            }
            len += static_cast<std::size_t>(n);
        }
        const std::string_view text(answer, len);
        const std::size_t start = text.find("\r\n") + 2;
        const std::size_t end = text.find('\r', start);
#ifdef ORV_FLOOR_REQUIRED
        answer[len] = '\n';  // the echo: the answer and a line feed, in one write
        if (write(1, answer, len + 1) != static_cast<ssize_t>(len + 1)) {
            return 1;
        }
        log_line("INFO", "orv_quorl_mdm_handler", 4106, "mdm_at_result_process is ",
                 text.substr(start, end - start));
#endif
        sqlite3_bind_blob(upsert, 1, answer + start, static_cast<int>(end - start), SQLITE_STATIC);
        if (sqlite3_step(upsert) != SQLITE_DONE) {
            return 1;
        }
        sqlite3_reset(upsert);
#ifdef ORV_FLOOR_REQUIRED
        log_line("INFO", "orv_quorl_mdm", 2089, "MODEM: num=33");
#endif
    }
    return 1;
}
