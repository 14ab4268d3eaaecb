// The built tools, run as separate processes in a temporary folder: their datagrams seen on a
// socket the test binds, their store writes read back by a second SQLite connection, their
// factory files read byte by byte, and the listener fed by datagrams the test sends.
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/client/orv_client.h"

namespace {

using namespace orv::client;

struct Result {
    int status = -1;
    std::string out, err;
};

std::string le32(std::uint32_t v) {
    return make_datagram(v, "");
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int bind_at(const std::string& path) {
    std::string error;
    return bind_datagram_socket(path, error);
}

bool send_to(const std::string& path, const std::string& bytes) {
    std::string error;
    return send_datagram(path, bytes, error) == SendResult::kSent;
}

// The next datagram on `fd`, waiting up to `ms`; "(none)" when none came.
std::string receive(int fd, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    char buf[2048];
    const ssize_t n = poll(&pfd, 1, ms) == 1 ? recv(fd, buf, sizeof buf, MSG_DONTWAIT) : -1;
    return n < 0 ? "(none)" : std::string(buf, static_cast<std::size_t>(n));
}

// First column of the first row of `query` on a second connection to the store ("" when none).
std::string sql(const std::string& db, const std::string& query) {
    sqlite3* h = nullptr;
    sqlite3_open(db.c_str(), &h);
    sqlite3_busy_timeout(h, 5000);  // the tool under test reads meanwhile
    std::string out;
    auto first = [](void* o, int, char** v, char**) {
        *static_cast<std::string*>(o) = v[0] != nullptr ? v[0] : "NULL";
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(h, query.c_str(), first, &out, nullptr), SQLITE_OK) << query;
    sqlite3_close(h);
    return out;
}

// One run of a tool and what it should give.
struct Call {
    std::string command;  // tool and arguments, split by the shell
    int status;
    std::string text;  // status 0: the whole standard output; else part of the error output
};

class ToolBinaries : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orv_tools_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        mdm_ = dir_ + "/run/orv_mdm_path";
        mc_ = dir_ + "/run/orv_mc_path";
        db_ = dir_ + "/store/nvram.db";
        factory_ = dir_ + "/factory";
        ASSERT_EQ(mkdir((dir_ + "/run").c_str(), 0750), 0);
        setenv("ORV_RUN_DIR", (dir_ + "/run").c_str(), 1);
        setenv("ORV_NVRAM", db_.c_str(), 1);
        setenv("ORV_FACTORY_DIR", factory_.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs a tool to its end; its output goes through files.
    Result run(const std::string& command) {
        const std::string out = dir_ + "/out." + std::to_string(++runs_);
        const std::string cmd = ORV_TOOLS_BIN_DIR "/" + command + " >" + out + " 2>" + out + "e";
        const int status = std::system(cmd.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out), read_file(out + "e")};
    }
    std::future<Result> start(const std::string& command) {
        return std::async(std::launch::async, [=, this] { return run(command); });
    }
    void expect(const std::vector<Call>& calls) {
        for (const Call& c : calls) {
            const Result r = run(c.command);
            EXPECT_EQ(r.status, c.status) << c.command << ": " << r.err;
            if (c.status == 0) {
                EXPECT_EQ(r.out, c.text) << c.command;
            } else {
                EXPECT_NE(r.err.find(c.text), std::string::npos) << c.command << ": " << r.err;
                EXPECT_NE(r.err, "") << c.command;
            }
        }
    }
    // Writes a value from another process, as the daemon does.
    void put(const std::string& name, const std::string& value) {
        ASSERT_EQ(run("orv_nvram set --hex " + name + " '" + to_hex(value) + "'").status, 0);
    }

    std::string dir_, mdm_, mc_, db_, factory_;
    std::atomic<int> runs_ = 0;
};

TEST_F(ToolBinaries, SendWritesRequestsAndWaitsForTheStore) {
    const int fd = bind_at(mdm_);
    ASSERT_GE(fd, 0);
    const struct {
        const char* args;
        std::uint32_t wire_id;
        std::uint32_t id;  // the request whose payload options apply
        PayloadOptions opts;
    } rows[] = {
        {"VERIFY_PIN --puk 8765 --new-pin 0000", 3, 3, {.puk = "8765", .new_pin = "0000"}},
        {"change_pin --old-pin 1111 --new-pin 2", 4, 4, {.new_pin = "2", .old_pin = "1111"}},
        {"5 --op on --pin 4321", 5, 5, {.pin = "4321", .op = "on"}},
        {"net_unlock --code 12345678", 13, 13, {.code = "12345678"}},
        {"set_modem_mode --mode 1", 17, 17, {.mode = "1"}},
        {"--raw-id 0xdeadbeef", 0xdeadbeef, 0xdeadbeef, {}},
        {"verify_pin --raw-id 77 --pin 12", 77, 3, {.pin = "12"}},
        {"get_imei --raw-hex 0102ff", 7, 7, {.raw_hex = "0102ff"}},
    };
    for (const auto& r : rows) {
        std::string payload;
        std::string error;
        ASSERT_TRUE(build_payload(r.id, r.opts, payload, error)) << error;
        EXPECT_EQ(run(std::string("orv_mdm_send ") + r.args).status, 0) << r.args;
        EXPECT_EQ(receive(fd, 2000), make_datagram(r.wire_id, payload)) << r.args;
    }

    // Refused requests are not sent.
    expect({{"orv_mdm_send verify_pin --pin 1234567890", 2, "10 characters"},
            {"orv_mdm_send no_such_request", 2, "unknown request"},
            {"orv_mdm_send", 2, "missing REQUEST"},
            {"orv_mdm_send get_imei extra", 2, "unexpected argument"},
            {"orv_mdm_send get_imei --timeout 3", 2, "--timeout goes with --wait-store"},
            {"orv_mdm_send --raw-id x", 2, "not a 32-bit number"}});
    EXPECT_EQ(receive(fd, 0), "(none)");

    put("imei", "old");
    auto send = start("orv_mdm_send get_imei --wait-store imei --timeout 10");
    // The daemon's part: the request arrives, then the value is written.
    ASSERT_EQ(receive(fd, 5000), le32(7));
    put("imei", std::string("35\x01", 3));
    const Result r = send.get();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "35\\x01\n");
    expect({{"orv_mdm_send get_imei --wait-store imei --timeout 0.3", 1, "did not change"}});
    close(fd);
    // The socket file of a dead daemon, then no socket file: nobody listens.
    expect({{"orv_mdm_send get_imei", 1, "not running"}});
    std::filesystem::remove(mdm_);
    expect({{"orv_mdm_send get_imei", 1, "not running"}});
}

