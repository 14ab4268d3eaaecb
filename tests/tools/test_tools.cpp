// The built tools, run as separate processes in a temporary folder: their
// datagrams seen on a socket the test binds, their store writes read back by
// the next run, their factory files read byte by byte, and the
// listener fed by datagrams the test sends. Expected bytes are written out with
// the documented offsets, not taken from the shared header, so a drifting
// layout shows up here.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tools/client/orv_client.h"

namespace {

using namespace orv::client;
using namespace std::chrono_literals;

struct Result {
    int status = -1;
    std::string out, err;
};

// A 32-bit field as the device lays it out (little-endian).
const auto le32 = [](std::uint32_t v) { return make_datagram(v, ""); };

// `size` zero bytes with each (offset, bytes) written at its offset.
std::string layout(std::size_t size,
                   std::initializer_list<std::pair<std::size_t, std::string>> puts) {
    std::string out(size, '\0');
    for (const auto& [offset, bytes] : puts) {
        out.replace(offset, bytes.size(), bytes);
    }
    return out;
}

std::string read_file(const std::string& path) {
    std::ostringstream all;
    all << std::ifstream(path, std::ios::binary).rdbuf();
    return all.str();
}

// The next datagram on `fd`, waiting up to `ms`; "(none)" when none came.
std::string receive(int fd, int ms) {
    pollfd pfd{fd, POLLIN, 0};
    char buf[2048];
    const ssize_t n = poll(&pfd, 1, ms) == 1 ? recv(fd, buf, sizeof buf, MSG_DONTWAIT) : -1;
    return n < 0 ? "(none)" : std::string(buf, static_cast<std::size_t>(n));
}

class ToolBinaries : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orv_tools_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        factory_ = dir_ + "/factory";
        ASSERT_TRUE(std::filesystem::create_directory(dir_ + "/run"));
        setenv("ORV_RUN_DIR", (dir_ + "/run").c_str(), 1);
        setenv("ORV_NVRAM", (dir_ + "/store/nvram.db").c_str(), 1);
        setenv("ORV_FACTORY_DIR", factory_.c_str(), 1);
        setenv("ORV_LOG_DIR", (dir_ + "/log").c_str(), 1);
        ASSERT_TRUE(std::filesystem::create_directory(dir_ + "/log"));
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
    // Runs each tool command (split by the shell) and checks its exit status and a part of its
    // standard output (status 0) or of its error output.
    void expect(const std::vector<std::tuple<std::string, int, std::string>>& calls) {
        for (const auto& [command, status, text] : calls) {
            const Result r = run(command);
            EXPECT_EQ(r.status, status) << command << ": " << r.err;
            EXPECT_NE((status == 0 ? r.out : r.err).find(text), std::string::npos)
                << command << ": " << r.out << r.err;
        }
    }
    // Writes a value from another process, as the daemon does.
    void put(const std::string& name, const std::string& value) {
        ASSERT_EQ(run("orv_nvram set --hex " + name + " '" + to_hex(value) + "'").status, 0);
    }
    // The socket at `name` in the run folder, bound by the test.
    int bind_at(const std::string& name) {
        std::string error;
        return bind_datagram_socket(dir_ + "/run/" + name, error);
    }

    std::string dir_, factory_;
    std::atomic<int> runs_ = 0;
};

