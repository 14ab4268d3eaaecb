// Faults end to end: a modem that misbehaves on the line, goes away and comes back, or is
// silent at bring-up; a daemon killed in the middle of its writes, or started twice; a store,
// disk, log, standard output or controller that fails; and a flood of datagrams. Through all of
// them the daemon must end every request within its wait, keep serving without a restart, and
// lose nothing the store had acknowledged. The sanitizer run of the same tests shows that no
// buffer is overrun on the way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <random>
#include <thread>

#include "tools/client/orv_client.h"
#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using msg::ORV_MDM_GET_ICCID;

constexpr const char* kIccid = "8944123456789012345F";  // the default SIM's, as published
constexpr const char* kRequestDone = "MODEM: num=33";
constexpr const char* kNoPort = "(char*)mdm_res.aucDataBuf is NULL";
constexpr const char* kTimeout = "(char*)mdm_res.aucDataBuf is TIMEOUT";
constexpr const char* kQuickWaits = "ORV_AT_WAIT_SCALE=0.02";  // a wait of 10 s becomes 200 ms

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::size_t requests_done(Rig& rig) {
    return count(rig.log_messages(), kRequestDone);
}

// The ICCID request as a probe of a working daemon: it publishes the SIM's ICCID again.
bool probe(Rig& rig, std::chrono::milliseconds timeout = 5s) {
    rig.unset("sim_iccid");
    rig.send(ORV_MDM_GET_ICCID);
    return rig.wait_store("sim_iccid", kIccid, timeout);
}

// The line misbehaves for one request: every request still ends within its wait, and the next
// one is served as if nothing had happened. What real modems put on the line beside answers
// (unsolicited reports before, inside and after them, line ends of CR alone, NUL noise) leaves
// the answer intact. (Answers that come after their wait: tests/platform/test_at_channel.cpp.)
TEST(Faults, EveryRequestEndsWithinItsWaitWhateverTheLineCarries) {
    const auto answer = [](const std::string& bytes) {
        return Lines{"answer", client::escape_bytes(bytes)};
    };
    // Three times the answer buffer, and its first line alone longer than it: that line is cut
    // before its closing quote.
    std::string huge = "\r\n+CRSM: 144, 0,\"" + std::string(12000, '9') + "\"\r\n";
    for (int i = 0; i < 200; ++i) {
        huge += "\r\n+CRSM: 144, 0,\"" + std::string(70, 'F') + "\"\r\n";
    }
    struct Row {
        const char* name;
        Lines action;        // what the modem does once instead of answering the ICCID read
        const char* logged;  // what the daemon logs for the faulted request; null: not checked
        Lines modem_args = {};
        bool served = false;  // the request publishes the ICCID all the same
    };
    const std::vector<Row> rows = {
        {"no answer", {"silent"}, kTimeout},
        {"a line that never ends", answer("\r\n+CRSM: 144, 0,\"98" + std::string(3000, 'A')),
         kTimeout},
        {"a huge answer in fragments",
         answer(huge + "\r\nOK\r\n"),
         "p2 is null",
         {"--chunk", "997"}},
        {"the line dropped instead of an answer", {"hangup"}, kNoPort},
        // The modem's own answer; a line may land between a command and its answer and cost it.
        {"unsolicited lines every 2 ms", {"delay", "0"}, nullptr, {"--urc-every", "2", "+CREG: 1"}},
        {"registration before, time zone inside, packet domain right after the final line",
         {"report", "before", "+CREG: 1", "report", "inside", "+CTZV: +08,0", "report", "after",
          "+CGEV: ME PDN ACT 1"},
         nullptr,
         {},
         true},
        {"a message whose text reads OK before, a ring inside",
         {"report", "before", "+CMT: \"+447700900123\",,\"26/12/06,10:00:00+04\"\\r\\nOK", "report",
          "inside", "RING"},
         nullptr,
         {},
         true},
        {"lines ended by CR alone", {"delay", "0"}, nullptr, {"--line-end", "cr"}, true},
        {"a NUL byte after every second byte", {"delay", "0"}, nullptr, {"--nul-every", "2"}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        rig.start({.args = row.modem_args}, {kQuickWaits});
        Lines script = {"script", "AT+CRSM=*"};
        script.insert(script.end(), row.action.begin(), row.action.end());
        script.emplace_back("1");
        rig.modem_ctl(script);
        const auto start = Clock::now();
        rig.send(ORV_MDM_GET_ICCID);
        ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 1; }, 10s));
        // 200 ms of wait; the rest is the daemon's own work and the test's polling.
        EXPECT_LT(Clock::now() - start, 2s);
        if (row.logged != nullptr) {
            EXPECT_GE(count(rig.log_messages(), row.logged), 1u);
        }
        if (row.served) {
            EXPECT_EQ(rig.store("sim_iccid"), kIccid);
        }
        EXPECT_TRUE(rig.wait_for([&] { return probe(rig, 1s); }));
    }
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
        const int port = rig.modem_port();
        rig.stop_modem();
        for (int i = 0; i < 3; ++i) {
            rig.send(ORV_MDM_GET_ICCID);
        }
        ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 4; }));
        EXPECT_EQ(count(rig.log_messages(), kNoPort), 3u);
        rig.start_modem({.tcp_port = tcp ? port : -1});
        EXPECT_TRUE(probe(rig));
        EXPECT_TRUE(rig.daemon_running());
    }
}

