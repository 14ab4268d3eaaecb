// Faults end to end: a modem that goes away and comes back; a daemon killed in the middle of its
// writes, or started twice, or with an empty umask; a store, disk, log or standard output that
// fails. Through all of them the daemon must end every request, keep serving without a restart,
// and lose nothing the store had acknowledged. The sanitizer run of the same tests shows that no
// buffer is overrun on the way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"
#include "wire/version.h"

namespace orv::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using msg::ORV_MDM_GET_ICCID;

constexpr const char* kIccid = "8944123456789012345F";         // the default SIM's, as published
constexpr const char* kQuickWaits = "ORV_AT_WAIT_SCALE=0.02";  // a wait of 10 s becomes 200 ms

// The ICCID request as a probe of a working daemon: it publishes the SIM's ICCID again.
bool probe(Rig& rig, std::chrono::milliseconds timeout = 15s) {
    rig.unset("sim_iccid");
    rig.send(ORV_MDM_GET_ICCID);
    return rig.wait_store("sim_iccid", kIccid, timeout);
}

// Mode bits and type of a path; 0 when it does not exist.
mode_t mode_of(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// A daemon started under an empty umask gives what it creates its own mode (the platform tests
// make the same files under umask 077; the store's WAL and shared-memory files are only made
// here). Then the modem, on TCP here, goes away and comes back on the same port: a request
// meanwhile ends with the empty answer, the first one after its return is served by the same
// daemon process, and a second daemon in the same folders is refused. (Silence, line ends, noise,
// late answers, a pty that hangs up or goes away and comes back: test_at_channel.cpp.)
TEST(Faults, ModesWhateverTheUmaskAndAModemThatGoesAwayAndComesBack) {
    Rig rig;
    rig.start_modem({.tcp_port = 0});
    const int port = rig.modem_port();
    // The run folder is the daemon's to create here (the controller's socket goes with it).
    ASSERT_EQ(std::filesystem::remove_all(rig.path("run")), 2u);
    rig.set_child_setup([] { umask(0); });
    // A field trace that cannot be written: one log line, and the daemon serves as ever.
    const std::string trace = rig.path("no/such/folder/trace.jsonl");
    rig.start_daemon({kQuickWaits, "ORV_NVRAM=" + rig.path("lib/nvram.db"), "ORV_TRACE=" + trace});
    EXPECT_EQ(count(rig.log_messages(),
                    "trace " + trace + " not written: open No such file or directory"),
              1u);
    rig.send(ORV_MDM_GET_ICCID);  // it writes to the store
    ASSERT_TRUE(rig.wait_for([&] { return mode_of(rig.path("lib/nvram.db-shm")) != 0; }))
        << "the ICCID request made no store";
    for (const char* dir : {"run", "log", "lib"}) {
        EXPECT_EQ(mode_of(rig.path(dir)), S_IFDIR | 0750) << dir;
    }
    EXPECT_EQ(mode_of(rig.path("run/orv_mdm_path")), S_IFSOCK | 0660);
    for (const char* file :
         {"log/orv_mdm.log", "lib/nvram.db", "lib/nvram.db-wal", "lib/nvram.db-shm"}) {
        EXPECT_EQ(mode_of(rig.path(file)), S_IFREG | 0640) << file;
    }

    rig.stop_modem();
    rig.send(ORV_MDM_GET_ICCID);
    ASSERT_TRUE(rig.wait_for([&] { return count(rig.log_messages(), kRequestDone) == 2; }))
        << "the request without a modem did not end";
    rig.start_modem({.tcp_port = port});
    rig.send(ORV_MDM_GET_ICCID);
    const std::string served = std::string("sim iccid is ") + kIccid;
    EXPECT_TRUE(rig.wait_for([&] { return count(rig.log_messages(), served) == 2; }))
        << "the modem came back, and the ICCID request was not served";
    EXPECT_EQ(rig.run_second_daemon(), 255);
    EXPECT_TRUE(rig.daemon_running());
    // Each start begins its log with the version, the refused one (logging to log2/) too.
    const std::string starting = "orv_mdm " ORV_VERSION " starting";
    EXPECT_EQ(rig.log_messages().front(), starting);
    std::string second;
    std::getline(std::ifstream(rig.path("log2/orv_mdm.log")), second);
    EXPECT_TRUE(second.ends_with(" " + starting)) << second;
}

// ---------------------------------------------------------------------------------------------
// Killed at random moments while it writes and commits: the store always opens cleanly and keeps
// every ICCID whose commit the daemon had acknowledged in its log.

// SQLite's verdict on the store ("ok"), or "absent" when there is none.
std::string integrity(const std::string& db_path) {
    if (access(db_path.c_str(), F_OK) != 0) {
        return "absent";
    }
    sqlite3* db = nullptr;
    std::string result;
    sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const auto first = [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) = values[0];
        return 1;
    };
    sqlite3_exec(db, "PRAGMA integrity_check", first, &result, nullptr);
    result = result.empty() ? sqlite3_errmsg(db) : result;
    sqlite3_close(db);
    return result;
}

