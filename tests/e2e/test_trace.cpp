// The field trace of a running daemon: past its size limit (ORV_TRACE_LIMIT here, 4 MiB on the
// device) the recorder moves the file to FILE.1 between two requests and begins FILE with a fresh
// head, and each file replays on its own against today's daemon with orv_trace.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

using namespace msg;

// Two cards whose ICCIDs choose two languages.
constexpr const char* kTwoSims =
    "inserted = \"first\"\n"
    "[sim.first]\niccid = \"8944123456789012345\"\n"
    "[sim.second]\niccid = \"8933150123456789012\"\nimsi = \"208150123456789\"\n"
    "languages = [\"fr\"]\nmnc_digits = 3\n";

Lines lines_of(const std::string& path) {
    Lines lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool has(const Lines& lines, const std::string& text) {
    for (const std::string& l : lines) {
        if (l.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// orv_trace replay --fast FILE; its exit status, its messages in `out`.
int replay(Rig& rig, const std::string& file, std::string& out) {
    const std::string log = rig.path("replay.out");
    const int status = std::system(
        (bin_path("orv_trace") + " replay --fast '" + file + "' >'" + log + "' 2>&1").c_str());
    std::ifstream in(log);
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The second file begins after the start-up: its head carries the store as it is then and the
// language setting read at start-up, so that its new card's language is set on replay as it was
// live; the first file holds the start-up and ends with a whole request.
TEST(Trace, RotatesPastItsLimitAndEachFileReplaysOnItsOwn) {
    Rig rig;
    rig.write_factory_item(2301, std::string("\x01", 1));  // the language follows the SIM
    const std::string trace = rig.path("trace.jsonl");
    rig.start({.profile = kTwoSims}, {"ORV_TRACE=" + trace, "ORV_TRACE_LIMIT=16384"});
    ASSERT_TRUE(rig.serve(ORV_MDM_GET_ICCID));
    for (int i = 0; i < 500 && !std::filesystem::exists(trace + ".1"); ++i) {
        ASSERT_TRUE(rig.serve(ORV_MDM_GET_IMEI));
    }
    ASSERT_TRUE(std::filesystem::exists(trace + ".1")) << "no rotation";
    rig.modem_ctl({"swap", "second"});
    ASSERT_TRUE(rig.serve(ORV_MDM_GET_ICCID));
    ASSERT_TRUE(rig.serve(ORV_MDM_GET_IMSI));
    ASSERT_TRUE(rig.serve(ORV_MDM_GET_IMEI));  // its "idle" ends the one before
    EXPECT_EQ(rig.store("Language"), "fr");
    rig.stop_daemon();

    const Lines first = lines_of(trace + ".1");
    const Lines second = lines_of(trace);
    ASSERT_FALSE(first.empty() || second.empty());
    EXPECT_EQ(first.front().find("continued"), std::string::npos) << first.front();
    EXPECT_TRUE(has(first, "\"c\":\"AT+EGTYPE=2\""));
    EXPECT_TRUE(first.back().starts_with(R"({"k":"idle")")) << first.back();
    EXPECT_NE(second.front().find("\"continued\":true"), std::string::npos) << second.front();
    EXPECT_FALSE(has(second, "\"c\":\"AT+EGTYPE=2\""));
    EXPECT_TRUE(has(second, R"("k":"preset")") &&
                has(second, R"("n":"iccid","v":"8944123456789012345F")"));
    EXPECT_TRUE(has(second, R"("k":"cfg")") && has(second, R"("id":2301,"rc":1,"v":"\u0001")"));
    EXPECT_LE(std::filesystem::file_size(trace), 16384u);  // rotated once

    for (const std::string& file : {trace, trace + ".1"}) {
        std::string out;
        EXPECT_EQ(replay(rig, file, out), 0) << file << ":\n" << out;
    }
}

}  // namespace
}  // namespace orv::e2e
