// The control language: words of a control line, and commands acting on the modem.
#include <gtest/gtest.h>

#include "tools/modem_sim/control.h"

namespace orv::modem_sim {
namespace {

using namespace std::string_literals;

TEST(ModemSimControl, TokenizeAndQuoteRoundTrip) {
    const std::vector<std::string> rows[] = {
        {"swap", "second"},
        {"script", "AT+CPIN=\"1234\"", "answer", "\\r\\n+CME ERROR: x\\r\\n", "2"},
        {"urc", "say \"hi\" \\ there"},
        {"urc", ""},
    };
    for (const std::vector<std::string>& words : rows) {
        std::string line = " ";
        for (const std::string& w : words) {
            line += quote_word(w) + "  ";
        }
        EXPECT_EQ(tokenize(line), words) << line;
    }
    EXPECT_EQ(tokenize("urc \"a \\\"b\\\" \\\\\""),
              (std::vector<std::string>{"urc", "a \"b\" \\"}));
    EXPECT_FALSE(tokenize("urc \"open"));
}

TEST(ModemSimControl, CommandsActOnTheModem) {
    ModemSim sim(
        parse_profile("[device]\ncmee = 2\n[sim.default]\n[sim.other]\nimsi = \"1\"\n", "control"));
    const struct {
        const char* command;
        bool ok;
        const char* then_send;    // a modem command sent afterwards, or nullptr
        const char* then_answer;  // its answer
    } rows[] = {
        {"script AT+CIMI answer \"\\r\\nX\\r\\n\" 1", true, "AT+CIMI", "\r\nX\r\n"},
        {"state", true, "AT+CIMI", "\r\n234150123456789\r\n\r\nOK\r\n"},  // used up
        {"script at+cg* silent always", true, "AT+CGSN", ""},
        {"state", true, "AT+CGSN", ""},
        {"script AT+CGSN hangup", true, nullptr, nullptr},
        {"script clear", true, "AT+CGSN", "\r\n356938035643809\r\n\r\nOK\r\n"},
        {"script AT+CGSN report before \"+CREG: 1\" report inside RING report after \"+CGEV: x\" 1",
         true, "AT+CGSN",
         "\r\n+CREG: 1\r\n\r\n356938035643809\r\n\r\nRING\r\n\r\nOK\r\n\r\n+CGEV: x\r\n"},
        {"script AT report sideways RING", false, nullptr, nullptr},
        {"script AT", false, nullptr, nullptr},  // no action
        {"script AT delay soon", false, nullptr, nullptr},
        {"script AT silent 0", false, nullptr, nullptr},
        {"swap other", true, "AT+CIMI", "\r\n1\r\n\r\nOK\r\n"},
        {"swap nobody", false, "AT+CIMI", "\r\n1\r\n\r\nOK\r\n"},
        {"remove", true, "AT+CPIN?", "\r\n+CME ERROR: SIM not inserted\r\n"},
        {"busy 1", false, nullptr, nullptr},  // no SIM to be busy
        {"insert default", true, "AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"busy 1", true, "AT+CPIN?", "\r\n+CME ERROR: SIM busy\r\n"},
        {"dance", false, nullptr, nullptr},
    };
    for (const auto& r : rows) {
        const ControlResult res = run_control(sim, r.command);
        EXPECT_EQ(res.ok, r.ok) << r.command << ": " << res.reply;
        EXPECT_EQ(res.reply.rfind("error:", 0) == 0, !r.ok) << r.command;
        if (r.then_send != nullptr) {
            EXPECT_EQ(sim.feed(r.then_send).bytes, r.then_answer) << r.command;
        }
    }
    EXPECT_NE(run_control(sim, "state").reply.find("sim: default\ncpin: READY\n"),
              std::string::npos);
    EXPECT_EQ(run_control(sim, "urc +CREG: 1").urcs, std::vector<std::string>{"+CREG: 1"});
    EXPECT_TRUE(run_control(sim, "hangup").hangup);
    EXPECT_TRUE(run_control(sim, "quit").quit);
    EXPECT_FALSE(run_control(sim, "hangup now").hangup);
    EXPECT_TRUE(run_control(sim, "script AT delay 300").ok);
    EXPECT_EQ(sim.feed("AT").delay_ms, 300);
    // How the bytes go on the wire: line ends and NUL noise.
    const std::pair<const char*, std::string> wire[] = {
        {"lineend cr", "\r4\rOK\r"}, {"lineend lf", "\n4\nOK\n"}, {"noise 3", "\n4\n\0OK\n\0"s}};
    for (const auto& [command, bytes] : wire) {
        EXPECT_TRUE(run_control(sim, command).ok) << command;
        EXPECT_EQ(sim.on_the_wire("\r\n4\r\nOK\r\n"), bytes) << command;
    }
    EXPECT_NE(run_control(sim, "state").reply.find("line_end: lf\nnoise: 3\n"), std::string::npos);
    EXPECT_FALSE(run_control(sim, "lineend crcr").ok);
    EXPECT_FALSE(run_control(sim, "noise -1").ok);
}

}  // namespace
}  // namespace orv::modem_sim
