// Faults end to end: a modem that misbehaves on the line, goes away and comes back; a daemon
// killed in the middle of its writes; a store, log folder or controller socket that fails; and
// a flood of datagrams. Through all of them the daemon must end every request within its wait,
// keep serving without a restart, and lose nothing the store had acknowledged. The sanitizer
// run of the same tests shows that no buffer is overrun on the way.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "tools/rig/rig.h"

namespace orv::e2e {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kGetPinStatus = 2;
constexpr std::uint32_t kGetImei = 7;
constexpr std::uint32_t kGetIccid = 27;
constexpr std::uint32_t kGetImsi = 28;
constexpr std::uint32_t kTestRpc = 0;

// The default SIM's ICCID as the ICCID request publishes it ("sim_iccid").
constexpr const char* kIccid = "8944123456789012345F";
constexpr const char* kRequestDone = "MODEM: num=33";
// A short wait for every exchange: 10 s becomes 200 ms.
constexpr const char* kQuickWaits = "ORV_AT_WAIT_SCALE=0.02";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::size_t requests_done(Rig& rig) {
    return count(rig.log_messages(), kRequestDone);
}

// The ICCID request as a probe of a working daemon: it publishes the SIM's ICCID again.
bool probe(Rig& rig, std::chrono::milliseconds timeout = 5s) {
    rig.unset("sim_iccid");
    rig.send(kGetIccid);
    return rig.wait_store("sim_iccid", kIccid, timeout);
}

// Text for the modem's `answer` action: bytes written as \xHH where they are not plain.
std::string escaped(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\' && c != '"' && c != '\'') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xf];
        }
    }
    return out;
}

std::string random_bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) {
        c = static_cast<char>(rng());
    }
    return s;
}

// ---------------------------------------------------------------------------------------------
// The line misbehaves for one request: every request still ends within its wait, and the next
// one is served as if nothing had happened.

TEST(Faults, EveryRequestEndsWithinItsWaitWhateverTheLineCarries) {
    const auto answer = [](const std::string& bytes) { return Lines{"answer", escaped(bytes)}; };
    std::string many_lines = "\r\n";  // three times the answer buffer
    for (int i = 0; i < 350; ++i) {
        many_lines += "+CRSM: 144, 0,\"" + std::string(70, 'F') + "\"\r\n";
    }
    many_lines += "\r\nOK\r\n";
    constexpr const char* kTimeout = "(char*)mdm_res.aucDataBuf is TIMEOUT";
    struct Row {
        const char* name;
        Lines modem_args;
        Lines action;        // what the modem does once instead of answering the ICCID read
        const char* logged;  // what the daemon logs for the faulted request; null: not checked
    };
    const std::vector<Row> rows = {
        {"no answer", {}, {"silent"}, kTimeout},
        {"a line that never ends",
         {},
         answer("\r\n+CRSM: 144, 0,\"98" + std::string(3000, 'A')),
         kTimeout},
        {"binary garbage", {}, answer(random_bytes(4000, 7)), nullptr},
        {"binary garbage ended by OK", {}, answer(random_bytes(3000, 11) + "\r\nOK\r\n"), nullptr},
        // The first line is cut to its buffer before its closing quote.
        {"one line longer than the answer buffer",
         {},
         answer("\r\n+CRSM: 144, 0,\"" + std::string(12000, '9') + "\"\r\n\r\nOK\r\n"),
         "p2 is null"},
        {"an answer three times the buffer", {}, answer(many_lines), nullptr},
        {"the same, fragmented", {"--chunk", "997"}, answer(many_lines), nullptr},
        {"the line dropped instead of an answer",
         {},
         {"hangup"},
         "(char*)mdm_res.aucDataBuf is NULL"},
        {"unsolicited lines every 2 ms", {"--urc-every", "2", "+CREG: 1"}, {}, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        rig.start({.args = row.modem_args}, {kQuickWaits});
        if (!row.action.empty()) {
            Lines script = {"script", "AT+CRSM=*"};
            script.insert(script.end(), row.action.begin(), row.action.end());
            script.emplace_back("1");
            rig.modem_ctl(script);
        }
        const auto start = Clock::now();
        rig.send(kGetIccid);
        ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 1; }, 10s));
        // 200 ms of wait; the rest is the daemon's own work and the test's polling.
        EXPECT_LT(Clock::now() - start, 2s);
        if (row.logged != nullptr) {
            EXPECT_GE(count(rig.log_messages(), row.logged), 1u);
        }
        ASSERT_TRUE(rig.daemon_running());
        if (row.modem_args.empty()) {
            EXPECT_TRUE(probe(rig));
            continue;
        }
        // Under a stream of unsolicited lines one may land between a command and its answer and
        // become the first line (that request then ends with its error line); requests are still
        // served, each within its wait.
        const auto flood_start = Clock::now();
        for (int i = 0; i < 20; ++i) {
            rig.send(kGetIccid);
        }
        ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 21; }, 20s));
        EXPECT_LT(Clock::now() - flood_start, 20 * 300ms);
        EXPECT_GE(count(rig.log_messages(), std::string("sim iccid is ") + kIccid), 1u);
        EXPECT_TRUE(rig.daemon_running());
    }
}

