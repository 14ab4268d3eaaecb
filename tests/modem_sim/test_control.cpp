#include <gtest/gtest.h>

#include "tools/modem_sim/control.h"

namespace orv::modem_sim {
namespace {

TEST(ModemSimControl, TokenizeAndQuoteRoundTrip) {
    struct Row {
        const char* line;
        std::vector<std::string> words;
    } rows[] = {
        {"state", {"state"}},
        {"  swap   second ", {"swap", "second"}},
        {"script AT+CPIN=\"1234\" answer \"\\r\\n+CME ERROR: x\\r\\n\" 2",
         {"script", "AT+CPIN=\"1234\"", "answer", "\\r\\n+CME ERROR: x\\r\\n", "2"}},
        {"urc \"say \\\"hi\\\" \\\\ there\"", {"urc", "say \"hi\" \\ there"}},
        {"urc \"\"", {"urc", ""}},
    };
    for (const Row& r : rows) {
        const auto words = tokenize(r.line);
        ASSERT_TRUE(words) << r.line;
        EXPECT_EQ(*words, r.words) << r.line;
        std::string requoted;
        for (const std::string& w : r.words) {
            requoted += quote_word(w) + " ";
        }
        EXPECT_EQ(tokenize(requoted), r.words) << requoted;
    }
    EXPECT_FALSE(tokenize("urc \"open"));
}

TEST(ModemSimControl, ScriptWords) {
    struct Row {
        std::vector<std::string> words;
        bool ok;
        bool prefix;
        std::optional<std::string> answer;
        bool silent, hangup;
        int delay, count;
    } rows[] = {
        {{"AT+CIMI", "answer", "\\r\\nERROR\\r\\n", "2"},
         true,
         false,
         "\r\nERROR\r\n",
         false,
         false,
         0,
         2},
        {{"AT+CRSM=*", "silent"}, true, true, std::nullopt, true, false, 0, -1},
        {{"AT+CNUM", "hangup", "always"}, true, false, std::nullopt, false, true, 0, -1},
        {{"AT", "delay", "300", "answer", "x", "1"}, true, false, "x", false, false, 300, 1},
        {{"AT"}, false},
        {{"AT", "delay", "soon"}, false},
        {{"AT", "silent", "0"}, false},
        {{"AT", "shout"}, false},
        {{}, false},
    };
    for (const Row& r : rows) {
        std::string error;
        const auto rule = parse_script(r.words, error);
        ASSERT_EQ(rule.has_value(), r.ok) << error;
        if (!rule) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(rule->prefix, r.prefix);
        EXPECT_EQ(rule->answer, r.answer);
        EXPECT_EQ(rule->silent, r.silent);
        EXPECT_EQ(rule->hangup, r.hangup);
        EXPECT_EQ(rule->delay_ms, r.delay);
        EXPECT_EQ(rule->count, r.count);
    }
}

TEST(ModemSimControl, CommandsActOnTheModem) {
    ModemSim sim(
        parse_profile("[device]\ncmee = 2\n[sim.default]\n[sim.other]\nimsi = \"1\"\n", "control"));
    struct Row {
        const char* command;
        bool ok;
        const char* then_send;    // a modem command sent afterwards, or nullptr
        const char* then_answer;  // its answer
    } rows[] = {
        {"script AT+CIMI answer \"\\r\\nX\\r\\n\" 1", true, "AT+CIMI", "\r\nX\r\n"},
        {"state", true, "AT+CIMI", "\r\n234150123456789\r\n\r\nOK\r\n"},
        {"swap other", true, "AT+CIMI", "\r\n1\r\n\r\nOK\r\n"},
        {"swap nobody", false, "AT+CIMI", "\r\n1\r\n\r\nOK\r\n"},
        {"remove", true, "AT+CPIN?", "\r\n+CME ERROR: SIM not inserted\r\n"},
        {"busy 1", false, nullptr, nullptr},
        {"insert default", true, "AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"busy 1", true, "AT+CPIN?", "\r\n+CME ERROR: SIM busy\r\n"},
        {"script AT+CGSN hangup", true, nullptr, nullptr},
        {"script clear", true, "AT+CGSN", "\r\n356938035643809\r\n\r\nOK\r\n"},
        {"dance", false, nullptr, nullptr},
        {"", false, nullptr, nullptr},
    };
    for (const Row& r : rows) {
        const ControlResult res = run_control(sim, r.command);
        EXPECT_EQ(res.ok, r.ok) << r.command << ": " << res.reply;
        EXPECT_EQ(res.reply.rfind("error:", 0) == 0, !r.ok) << r.command;
        if (r.then_send != nullptr) {
            EXPECT_EQ(sim.feed(r.then_send).bytes, r.then_answer) << r.command;
        }
    }

    const ControlResult state = run_control(sim, "state");
    EXPECT_NE(state.reply.find("sim: default\ncpin: READY\n"), std::string::npos) << state.reply;

    const ControlResult urc = run_control(sim, "urc +CREG: 1");
    ASSERT_EQ(urc.urcs.size(), 1u);
    EXPECT_EQ(urc.urcs[0], "+CREG: 1");
    EXPECT_TRUE(run_control(sim, "hangup").hangup);
    EXPECT_TRUE(run_control(sim, "quit").quit);
    EXPECT_FALSE(run_control(sim, "hangup now").hangup);
}

}  // namespace
}  // namespace orv::modem_sim
