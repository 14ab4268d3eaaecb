// Modems as they are: silent commands, late answers, reports of every shape inside the answers of
// a modem that finishes its SIM set-up, and ports that cannot be used. The daemon must send every
// command, publish what the answers say and nothing of the noise, and say why a port fails.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

using namespace msg;
using Store = std::map<std::string, std::string>;

constexpr const char* kQuickWaits = "ORV_AT_WAIT_SCALE=0.02";  // a wait of 10 s becomes 200 ms

// Sends a request and waits until the daemon has served it.
void serve(Rig& rig, std::uint32_t id, const std::string& payload = "") {
    ASSERT_TRUE(rig.serve(id, payload)) << "request " << id << " was not served";
}

// After a command the modem never answers, the next command is sent: the operator pay-type
// file's silent read is followed by the service-table fallback, a silent IMSI read by the next
// request's own-number read; each publishes what it would have published without the silence.
// An answer 0.25 of a wait late is dropped, never taken for the next command's.
TEST(Modems, NoCommandIsLostAfterASilentOneAndALateAnswerIsDropped) {
    Rig rig;
    rig.start({}, {"ORV_AT_WAIT_SCALE=0.1"});  // a wait of 10 s is 1 s; half of it 500 ms
    serve(rig, ORV_MDM_MAX_MSG);               // pay type: no operator file, from the fallback
    serve(rig, ORV_MDM_GET_MSISDN);
    const Store plain = rig.store_values();
    ASSERT_EQ(plain.count("sim_pay_type_o2"), 1u);
    ASSERT_EQ(plain.count("msisdn"), 1u);

    rig.unset("sim_pay_type_o2");
    rig.modem_ctl({"script", "AT+CRSM=176,28418*", "silent", "1"});
    serve(rig, ORV_MDM_MAX_MSG);
    EXPECT_EQ(rig.store("sim_pay_type_o2"), plain.at("sim_pay_type_o2"));

    rig.unset("msisdn");
    rig.modem_ctl({"script", "AT+CIMI", "silent", "1"});
    serve(rig, ORV_MDM_GET_IMSI);
    serve(rig, ORV_MDM_GET_MSISDN);
    EXPECT_EQ(rig.store("msisdn"), plain.at("msisdn"));

    rig.unset("sim_imsi");
    rig.unset("imei");
    rig.modem_ctl({"script", "AT+CIMI", "delay", "1250", "1"});  // 250 ms after the timeout
    serve(rig, ORV_MDM_GET_IMSI);
    serve(rig, ORV_MDM_GET_IMEI);
    EXPECT_EQ(rig.store("imei"), "356938035643809");
    EXPECT_EQ(rig.store("sim_imsi"), std::nullopt);  // it timed out
    const Lines sent = rig.commands();
    const Lines expected = {"AT+CRSM=176,28418,0,0,1,,\"7F43\"",
                            "AT+CRSM=176,28472,0,0,1,,\"7F20\"",
                            "AT+CNUM",
                            "AT+CRSM=176,28418,0,0,1,,\"7F43\"",
                            "AT+CRSM=176,28472,0,0,1,,\"7F20\"",
                            "AT+CIMI",
                            "AT+CNUM",
                            "AT+CIMI",
                            "AT+CGSN"};
    EXPECT_EQ(sent, expected);
}

