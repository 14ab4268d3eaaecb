// The parameter store, checked through a second SQLite connection as another process would.

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/orv_nvram.h"
#include "tests/platform/platform_fixture.h"

// The files this process synced, by inode: the store's library and SQLite sync through these,
// so a test can tell which files were made durable.
static std::vector<ino_t> g_synced;

static void note_sync(int fd) {
    struct stat st {};
    if (fstat(fd, &st) == 0) {
        g_synced.push_back(st.st_ino);
    }
}

extern "C" int fsync(int fd) {
    note_sync(fd);
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
    note_sync(fd);
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

namespace orv::test {
namespace {

// A second connection to a database file.
class Db {
  public:
    explicit Db(const std::string& path, int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
        sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        sqlite3_busy_timeout(db_, 2000);
    }
    ~Db() { sqlite3_close(db_); }
    void exec(const std::string& sql) {
        ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db_);
    }
    // The first column of the first row as bytes, or nothing when there is no row.
    std::optional<std::string> one(const std::string& sql, const std::string& bind = {}) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            return std::string("<prepare failed: ") + sqlite3_errmsg(db_) + ">";
        }
        sqlite3_bind_text(st, 1, bind.c_str(), -1, SQLITE_TRANSIENT);
        std::optional<std::string> out;
        if (sqlite3_step(st) == SQLITE_ROW) {
            const void* p = sqlite3_column_blob(st, 0);
            out = p ? std::string(static_cast<const char*>(p), sqlite3_column_bytes(st, 0)) : "";
        }
        sqlite3_finalize(st);
        return out;
    }

  private:
    sqlite3* db_ = nullptr;
};

class NvramTest : public PlatformTest {
  protected:
    std::string db_path() const { return path("lib/nvram.db"); }
};

int write_text(const char* name, const std::string& value) {
    return orv_nvconfig_write(name, value.data(), static_cast<int>(value.size()));
}

