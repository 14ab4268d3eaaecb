// Faults end to end: a modem that misbehaves on the line, or goes away and comes back; a daemon
// killed in the middle of its writes, or started twice, or with any umask; a store, disk, log,
// standard output or controller that fails. Through all of them the daemon must end every request
// within its wait, keep serving without a restart, and lose nothing the store had acknowledged. The
// sanitizer run of the same tests shows that no buffer is overrun on the way.
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

std::size_t requests_done(Rig& rig) {
    return count(rig.log_messages(), kRequestDone);
}

// The ICCID request as a probe of a working daemon: it publishes the SIM's ICCID again.
bool probe(Rig& rig, std::chrono::milliseconds timeout = 5s) {
    rig.unset("sim_iccid");
    rig.send(ORV_MDM_GET_ICCID);
    return rig.wait_store("sim_iccid", kIccid, timeout);
}

// The modem leaves a command unanswered: the request ends within its wait and the next one is
// served. Then it goes away (its pty and link removed, or its TCP port closed) and comes back at
// the same place: requests meanwhile end with the empty answer, the first one after its return is
// served by the same daemon process, and a second daemon in the same folders is refused. (Line
// ends, NUL noise, unsolicited reports, cut, partial, late and flooding answers and hang-ups at
// the channel: tests/platform/test_at_channel.cpp; a cut answer's handling: tests/sim_identity.)
TEST(Faults, TheModemFallsSilentOrGoesAwayAndComesBack) {
    for (const bool tcp : {false, true}) {
        SCOPED_TRACE(tcp ? "tcp" : "pty");
        Rig rig;
        rig.start({.tcp_port = tcp ? 0 : -1}, {kQuickWaits});
        rig.modem_ctl({"script", "AT+CRSM=*", "silent", "1"});
        const auto start = Clock::now();
        rig.send(ORV_MDM_GET_ICCID);
        ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 1; }, 10s));
        // 200 ms of wait; the rest is the daemon's own work and the test's polling.
        EXPECT_LT(Clock::now() - start, 2s);
        EXPECT_GE(count(rig.log_messages(), kTimeout), 1u);
        ASSERT_TRUE(probe(rig));
        const int port = rig.modem_port();
        rig.stop_modem();
        for (int i = 0; i < 3; ++i) {
            rig.send(ORV_MDM_GET_ICCID);
        }
        ASSERT_TRUE(rig.wait_for([&] { return requests_done(rig) == 5; }));
        EXPECT_EQ(count(rig.log_messages(), kNoPort), 3u);
        rig.start_modem({.tcp_port = tcp ? port : -1});
        EXPECT_TRUE(probe(rig));
        EXPECT_EQ(rig.run_second_daemon(), 255);
        EXPECT_TRUE(rig.daemon_running());
    }
}

// Mode bits and type of a path; 0 when it does not exist.
mode_t mode_of(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// What the daemon creates has its own mode whatever the umask it is started with.
TEST(Faults, WhatTheDaemonCreatesHasItsModeWhateverTheUmask) {
    for (const mode_t mask : {0000, 0022, 0077}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        Rig rig;
        rig.start_modem();
        // The run folder is the daemon's to create here (the controller's socket goes with it).
        unlink(rig.path("run/orv_mc_path").c_str());
        ASSERT_EQ(rmdir(rig.path("run").c_str()), 0);
        rig.set_child_setup([mask] { umask(mask); });
        rig.start_daemon({"ORV_NVRAM=" + rig.path("lib/nvram.db")});
        rig.send(msg::ORV_MDM_GET_ICCID);  // it writes to the store
        ASSERT_TRUE(rig.wait_for([&] { return mode_of(rig.path("lib/nvram.db-shm")) != 0; }));
        for (const char* dir : {"run", "log", "lib"}) {
            EXPECT_EQ(mode_of(rig.path(dir)), S_IFDIR | 0750) << dir;
        }
        EXPECT_EQ(mode_of(rig.path("run/orv_mdm_path")), S_IFSOCK | 0660);
        for (const char* file :
             {"log/orv_mdm.log", "lib/nvram.db", "lib/nvram.db-wal", "lib/nvram.db-shm"}) {
            EXPECT_EQ(mode_of(rig.path(file)), S_IFREG | 0640) << file;
        }
    }
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

}  // namespace
}  // namespace orv::e2e
