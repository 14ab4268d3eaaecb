// The parameter store, reached with SQLite directly: the same file and table the daemon uses.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/orv_paths.h"
#include "tools/client/orv_client.h"

namespace orv::client {

namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS nvram(name TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL)";

// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr);
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return rc_ == SQLITE_OK && st_ != nullptr; }
    sqlite3_stmt* get() const { return st_; }
    bool bind_text(int index, std::string_view text) {
        return sqlite3_bind_text(st_, index, text.data(), static_cast<int>(text.size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
    }
    // A zero-length value is bound as an empty blob, never as NULL.
    bool bind_blob(int index, std::string_view bytes) {
        static const char kEmpty[1] = {0};
        const char* data = bytes.empty() ? kEmpty : bytes.data();
        return sqlite3_bind_blob(st_, index, data, static_cast<int>(bytes.size()),
                                 SQLITE_TRANSIENT) == SQLITE_OK;
    }

  private:
    sqlite3_stmt* st_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

std::string column_bytes(sqlite3_stmt* st, int col) {
    const void* data = sqlite3_column_blob(st, col);
    const int n = sqlite3_column_bytes(st, col);
    if (data == nullptr || n <= 0) {
        return std::string();
    }
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(n));
}

}  // namespace

Store::~Store() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
    }
}

std::string Store::last_error() const {
    return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
}

bool Store::open(const std::string& path, bool create, std::string& error) {
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (!exists && !create) {
        error = "no parameter store at " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!exists && !orv::paths::make_store_file(path.c_str())) {
        error = "cannot create the parameter store " + path + ": " + std::strerror(errno);
        return false;
    }
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK && !create) {
        // A reader without write access to the file still reads it.
        sqlite3_close_v2(db_);
        db_ = nullptr;
        rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
    }
    if (rc != SQLITE_OK) {
        error = "cannot open the parameter store " + path + ": " + last_error();
        sqlite3_close_v2(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    if (create) {
        char* msg = nullptr;
        rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, &msg);
        if (rc == SQLITE_OK) {
            rc = sqlite3_exec(db_, kCreateTable, nullptr, nullptr, &msg);
        }
        if (rc != SQLITE_OK) {
            error = "cannot prepare the parameter store " + path + ": " +
                    (msg != nullptr ? msg : last_error());
            sqlite3_free(msg);
            sqlite3_close_v2(db_);
            db_ = nullptr;
            return false;
        }
    }
    return true;
}

bool Store::has_table(bool& present, std::string& error) {
    Statement st(db_, "SELECT 1 FROM sqlite_master WHERE type='table' AND name='nvram'");
    const int rc = st.ok() ? sqlite3_step(st.get()) : SQLITE_ERROR;
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        error = "cannot read the parameter store: " + last_error();
        return false;
    }
    present = rc == SQLITE_ROW;
    return true;
}

Store::Found Store::get(std::string_view name, std::string& value, std::string& error) {
    bool present = false;
    if (!has_table(present, error)) {
        return Found::kError;
    }
    if (!present) {
        return Found::kNo;
    }
    Statement st(db_, "SELECT value FROM nvram WHERE name = ?1");
    const int rc = st.ok() && st.bind_text(1, name) ? sqlite3_step(st.get()) : SQLITE_ERROR;
    if (rc == SQLITE_DONE) {
        return Found::kNo;
    }
    if (rc != SQLITE_ROW) {
        error = "cannot read the parameter store: " + last_error();
        return Found::kError;
    }
    value = column_bytes(st.get(), 0);
    return Found::kYes;
}

bool Store::set(std::string_view name, std::string_view value, std::string& error) {
    Statement st(db_,
                 "INSERT INTO nvram(name, value) VALUES(?1, ?2) "
                 "ON CONFLICT(name) DO UPDATE SET value = excluded.value");
    if (!st.ok() || !st.bind_text(1, name) || !st.bind_blob(2, value) ||
        sqlite3_step(st.get()) != SQLITE_DONE) {
        error = "cannot write the parameter store: " + last_error();
        return false;
    }
    return true;
}

Store::Found Store::unset(std::string_view name, std::string& error) {
    Statement st(db_, "DELETE FROM nvram WHERE name = ?1");
    if (!st.ok() || !st.bind_text(1, name) || sqlite3_step(st.get()) != SQLITE_DONE) {
        error = "cannot write the parameter store: " + last_error();
        return Found::kError;
    }
    return sqlite3_changes(db_) > 0 ? Found::kYes : Found::kNo;
}

bool Store::list(std::vector<std::pair<std::string, std::string>>& rows, std::string& error) {
    rows.clear();
    bool present = false;
    if (!has_table(present, error)) {
        return false;
    }
    if (!present) {
        return true;
    }
    Statement st(db_, "SELECT name, value FROM nvram ORDER BY name");
    int rc = SQLITE_ERROR;
    while (st.ok() && (rc = sqlite3_step(st.get())) == SQLITE_ROW) {
        rows.emplace_back(column_bytes(st.get(), 0), column_bytes(st.get(), 1));
    }
    if (rc != SQLITE_DONE) {
        error = "cannot read the parameter store: " + last_error();
        return false;
    }
    return true;
}

bool Store::write_without_sync(std::string& error) {
    if (sqlite3_exec(db_, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = "cannot set up the parameter store: " + last_error();
        return false;
    }
    return true;
}

bool Store::data_version(std::int64_t& version, std::string& error) {
    Statement st(db_, "PRAGMA data_version");
    if (!st.ok() || sqlite3_step(st.get()) != SQLITE_ROW) {
        error = "cannot read the parameter store: " + last_error();
        return false;
    }
    version = sqlite3_column_int64(st.get(), 0);
    return true;
}

}  // namespace orv::client