TEST_F(ToolBinaries, SendWritesTheRequestAtItsOffsetsOrRefusesWithAReason) {
    const int fd = bind_at("orv_mdm_path");
    ASSERT_GE(fd, 0);
    const std::string pin9(9, '9'), code(1018, 'c');
    const std::pair<std::string, std::string> sent[] = {
        {"verify_pin --pin " + pin9, le32(3) + layout(11, {{0, pin9}})},
        {"VERIFY_PIN --puk 12345678 --new-pin 4321",
         le32(3) + layout(15, {{0, "12345678"}, {10, "4321"}})},
        {"change_pin --old-pin 1111 --new-pin 2222",
         le32(4) + layout(30, {{10, "1111"}, {20, "2222"}})},
        {"5 --op on --pin 1234", le32(5) + layout(26, {{12, le32(1)}, {16, "1234"}})},
        {"pin_mode --op off --pin 0000", le32(5) + layout(26, {{16, "0000"}})},
        {"pin_mode --op query", le32(5) + layout(16, {{12, le32(2)}})},
        {"pin_mode --pin 1 --op -1", le32(5) + layout(26, {{12, le32(~0u)}, {16, "1"}})},
        {"net_unlock --code " + code, le32(13) + layout(1019, {{0, code}})},
        {"set_modem_mode --mode 1", le32(17) + le32(1)},
        {"ORV_MDM_GET_IMEI --raw-hex 'de ad:BE-ef'", le32(7) + "\xde\xad\xbe\xef"},
        {"0x21", le32(33)},
        {"verify_pin --raw-id 77 --pin 12", le32(77) + layout(11, {{0, "12"}})},
    };
    for (const auto& [args, datagram] : sent) {
        const Result got = run("orv_mdm_send " + args);
        EXPECT_EQ(got.status, 0) << args << ": " << got.err;
        EXPECT_EQ(receive(fd, 2000), datagram) << args;
    }
    const std::string send = "orv_mdm_send ";
    expect({{send + "verify_pin --pin 1234567890", 2, "10 characters"},
            {send + "verify_pin --pin 1 --puk 2", 2, "give one of them"},
            {send + "verify_pin --pin 1 --new-pin 2", 2, "goes with --puk"},
            {send + "verify_pin --puk 1", 2, "needs --new-pin"},
            {send + "verify_pin", 2, "needs --pin"},
            {send + "change_pin --old-pin 1111", 2, "needs --old-pin P and --new-pin"},
            {send + "pin_mode --pin 1234 --op query", 2, "does not go with"},
            {send + "pin_mode --op on", 2, "need --pin"},
            {send + "pin_mode --pin 1 --op sideways", 2, "not off, on, query"},
            {send + "pin_mode --pin 1", 2, "needs --op"},
            {send + "get_imei --pin 1", 2, "does not belong to ORV_MDM_GET_IMEI"},
            {send + "verify_pin --pin 1 --raw-hex 00", 2, "replaces the whole"},
            {send + "get_imei --raw-hex abc", 2, "not hex"},
            {send + "--raw-id x", 2, "not a 32-bit number"},
            {send + "get_imei --raw-id ''", 2, "not a 32-bit number"},
            {send + "4294967296", 2, "unknown request"},
            {send, 2, "missing REQUEST"},
            {send + "get_imei extra", 2, "unexpected argument"},
            {send + "get_imei --wait-store imei --timeout 1s", 2, "not a number of seconds"},
            {send + "get_imei --wait-store imsi", 2, "ORV_MDM_GET_IMEI publishes no imsi"}});
    EXPECT_EQ(receive(fd, 0), "(none)");  // no refused request was sent

    // --wait-store: the test plays the daemon, which serves the request (the value it writes
    // the same as before) and then logs the marker datagram that follows it.
    put("imei", std::string("35\x01", 3));
    auto waiting = start(send + "get_imei --wait-store imei --timeout 10");
    ASSERT_EQ(receive(fd, 5000), le32(7));
    const std::string marker = receive(fd, 5000);
    ASSERT_EQ(marker.size(), 4u);
    std::ofstream(dir_ + "/log/orv_mdm.log", std::ios::app)
        << "2026-12-08 01:00:00.000 ERR orv_quorl_mdm:1039 msg_id = "
        << static_cast<std::int32_t>(
               orv::msg::load_u32(reinterpret_cast<const unsigned char*>(marker.data())))
        << ", ORV_MDM_UNKNOWN_MSG\n";
    const Result r = waiting.get();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "35\\x01\n");
    expect({{send + "get_imei --wait-store imei --timeout 0.3", 1, "did not serve the request"},
            {send + "get_imei --wait-store imei --db " + dir_ + "/no/such.db", 1,
             "/no/such.db cannot be read: No such file"}});
    // A daemon that reads nothing: its queue fills up, and a send waits its timeout, no more.
    std::string error;
    while (send_datagram(dir_ + "/run/orv_mdm_path", le32(7), error, 0) == SendResult::kSent) {
    }
    expect({{send + "get_imei --timeout 0.2", 1, "busy or hung"}});
    close(fd);
    // The socket file of a dead daemon, then no socket file: nobody listens.
    expect({{"orv_mdm_send get_imei", 1, "not running"}});
    std::filesystem::remove(dir_ + "/run/orv_mdm_path");
    expect({{"orv_mdm_send get_imei", 1, "not running"}});
}