TEST_F(NvramTest, ValuesAreStoredAsExactlyTheBytesAndLengthWritten) {
    const std::pair<const char*, std::string> rows[] = {
        {"unlock_at_wait", "-1"},
        {"with_zero", std::string("a\0b\xff", 4)},
        {"pin_status", ""},  // cleared: the row stays with an empty value
        {"imei", "490154203237518"},
        {"imei", "35"}};  // a shorter value replaces a longer one
    for (const auto& [name, value] : rows) {
        EXPECT_EQ(write_text(name, value), 0) << name;
    }
    Db other(db_path());
    for (const auto& [name, value] : rows) {
        SCOPED_TRACE(name);
        EXPECT_EQ(other.one("SELECT value FROM nvram WHERE name = ?1", name),
                  name == std::string("imei") ? "35" : value);
        EXPECT_EQ(other.one("SELECT typeof(value) FROM nvram WHERE name = ?1", name), "blob");
    }
    EXPECT_EQ(other.one("SELECT count(*) FROM nvram"), "4");
    EXPECT_EQ(other.one("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(file_mode(db_path()), 0640u);
    EXPECT_EQ(file_mode(path("lib")), 0750u);
}

TEST_F(NvramTest, ReadCopiesAtMostTheSizeAndLeavesTheBufferForUnknownNames) {
    ASSERT_EQ(write_text("iccid", "89014103211118510720"), 0);
    ASSERT_EQ(write_text("empty", ""), 0);
    Db(db_path()).exec("INSERT INTO nvram(name, value) VALUES('Language', 'de')");  // as text
    struct Row {
        const char* name;
        int size, result;
        std::string buffer;  // the first 24 bytes afterwards
    };
    const std::string untouched(24, '#');
    const Row rows[] = {{"iccid", 24, 20, "89014103211118510720####"},
                        {"iccid", 5, 5, "89014" + std::string(19, '#')},
                        {"iccid", 0, 0, untouched},
                        {"empty", 24, 0, untouched},
                        {"Language", 24, 2, "de" + std::string(22, '#')},
                        {"never_written", 24, -1, untouched}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + " size " + std::to_string(row.size));
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(orv_nvconfig_read(row.name, buf, row.size), row.result);
        EXPECT_EQ(std::string(buf, 32), row.buffer + std::string(8, '#'));
    }
}

TEST_F(NvramTest, WorksOnAStoreAnotherProgramCreatedWithItsOwnTablesAndTriggers) {
    ASSERT_EQ(mkdir(path("lib").c_str(), 0750), 0);
    Db(db_path()).exec(
        "CREATE TABLE nvram(name TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL);"
        "CREATE TABLE changes(name TEXT, old BLOB, new BLOB);"
        "CREATE TRIGGER on_insert AFTER INSERT ON nvram BEGIN "
        "  INSERT INTO changes VALUES(NEW.name, NULL, NEW.value); END;"
        "CREATE TRIGGER on_update AFTER UPDATE ON nvram BEGIN "
        "  INSERT INTO changes VALUES(NEW.name, OLD.value, NEW.value); END;"
        "CREATE TRIGGER no_delete BEFORE DELETE ON nvram BEGIN "
        "  SELECT RAISE(ABORT, 'rows are never deleted'); END;"
        "INSERT INTO nvram VALUES('model_name', 'X1');");
    EXPECT_EQ(write_text("model_name", "X2"), 0);
    EXPECT_EQ(write_text("imei", "35"), 0);
    EXPECT_EQ(Db(db_path()).one("SELECT group_concat(name || ':' || ifnull(old, '-') || '>' || "
                                "new, ' ') FROM changes"),
              "model_name:->X1 model_name:X1>X2 imei:->35");
}

TEST_F(NvramTest, SavePutsEveryWriteIntoTheDatabaseFileItself) {
    ASSERT_EQ(write_text("iccid", "8944"), 0);
    ASSERT_EQ(write_text("Language", "fr"), 0);
    ASSERT_EQ(orv_nvconfig_save(), 0);
    // The database file alone, without its WAL, already holds both values.
    write_file(path("copy.db"), read_file(db_path()));
    EXPECT_EQ(Db(path("copy.db"), SQLITE_OPEN_READONLY)
                  .one("SELECT group_concat(name || '=' || value, ',') FROM "
                       "(SELECT * FROM nvram ORDER BY name)"),
              "Language=fr,iccid=8944");
}

// Another process reading an older snapshot keeps the newest frames in the WAL; save neither
// waits for it nor leaves them in the page cache: it syncs the WAL where they are.
TEST_F(NvramTest, SaveIsDurableAtOnceWhileAReaderHoldsAnOlderSnapshot) {
    ASSERT_EQ(write_text("iccid", "8944"), 0);
    Db reader(db_path());
    reader.exec("BEGIN");
    ASSERT_EQ(reader.one("SELECT value FROM nvram WHERE name = 'iccid'"), "8944");
    ASSERT_EQ(write_text("iccid", "8949"), 0);
    ASSERT_EQ(write_text("Language", "de"), 0);
    g_synced.clear();
    ASSERT_EQ(orv_nvconfig_save(), 0);
    struct stat wal {};
    ASSERT_EQ(stat((db_path() + "-wal").c_str(), &wal), 0);
    EXPECT_GT(wal.st_size, 0);  // the newest values are still only there
    EXPECT_NE(std::find(g_synced.begin(), g_synced.end(), wal.st_ino), g_synced.end());
    reader.exec("COMMIT");
    // The store's connection still holds its locks: another process that comes and goes (and
    // would remove the WAL if it thought itself the last one) leaves it in place.
    ASSERT_EQ(std::system(
                  ("sqlite3 '" + db_path() + "' 'SELECT count(*) FROM nvram' >/dev/null").c_str()),
              0);
    ASSERT_EQ(write_text("imei", "35"), 0);
    EXPECT_EQ(Db(db_path()).one("SELECT value FROM nvram WHERE name = 'imei'"), "35");
}

TEST_F(NvramTest, StoreThatCannotBeOpenedFailsAndIsTriedAgainAtTheNextCall) {
    write_file(path("lib"), "a file where the folder should be");
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(write_text("imei", "35"), -1);
    EXPECT_EQ(orv_nvconfig_read("imei", buf, 4), -1);
    EXPECT_EQ(orv_nvconfig_save(), -1);
    EXPECT_EQ(std::string(buf, 4), "####");

    std::remove(path("lib").c_str());
    EXPECT_EQ(write_text("imei", "35"), 0);
    EXPECT_EQ(orv_nvconfig_read("imei", buf, 4), 2);
}

}  // namespace
}  // namespace orv::test
