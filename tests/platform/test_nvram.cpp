// The parameter store, checked through a second SQLite connection as another process would.

#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/orv_nvram.h"
#include "tests/platform/platform_fixture.h"

// The files this process synced, by inode: the store's library and SQLite sync through these,
// so a test can tell which files were made durable.
static std::vector<ino_t> g_synced;

static int note_sync(int fd, long call) {
    struct stat st {};
    if (fstat(fd, &st) == 0) {
        g_synced.push_back(st.st_ino);
    }
    return static_cast<int>(syscall(call, fd));
}

extern "C" int fsync(int fd) {
    return note_sync(fd, SYS_fsync);
}

extern "C" int fdatasync(int fd) {
    return note_sync(fd, SYS_fdatasync);
}

namespace orv::test {
namespace {

// A second connection to a database file.
class Db {
  public:
    explicit Db(const std::string& path, int flags = SQLITE_OPEN_READWRITE) {
        sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
        sqlite3_busy_timeout(db_, 2000);
    }
    ~Db() { sqlite3_close(db_); }
    // The first column of the first row as text ("" when there is none), or the error.
    std::string one(const std::string& sql) {
        std::string out;
        auto first = [](void* o, int, char** v, char**) {
            return *static_cast<std::string*>(o) = v[0] != nullptr ? v[0] : "", 1;
        };
        const int rc = sqlite3_exec(db_, sql.c_str(), first, &out, nullptr);
        return rc == SQLITE_OK || rc == SQLITE_ABORT ? out : sqlite3_errmsg(db_);
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

TEST_F(NvramTest, ValuesAreStoredAsExactlyTheBytesWrittenAndReadBackCutToTheSize) {
    for (const auto& [name, value] : {std::pair<const char*, std::string>{"imei", "490154203"},
                                      {"imei", "35"},  // a shorter value replaces a longer one
                                      {"with_zero", std::string("a\0b\xff", 4)},
                                      {"empty", ""}}) {  // cleared: the row stays, empty
        EXPECT_EQ(write_text(name, value), 0) << name;
    }
    Db other(db_path());
    EXPECT_EQ(other.one("SELECT group_concat(name || '=' || hex(value) || ' ' || typeof(value), "
                        "', ') FROM (SELECT * FROM nvram ORDER BY name)"),
              "empty= blob, imei=3335 blob, with_zero=610062FF blob");
    EXPECT_EQ(other.one("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(file_mode(db_path()), 0640u);
    EXPECT_EQ(file_mode(path("lib")), 0750u);

    other.one("INSERT INTO nvram(name, value) VALUES('Language', 'de')");  // as text
    const std::string untouched(24, '#');
    const std::tuple<const char*, int, int, std::string> rows[] = {
        // name, size, result, the first 24 bytes of the buffer afterwards
        {"imei", 24, 2, "35" + std::string(22, '#')},
        {"with_zero", 3, 3, std::string("a\0b", 3) + std::string(21, '#')},
        {"imei", 0, 0, untouched},
        {"empty", 24, 0, untouched},
        {"Language", 24, 2, "de" + std::string(22, '#')},
        {"never_written", 24, -1, untouched}};
    for (const auto& [name, size, result, buffer] : rows) {
        char buf[32];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(orv_nvconfig_read(name, buf, size), result) << name << " size " << size;
        EXPECT_EQ(std::string(buf, 32), buffer + std::string(8, '#')) << name << " size " << size;
    }
}

TEST_F(NvramTest, WorksOnAStoreAnotherProgramCreatedWithItsOwnTablesAndTriggers) {
    ASSERT_EQ(mkdir(path("lib").c_str(), 0750), 0);
    Db(db_path(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
        .one(
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

// While another process reads an older snapshot, the newest frames stay in the WAL: save neither
// waits for that reader nor leaves them in the page cache, it syncs the WAL where they are. Once
// nobody holds a snapshot, save puts every write into the database file itself.
TEST_F(NvramTest, SaveIsDurableAtOnceEvenWhileAReaderHoldsAnOlderSnapshot) {
    ASSERT_EQ(write_text("iccid", "8944"), 0);
    ASSERT_EQ(write_text("Language", "fr"), 0);
    Db reader(db_path());
    reader.one("BEGIN; SELECT value FROM nvram");
    ASSERT_EQ(write_text("iccid", "8949"), 0);
    g_synced.clear();
    ASSERT_EQ(orv_nvconfig_save(), 0);
    struct stat wal {};
    ASSERT_EQ(stat((db_path() + "-wal").c_str(), &wal), 0);
    EXPECT_GT(wal.st_size, 0);  // the newest value is still only there
    EXPECT_NE(std::find(g_synced.begin(), g_synced.end(), wal.st_ino), g_synced.end());
    reader.one("COMMIT");
    // The store's connection still holds its locks: another process that comes and goes (and
    // would remove the WAL if it thought itself the last one) leaves it in place.
    ASSERT_EQ(std::system(
                  ("sqlite3 '" + db_path() + "' 'SELECT count(*) FROM nvram' >/dev/null").c_str()),
              0);
    ASSERT_EQ(write_text("imei", "35"), 0);
    EXPECT_EQ(Db(db_path()).one("SELECT value FROM nvram WHERE name = 'imei'"), "35");

    ASSERT_EQ(orv_nvconfig_save(), 0);
    // Last: a second descriptor on the database file drops the store connection's locks.
    write_file(path("copy.db"), read_file(db_path()));  // without its WAL
    EXPECT_EQ(Db(path("copy.db"), SQLITE_OPEN_READONLY)
                  .one("SELECT group_concat(name || '=' || value, ',') FROM "
                       "(SELECT * FROM nvram ORDER BY name)"),
              "Language=fr,iccid=8949,imei=35");
}

// Another process holding a connection to the store (a controller would): it opens it and reads
// once, so that it holds the WAL and shared-memory files, and at the end reads one value through
// the same connection.
class Holder {
  public:
    explicit Holder(const std::string& db_path) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(down[1]);
            close(up[0]);
            Db db(db_path);
            std::string answer = db.one("SELECT count(*) FROM nvram") + "\n";
            char name[64] = {};
            if (write(up[1], answer.data(), answer.size()) > 0 &&
                read(down[0], name, sizeof name - 1) > 0) {
                answer =
                    db.one("SELECT value FROM nvram WHERE name = '" + std::string(name) + "'") +
                    "\n";
                (void)!write(up[1], answer.data(), answer.size());
            }
            _exit(0);
        }
        close(down[0]);
        close(up[1]);
        to_ = down[1];
        from_ = up[0];
        opened_ = answer();  // it holds the store from here on
    }
    ~Holder() {
        close(to_);
        close(from_);
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& opened() const { return opened_; }
    // `name`'s value as the held connection reads it now.
    std::string value(const std::string& name) {
        return write(to_, name.data(), name.size()) > 0 ? answer() : "(holder gone)";
    }

  private:
    std::string answer() {
        char buf[256];
        const ssize_t n = read(from_, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "(holder gone)";
    }
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    std::string opened_;
};

// While the store's calls run, the effective user is an ordinary one when the test runs as root,
// so that file modes bind as they do for the daemon's user.
class AsStoreUser {
  public:
    AsStoreUser() {
        if (geteuid() == 0) {
            EXPECT_EQ(setegid(kUser), 0);
            EXPECT_EQ(seteuid(kUser), 0);
            dropped_ = true;
        }
    }
    ~AsStoreUser() {
        if (dropped_) {
            (void)!seteuid(0);
            (void)!setegid(0);
        }
    }
    static constexpr unsigned kUser = 65534;

  private:
    bool dropped_ = false;
};

// Once the cause of a store failure is gone, the next write is stored, also while another
// process held the store open through the fault and the repair. Read-only: SQLite makes the WAL
// and shared-memory files with the read-only mode, and the holder keeps them in place after the
// repair. Disk full: the write-ahead log cannot grow past 64 KiB.
TEST_F(NvramTest, TheNextWriteAfterARepairIsStoredWhileAnotherProcessHoldsTheStore) {
    ASSERT_EQ(chown(dir_.c_str(), AsStoreUser::kUser, AsStoreUser::kUser), 0);
    signal(SIGXFSZ, SIG_IGN);  // past the size limit a write fails with EFBIG
    const auto file_size = [](rlim_t bytes) {
        return [bytes](const std::string&) {
            const rlimit limit{bytes, RLIM_INFINITY};
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        };
    };
    const auto mode = [](mode_t m) {
        return [m](const std::string& db) { ASSERT_EQ(chmod(db.c_str(), m), 0); };
    };
    using Step = std::function<void(const std::string&)>;
    const struct {
        const char* name;
        Step fault, repair;
    } rows[] = {
        {"read-only", mode(0440), mode(0640)},
        {"disk full", file_size(65536), file_size(RLIM_INFINITY)},
    };
    struct Unlimited {  // also when a row fails half-way
        ~Unlimited() {
            const rlimit none{RLIM_INFINITY, RLIM_INFINITY};
            setrlimit(RLIMIT_FSIZE, &none);
        }
    } unlimited;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(path("lib"));
        {
            AsStoreUser user;
            ASSERT_EQ(write_text("before", "1"), 0);
            nvram::reset();  // the daemon stops, and starts again with the fault there
        }
        row.fault(db_path());
        {
            AsStoreUser user;
            EXPECT_EQ(write_text("during", std::string(1 << 17, 'x')), -1);
            char buf[4];
            EXPECT_EQ(orv_nvconfig_read("before", buf, sizeof buf), 1);  // reads still work
        }
        Holder holder(db_path());
        ASSERT_EQ(holder.opened(), "1\n");
        row.repair(db_path());
        {
            AsStoreUser user;
            EXPECT_EQ(write_text("after", "ok"), 0);
        }
        EXPECT_EQ(holder.value("after"), "ok\n");
        nvram::reset();
    }
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