TEST_F(ToolBinaries, NvramWritesWhatTheNextRunReads) {
    const mode_t umask_before = umask(022);  // the usual one, under which SQLite makes 0644
    expect(
        {{"orv_nvram get iccid", 1, ""},  // no store yet
         {"orv_nvram set iccid 8949", 0, ""},
         {"orv_nvram set pin_status ''", 0, ""},
         {"orv_nvram set --hex raw 0001ff5c", 0, ""},
         {"orv_nvram get --hex raw", 0, "0001ff5c\n"},
         {"orv_nvram get never", 1, ""},
         {"orv_nvram list", 0, "iccid=8949\npin_status=\nraw=\\x00\\x01\\xff\\\\\n"},
         {"orv_nvram list --hex", 0, "iccid=38393439\npin_status=\nraw=0001ff5c\n"},
         {"orv_nvram unset iccid", 0, ""},
         {"orv_nvram unset iccid", 1, ""},
         {"orv_nvram get", 2, "get takes one NAME"},
         // The command line every tool reads: "--" ends the options, --name=VALUE is one word.
         {"orv_nvram set offset -- -5", 0, ""},
         {"orv_nvram get offset --hex", 0, "2d35\n"},
         {"orv_nvram --hex=1 list", 2, "--hex takes no value"},
         {"orv_nvram get --bogus x", 2, "unknown option --bogus\nTry 'orv_nvram --help'."},
         {"orv_nvram watch --count", 2, "--count needs a value"},
         {"orv_nvram watch --count=0", 2, "--count \"0\" is not a positive number"},
         {"orv_nvram set --hex x zz", 2, ""},
         {"orv_nvram --db /dev/null/nvram.db set a 1", 1, "store /dev/null/nvram.db: Not a dir"}});
    umask(umask_before);
    // The store the first set created is the daemon's: 0640 in a 0750 folder.
    EXPECT_EQ(std::filesystem::status(dir_ + "/store/nvram.db").permissions(),
              std::filesystem::perms(0640));
    EXPECT_EQ(std::filesystem::status(dir_ + "/store").permissions(), std::filesystem::perms(0750));
    put("a", "0");
    auto watch = start("orv_nvram watch --count 2 --timeout 10 a");
    // Keep changing "a" (and a value not watched) until the watcher has seen two
    // changes; the watcher's first snapshot may come after any of these writes,
    // so no write is assumed seen.
    for (int i = 1; i < 400 && watch.wait_for(25ms) != std::future_status::ready; ++i) {
        put("a", std::to_string(i));
        put("other", std::to_string(i));
    }
    const Result r = watch.get();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} a=\d+\n){2})")))
        << r.out;
    expect({{"orv_nvram watch --timeout 0.3", 1, ""}});
}

TEST_F(ToolBinaries, FactoryWritesItemsAtomically) {
    const std::string model32(32, 'M'), maker223(223, 'W');
    expect(
        {{"orv_factory version --inner V1.2 --model RX-9 --hardware HW3 --integrated INT7 "
          "--manufacturer " +
              maker223,
          0, ""}});
    const std::string expected =
        layout(352, {{0, "V1.2"}, {32, "RX-9"}, {64, "HW3"}, {96, maker223}, {320, "INT7"}});
    EXPECT_EQ(read_file(factory_ + "/2000"), expected);
    EXPECT_EQ(std::filesystem::status(factory_).permissions(), std::filesystem::perms(0750));

    // Over-long fields and other mistakes are refused and leave the item as it
    // was.
    expect({{"orv_factory version --model " + model32, 2, "--fill-field model"},
            {"orv_factory version --fill-field model --model M" + model32, 2, "33 characters"},
            {"orv_factory version --fill-field colour", 2, "not inner, model"},
            {"orv_factory language maybe", 2, "on or off"},
            {"orv_factory get 1234", 1, "missing"}});
    EXPECT_EQ(read_file(factory_ + "/2000"), expected);

    // A field that fills its width: no terminator, the next field untouched.
    expect({{"orv_factory version --fill-field model --hardware H --model " + model32, 0, ""},
            {"orv_factory language on", 0, ""}});
    EXPECT_EQ(read_file(factory_ + "/2000").substr(0, 66), layout(66, {{32, model32}, {64, "H"}}));
    EXPECT_EQ(read_file(factory_ + "/2301"), "\x01");
    expect({{"orv_factory language off", 0, ""},
            {"orv_factory show", 0, "2301 language: off"},
            {"orv_factory show", 0, "model=\"" + model32 + "\" (fills its field, no terminator)"}});
    EXPECT_EQ(read_file(factory_ + "/2301"), std::string(1, '\0'));
    // Only the two items remain: no temporary file was left behind.
    const std::filesystem::directory_iterator items(factory_);
    EXPECT_EQ(std::distance(begin(items), end(items)), 2);
}

