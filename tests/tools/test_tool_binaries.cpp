// The built tools, run as separate processes in a temporary folder: their datagrams seen on a
// socket the test binds, their store writes read back by a second SQLite connection, their
// factory files read byte by byte, and the listener fed by datagrams the test sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string le32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) {
        s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    }
    return s;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

sockaddr_un address(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

int bind_socket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    const sockaddr_un addr = address(path);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_to(const std::string& path, const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    const sockaddr_un addr = address(path);
    const ssize_t n = sendto(fd, bytes.data(), bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    close(fd);
    return n == static_cast<ssize_t>(bytes.size());
}

// The next datagram on `fd`, waiting up to `ms`; nullopt when none came.
std::optional<std::string> receive(int fd, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, ms) != 1) {
        return std::nullopt;
    }
    char buf[2048];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0) {
        return std::nullopt;
    }
    return std::string(buf, static_cast<std::size_t>(n));
}

// A second connection to the store, independent of the tools' client code.
class Db {
  public:
    explicit Db(const std::string& path) {
        sqlite3_open(path.c_str(), &db_);
        sqlite3_busy_timeout(db_, 5000);  // the tool under test reads meanwhile
    }
    ~Db() { sqlite3_close(db_); }
    std::optional<std::string> get(const std::string& name) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db_, "SELECT value, typeof(value) FROM nvram WHERE name=?", -1, &st,
                           nullptr);
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        std::optional<std::string> out;
        if (sqlite3_step(st) == SQLITE_ROW) {
            const char* p = static_cast<const char*>(sqlite3_column_blob(st, 0));
            out = std::string(p != nullptr ? p : "",
                              static_cast<std::size_t>(sqlite3_column_bytes(st, 0)));
            type_ = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        }
        sqlite3_finalize(st);
        return out;
    }
    void set(const std::string& name, const std::string& value) {
        sqlite3_exec(db_,
                     "CREATE TABLE IF NOT EXISTS nvram(name TEXT PRIMARY KEY NOT NULL, "
                     "value BLOB NOT NULL)",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO nvram(name, value) VALUES(?, ?)", -1, &st,
                           nullptr);
        sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(st, 2, value.empty() ? "" : value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
    }
    std::string pragma(const char* sql) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db_, sql, -1, &st, nullptr);
        std::string out;
        if (sqlite3_step(st) == SQLITE_ROW) {
            out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        }
        sqlite3_finalize(st);
        return out;
    }
    const std::string& last_type() const { return type_; }

  private:
    sqlite3* db_ = nullptr;
    std::string type_;
};

class ToolBinaries : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orv_tools_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        run_dir_ = dir_ + "/run";
        ASSERT_EQ(mkdir(run_dir_.c_str(), 0750), 0);
        db_ = dir_ + "/store/nvram.db";
        factory_ = dir_ + "/factory";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string mdm_path() const { return run_dir_ + "/orv_mdm_path"; }
    std::string mc_path() const { return run_dir_ + "/orv_mc_path"; }

    // Starts a tool with the test's folders in its environment; output goes to files.
    pid_t spawn(const std::string& tool, const std::vector<std::string>& args) {
        const int n = ++runs_;
        const std::string out = dir_ + "/out." + std::to_string(n);
        const std::string err = dir_ + "/err." + std::to_string(n);
        outputs_.push_back({out, err});
        const pid_t pid = fork();
        if (pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(o, 1);
            dup2(e, 2);
            setenv("ORV_RUN_DIR", run_dir_.c_str(), 1);
            setenv("ORV_NVRAM", db_.c_str(), 1);
            setenv("ORV_FACTORY_DIR", factory_.c_str(), 1);
            const std::string bin = std::string(ORV_TOOLS_BIN_DIR) + "/" + tool;
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(bin.c_str()));
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(bin.c_str(), argv.data());
            _exit(127);
        }
        pids_.push_back({pid, n - 1});
        return pid;
    }

    Result wait_for(pid_t pid) {
        Result r;
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        for (const auto& [p, index] : pids_) {
            if (p == pid) {
                r.out = read_file(outputs_[static_cast<std::size_t>(index)].first);
                r.err = read_file(outputs_[static_cast<std::size_t>(index)].second);
            }
        }
        return r;
    }

    Result run(const std::string& tool, const std::vector<std::string>& args) {
        return wait_for(spawn(tool, args));
    }

    std::string dir_;
    std::string run_dir_;
    std::string db_;
    std::string factory_;
    int runs_ = 0;
    std::vector<std::pair<std::string, std::string>> outputs_;
    std::vector<std::pair<pid_t, int>> pids_;
};