TEST_F(ToolBinaries, NvramWritesWhatASecondConnectionReads) {
    expect(
        {{"orv_nvram get iccid", 1, ""},  // no store yet
         {"orv_nvram set iccid 8949", 0, ""},
         {"orv_nvram set pin_status ''", 0, ""},
         {"orv_nvram set --hex raw 0001ff5c", 0, ""},
         {"orv_nvram set Language fr", 0, ""},
         {"orv_nvram get --hex raw", 0, "0001ff5c\n"},
         {"orv_nvram get never", 1, ""},
         {"orv_nvram list", 0, "Language=fr\niccid=8949\npin_status=\nraw=\\x00\\x01\\xff\\x5c\n"},
         {"orv_nvram unset Language", 0, ""},
         {"orv_nvram unset Language", 1, ""},
         {"orv_nvram list --hex", 0, "iccid=38393439\npin_status=\nraw=0001ff5c\n"},
         {"orv_nvram get", 2, ""},
         {"orv_nvram frobnicate", 2, ""},
         {"orv_nvram set --hex x zz", 2, ""}});
    EXPECT_EQ(sql(db_, "PRAGMA journal_mode"), "wal");
    const char* query =
        "SELECT group_concat(name || '=' || hex(value) || ' ' || typeof(value), ', ') "
        "FROM (SELECT * FROM nvram ORDER BY name)";
    // An empty value keeps its row; every value is a blob.
    EXPECT_EQ(sql(db_, query), "iccid=38393439 blob, pin_status= blob, raw=0001FF5C blob");
}