TEST(Faults, AHangupInTheMiddleOfAnAnswerEndsTheRequestAtOnce) {
    Rig rig;
    rig.start({}, {"ORV_AT_WAIT_SCALE=1"});  // a wait of 10 s: only the hangup can end it early
    rig.modem_ctl({"script", "AT+CRSM=*", "answer", "\\r\\n+CRSM: 144, 0,\\\"98", "1"});
    rig.send(kGetIccid);
    ASSERT_TRUE(rig.wait_for([&] { return rig.journal().size() == 4; }));
    std::this_thread::sleep_for(100ms);  // the half answer is in the daemon's hands
    const auto hangup = Clock::now();
    rig.modem_ctl({"hangup"});
    ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 1; }, 15s));
    EXPECT_LT(Clock::now() - hangup, 2s);
    EXPECT_EQ(count(rig.log_messages(), "(char*)mdm_res.aucDataBuf is NULL"), 1u);
    EXPECT_TRUE(probe(rig));
}

// The modem goes away (its pty and link removed, or its TCP port closed) and comes back at the
// same place: requests meanwhile end with the empty answer, and the first one after its return
// is served by the same daemon process.
TEST(Faults, TheModemGoesAwayAndComesBack) {
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "pty");
        Rig rig;
        rig.start({.tcp_port = tcp ? 0 : -1}, {kQuickWaits});
        ASSERT_TRUE(probe(rig));
        const pid_t pid = rig.daemon_pid();
        const int port = rig.modem_port();

        rig.stop_modem();
        for (int i = 0; i < 3; ++i) {
            rig.send(kGetIccid);
        }
        ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 4; }));
        EXPECT_EQ(count(rig.log_messages(), "(char*)mdm_res.aucDataBuf is NULL"), 3u);

        rig.start_modem({.tcp_port = tcp ? port : -1});
        EXPECT_TRUE(probe(rig));
        EXPECT_EQ(rig.daemon_pid(), pid);
        EXPECT_TRUE(rig.daemon_running());
    }
}

// ---------------------------------------------------------------------------------------------
// Killed at random moments while it writes and commits: the store always opens cleanly and keeps
// every ICCID whose commit the daemon had acknowledged in its log.

std::string kill_round_iccid(int sim) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "894410000000%07d", sim);
    return digits;
}

std::string integrity(const std::string& db_path) {
    if (access(db_path.c_str(), F_OK) != 0) {
        return "absent";
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        const bool row =
            sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW;
        result =
            row ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) : sqlite3_errmsg(db);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return result;
}

// The SIM number of a published ICCID ("894410000000NNNNNNNF"), -1 for anything else.
int sim_of(const std::optional<std::string>& published) {
    if (!published || published->size() != 20 || published->back() != 'F' ||
        published->rfind("894410000000", 0) != 0) {
        return -1;
    }
    return std::atoi(published->substr(12, 7).c_str());
}

// The last SIM whose ICCID the log shows committed: "sim iccid is X", later
// "iccid change,auto set language  " (logged after the save returned).
int last_acknowledged(Rig& rig) {
    int seen = -1;
    int acknowledged = -1;
    for (const std::string& m : rig.log_messages()) {
        if (m.rfind("sim iccid is ", 0) == 0) {
            seen = sim_of(m.substr(13));
        } else if (m == "iccid change,auto set language  ") {
            acknowledged = seen;
        }
    }
    return acknowledged;
}

