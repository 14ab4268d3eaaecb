// orv_mdm_floor: the least a daemon could do for an IMEI request, the measuring stick that
// scripts/bench.sh holds the daemon against. It binds the daemon's request socket and, for every
// datagram (whatever it asks), writes AT+CGSN to the modem line, reads the answer up to its final
// OK and upserts its first line as "imei" into the parameter store. No logging, no bring-up, no
// recovery: a failure ends it with status 1. The paths come from the same environment as the
// daemon's.

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "platform/orv_paths.h"
#include "wire/mdm_msg.h"

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

    char request[orv::msg::kRecvBufferSize];
    char answer[512];
    constexpr std::string_view kCommand = "AT+CGSN\r";
    constexpr std::string_view kFinal = "\r\nOK\r\n";
    while (recv(sock, request, sizeof request, 0) >= 0) {
        if (write(modem, kCommand.data(), kCommand.size()) !=
            static_cast<ssize_t>(kCommand.size())) {
            return 1;
        }
        // "\r\n356938035643809\r\n\r\nOK\r\n", the command's echo first when the modem echoes.
        std::size_t len = 0;
        while (!std::string_view(answer, len).ends_with(kFinal)) {
            const ssize_t n = read(modem, answer + len, sizeof answer - len);
            if (n <= 0) {
                return 1;
            }
            len += static_cast<std::size_t>(n);
        }
        const std::string_view text(answer, len);
        const std::size_t start = text.find("\r\n") + 2;
        const std::size_t end = text.find('\r', start);
        sqlite3_bind_blob(upsert, 1, answer + start, static_cast<int>(end - start), SQLITE_STATIC);
        if (sqlite3_step(upsert) != SQLITE_DONE) {
            return 1;
        }
        sqlite3_reset(upsert);
    }
    return 1;
}