// A bring-up that a silent modem ends early still leaves a daemon that serves, and a second
// daemon in the same folders is refused. (The bring-up's commands and the receive loop's log
// lines are tests/daemon/test_daemon.cpp's.)
TEST(Faults, AfterABringUpCutShortTheDaemonServesAndStaysTheOnlyOne) {
    Rig rig;
    rig.start_modem();
    rig.modem_ctl({"script", "AT+EGTYPE=2", "silent", "1"});
    rig.start_daemon();
    // Its first try is lost to the unanswered command, not its retry.
    rig.send(msg::ORV_MDM_GET_IMEI);
    ASSERT_TRUE(rig.wait_store("imei", "356938035643809", 20s));
    EXPECT_EQ(rig.journal(), (Lines{"AT+EGTYPE=2", "AT+CGSN"}));
    EXPECT_EQ(rig.run_second_daemon(), 255);
    EXPECT_TRUE(rig.daemon_running());
}

// ---------------------------------------------------------------------------------------------
// Killed at random moments while it writes and commits: the store always opens cleanly and keeps
// every ICCID whose commit the daemon had acknowledged in its log.

std::string integrity(const std::string& db_path) {
    if (access(db_path.c_str(), F_OK) != 0) {
        return "absent";
    }
    sqlite3* db = nullptr;
    std::string result;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 2000);
        const auto first = [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0];
            return 1;
        };
        sqlite3_exec(db, "PRAGMA integrity_check", first, &result, nullptr);
    }
    result = result.empty() ? sqlite3_errmsg(db) : result;
    sqlite3_close(db);
    return result;
}

// The SIM number of a published ICCID ("894410000001NNNNNNNF"), -1 for anything else.
int sim_of(const std::string& s) {
    return s.size() == 20 && s.starts_with("894410000001") ? std::atoi(s.c_str() + 12) : -1;
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
    const auto iccid = [](int sim) { return "89441000000" + std::to_string(10000000 + sim); };
    std::string profile = "inserted = \"s0\"\n";
    for (int s = 0; s < kSims; ++s) {
        profile += "[sim.s" + std::to_string(s) + "]\niccid = \"" + iccid(s) +
                   "\"\nlanguages = [\"en\"]\n";
    }
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
            rig.send(ORV_MDM_GET_ICCID);
            rig.send(msg::ORV_MDM_GET_IMSI);
            rig.send(msg::ORV_MDM_GET_PIN_STATUS);
            std::this_thread::sleep_until(std::min(step + kStep, kill_at));
        }
        rig.kill_daemon(SIGKILL);
        const Lines log = rig.log_messages();
        kills_mid_stream += !log.empty() && log.back() != kRequestDone ? 1 : 0;

        const int acknowledged = last_acknowledged(rig);
        const std::string check = integrity(rig.path("nvram.db"));
        if (check == "absent") {
            ASSERT_LT(acknowledged, 0);  // killed before the first write
            continue;
        }
        ASSERT_EQ(check, "ok");
        const int committed = sim_of(rig.store("iccid").value_or(""));
        // Later SIMs may have been committed after the last log line; never an earlier one.
        EXPECT_GE(committed, acknowledged);
        EXPECT_GE(sim_of(rig.store("sim_iccid").value_or("")), acknowledged);
        EXPECT_LE(committed, sim);
    }
    // Kills land in the middle of requests, not only in an idle daemon (how many depends on the
    // machine's load).
    EXPECT_GE(kills_mid_stream, 1);
}