TEST(Faults, KilledAtRandomMomentsTheStoreKeepsEveryCommit) {
    constexpr int kRounds = 30;
    constexpr auto kStep = 25ms;  // one new SIM and three requests per step
    constexpr int kSims = kRounds * 16 + 2;
    std::string profile;
    for (int s = 0; s < kSims; ++s) {
        profile += "[sim.s" + std::to_string(s) + "]\niccid = \"" + kill_round_iccid(s) +
                   "\"\nlanguages = [\"en\"]\n";
    }
    profile = "inserted = \"s0\"\n" + profile;

    Rig rig;
    rig.write_factory_item(2301, std::string("\x01", 1));
    rig.start_modem({.profile = profile});
    // Every answer a little late, so that a burst of requests lasts long enough for a kill at a
    // random moment to land inside it.
    rig.modem_ctl({"script", "AT*", "delay", "2", "always"});
    std::mt19937 rng(20261207);
    int sim = 0;
    int kills_mid_stream = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        rig.start_daemon({kQuickWaits});
        // A stream of new SIMs (each an ICCID write, a language write and a commit) mixed with
        // plain writes, killed after a random time.
        const auto kill_at = Clock::now() + std::chrono::milliseconds(rng() % 400);
        for (auto step = Clock::now(); step < kill_at && sim + 2 < kSims; step += kStep) {
            rig.modem_ctl({"swap", "s" + std::to_string(++sim)});
            rig.send(kGetIccid);
            rig.send(kGetImsi);
            rig.send(kGetPinStatus);
            std::this_thread::sleep_until(std::min(step + kStep, kill_at));
        }
        rig.kill_daemon(SIGKILL);
        const Lines log = rig.log_messages();
        if (!log.empty() && log.back() != kRequestDone) {
            ++kills_mid_stream;
        }

        const int acknowledged = last_acknowledged(rig);
        const std::string check = integrity(rig.path("nvram.db"));
        if (check == "absent") {
            ASSERT_LT(acknowledged, 0);  // killed before the first write
            continue;
        }
        ASSERT_EQ(check, "ok");
        const int committed = sim_of(rig.store("iccid"));
        if (acknowledged >= 0) {
            // Later SIMs may have been committed after the last log line; never an earlier one.
            EXPECT_GE(committed, acknowledged);
            EXPECT_GE(sim_of(rig.store("sim_iccid")), acknowledged);
        }
        EXPECT_LE(committed, sim);
    }
    // Kills land in the middle of requests, not only in an idle daemon (how many depends on the
    // machine's load; the figure is printed below).
    EXPECT_GE(kills_mid_stream, 1);
    // And the store serves the next daemon as always.
    rig.start_daemon({kQuickWaits});
    rig.modem_ctl({"swap", "s" + std::to_string(++sim)});
    rig.send(kGetIccid);
    EXPECT_TRUE(rig.wait_store("iccid", kill_round_iccid(sim) + "F"));
    EXPECT_EQ(integrity(rig.path("nvram.db")), "ok");
    std::printf("[ figures  ] %d kill rounds, %d of them with requests in flight, %d SIMs\n",
                kRounds, kills_mid_stream, sim);
}

// ---------------------------------------------------------------------------------------------
// Store, log and controller faults: each is logged where a log can be written, no request hangs,
// and once the fault is gone the next request is served by the same process.