struct SendCase {
    std::vector<std::string> args;
    std::string datagram;
};

TEST_F(ToolBinaries, SendWritesTheRequestDatagram) {
    const int fd = bind_socket(mdm_path());
    ASSERT_GE(fd, 0);
    const SendCase cases[] = {
        {{"get_imei"}, le32(7)},
        {{"ORV_MDM_GET_ICCID"}, le32(27)},
        {{"40"}, le32(40)},
        {{"verify_pin", "--pin", "1234"}, le32(3) + std::string("1234\0\0\0\0\0\0\0", 11)},
        {{"VERIFY_PIN", "--puk", "87654321", "--new-pin", "0000"},
         le32(3) + std::string("87654321\0\0"
                               "0000\0",
                               15)},
        {{"change_pin", "--old-pin", "1111", "--new-pin", "2222"},
         le32(4) + std::string(10, '\0') +
             std::string("1111\0\0\0\0\0\0"
                         "2222\0\0\0\0\0\0",
                         20)},
        {{"5", "--op", "on", "--pin", "4321"},
         le32(5) + std::string(12, '\0') + le32(1) + std::string("4321\0\0\0\0\0\0", 10)},
        {{"pin_mode", "--op", "query"}, le32(5) + std::string(12, '\0') + le32(2)},
        {{"net_unlock", "--code", "12345678"}, le32(13) + std::string("12345678\0", 9)},
        {{"set_modem_mode", "--mode", "1"}, le32(17) + le32(1)},
        {{"--raw-id", "0xdeadbeef"}, le32(0xdeadbeef)},
        {{"verify_pin", "--raw-id", "77", "--pin", "12"},
         le32(77) + std::string("12\0\0\0\0\0\0\0\0\0", 11)},
        {{"get_imei", "--raw-hex", "0102ff"}, le32(7) + "\x01\x02\xff"},
    };
    for (const SendCase& c : cases) {
        const Result r = run("orv_mdm_send", c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << r.err;
        const std::optional<std::string> got = receive(fd, 2000);
        ASSERT_TRUE(got.has_value()) << c.args[0];
        EXPECT_EQ(*got, c.datagram) << c.args[0];
    }
    close(fd);
}

struct StatusCase {
    std::vector<std::string> args;
    int status;
    const char* err;  // part of the message on stderr
};

TEST_F(ToolBinaries, SendRefusesWithoutSending) {
    const int fd = bind_socket(mdm_path());
    ASSERT_GE(fd, 0);
    const StatusCase cases[] = {
        {{"verify_pin", "--pin", "1234567890"}, 2, "10 characters"},
        {{"get_imei", "--code", "1"}, 2, "does not belong"},
        {{"no_such_request"}, 2, "unknown request"},
        {{}, 2, "missing REQUEST"},
        {{"get_imei", "extra"}, 2, "unexpected argument"},
        {{"get_imei", "--bogus"}, 2, "Try"},
        {{"get_imei", "--timeout", "3"}, 2, "--timeout goes with --wait-store"},
        {{"--raw-id", "x"}, 2, "not a 32-bit number"},
    };
    for (const StatusCase& c : cases) {
        const Result r = run("orv_mdm_send", c.args);
        EXPECT_EQ(r.status, c.status) << (c.args.empty() ? "" : c.args[0]);
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_FALSE(receive(fd, 0).has_value());
    close(fd);

    // The socket file of a dead daemon: nobody listens.
    const Result stale = run("orv_mdm_send", {"get_imei"});
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.err.find("not running"), std::string::npos) << stale.err;
    std::filesystem::remove(mdm_path());
    const Result none = run("orv_mdm_send", {"get_imei"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("not running"), std::string::npos) << none.err;

    const Result list = run("orv_mdm_send", {"--list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("32 ORV_MDM_MAX_MSG"), std::string::npos);
    EXPECT_NE(list.out.find("ORV_MDM_VERIFY_PIN                       --pin P | --puk K"),
              std::string::npos)
        << list.out;
    EXPECT_EQ(run("orv_mdm_send", {"--help"}).status, 0);
}

TEST_F(ToolBinaries, SendWaitsForAStoreValueToChange) {
    const int fd = bind_socket(mdm_path());
    ASSERT_GE(fd, 0);
    std::filesystem::create_directories(dir_ + "/store");
    Db store(db_);
    store.set("imei", "old");

    const pid_t pid =
        spawn("orv_mdm_send", {"get_imei", "--wait-store", "imei", "--timeout", "10"});
    // The daemon's part: the request arrives, then the value is written.
    ASSERT_EQ(receive(fd, 5000), le32(7));
    store.set("imei", std::string("35\x01", 3));
    const Result r = wait_for(pid);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "35\\x01\n");

    const Result timeout =
        run("orv_mdm_send", {"get_imei", "--wait-store", "imei", "--timeout", "0.3"});
    EXPECT_EQ(timeout.status, 1);
    EXPECT_NE(timeout.err.find("did not change"), std::string::npos) << timeout.err;
    close(fd);
}

TEST_F(ToolBinaries, NvramWritesWhatASecondConnectionReads) {
    const std::string binary("\x00\x01\xff\\", 4);
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string out;
    };
    const Step steps[] = {
        {{"get", "iccid"}, 1, ""},  // no store yet
        {{"set", "iccid", "89490200001234567890"}, 0, ""},
        {{"set", "pin_status", ""}, 0, ""},
        {{"set", "--hex", "raw", "0001ff5c"}, 0, ""},
        {{"set", "Language", "de"}, 0, ""},
        {{"set", "Language", "fr"}, 0, ""},
        {{"get", "iccid"}, 0, "89490200001234567890\n"},
        {{"get", "pin_status"}, 0, "\n"},
        {{"get", "--hex", "raw"}, 0, "0001ff5c\n"},
        {{"get", "never"}, 1, ""},
        {{"list"},
         0,
         "Language=fr\niccid=89490200001234567890\npin_status=\nraw=\\x00\\x01\\xff\\x5c\n"},
        {{"unset", "Language"}, 0, ""},
        {{"unset", "Language"}, 1, ""},
        {{"list", "--hex"},
         0,
         "iccid=3839343930323030303031323334353637383930\npin_status=\nraw=0001ff5c\n"},
        {{"get"}, 2, ""},
        {{"set", "x"}, 2, ""},
        {{"frobnicate"}, 2, ""},
        {{"get", "x", "--count", "1"}, 2, ""},
        {{"set", "--hex", "x", "zz"}, 2, ""},
    };
    for (const Step& s : steps) {
        const Result r = run("orv_nvram", s.args);
        EXPECT_EQ(r.status, s.status)
            << s.args[0] << " " << (s.args.size() > 1 ? s.args[1] : "") << ": " << r.err;
        if (s.status == 0) {
            EXPECT_EQ(r.out, s.out) << s.args[0];
        } else {
            EXPECT_FALSE(r.err.empty()) << s.args[0];
        }
    }
    Db db(db_);
    EXPECT_EQ(db.pragma("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(db.get("iccid"), "89490200001234567890");
    EXPECT_EQ(db.last_type(), "blob");
    EXPECT_EQ(db.get("raw"), binary);
    EXPECT_EQ(db.get("pin_status"), "");  // an empty value keeps its row
    EXPECT_EQ(db.last_type(), "blob");
    EXPECT_EQ(db.get("Language"), std::nullopt);
}

TEST_F(ToolBinaries, NvramWatchPrintsChangedValues) {
    std::filesystem::create_directories(dir_ + "/store");
    Db db(db_);
    db.set("a", "0");
    db.set("other", "0");

    const pid_t pid = spawn("orv_nvram", {"watch", "--count", "2", "--timeout", "10", "a"});
    // Keep changing "a" (and a value not watched) until the watcher has seen two changes; the
    // watcher's first snapshot may come after any of these writes, so no write is assumed seen.
    int status = 0;
    pid_t done = 0;
    for (int i = 1; i < 400 && done == 0; ++i) {
        db.set("a", std::to_string(i));
        db.set("other", std::to_string(i));
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        done = waitpid(pid, &status, WNOHANG);
    }
    ASSERT_EQ(done, pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string out = read_file(outputs_.back().first);
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} a=\d+)");
    std::istringstream lines(out);
    std::string l;
    int count = 0;
    while (std::getline(lines, l)) {
        EXPECT_TRUE(std::regex_match(l, line)) << l;
        ++count;
    }
    EXPECT_EQ(count, 2) << out;

    const Result quiet = run("orv_nvram", {"watch", "--timeout", "0.3"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
}

TEST_F(ToolBinaries, FactoryWritesItemsAtomically) {
    const std::string model32(32, 'M');
    const std::string maker223(223, 'W');
    ASSERT_EQ(run("orv_factory", {"version", "--inner", "V1.2", "--model", "RX-9", "--hardware",
                                  "HW3", "--manufacturer", maker223, "--integrated", "INT7"})
                  .status,
              0);
    std::string rec = read_file(factory_ + "/2000");
    ASSERT_EQ(rec.size(), 352u);
    std::string expected(352, '\0');
    expected.replace(0, 4, "V1.2");
    expected.replace(32, 4, "RX-9");
    expected.replace(64, 3, "HW3");
    expected.replace(96, 223, maker223);
    expected.replace(320, 4, "INT7");
    EXPECT_EQ(rec, expected);
    struct stat st {};
    ASSERT_EQ(stat(factory_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);

    // Over-long fields are refused and leave the item as it was.
    const StatusCase refused[] = {
        {{"version", "--model", model32}, 2, "--fill-field model"},
        {{"version", "--manufacturer", maker223 + "W"}, 2, "223 and its terminator"},
        {{"version", "--fill-field", "model", "--model", model32 + "M"}, 2, "33 characters"},
        {{"version", "--fill-field", "colour"}, 2, "not inner, model"},
        {{"version", "--fill-field", "model"}, 2, "needs --model"},
        {{"language", "maybe"}, 2, "on or off"},
        {{"show", "--model", "x"}, 2, "go with version"},
        {{"get", "1234"}, 1, "missing"},
    };
    for (const StatusCase& c : refused) {
        const Result r = run("orv_factory", c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_file(factory_ + "/2000"), expected);

    // A field that fills its width: no terminator, the next field untouched.
    ASSERT_EQ(run("orv_factory",
                  {"version", "--fill-field", "model", "--model", model32, "--hardware", "H"})
                  .status,
              0);
    rec = read_file(factory_ + "/2000");
    EXPECT_EQ(rec.substr(32, 32), model32);
    EXPECT_EQ(rec.substr(64, 2), std::string("H\0", 2));
    EXPECT_EQ(rec.substr(0, 32), std::string(32, '\0'));

    for (const auto& [arg, byte] : {std::pair{"on", '\x01'}, std::pair{"off", '\x00'}}) {
        ASSERT_EQ(run("orv_factory", {"language", arg}).status, 0);
        EXPECT_EQ(read_file(factory_ + "/2301"), std::string(1, byte)) << arg;
    }
    const Result show = run("orv_factory", {"show"});
    EXPECT_EQ(show.status, 0);
    EXPECT_NE(show.out.find("2301 language: off"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("model=\"" + model32 + "\" (fills its field, no terminator)"),
              std::string::npos)
        << show.out;
    EXPECT_NE(show.out.find("hardware=\"H\""), std::string::npos);
    const Result get = run("orv_factory", {"get", "2301"});
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out.rfind("00000000  00", 0), 0u) << get.out;

    // Only the two items remain: no temporary file was left behind.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(factory_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"2000", "2301"}));
}

// Waits until something is bound at `path` (a connect succeeds).
bool wait_bound(const std::string& path) {
    for (int i = 0; i < 500; ++i) {
        const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        const sockaddr_un addr = address(path);
        const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        close(fd);
        if (ok) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(ToolBinaries, ListenerPrintsNotifications) {
    // A socket file left behind by a dead listener is replaced.
    const int stale = bind_socket(mc_path());
    ASSERT_GE(stale, 0);
    close(stale);

    const pid_t pid = spawn("orv_mc_listen", {"--count", "4", "--timeout", "10"});
    ASSERT_TRUE(wait_bound(mc_path()));
    std::string state(32, '\0');
    state.replace(0, 7, "SIM PUK");
    ASSERT_TRUE(send_to(mc_path(), le32(1) + le32(0) + state));
    ASSERT_TRUE(send_to(mc_path(), le32(4) + le32(1)));
    ASSERT_TRUE(send_to(mc_path(), le32(2) + "\x01"));
    ASSERT_TRUE(send_to(mc_path(), std::string(3000, '\x09')));
    const Result r = wait_for(pid);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "pin_status kind=0 state=\"SIM PUK\"\n"
              "imsi_unlock_status status=1\n"
              "unknown call=2 bytes=5\n"
              "unknown call=151587081 bytes=3000\n");
    EXPECT_FALSE(std::filesystem::exists(mc_path()));

    // A live listener is not replaced.
    const int live = bind_socket(mc_path());
    ASSERT_GE(live, 0);
    const Result refused = run("orv_mc_listen", {"--timeout", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("already listens"), std::string::npos) << refused.err;
    close(live);
    std::filesystem::remove(mc_path());

    const Result timeout = run("orv_mc_listen", {"--count", "1", "--timeout", "0.2"});
    EXPECT_EQ(timeout.status, 1);
    EXPECT_EQ(run("orv_mc_listen", {"--count", "0"}).status, 2);
}

}  // namespace