// A modem finishing its SIM set-up: each report shape (public captures and manuals name them:
// Quectel, SIMCom, u-blox, Telit, Huawei and MediaTek modules) before, inside and after the
// answers of the SIM state and counter queries, the PIN entry, the IMSI, IMEI and ICCID reads.
// Every round publishes exactly what a round without them does; the PIN state query's own
// +CPIN: is its answer and stays.
TEST(Modems, ReportsOfEveryShapeLeaveEveryAnswerAsItWas) {
    const char* const shapes[] = {
        "+CPIN: READY", "+CPIN: SIM PIN", "+QUSIM: 1", "+QIND: SMS DONE", "+CFUN: 1",
        "*ATREADY: 1",  "+PACSP0",        "#QSS: 1",   "%CESQ: 33,2,0,0", "+STIN: 25",
        "+UUPSDD: 0",   "^SIMST: 1",      "^SRVST: 0", "^RSSI:14",        "RDY",
        "Call Ready",   "SMS Ready",      "PB DONE",   "SMS DONE",        "Ready",
        "RING"};
    const char* const commands[] = {"AT+CPIN?", "AT+EPINC", "AT+CPIN=*",
                                    "AT+CIMI",  "AT+CGSN",  "AT+CRSM=*"};
    Rig rig;
    rig.start({.profile = "[sim.default]\npin_lock = true\n"}, {kQuickWaits});
    // One round: the card powers up waiting for its PIN, which is entered; the store starts
    // empty and the notifications are counted from nothing.
    const auto round = [&](const char* shape) {
        for (const auto& [name, value] : rig.store_values()) {
            rig.unset(name);
        }
        const std::size_t notes = rig.notifications().size();
        const std::size_t sent = rig.journal().size();
        rig.modem_ctl({"insert", "default"});
        for (const char* command : commands) {
            if (shape != nullptr &&
                !(std::string(shape).starts_with("+CPIN:") && std::string(command) == "AT+CPIN?")) {
                rig.modem_ctl({"script", command, "report", "before", shape, "report", "inside",
                               shape, "report", "after", shape, "1"});
            }
        }
        serve(rig, ORV_MDM_GET_PIN_STATUS);
        serve(rig, ORV_MDM_VERIFY_PIN, "1234");
        serve(rig, ORV_MDM_GET_IMSI);
        serve(rig, ORV_MDM_GET_IMEI);
        serve(rig, ORV_MDM_GET_ICCID);
        rig.modem_ctl({"script", "clear"});
        const Lines all = rig.journal();
        const Lines received = rig.notifications();
        return std::tuple(
            rig.store_values(),
            Lines(received.begin() + static_cast<std::ptrdiff_t>(notes), received.end()),
            Lines(all.begin() + static_cast<std::ptrdiff_t>(sent), all.end()));
    };
    const auto plain = round(nullptr);
    const auto& [store, notes, sent] = plain;
    ASSERT_EQ(store.count("imei") + store.count("sim_imsi") + store.count("sim_iccid"), 3u);
    EXPECT_EQ(store.at("imei"), "356938035643809");
    EXPECT_EQ(store.at("sim_imsi"), "234150123456789");
    EXPECT_EQ(store.at("sim_iccid"), "8944123456789012345F");
    EXPECT_GE(notes.size(), 2u);  // the PIN state and the PIN entry's result at least
    for (const char* shape : shapes) {
        SCOPED_TRACE(shape);
        const auto noisy = round(shape);
        EXPECT_EQ(std::get<0>(noisy), store);
        EXPECT_EQ(std::get<1>(noisy), notes);
        EXPECT_EQ(std::get<2>(noisy), sent);
    }
}

// orv_mdm_send status: the read-only requests served, their values in one JSON object.
TEST(Modems, StatusShowsWhatTheReadOnlyRequestsPublished) {
    Rig rig;
    rig.start({}, {kQuickWaits});
    const std::string command =
        "ORV_RUN_DIR=" + rig.path("run") + " ORV_NVRAM=" + rig.path("nvram.db") +
        " ORV_LOG_DIR=" + rig.path("log") + " " + bin_path("orv_mdm_send") + " status --json";
    std::FILE* out = popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string json;
    for (char buf[512]; std::fgets(buf, sizeof buf, out) != nullptr;) {
        json += buf;
    }
    EXPECT_EQ(pclose(out), 0) << json;
    for (const char* part : {"\"sim_state\":\"READY\"", "\"imei\":\"356938035643809\"",
                             "\"imsi\":\"234150123456789\"", "\"service_provider\":\"Orvio\""}) {
        EXPECT_NE(json.find(part), std::string::npos) << part << " not in " << json;
    }
}

// A port that is missing, or that the daemon's user may not open, ends each request with the
// empty answer; the channel's log names the port and the system's reason once.
TEST(Modems, APortThatCannotBeUsedSaysWhyOnce) {
    for (const bool missing : {true, false}) {
        SCOPED_TRACE(missing ? "missing" : "refused");
        Rig rig;
        rig.run_unprivileged();
        const std::string port = rig.path("modem");
        if (!missing) {
            std::ofstream(port) << "";
            ASSERT_EQ(chmod(port.c_str(), 0), 0);
        }
        rig.start_daemon({kQuickWaits, "ORV_MODEM=" + port});
        serve(rig, ORV_MDM_GET_IMEI);
        serve(rig, ORV_MDM_GET_IMEI);
        const std::string reason = missing ? "No such file or directory" : "Permission denied";
        std::ifstream log(rig.path("log/orv_at.log"));
        Lines logged;
        for (std::string line; std::getline(log, line);) {
            logged.push_back(line);
        }
        ASSERT_EQ(logged.size(), 1u) << "the channel's log: one line for the whole time";
        EXPECT_TRUE(logged[0].ends_with(" cannot open " + port + ": " + reason)) << logged[0];
    }
}

}  // namespace
}  // namespace orv::e2e