// Lines of the store's own failure log.
std::size_t store_failures(Rig& rig) {
    std::ifstream in(rig.path("log/orv_nvram.log"));
    return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

TEST(Faults, AFullDiskIsLoggedAndServiceResumesWhenSpaceIsBack) {
    // On a small tmpfs where one can be mounted (root), else by a file-size limit.
    Rig rig;
    const std::string small = rig.path("small"), nvram = rig.path("nvram.db");
    const std::string filler = small + "/filler";
    mkdir(small.c_str(), 0750);
    const bool tmpfs = mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") == 0;
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        tmpfs ? small.c_str() : nullptr, [](const char* d) { umount2(d, MNT_DETACH); });
    if (tmpfs) {  // the store lives there through a link, where the rig looks for it
        ASSERT_EQ(symlink((small + "/nvram.db").c_str(), nvram.c_str()), 0);
    } else {  // over the limit a write fails with EFBIG instead of killing the writer by SIGXFSZ
        rig.set_child_setup([] { signal(SIGXFSZ, SIG_IGN); });
    }
    rig.start({}, {kQuickWaits});
    ASSERT_TRUE(probe(rig));
    const auto limit = [&](rlim_t bytes) {
        const rlimit l{bytes, RLIM_INFINITY};
        return prlimit(rig.daemon_pid(), RLIMIT_FSIZE, &l, nullptr) == 0;
    };
    if (tmpfs) {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(4096, 'x');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size())) && out.flush()) {
        }
    } else {
        // No file of the daemon may grow past one page: the store's write-ahead log cannot take
        // a frame, the log file (already longer) takes no line, a new file takes a few.
        ASSERT_TRUE(limit(4096));
    }
    // Writes fail: every one is refused, logged, and the requests go on.
    for (int i = 0; i < 5; ++i) {
        rig.send(kGetImei);
        rig.send(kGetIccid);
    }
    ASSERT_TRUE(rig.wait_for([&] { return store_failures(rig) > 0; }, 20s));
    ASSERT_TRUE(rig.daemon_running());
    if (tmpfs) {
        unlink(filler.c_str());
    } else {
        ASSERT_TRUE(limit(RLIM_INFINITY));
    }
    // Earlier requests may still be queued: wait for the one probe that counts.
    ASSERT_TRUE(rig.wait_for([&] { return probe(rig, 2s); }, 30s));
    EXPECT_EQ(integrity(nvram), "ok");
    std::printf("[ figures  ] full store: %s, %zu store failures logged\n",
                tmpfs ? "tmpfs of 256 KiB" : "file-size limit of 4 KiB", store_failures(rig));
    rig.stop_daemon();
}

struct StoreFault {
    const char* name;
    std::function<void(Rig&)> before_start;  // the fault as the daemon finds it at start-up
    std::function<void(Rig&)> while_running;
    std::function<void(Rig&)> repair;
    bool store_logged;  // the store's failure appears in its log
};

TEST(Faults, StoreLogAndControllerFaultsLeaveTheDaemonServing) {
    const auto chmod_path = [](const std::string& path, mode_t mode) {
        return [path, mode](Rig& rig) { ASSERT_EQ(chmod(rig.path(path).c_str(), mode), 0); };
    };
    const auto not_a_db = [](Rig& rig) {
        std::ofstream(rig.path("nvram.db")) << std::string(8192, 'z');
    };
    const auto read_only = [](Rig& rig) {  // a store made by a first run, then taken away
        ASSERT_TRUE(probe(rig, 15s));
        rig.stop_daemon();
        ASSERT_EQ(chmod(rig.path("nvram.db").c_str(), 0440), 0);
    };
    const auto no_controller = [](Rig& rig) { unlink(rig.path("run/orv_mc_path").c_str()); };
    const std::vector<StoreFault> rows = {
        {"the store file is not a database", not_a_db, nullptr,
         [](Rig& rig) { unlink(rig.path("nvram.db").c_str()); }, true},
        {"the store is read-only", read_only, nullptr, chmod_path("nvram.db", 0640), true},
        {"the log folder is not writable", nullptr, chmod_path("log", 0550),
         chmod_path("log", 0750), false},
        {"the log file is not writable", nullptr, chmod_path("log/orv_mdm.log", 0440),
         chmod_path("log/orv_mdm.log", 0640), false},
        {"the controller socket is gone", nullptr, no_controller, nullptr, false},
    };
    for (const StoreFault& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        rig.run_unprivileged();  // as root, file modes bind only an ordinary user
        rig.start_modem();
        if (row.before_start) {
            rig.start_daemon({kQuickWaits});
            row.before_start(rig);
            ASSERT_FALSE(::testing::Test::HasFatalFailure());
            rig.stop_daemon();
        }
        rig.start_daemon({kQuickWaits});
        ASSERT_TRUE(rig.wait_for([&] { return rig.journal().size() >= 3; }));
        if (row.while_running) {
            row.while_running(rig);
        }
        const auto start = Clock::now();
        for (int i = 0; i < 5; ++i) {
            rig.send(kGetIccid);
            rig.send(kGetPinStatus);
        }
        rig.send(kGetImei);
        // The last request's effect (or lack of one) cannot be seen in a failing store or log:
        // wait until the modem has had its command.
        ASSERT_TRUE(rig.wait_for([&] { return rig.journal().back() == "AT+CGSN"; }));
        EXPECT_LT(Clock::now() - start, 5s);
        ASSERT_TRUE(rig.daemon_running());
        if (row.store_logged) {
            EXPECT_TRUE(rig.wait_for([&] { return store_failures(rig) > 0; }));
        }
        if (row.repair) {
            row.repair(rig);
        }
        const std::size_t logged = rig.log_messages().size();
        EXPECT_TRUE(probe(rig));
        // The log is written again.
        EXPECT_TRUE(rig.wait_for([&] { return rig.log_messages().size() > logged; }));
    }
}

