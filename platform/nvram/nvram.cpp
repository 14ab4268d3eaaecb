// Parameter store on SQLite: one table nvram(name, value) in WAL mode.
//
// - A write is one autocommit statement: a transaction of its own, visible to every other
//   connection when it returns. WAL with synchronous=NORMAL never tears or loses a committed
//   transaction when the process dies; only a power loss can take the latest ones back.
// - Save makes everything written so far survive power loss without waiting for anybody: a
//   PASSIVE checkpoint copies into the database file what no reader still needs (and syncs it),
//   then the WAL itself is synced, since the frames a reader's snapshot keeps there hold the
//   newest values; then the database file and the folder, so that the files' entries are on
//   storage too. Every committed write is then on stable storage in one of the two files. The
//   files are synced through SQLite's own handles, never opened a second time (see sync_own).
// - The connection and its statements are prepared once and kept. A database created by another
//   program with the same table and its own tables or triggers is used as it is: the table is
//   only created when missing, and a write is an upsert, so triggers see an insert or an update.
// - When the file cannot be opened every call fails with -1, and the next call tries again.
// - A call that fails for any reason but a busy lock (disk full, file made read-only, replaced
//   or damaged) closes the connection after it, so the next call opens the file afresh and
//   works again as soon as the cause is gone: SQLite would otherwise keep a connection that
//   fell back to read-only, or an open handle on a file that was replaced. A write that fails
//   so is tried once more on a fresh connection at once: a connection opened while the file was
//   read-only fails every write after the file is writable again, and the first write after
//   the repair must not be lost.
// - While the database file is read-only, SQLite still creates its WAL and shared-memory files,
//   with the database file's read-only mode. They outlive the repair for as long as any other
//   connection (a controller's) holds the store open, and every connection falls back to
//   read-only on them. Opening the store therefore gives those two files the database file's
//   mode again when the database file is writable and they are ours but not writable.
// - Each failure is logged as one line in ORV_LOG_DIR/orv_nvram.log (the library's own log; the
//   callers do not look at the result).

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/nvram/nvram_internal.h"
#include "platform/orv_log.h"
#include "platform/orv_nvram.h"
#include "platform/orv_paths.h"

namespace orv::nvram {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr const char* kLogName = "orv_nvram.log";
constexpr const char* kLogModule = "orv_nvram";

constexpr const char* kSetup =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "PRAGMA cache_size=8;"
    "CREATE TABLE IF NOT EXISTS nvram(name TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL);";
constexpr const char* kUpsert =
    "INSERT INTO nvram(name, value) VALUES(?1, ?2) "
    "ON CONFLICT(name) DO UPDATE SET value = excluded.value";
constexpr const char* kSelect = "SELECT value FROM nvram WHERE name = ?1";

sqlite3* g_db = nullptr;
sqlite3_stmt* g_upsert = nullptr;
sqlite3_stmt* g_select = nullptr;
char g_path[4096];  // the file the connection is open on, for the folder sync of save

void close_db() {
    sqlite3_finalize(g_upsert);
    sqlite3_finalize(g_select);
    sqlite3_close(g_db);
    g_upsert = nullptr;
    g_select = nullptr;
    g_db = nullptr;
}

bool prepare(const char* sql, sqlite3_stmt** stmt) {
    return sqlite3_prepare_v3(g_db, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr) == SQLITE_OK;
}

bool busy(int rc) {
    return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
}

// One upsert of name and value; SQLite's result (SQLITE_DONE when stored).
int upsert(const char* name, const void* bytes, int len) {
    int rc = sqlite3_bind_text(g_upsert, 1, name, -1, SQLITE_STATIC);
    if (rc == SQLITE_OK) {
        rc = sqlite3_bind_blob(g_upsert, 2, bytes, len, SQLITE_STATIC);
    }
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(g_upsert);
    }
    sqlite3_reset(g_upsert);
    sqlite3_clear_bindings(g_upsert);
    return rc;
}

