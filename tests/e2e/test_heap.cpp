// No heap on the request path: the heap-counting build of the daemon (heap_counter.cpp) serves a
// long mixed run of requests and oversized datagrams after start-up; allocations outside SQLite
// must not grow at all, and SQLite's bytes in use must stay within a small bound, so resident
// memory stays flat. The field trace is on meanwhile: recording allocates nothing either.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

#ifdef ORV_HEAPCOUNT_BUILT

// heap_counter.cpp's report, as it lays it out.
struct Counters {
    long calls, sqlite_bytes;
};

Counters read_counters(Rig& rig) {
    Counters c{-1, -1};
    std::ifstream(rig.path("heap.report"), std::ios::binary)
        .read(reinterpret_cast<char*>(&c), sizeof c);
    std::printf("[ figures  ] %ld allocations, SQLite %ld bytes in use\n", c.calls, c.sqlite_bytes);
    return c;
}

TEST(Heap, TheRequestPathAllocatesNothing) {
    using namespace msg;
    // Codes the SIM takes, so that no counter drops: PIN entry while none waits, a PIN change to
    // the same PIN, the PIN lock query.
    std::map<std::uint32_t, std::string> payloads = {
        {ORV_MDM_VERIFY_PIN, "1234"},
        {ORV_MDM_CHANGE_PIN, std::string(10, '\0') + "1234" + std::string(6, '\0') + "1234"},
        {ORV_MDM_PIN_MODE, std::string(12, '\0') + le32(pin_mode::kQuery)},
        {ORV_MDM_SET_MODEM_MODE, le32(0)},
        {ORV_MDM_GET_SIM_INIT_COMPLETE_FLAG_MSG, "junk"}};
    // Every request but those with real sleeps (the battery's 7 s, the network unlock's 2 s), and
    // datagrams longer than the receive buffer, to an identifier without a timer and to unknown
    // ones.
    const std::string noise(1400, '\xa5');
    std::vector<std::pair<std::uint32_t, std::string>> mix = {
        {4000, "unknown"}, {ORV_MDM_GET_MEID_and_ESN, noise}, {0xFFFFFFFFu, noise}};
    for (std::uint32_t id = 0; id < kMsgCount; ++id) {
        if (id != ORV_MDM_GET_BATT_INFO && id != ORV_MDM_NET_UNLOCK) {
            mix.emplace_back(id, payloads[id]);
        }
    }
    Rig rig;
    rig.write_factory_item(2000, "ORV-1.0");
    rig.write_factory_item(2301, std::string("\x01", 1));
    rig.set_daemon_binary("orv_mdm_heapcount");
    rig.start({}, {"ORV_AT_WAIT_SCALE=0.02", "ORV_HEAP_REPORT=" + rig.path("heap.report"),
                   "ORV_TRACE=" + rig.path("trace.jsonl")});

    std::uint32_t marker = 5000;
    const auto run = [&](std::size_t n, std::uint32_t seed) {
        std::mt19937 rng(seed);
        for (std::size_t i = 0; i < n; ++i) {
            const auto& [id, payload] = i < mix.size() ? mix[i] : mix[rng() % mix.size()];
            rig.send(id, payload);
        }
        rig.send(++marker);
        return rig.wait_log("msg_id = " + std::to_string(marker) + ", ORV_MDM_UNKNOWN_MSG", 120s);
    };
    // Start-up ends with each request served once: the store is opened, the device database
    // read, the time zone loaded, standard output's buffer made.
    ASSERT_TRUE(run(mix.size(), 1));
    const Counters base = read_counters(rig);
    ASSERT_TRUE(run(2000, 2));
    const Counters after = read_counters(rig);
    ASSERT_GT(base.calls, 0);  // the report is there and counts
    EXPECT_EQ(after.calls, base.calls);
    // SQLite allocates and frees inside its calls; what it holds between them stays put.
    EXPECT_LE(after.sqlite_bytes, base.sqlite_bytes + 16 * 1024);
    std::ifstream trace(rig.path("trace.jsonl"));
    long recorded = 0;  // the requests the trace holds: it recorded the whole run
    for (std::string line; std::getline(trace, line);) {
        recorded += line.starts_with("{\"k\":\"req\"") ? 1 : 0;
    }
    EXPECT_GT(recorded, 2000);
}

#endif  // no heap-counting build in a sanitizer build, whose runtime owns the allocator

}  // namespace
}  // namespace orv::e2e