TEST(Faults, AControllerThatReadsNothingNeverHoldsUpTheDaemon) {
    Rig rig;
    rig.start({}, {kQuickWaits});
    // Each link test notifies the controller, whose queue fills after a few datagrams.
    const auto start = Clock::now();
    for (int i = 0; i < 200; ++i) {
        rig.send(kTestRpc);
    }
    ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 200; }, 20s));
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_TRUE(probe(rig));
    EXPECT_LT(rig.notifications().size(), 200u);  // the rest were dropped, not waited for
}

// ---------------------------------------------------------------------------------------------
// 100 000 datagrams of random content: identifiers without timers (18 to 26 and above 32), with
// real requests against the instant modem mixed in. No crash, and resident memory stays flat.

TEST(Faults, AFloodOfRandomDatagramsLeavesMemoryFlat) {
    // The sanitizer's allocator keeps freed memory in quarantine, so its resident size says
    // nothing about the daemon's; there the flood is shorter and memory is not judged.
    const int total = kSanitized ? 20000 : 100000;
    Rig rig;
    rig.start({}, {kQuickWaits});
    std::mt19937 rng(100000);
    const std::uint32_t real[] = {kTestRpc, 1,  kGetPinStatus, 6,        kGetImei, 8,  9,
                                  14,       16, kGetIccid,     kGetImsi, 29,       31, 32};
    const auto send_one = [&](int i) {
        if (i % 50 == 0) {
            rig.send(real[rng() % std::size(real)]);
            return;
        }
        const std::uint32_t r = rng();
        // Longer than the receive buffer at times; shorter ones read as identifier 0 or junk.
        std::string d(std::max<std::size_t>(4, rng() % 1400), '\0');
        for (char& c : d) {
            c = static_cast<char>(rng());
        }
        d.replace(0, 4,
                  le32((r & 1) != 0 ? 18 + (r >> 1) % 9 : 33 + (r >> 1) % (0xFFFFFFFFu - 33)));
        rig.send_raw(d);
    };
    // An identifier of its own marks the end of what was sent; it is looked for in the log and
    // in the log's previous file, in case the log was rotated right after it.
    const auto wait_marker = [&](std::uint32_t marker) {
        rig.send(marker);
        const std::string wanted = "msg_id = " + std::to_string(marker) + ", ORV_MDM_UNKNOWN_MSG";
        const auto logged = [&] {
            for (const char* name : {"log/orv_mdm.log", "log/orv_mdm.log.1"}) {
                std::ifstream in(rig.path(name));
                for (std::string line; std::getline(in, line);) {
                    if (line.ends_with(wanted)) {
                        return true;
                    }
                }
            }
            return false;
        };
        return rig.wait_for(logged, 180s, 200ms);  // the files are large: look now and then
    };

    // Warm-up: every real request once and a first share of the flood.
    for (int i = 0; i < 2000; ++i) {
        send_one(i);
    }
    ASSERT_TRUE(wait_marker(1000001));
    const long before = rig.daemon_rss_kib();
    const auto start = Clock::now();
    for (int i = 0; i < total; ++i) {
        send_one(i);
    }
    ASSERT_TRUE(wait_marker(1000002));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const long after = rig.daemon_rss_kib();
    ASSERT_TRUE(rig.daemon_running());
    EXPECT_TRUE(probe(rig));
    std::printf("[ figures  ] %d datagrams in %lld ms; VmRSS %ld KiB before, %ld KiB after\n",
                total, static_cast<long long>(took.count()), before, after);
    ASSERT_GT(before, 0);
    if (!kSanitized) {
        EXPECT_LE(after, before + 64);
    }
}

}  // namespace
}  // namespace orv::e2e
