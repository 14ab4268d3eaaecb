// No heap on the request path: the heap-counting build of the daemon (heap_counter.cpp) serves a
// long mixed run of requests after start-up; its own allocations must not grow at all, and
// SQLite's bytes in use must stay within a small bound.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>

#include "tools/rig/rig.h"

namespace orv::e2e {
namespace {

#ifdef ORV_HEAPCOUNT_BUILT

using Counters = std::map<std::string, long>;

Counters read_counters(Rig& rig) {
    const std::string report = rig.path("heap.report");
    unlink(report.c_str());
    kill(rig.daemon_pid(), SIGUSR1);
    Counters c;
    rig.wait_for([&] {
        std::ifstream in(report);
        std::string line;
        c.clear();
        while (std::getline(in, line)) {
            const std::size_t eq = line.find('=');
            if (eq != std::string::npos) {
                c[line.substr(0, eq)] = std::atol(line.c_str() + eq + 1);
            }
        }
        return c.size() == 5;
    });
    return c;
}

// One request of the mix: identifier and payload. Codes are the SIM's own, so no counter drops.
struct Request {
    std::uint32_t id;
    std::string payload;
};

std::string field(const std::string& text, std::size_t size) {
    std::string f = text;
    f.resize(size, '\0');
    return f;
}

TEST(Heap, TheRequestPathAllocatesNothing) {
    // Every request that needs no timer: the battery (its waits) and the network unlock (its
    // 2 s) are left out, as are the inert ones' timers (none).
    // PIN entry while none waits, PIN change to the same PIN, PIN lock query, and the rest.
    std::vector<Request> mix = {{3, field("1234", 10)},
                                {4, field("", 10) + field("1234", 10) + "1234"},
                                {5, std::string(12, '\0') + le32(2)},
                                {17, le32(0)},
                                {21, "junk"},
                                {4000, "unknown"}};
    for (const std::uint32_t id :
         {0, 1, 2, 6, 7, 8, 9, 11, 12, 14, 15, 16, 18, 26, 27, 28, 29, 30, 31, 32}) {
        mix.push_back({id, ""});
    }
    Rig rig;
    rig.write_factory_item(2000, "ORV-1.0");
    rig.write_factory_item(2301, std::string("\x01", 1));
    rig.set_daemon_binary("orv_mdm_heapcount");
    rig.start({}, {"ORV_AT_WAIT_SCALE=0.02", "ORV_HEAP_REPORT=" + rig.path("heap.report")});

    std::size_t served = 0;
    const auto run = [&](std::size_t n, std::uint32_t seed) {
        std::mt19937 rng(seed);
        for (std::size_t i = 0; i < n; ++i) {
            const Request& r = i < mix.size() ? mix[i] : mix[rng() % mix.size()];
            rig.send(r.id, r.payload);
        }
        served += n;
        const std::string marker = "msg_id = " + std::to_string(5000 + served);
        rig.send(static_cast<std::uint32_t>(5000 + served));
        return rig.wait_log(marker + ", ORV_MDM_UNKNOWN_MSG", 120s);
    };

    // Start-up ends with each request served once: the store is opened, the device database
    // read, the time zone loaded, standard output's buffer made.
    ASSERT_TRUE(run(mix.size(), 1));
    const Counters base = read_counters(rig);
    ASSERT_EQ(base.size(), 5u);

    ASSERT_TRUE(run(2000, 2));
    const Counters after = read_counters(rig);
    ASSERT_EQ(after.size(), 5u);
    ASSERT_TRUE(rig.daemon_running());

    for (const auto* c : {&base, &after}) {
        std::printf(
            "[ figures  ] %ld C allocations, %ld operator new, %ld SQLite allocations "
            "(%ld bytes in use, peak %ld)\n",
            c->at("c_calls"), c->at("new_calls"), c->at("sqlite_calls"), c->at("sqlite_bytes"),
            c->at("sqlite_peak"));
    }
    EXPECT_EQ(after.at("c_calls"), base.at("c_calls"));
    EXPECT_EQ(after.at("new_calls"), base.at("new_calls"));
    // SQLite allocates and frees inside its calls; what it holds stays where it was.
    EXPECT_LE(after.at("sqlite_bytes"), base.at("sqlite_bytes") + 16 * 1024);
    EXPECT_LE(after.at("sqlite_peak"), base.at("sqlite_peak") + 64 * 1024);
}

#else

TEST(Heap, TheRequestPathAllocatesNothing) {
    GTEST_SKIP() << "no heap-counting build in a sanitizer build";
}

#endif

}  // namespace
}  // namespace orv::e2e