TEST_F(ToolBinaries, ListenerPrintsEachNotificationOnOneLine) {
    close(bind_at("orv_mc_path"));  // a socket file left behind by a dead listener
                                    // is replaced
    const std::string full(32, 'S');
    const auto pad = [](const std::string& text) { return layout(32, {{0, text}}); };
    const std::pair<std::string, std::string> rows[] = {
        {le32(1) + le32(1) + pad("SIM failure"), R"(pin_status kind=1 state="SIM failure")"},
        {le32(2) + le32(1) + pad("a\"b\nc"), R"(verify_pinpuk result=1 state="a"b\nc")"},
        {le32(1) + le32(0) + full, "pin_status kind=0 state=\"" + full + "\""},
        {le32(3) + le32(-1), "rpc_status status=-1"},
        {le32(4) + le32(1), "imsi_unlock_status status=1"},
        {le32(5) + pad("26201") + pad("262011234567890") + pad("8949123456789012345"),
         R"(apn_sim_msg plmn="26201" imsi="262011234567890" iccid="8949123456789012345")"},
        {le32(3) + le32(7) + "xyzw", "rpc_status status=7 extra_bytes=4"},
        // Unknown calls and datagrams too short for their call.
        {le32(3) + "\x01\x02\x03", "unknown call=3 bytes=7"},
        {le32(6) + le32(0), "unknown call=6 bytes=8"},
        {std::string("\x01\x00", 2), "unknown call=? bytes=2"},
    };
    auto listen =
        start("orv_mc_listen --count " + std::to_string(std::size(rows)) + " --timeout 10");
    std::string error, expected;
    for (const auto& [datagram, line] : rows) {
        // Sent again until it goes: the first goes once the listener is up.
        for (int i = 0; i < 500 && send_datagram(dir_ + "/run/orv_mc_path", datagram, error) !=
                                       SendResult::kSent;
             ++i) {
            std::this_thread::sleep_for(10ms);
        }
        expected += line + "\n";
    }
    const Result r = listen.get();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/run/orv_mc_path"));

    // A live listener is not replaced.
    const int live = bind_at("orv_mc_path");
    ASSERT_GE(live, 0);
    expect({{"orv_mc_listen --timeout 1", 1, "already listens"}});
    close(live);
    std::filesystem::remove(dir_ + "/run/orv_mc_path");
    expect({{"orv_mc_listen --count 0", 2, "not a positive number"},
            {"orv_mc_listen --count 1 --timeout 0.2", 1, ""}});
}