TEST_F(ToolBinaries, NvramWatchPrintsChangedValues) {
    put("a", "0");
    auto watch = start("orv_nvram watch --count 2 --timeout 10 a");
    // Keep changing "a" (and a value not watched) until the watcher has seen two changes; the
    // watcher's first snapshot may come after any of these writes, so no write is assumed seen.
    for (int i = 1;
         i < 400 && watch.wait_for(std::chrono::milliseconds(25)) != std::future_status::ready;
         ++i) {
        put("a", std::to_string(i));
        put("other", std::to_string(i));
    }
    const Result r = watch.get();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} a=\d+\n){2})")))
        << r.out;
    const Result quiet = run("orv_nvram watch --timeout 0.3");
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
}

TEST_F(ToolBinaries, FactoryWritesItemsAtomically) {
    const std::string model32(32, 'M');
    const std::string maker223(223, 'W');
    expect(
        {{"orv_factory version --inner V1.2 --model RX-9 --hardware HW3 --integrated INT7 "
          "--manufacturer " +
              maker223,
          0, ""}});
    std::string expected(352, '\0');
    expected.replace(0, 4, "V1.2").replace(32, 4, "RX-9").replace(64, 3, "HW3");
    expected.replace(96, 223, maker223).replace(320, 4, "INT7");
    EXPECT_EQ(read_file(factory_ + "/2000"), expected);
    struct stat st {};
    ASSERT_EQ(stat(factory_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);

    // Over-long fields and other mistakes are refused and leave the item as it was.
    expect({{"orv_factory version --model " + model32, 2, "--fill-field model"},
            {"orv_factory version --manufacturer W" + maker223, 2, "223 and its terminator"},
            {"orv_factory version --fill-field model --model M" + model32, 2, "33 characters"},
            {"orv_factory version --fill-field colour", 2, "not inner, model"},
            {"orv_factory language maybe", 2, "on or off"},
            {"orv_factory get 1234", 1, "missing"}});
    EXPECT_EQ(read_file(factory_ + "/2000"), expected);

    // A field that fills its width: no terminator, the next field untouched.
    expect({{"orv_factory version --fill-field model --hardware H --model " + model32, 0, ""},
            {"orv_factory language on", 0, ""}});
    EXPECT_EQ(read_file(factory_ + "/2000").substr(0, 66),
              std::string(32, '\0') + model32 + std::string("H\0", 2));
    EXPECT_EQ(read_file(factory_ + "/2301"), "\x01");
    expect({{"orv_factory language off", 0, ""}});
    EXPECT_EQ(read_file(factory_ + "/2301"), std::string(1, '\0'));
    const std::string show = run("orv_factory show").out;
    EXPECT_NE(show.find("2301 language: off"), std::string::npos) << show;
    EXPECT_NE(show.find("model=\"" + model32 + "\" (fills its field, no terminator)"),
              std::string::npos)
        << show;

    // Only the two items remain: no temporary file was left behind.
    const std::filesystem::directory_iterator items(factory_);
    EXPECT_EQ(std::distance(begin(items), end(items)), 2);
}

TEST_F(ToolBinaries, ListenerPrintsNotifications) {
    close(bind_at(mc_));  // a socket file left behind by a dead listener is replaced
    auto listen = start("orv_mc_listen --count 3 --timeout 10");
    bool bound = false;  // the listener is up once a send to its socket succeeds
    const std::string pin = le32(1) + le32(0) + "SIM PUK" + std::string(25, '\0');
    for (int i = 0; i < 500 && !bound; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bound = send_to(mc_, pin);
    }
    ASSERT_TRUE(bound);
    ASSERT_TRUE(send_to(mc_, le32(2) + "\x01"));
    ASSERT_TRUE(send_to(mc_, std::string(3000, '\x09')));
    const Result r = listen.get();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "pin_status kind=0 state=\"SIM PUK\"\nunknown call=2 bytes=5\n"
              "unknown call=151587081 bytes=3000\n");
    EXPECT_FALSE(std::filesystem::exists(mc_));

    // A live listener is not replaced.
    const int live = bind_at(mc_);
    ASSERT_GE(live, 0);
    expect({{"orv_mc_listen --timeout 1", 1, "already listens"}});
    close(live);
    std::filesystem::remove(mc_);
    expect({{"orv_mc_listen --count 0", 2, ""}});
    EXPECT_EQ(run("orv_mc_listen --count 1 --timeout 0.2").status, 1);
}

}  // namespace