// Logs a failed call with SQLite's reason (the name is the caller's: an argument, never the
// format) and closes the connection unless the store was only busy.
void fail(int line, const char* what, const char* name, int rc) {
    const char* reason = g_db != nullptr ? sqlite3_errmsg(g_db) : sqlite3_errstr(rc);
    orv_syslog_append(ORV_LOG_LEVEL_ERR, kLogName, kLogModule, line, "%s %.64s failed: %s (%d)\n",
                      what, name != nullptr ? name : "", reason, rc);
    if (!busy(rc)) {
        close_db();
    }
}

// Gives the WAL and shared-memory files beside a writable database file its mode again when
// they are ours and read-only (made while the database file was); logs one that stays so.
void repair_companions(const char* path) {
    struct stat db {};
    if (stat(path, &db) != 0 || faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0) {
        return;  // a read-only store stays read-only: its failures are logged by the calls
    }
    static constexpr const char* kCompanions[] = {"-wal", "-shm"};
    for (const char* suffix : kCompanions) {
        char name[sizeof g_path + 4];
        std::snprintf(name, sizeof name, "%s%s", path, suffix);
        struct stat st {};
        if (stat(name, &st) != 0 || faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) == 0) {
            continue;
        }
        if (st.st_uid != geteuid()) {
            orv_syslog_append(ORV_LOG_LEVEL_ERR, kLogName, kLogModule, __LINE__,
                              "%.200s stays read-only: its owner is uid %u\n", name,
                              static_cast<unsigned>(st.st_uid));
        } else if (chmod(name, db.st_mode & 0777) != 0) {
            orv_syslog_append(ORV_LOG_LEVEL_ERR, kLogName, kLogModule, __LINE__,
                              "%.200s stays read-only: chmod %s\n", name, std::strerror(errno));
        }
    }
}

bool ensure_open() {
    if (g_db != nullptr) {
        return true;
    }
    const char* path = paths::get(paths::kNvram);
    const std::size_t len = std::strlen(path);
    // A new store is created 0640 before SQLite sees it; the WAL and shared-memory files take
    // the database file's mode when SQLite creates them.
    if (len == 0 || len >= sizeof g_path || !paths::make_store_file(path)) {
        orv_syslog_append(ORV_LOG_LEVEL_ERR, kLogName, kLogModule, __LINE__,
                          "store path %.200s is not usable\n", path);
        return false;
    }
    std::memcpy(g_path, path, len + 1);
    repair_companions(path);
    // A page-cache slab of 4 pages (SQLite's default is 20, 87 KiB, made at the first read): the
    // store's few pages fit in it, and a page beyond it is allocated on its own. Process-wide, so
    // only before SQLite's first use; later (SQLite already in use by the program) it is refused
    // and changes nothing.
    static bool sized = false;  // a plain flag: the daemon runs on one thread
    if (!sized) {
        sized = true;
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 4);
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path, &g_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        fail(__LINE__, "open of", path, rc);
        return false;
    }
    // Sized for what the store holds (a few pages of short rows): no lookaside slab (SQLite's
    // default is 120 KiB per connection), and a page cache of 8 pages (kSetup).
    sqlite3_db_config(g_db, SQLITE_DBCONFIG_LOOKASIDE, nullptr, 0, 0);
    sqlite3_busy_timeout(g_db, kBusyTimeoutMs);
    rc = sqlite3_exec(g_db, kSetup, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK && !prepare(kUpsert, &g_upsert)) {
        rc = sqlite3_errcode(g_db);
    }
    if (rc == SQLITE_OK && !prepare(kSelect, &g_select)) {
        rc = sqlite3_errcode(g_db);
    }
    if (rc != SQLITE_OK) {
        const int reason = rc;
        fail(__LINE__, "set-up of", path, reason);
        close_db();  // also when only busy: the next call sets up afresh
        return false;
    }
    return true;
}