// The conventions of every tool, the development tools with them when they are built: -h and
// --help print the usage (its exit statuses included) on standard output, --version the program's
// name and the project's version; each exits 0 and writes nothing on standard error.
TEST_F(ToolBinaries, EveryToolAnswersHelpAndVersion) {
    struct Row {
        std::string command;  // the tool, or the tool and its command word
        std::string usage;    // what its usage begins with
        bool version;         // whether it answers --version (a command word does not)
    };
    const std::vector<Row> rows = {
        {"orv_mdm_send", "Usage: orv_mdm_send ", true},
        {"orv_nvram", "Usage: orv_nvram ", true},
        {"orv_mc_listen", "Usage: orv_mc_listen ", true},
        {"orv_factory", "Usage: orv_factory ", true},
#ifdef ORV_DEV_TOOLS
        {"orv_trace", "Usage: orv_trace ", true},
        {"orv_trace show", "Usage: orv_trace show ", false},
        {"orv_trace redact", "Usage: orv_trace redact ", false},
        {"orv_trace replay", "Usage: orv_trace replay ", false},
        {"orv_modem_sim", "Usage: orv_modem_sim ", true},
        {"orv_modem_sim ctl", "Usage: orv_modem_sim ctl ", true},
#endif
    };
    for (const Row& row : rows) {
        for (const char* flag : {" -h", " --help"}) {
            const Result r = run(row.command + flag);
            EXPECT_EQ(r.status, 0) << row.command << flag << ": " << r.err;
            EXPECT_TRUE(r.out.starts_with(row.usage)) << row.command << flag << ": " << r.out;
            EXPECT_NE(r.out.find("Exit status: 0 "), std::string::npos) << row.command << flag;
            EXPECT_EQ(r.err, "") << row.command << flag;
        }
        if (row.version) {
            const Result r = run(row.command + " --version");
            const std::string program = row.command.substr(0, row.command.find(' '));
            EXPECT_EQ(r.status, 0) << row.command;
            EXPECT_EQ(r.out, program + " (orv_mdm) " ORV_PROJECT_VERSION "\n") << row.command;
        }
    }
}

// A file, folder or socket that cannot be had is named with the system's reason. The paths lead
// through a plain file, or to a stream socket where a datagram socket belongs, so they fail for
// root too.
TEST_F(ToolBinaries, FailuresNameThePathAndTheReason) {
    const std::string file = dir_ + "/plain";
    std::ofstream(file) << "x";
    const std::string below = file + "/sub";
    const std::string not_dir = ": Not a directory";
    const std::string stream_dir = dir_ + "/stream";
    ASSERT_TRUE(std::filesystem::create_directory(stream_dir));
    const int stream = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string stream_path = stream_dir + "/orv_mc_path";
    ASSERT_LT(stream_path.size(), sizeof addr.sun_path);
    stream_path.copy(addr.sun_path, stream_path.size());
    ASSERT_EQ(bind(stream, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    std::vector<std::tuple<std::string, int, std::string>> calls = {
        {"orv_nvram --db " + below + "/nvram.db set a b", 1,
         "cannot create the parameter store " + below + "/nvram.db" + not_dir},
        {"orv_nvram --db " + below + " list", 1, "no parameter store at " + below + not_dir},
        {"orv_factory --dir " + below + " language on", 1,
         "cannot create the folder " + below + not_dir},
        {"orv_factory --dir " + file + " show", 1, "cannot open " + file + "/2301" + not_dir},
        {"orv_mc_listen --run-dir " + below + " --timeout 1", 1,
         "cannot create the folder " + below + not_dir},
        {"orv_mdm_send --run-dir " + below + " get_imei", 1,
         "cannot send to " + below + "/orv_mdm_path" + not_dir},
        // Not the socket file of a dead listener: it is refused and stays.
        {"orv_mc_listen --run-dir " + stream_dir + " --timeout 1", 1,
         "cannot check the socket " + stream_path + ": Protocol wrong type for socket"},
#ifdef ORV_DEV_TOOLS
        {"orv_trace show " + below, 2, below + ": cannot be opened" + not_dir},
        {"orv_modem_sim --pty --profile " + below, 2, below + ": cannot open" + not_dir},
        {"orv_modem_sim --pty --journal " + below, 1, "cannot open journal " + below + not_dir},
        {"orv_modem_sim ctl " + below + " state", 2, "cannot reach " + below + not_dir},
        // A value that is not one is named as given, and nothing is opened.
        {"orv_modem_sim --listen tcp:127.0.0.1:80x", 2, "--listen wants tcp:HOST:PORT, got"},
        {"orv_modem_sim --pty --chunk 1k", 2, "--chunk wants a number, got 1k"},
#endif
    };
    expect(calls);
    EXPECT_TRUE(std::filesystem::is_socket(stream_path));
    close(stream);
}

}  // namespace