// ---------------------------------------------------------------------------------------------
// Store, disk, log, standard output and controller faults, found at start-up or met while
// running: the store's failures are logged in its own log, no request hangs, and once the fault
// is gone the next request is served by the same process.

std::size_t store_failures(Rig& rig) {
    std::ifstream in(rig.path("log/orv_nvram.log"));
    return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

TEST(Faults, HostFaultsLeaveTheDaemonServing) {
    using Step = std::function<void(Rig&)>;
    const auto mode = [](const char* path, mode_t m) -> Step {
        return [=](Rig& rig) { ASSERT_EQ(chmod(rig.path(path).c_str(), m), 0); };
    };
    // The daemon's files may not grow past one page: the store's write-ahead log takes no frame.
    const auto size_limit = [](rlim_t bytes) -> Step {
        return [=](Rig& rig) {
            const rlimit l{bytes, RLIM_INFINITY};
            ASSERT_EQ(prlimit(rig.daemon_pid(), RLIMIT_FSIZE, &l, nullptr), 0);
        };
    };
    // Standard output a pipe whose reader has gone (a logger that died), or full and never read
    // (a logger that hangs); the daemon gets it blocking, as a logger would give it.
    int ends[2] = {-1, -1};
    const auto output = [&](bool reader_gone) -> Step {
        return [&, reader_gone](Rig& rig) {
            ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
            for (const std::string b(4096, 'x');
                 !reader_gone && write(ends[1], b.data(), 4096) > 0;) {
            }
            fcntl(ends[1], F_SETFL, 0);
            rig.daemon_stdout(ends[1]);
            if (reader_gone) {
                close(std::exchange(ends[0], -1));
            }
        };
    };
    const struct {
        const char* name;
        bool modes;     // file modes must bind the daemon: as root, it runs as an ordinary user
        bool at_start;  // the daemon finds the fault when it starts; else it meets it running
        Step fault, repair;
        bool store_logged;  // the store's failure appears in its log
    } rows[] = {
        {"the store file is not a database", false, true,
         [](Rig& rig) {
             for (const char* f : {"nvram.db-wal", "nvram.db-shm"}) {
                 unlink(rig.path(f).c_str());
             }
             std::ofstream(rig.path("nvram.db")) << std::string(8192, 'z');
         },
         [](Rig& rig) { unlink(rig.path("nvram.db").c_str()); }, true},
        {"the store is read-only", true, true, mode("nvram.db", 0440), mode("nvram.db", 0640),
         true},
        // Only the daemon's own user (or a capability this may lack) may change its limits.
        {"the disk is full", false, false, size_limit(4096), size_limit(RLIM_INFINITY), true},
        {"the log file is not writable", true, false, mode("log/orv_mdm.log", 0440),
         mode("log/orv_mdm.log", 0640), false},
        {"standard output's reader is gone", false, true, output(true), [](Rig&) {}, false},
        {"standard output is full", false, true, output(false), [](Rig&) {}, false},
        {"the controller socket is gone", false, false,
         [](Rig& rig) { unlink(rig.path("run/orv_mc_path").c_str()); }, [](Rig&) {}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        if (row.modes) {
            rig.run_unprivileged();
        }
        // Past the size limit a write fails with EFBIG instead of killing the writer.
        rig.set_child_setup([] { signal(SIGXFSZ, SIG_IGN); });
        rig.start({}, {kQuickWaits});
        ASSERT_TRUE(probe(rig, 15s));  // the store is made
        if (row.at_start) {
            rig.stop_daemon();
        }
        row.fault(rig);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        if (row.at_start) {
            rig.start_daemon({kQuickWaits});
        }
        // Each PIN state query writes the store, echoes its answers and notifies the controller,
        // which reads nothing here: its queue fills up after ten. A query's effect cannot be seen
        // in a failing store or log, so each is waited for until the modem has had its commands,
        // one at a time (a daemon that hangs would leave the test's sends hanging behind it).
        for (int i = 0; i < 12; ++i) {
            const std::size_t sent = rig.journal().size();
            rig.send(msg::ORV_MDM_GET_PIN_STATUS);
            ASSERT_TRUE(rig.wait_for(
                [&] {
                    return rig.journal().size() >= sent + 2 && rig.journal().back() == "AT+EPINC";
                },
                2s));
        }
        ASSERT_TRUE(rig.daemon_running());
        if (row.store_logged) {
            EXPECT_TRUE(rig.wait_for([&] { return store_failures(rig) > 0; }));
        }
        row.repair(rig);
        const std::size_t logged = rig.log_messages().size();
        EXPECT_TRUE(probe(rig));
        // The log is written again.
        EXPECT_TRUE(rig.wait_for([&] { return rig.log_messages().size() > logged; }));
        for (int& fd : ends) {
            close(std::exchange(fd, -1));
        }
    }
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
    using namespace msg;
    const std::uint32_t real[] = {
        ORV_MDM_TEST_RPC_MSG,  ORV_MDM_SIM_STATE_MSG,  ORV_MDM_GET_PIN_STATUS,
        ORV_MDM_PIN_PUK_TIMES, ORV_MDM_GET_PCB,        ORV_MDM_GET_OVN,
        ORV_MDM_GET_SIM_SPN,   ORV_MDM_GET_MODEM_MODE, ORV_MDM_GET_ICCID,
        ORV_MDM_GET_IMSI,      ORV_MDM_GET_MSISDN,     ORV_MDM_APN_GET_SIM_INFO,
        ORV_MDM_MAX_MSG};
    // Sends `n` datagrams, then the IMEI request, which only ends the batch: once the IMEI is
    // published every datagram before it has been served.
    const auto send_some = [&](int n) {
        rig.unset("imei");
        for (int i = 0; i < n; ++i) {
            if (i % 50 == 0) {
                rig.send(real[rng() % std::size(real)]);
                continue;
            }
            const std::uint32_t r = rng();
            // Longer than the receive buffer at times.
            std::string d(std::max<std::size_t>(4, rng() % 1400), '\0');
            std::generate(d.begin(), d.end(), rng);
            d.replace(0, 4, le32((r & 1) != 0 ? 18 + (r >> 1) % 9 : 33 + (r >> 1) % 0xFFFFFFDEu));
            rig.send_raw(d);
        }
        rig.send(ORV_MDM_GET_IMEI);
        return rig.wait_for([&] { return rig.store("imei").has_value(); }, 180s, 200ms);
    };
    ASSERT_TRUE(send_some(2000));  // warm-up: real requests and a first share of the flood
    const long before = rig.daemon_rss_kib();
    ASSERT_TRUE(send_some(total));
    const long after = rig.daemon_rss_kib();
    ASSERT_TRUE(rig.daemon_running());
    std::printf("[ figures  ] %d datagrams; VmRSS %ld KiB before, %ld KiB after\n", total, before,
                after);
    ASSERT_GT(before, 0);
    EXPECT_TRUE(kSanitized || after <= before + 64);
}

}  // namespace
}  // namespace orv::e2e