// Syncs one of the connection's own files (the database or its WAL) through SQLite's handle.
// Opening the file a second time is no option: closing that descriptor would drop the locks the
// connection holds on it, and another process could then take the WAL away under it.
bool sync_own(int opcode) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(g_db, "main", opcode, &file) != SQLITE_OK) {
        return false;
    }
    if (file == nullptr || file->pMethods == nullptr) {
        return true;  // no such file open (no WAL yet): nothing to sync
    }
    return file->pMethods->xSync(file, SQLITE_SYNC_NORMAL) == SQLITE_OK;
}

// Syncs the folder holding the database, so that the files' entries survive power loss.
bool sync_folder() {
    char dir[sizeof g_path];
    std::memcpy(dir, g_path, sizeof dir);
    char* slash = std::strrchr(dir, '/');
    if (slash == nullptr) {
        dir[0] = '.';
        dir[1] = '\0';
    } else if (slash == dir) {
        dir[1] = '\0';
    } else {
        *slash = '\0';
    }
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// Syncs the WAL, the database file and the folder holding them.
bool sync_files() {
    return sync_own(SQLITE_FCNTL_JOURNAL_POINTER) && sync_own(SQLITE_FCNTL_FILE_POINTER) &&
           sync_folder();
}

}  // namespace

void reset() {
    close_db();
}

}  // namespace orv::nvram

using namespace orv::nvram;

extern "C" int orv_nvconfig_write(const char* name, const void* value, int len) {
    if (name == nullptr || len < 0 || (value == nullptr && len > 0) || !ensure_open()) {
        return -1;
    }
    // A zero-length blob must be bound from a non-null pointer, or SQLite stores NULL.
    static const char kEmpty[1] = {0};
    const void* bytes = len == 0 ? kEmpty : value;
    int rc = upsert(name, bytes, len);
    if (rc != SQLITE_DONE && !busy(rc)) {
        close_db();  // once more on a fresh connection: see the head of this file
        if (!ensure_open()) {
            return -1;
        }
        rc = upsert(name, bytes, len);
    }
    if (rc != SQLITE_DONE) {
        fail(__LINE__, "write of", name, rc);
        return -1;
    }
    return 0;
}

extern "C" int orv_nvconfig_read(const char* name, void* buf, int size) {
    if (name == nullptr || size < 0 || (buf == nullptr && size > 0) || !ensure_open()) {
        return -1;
    }
    int result = -1;
    int rc = sqlite3_bind_text(g_select, 1, name, -1, SQLITE_STATIC);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(g_select);
    }
    if (rc == SQLITE_ROW) {
        // column_blob before column_bytes: the length then belongs to the blob form, also for a
        // value another program stored as text.
        const void* stored = sqlite3_column_blob(g_select, 0);
        const int stored_len = sqlite3_column_bytes(g_select, 0);
        const int n = stored == nullptr ? 0 : (stored_len < size ? stored_len : size);
        if (n > 0) {
            std::memcpy(buf, stored, static_cast<std::size_t>(n));
        }
        result = n;
    }
    sqlite3_reset(g_select);
    sqlite3_clear_bindings(g_select);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        fail(__LINE__, "read of", name, rc);  // a name never written is not a failure
    }
    return result;
}

extern "C" int orv_nvconfig_save(void) {
    if (!ensure_open()) {
        return -1;
    }
    // PASSIVE never waits: a reader of an older snapshot only keeps some frames in the WAL,
    // which the sync below makes durable where they are. A busy checkpoint is no failure.
    const int rc =
        sqlite3_wal_checkpoint_v2(g_db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_BUSY) {
        fail(__LINE__, "commit of", "the store", rc);
        return -1;
    }
    if (!sync_files()) {
        orv_syslog_append(ORV_LOG_LEVEL_ERR, kLogName, kLogModule, __LINE__,
                          "commit: the store's files could not be synced\n");
        return -1;
    }
    return 0;
}