// The last ICCID the log shows committed: "sim iccid is X", later "iccid change,auto set
// language  " (logged after the save returned); "" for none. The ICCIDs here have one length and
// sort as their SIMs' numbers.
std::string last_acknowledged(Rig& rig) {
    std::string seen, acknowledged;
    for (const std::string& m : rig.log_messages()) {
        if (m.starts_with("sim iccid is ")) {
            seen = m.substr(13);
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
    // The ICCID of SIM s: 89441000000 and the digits of 10000000 + s; published with an F after.
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
    for (int round = 0; round < kRounds; ++round) {
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
        const std::string acknowledged = last_acknowledged(rig);
        const std::string check = integrity(rig.path("nvram.db"));
        ASSERT_TRUE(check == "ok" || (check == "absent" && acknowledged.empty())) << check;
        const std::string committed = rig.store("iccid").value_or("");
        // Later SIMs may have been committed after the last log line; never an earlier one.
        EXPECT_GE(committed, acknowledged);
        EXPECT_GE(rig.store("sim_iccid").value_or(""), acknowledged);
    }
}

// ---------------------------------------------------------------------------------------------
// Store, disk, log and standard output faults, found at start-up or met while running, with a
// controller that reads nothing: the store's failures are logged in its own log, no request
// hangs, and once the fault is gone the next request is served by the same process.

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
        bool modes;         // file modes must bind the daemon: as root, it runs as an ordinary user
        bool at_start;      // the daemon finds the fault when it starts; else it meets it running
        bool store_logged;  // the store's failure appears in its log
        bool held;          // a controller holds the store open through the fault and repair
        Step fault, repair;
    } rows[] = {
        {"the store file is not a database", false, true, true, false,
         [](Rig& rig) {
             unlink(rig.path("nvram.db-wal").c_str());
             unlink(rig.path("nvram.db-shm").c_str());
             std::ofstream(rig.path("nvram.db")) << std::string(8192, 'z');
         },
         [](Rig& rig) { unlink(rig.path("nvram.db").c_str()); }},
        // Made read-only with no WAL beside it (the last connection to close had checkpointed
        // and removed it): the daemon's SQLite makes a new one with the read-only mode.
        {"the store is read-only", true, true, true, true,
         [](Rig& rig) {
             rig.unset("sim_iccid");  // as the last connection, removes the WAL
             ASSERT_EQ(mode_of(rig.path("nvram.db-wal")), 0u);
             ASSERT_EQ(chmod(rig.path("nvram.db").c_str(), 0440), 0);
         },
         mode("nvram.db", 0640)},
        // The store's write-ahead log and the daemon's log both fail their writes. Only the
        // daemon's own user (or a capability this may lack) may change its limits.
        {"the disk is full", false, false, true, true, size_limit(4096), size_limit(RLIM_INFINITY)},
        {"standard output's reader is gone", false, true, false, false, output(true), [](Rig&) {}},
        {"standard output is full", false, true, false, false, output(false), [](Rig&) {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Rig rig;
        if (row.modes) {
            rig.run_unprivileged();
        }
        // Past the size limit a write fails with EFBIG instead of killing the writer.
        rig.set_child_setup([] { signal(SIGXFSZ, SIG_IGN); });
        // The modem on TCP: a new daemon, a new client. The field trace on, which must change
        // nothing (past the size limit its writes fail too, and it stops).
        const std::string traced = "ORV_TRACE=" + rig.path("trace.jsonl");
        rig.start({.tcp_port = 0}, {kQuickWaits, traced});
        ASSERT_TRUE(probe(rig)) << "the first ICCID request was not published";  // store made
        std::string head;
        std::getline(std::ifstream(rig.path("trace.jsonl")), head);
        EXPECT_NE(head.find(R"("ver":")" ORV_VERSION "\""), std::string::npos) << head;
        if (row.at_start) {
            rig.stop_daemon();
        }
        row.fault(rig);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        if (row.at_start) {
            rig.start_daemon({kQuickWaits, traced});
        }
        // Each PIN state query writes the store, echoes its answers and notifies the controller,
        // which reads nothing here: its queue fills up after ten. A query's effect cannot be seen
        // in a failing store or log, so each is waited for until the modem has had its commands,
        // one at a time (a daemon that hangs would leave the test's sends hanging behind it).
        for (int i = 0; i < 12; ++i) {
            const std::size_t sent = rig.journal().size() + 2;  // AT+CPIN? and AT+EPINC
            rig.send(msg::ORV_MDM_GET_PIN_STATUS);
            ASSERT_TRUE(rig.wait_for([&] { return rig.journal().size() >= sent; }))
                << "PIN state query " << i << ": the modem did not get its two commands";
        }
        if (row.store_logged) {
            // The store's own log is made by its first failure.
            const std::string log = rig.path("log/orv_nvram.log");
            EXPECT_TRUE(rig.wait_for([&] { return std::filesystem::exists(log); })) << "no " << log;
        }
        if (row.held) {
            rig.keep_store_open();
        }
        row.repair(rig);
        const std::size_t logged = rig.log_messages().size();
        EXPECT_TRUE(probe(rig)) << "after the repair, the ICCID request was not published";
        EXPECT_TRUE(rig.wait_for([&] { return rig.log_messages().size() > logged; }))
            << "after the repair, the daemon's log was not written again";
        close(std::exchange(ends[0], -1));
        close(std::exchange(ends[1], -1));
    }
}

}  // namespace
}  // namespace orv::e2e
