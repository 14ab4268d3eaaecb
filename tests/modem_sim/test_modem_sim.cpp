#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/modem_sim/modem_sim.h"

namespace orv::modem_sim {
namespace {

// The answer a modem frames around its lines: "a|b" is "\r\na\r\n\r\nb\r\n".
std::string framed(std::string_view lines) {
    std::string out;
    std::size_t start = 0;
    while (true) {
        const std::size_t bar = lines.find('|', start);
        out += "\r\n" + std::string(lines.substr(start, bar - start)) + "\r\n";
        if (bar == std::string_view::npos) {
            return out;
        }
        start = bar + 1;
    }
}

struct Step {
    std::string_view command;
    std::string_view answer;  // framed lines
};

struct Conversation {
    const char* name;
    const char* profile;  // TOML; verbose error texts are switched on before the steps
    std::vector<Step> steps;
};

void walk(const Conversation& c) {
    ModemSim sim(parse_profile(c.profile, c.name));
    ASSERT_EQ(sim.feed("AT+CMEE=2").bytes, framed("OK")) << c.name;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        const Step& s = c.steps[i];
        const Reply r = sim.feed(s.command);
        EXPECT_EQ(r.kind, Reply::Kind::Answer) << c.name << " step " << i;
        EXPECT_EQ(r.bytes, framed(s.answer)) << c.name << " step " << i << " (" << s.command << ")";
    }
}

constexpr const char* kPinLocked = R"(
[sim.default]
pin = "1111"
pin_lock = true
)";

TEST(ModemSimPin, PinAndPukCounters) {
    const Conversation cases[] = {
        {"wrong PINs fall to PUK",
         kPinLocked,
         {{"AT+CPIN?", "+CPIN: SIM PIN|OK"},
          {"AT+CIMI", "+CME ERROR: SIM PIN required"},
          {"AT+CPIN=\"0000\"", "+CME ERROR: incorrect password"},
          {"AT+EPINC", "+EPINC: 2, 3, 10, 10|OK"},
          {"AT+CPIN=\"0000\"", "+CME ERROR: incorrect password"},
          {"AT+CPIN=\"0000\"", "+CME ERROR: SIM PUK required"},
          {"AT+CPIN?", "+CPIN: SIM PUK|OK"},
          {"AT+EPINC", "+EPINC: 0, 3, 10, 10|OK"},
          {"AT+CPIN=\"1111\"", "+CME ERROR: SIM PUK required"},
          {"AT+CNUM", "+CME ERROR: SIM PUK required"}}},
        {"right PIN refills the counter",
         kPinLocked,
         {{"AT+CPIN=\"0000\"", "+CME ERROR: incorrect password"},
          {"AT+CPIN=\"1111\"", "OK"},
          {"AT+CPIN?", "+CPIN: READY|OK"},
          {"AT+EPINC", "+EPINC: 3, 3, 10, 10|OK"},
          {"AT+CPIN=\"1111\"", "+CME ERROR: operation not allowed"}}},
        {"PUK unblocks with a new PIN",
         "[sim.default]\npin_attempts = 0\npuk = \"12345678\"\n",
         {{"AT+CPIN?", "+CPIN: SIM PUK|OK"},
          {"AT+CPIN=\"00000000\",\"2222\"", "+CME ERROR: incorrect password"},
          {"AT+EPINC", "+EPINC: 0, 3, 9, 10|OK"},
          {"AT+CPIN=\"12345678\",\"22\"", "+CME ERROR: Incorrect parameters"},
          {"AT+CPIN=\"12345678\",\"2222\"", "OK"},
          {"AT+CPIN?", "+CPIN: READY|OK"},
          {"AT+EPINC", "+EPINC: 3, 3, 10, 10|OK"},
          {"AT+CLCK=\"SC\",2", "+CLCK: 1|OK"},
          {"AT+CPWD=\"SC\",\"1234\",\"3333\"", "+CME ERROR: incorrect password"},
          {"AT+CPWD=\"SC\",\"2222\",\"3333\"", "OK"}}},
        {"last wrong PUK blocks the card for good",
         "[sim.default]\npin_attempts = 0\npuk_attempts = 1\n",
         {{"AT+CPIN=\"00000000\",\"2222\"", "+CME ERROR: SIM invalid - PUK blocked"},
          {"AT+CPIN?", "+CME ERROR: SIM invalid - PUK blocked"},
          {"AT+CPIN=\"12345678\",\"2222\"", "+CME ERROR: SIM invalid - PUK blocked"},
          {"AT+EPINC", "+EPINC: 0, 3, 0, 10|OK"},
          {"AT+CIMI", "+CME ERROR: SIM invalid - PUK blocked"},
          {"AT+CRSM=176,12258,0,0,10", "+CRSM: 144, 0,\"984421436587092143F5\"|OK"}}},
    };
    for (const Conversation& c : cases) {
        walk(c);
    }
}

TEST(ModemSimPin, ChangeAndLock) {
    const Conversation cases[] = {
        {"change PIN, then the new one counts",
         "",
         {{"AT+CPWD=\"SC\",\"1234\",\"5678\"", "OK"},
          {"AT+CPWD=\"SC\",\"1234\",\"9999\"", "+CME ERROR: incorrect password"},
          {"AT+EPINC", "+EPINC: 2, 3, 10, 10|OK"},
          {"AT+CLCK=\"SC\",1,\"5678\"", "OK"},
          {"AT+EPINC", "+EPINC: 3, 3, 10, 10|OK"},
          {"AT+CPWD=\"SC\",\"5678\",\"12\"", "+CME ERROR: Incorrect parameters"},
          {"AT+CPWD=\"P2\",\"5678\",\"1234\"", "+CME ERROR: operation not supported"}}},
        {"lock on, off and query",
         "",
         {{"AT+CLCK=\"SC\",2", "+CLCK: 0|OK"},
          {"AT+CLCK=\"SC\",1,\"1234\"", "OK"},
          {"AT+CLCK=\"SC\",2", "+CLCK: 1|OK"},
          {"AT+CLCK=\"SC\",0,\"9999\"", "+CME ERROR: incorrect password"},
          {"AT+CLCK=\"SC\",2", "+CLCK: 1|OK"},
          {"AT+CLCK=\"SC\",0,\"1234\"", "OK"},
          {"AT+CLCK=\"SC\",2", "+CLCK: 0|OK"},
          {"AT+CLCK=\"SC\",3,\"1234\"", "ERROR"},
          {"AT+CLCK=\"XX\",2", "+CME ERROR: operation not supported"}}},
        {"wrong PINs in lock and change commands also fall to PUK",
         "",
         {{"AT+CLCK=\"SC\",1,\"0000\"", "+CME ERROR: incorrect password"},
          {"AT+CPWD=\"SC\",\"0000\",\"4444\"", "+CME ERROR: incorrect password"},
          {"AT+CLCK=\"SC\",0,\"0000\"", "+CME ERROR: SIM PUK required"},
          {"AT+CPIN?", "+CPIN: SIM PUK|OK"},
          {"AT+CLCK=\"SC\",2", "+CLCK: 0|OK"}}},
        {"lock query works before the PIN, lock change does not",
         kPinLocked,
         {{"AT+CLCK=\"SC\",2", "+CLCK: 1|OK"},
          {"AT+CLCK=\"SC\",0,\"1111\"", "+CME ERROR: SIM PIN required"},
          {"AT+CPWD=\"SC\",\"1111\",\"2222\"", "+CME ERROR: SIM PIN required"}}},
    };
    for (const Conversation& c : cases) {
        walk(c);
    }
}

constexpr const char* kNetworkLocked = R"(
[sim.default.locks.network]
key = "11112222"
attempts = 3
)";

TEST(ModemSimPerso, ControlKeysAndLayouts) {
    const Conversation cases[] = {
        {"network key with attempts, then lock removal",
         kNetworkLocked,
         {{"AT+CPIN?", "+CPIN: PH-NET PIN|OK"},
          {"AT+ESMLCK?", "+ESMLCK: (0,1,3,3),(1,0,3,3),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"},
          {"AT+CPIN=\"00000000\"", "+CME ERROR: incorrect password"},
          {"AT+ESMLCK?", "+ESMLCK: (0,1,2,3),(1,0,3,3),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"},
          {"AT+CPIN=\"11112222\"", "OK"},
          {"AT+CPIN?", "+CPIN: READY|OK"},
          {"AT+ESMLCK?", "+ESMLCK: (0,1,3,3),(1,0,3,3),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"},
          {"AT+CLCK=\"PN\",2", "+CLCK: 1|OK"},
          {"AT+CLCK=\"PN\",0,\"11112222\"", "OK"},
          {"AT+ESMLCK?", "+ESMLCK: (0,0,3,3),(1,0,3,3),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"},
          {"AT+CLCK=\"PN\",0,\"11112222\"", "ERROR"},
          {"AT+CLCK=\"PU\",0,\"11112222\"", "ERROR"}}},
        {"lock removal with a wrong key costs an attempt",
         kNetworkLocked,
         {{"AT+CLCK=\"PN\",0,\"1\"", "+CME ERROR: incorrect password"},
          {"AT+CLCK=\"PN\",0,\"1\"", "+CME ERROR: incorrect password"},
          {"AT+CLCK=\"PN\",0,\"1\"", "+CME ERROR: network personalization PUK required"},
          {"AT+CPIN?", "+CPIN: PH-NET PUK|OK"}}},
        {"last attempt turns the lock into its PUK form",
         "[sim.default.locks.network_subset]\nkey = \"5555\"\nattempts = 1\nmax = 4\n"
         "unblock_key = \"9999\"\n",
         {{"AT+CPIN?", "+CPIN: PH-NETSUB PIN|OK"},
          {"AT+CPIN=\"0\"", "+CME ERROR: network subset personalization PUK required"},
          {"AT+CPIN?", "+CPIN: PH-NETSUB PUK|OK"},
          {"AT+ESMLCK?", "+ESMLCK: (0,0,3,3),(1,1,0,4),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"},
          {"AT+CPIN=\"5555\"", "+CME ERROR: incorrect password"},
          {"AT+CPIN=\"9999\"", "OK"},
          {"AT+CPIN?", "+CPIN: READY|OK"},
          {"AT+ESMLCK?", "+ESMLCK: (0,0,3,3),(1,1,4,4),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"}}},
        {"two locks wait in category order, after the PIN",
         "[sim.default]\npin_lock = true\n"
         "[sim.default.locks.sim]\nkey = \"2\"\n"
         "[sim.default.locks.service_provider]\nkey = \"1\"\n",
         {{"AT+CPIN?", "+CPIN: SIM PIN|OK"},
          {"AT+CPIN=\"1234\"", "OK"},
          {"AT+CPIN?", "+CPIN: PH-SP PIN|OK"},
          {"AT+CPIN=\"1\"", "OK"},
          {"AT+CPIN?", "+CPIN: PH-FSIM PIN|OK"},
          {"AT+CPIN=\"2\"", "OK"},
          {"AT+CPIN?", "+CPIN: READY|OK"}}},
        {"corporate lock blocked in the profile",
         "[sim.default.locks.corporate]\nattempts = 0\n",
         {{"AT+CPIN?", "+CPIN: PH-CORP PUK|OK"},
          {"AT+CLCK=\"PC\",0,\"12345678\"", "+CME ERROR: corporate personalization PUK required"}}},
    };
    for (const Conversation& c : cases) {
        walk(c);
    }
}

TEST(ModemSimFiles, RestrictedSimAccess) {
    const Conversation cases[] = {
        {"built-in files",
         "",
         {{"AT+CRSM=176,12258,0,0,10", "+CRSM: 144, 0,\"984421436587092143F5\"|OK"},
          {"AT+CRSM=176,28486,0,0,17", "+CRSM: 144, 0,\"014F7276696FFFFFFFFFFFFFFFFFFFFFFF\"|OK"},
          {"AT+CRSM=176,12037,0,0,2", "+CRSM: 144, 0,\"656E\"|OK"},
          {"AT+CRSM=176,28589,0,0,4", "+CRSM: 144, 0,\"00000002\"|OK"},
          {"AT+CRSM=176,28472,0,0,1,,\"7F20\"", "+CRSM: 144, 0,\"DF\"|OK"},
          {"AT+CRSM=176,28418,0,0,1,,\"7F43\"", "+CRSM: 148, 4|OK"},
          {"AT+CRSM=176,12037,0,2,2", "+CRSM: 144, 0,\"FFFF\"|OK"},
          {"AT+CRSM=176,28589,0,0,5", "+CRSM: 103, 0|OK"},
          {"AT+CRSM=176,28589,0,9,1", "+CRSM: 107, 0|OK"},
          {"AT+CRSM=192,28589,0,0,15", "+CRSM: 109, 0|OK"},
          {"AT+CRSM=176", "ERROR"}}},
        {"profile files: UCS-2 name, 3-digit MNC, pay type, status words, absent",
         "[sim.default]\nspn_ucs2 = \"AB\"\nspn_display = 2\nmnc_digits = 3\n"
         "languages = [\"de\"]\n"
         "[sim.default.files]\npaytype = \"01\"\npl = { sw = [106, 130] }\nad = false\n"
         "\"6F07\" = \"absent\"\n",
         {{"AT+CRSM=176,28486,0,0,17", "+CRSM: 144, 0,\"028000410042FFFFFFFFFFFFFFFFFFFFFF\"|OK"},
          {"AT+CRSM=176,28418,0,0,1,,\"7F43\"", "+CRSM: 144, 0,\"01\"|OK"},
          {"AT+CRSM=176,28418,0,0,1", "+CRSM: 144, 0,\"01\"|OK"},
          {"AT+CRSM=176,12037,0,0,2", "+CRSM: 106, 130|OK"},
          {"AT+CRSM=176,28589,0,0,4", "+CRSM: 148, 4|OK"}}},
        {"files behind the PIN",
         kPinLocked,
         {{"AT+CRSM=176,12258,0,0,10", "+CRSM: 144, 0,\"984421436587092143F5\"|OK"},
          {"AT+CRSM=176,28486,0,0,1", "+CRSM: 144, 0,\"01\"|OK"},
          {"AT+CRSM=176,28472,0,0,1,,\"7F20\"", "+CRSM: 105, 130|OK"},
          {"AT+CPIN=\"1111\"", "OK"},
          {"AT+CRSM=176,28472,0,0,1,,\"7F20\"", "+CRSM: 144, 0,\"DF\"|OK"}}},
        {"20-digit ICCID",
         "[sim.default]\niccid = \"89330123456789012345\"\n",
         {{"AT+CRSM=176,12258,0,0,10", "+CRSM: 144, 0,\"98331032547698103254\"|OK"}}},
    };
    for (const Conversation& c : cases) {
        walk(c);
    }
}

TEST(ModemSimIdentity, NumbersImsiImei) {
    const Conversation cases[] = {
        {"no own number", "[sim.default]\nnumbers = []\n", {{"AT+CNUM", "OK"}}},
        {"one own number",
         "",
         {{"AT+CNUM", "+CNUM: \"\",\"+447700900123\",145|OK"},
          {"AT+CIMI", "234150123456789|OK"},
          {"AT+CGSN", "356938035643809|OK"}}},
        {"two own numbers",
         "[sim.default]\nnumbers = [{alpha = \"Me\", number = \"+441234\"}, \"0171\"]\n",
         {{"AT+CNUM", "+CNUM: \"Me\",\"+441234\",145|+CNUM: \"\",\"0171\",129|OK"}}},
    };
    for (const Conversation& c : cases) {
        walk(c);
    }
}

TEST(ModemSimDevice, ErrorModesBusyAndRadio) {
    const Conversation cases[] = {
        {"error modes with no SIM",
         "inserted = \"\"\n",
         {{"AT+CMEE=0", "OK"},
          {"AT+CPIN?", "ERROR"},
          {"AT+CMEE=1", "OK"},
          {"AT+CPIN?", "+CME ERROR: 10"},
          {"AT+CMEE=2", "OK"},
          {"AT+CPIN?", "+CME ERROR: SIM not inserted"},
          {"AT+ESMLCK?", "+CME ERROR: SIM not inserted"},
          {"AT+CRSM=176,12258,0,0,10", "+CME ERROR: SIM not inserted"},
          {"AT+CMEE?", "+CMEE: 2|OK"},
          {"AT+CMEE=3", "ERROR"},
          {"AT+CGSN", "356938035643809|OK"}}},
        {"broken card",
         "[sim.default]\nfailure = true\n",
         {{"AT+CPIN?", "+CME ERROR: SIM failure"}, {"AT+EPINC", "+CME ERROR: SIM failure"}}},
        {"busy for the first SIM commands only",
         "[sim.default]\nbusy = 2\n",
         {{"AT", "OK"},
          {"AT+CIMI", "+CME ERROR: SIM busy"},
          {"AT+CGSN", "356938035643809|OK"},
          {"AT+CPIN?", "+CME ERROR: SIM busy"},
          {"AT+CPIN?", "+CPIN: READY|OK"},
          {"AT+CIMI", "234150123456789|OK"}}},
        {"radio, attach type and unknown commands",
         "",
         {{"AT+EGTYPE=2", "OK"},
          {"AT+EGTYPE?", "+EGTYPE: 2|OK"},
          {"AT+CFUN?", "+CFUN: 1|OK"},
          {"AT+CFUN=0", "OK"},
          {"AT+CFUN?", "+CFUN: 0|OK"},
          {"AT+CFUN=7", "ERROR"},
          {"AT+CFUN=1,1", "OK"},
          {"at+cpin?", "+CPIN: READY|OK"},
          {"AT+CPIN=?", "OK"},
          {"AT+COPS?", "ERROR"},
          {"HELLO", "ERROR"},
          {"AT+CPIN=\"12", "ERROR"}}},
    };
    for (const Conversation& c : cases) {
        walk(c);
    }
}

TEST(ModemSimDevice, EchoAndEmptyLines) {
    ModemSim sim(parse_profile("[device]\necho = true\n", "echo"));
    struct Row {
        const char* command;
        const char* bytes;
    } rows[] = {
        {"AT", "AT\r\r\nOK\r\n"},     {"", ""},
        {"ATE0", "ATE0\r\r\nOK\r\n"}, {"AT", "\r\nOK\r\n"},
        {"ATE1", "\r\nOK\r\n"},       {"AT+CGSN", "AT+CGSN\r\r\n356938035643809\r\n\r\nOK\r\n"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(sim.feed(r.command).bytes, r.bytes) << r.command;
    }
}

TEST(ModemSimLines, SplitsOnAnyLineEnd) {
    struct Row {
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
    } rows[] = {
        {{"AT\r"}, {"AT"}},
        {{"AT\n"}, {"AT"}},
        {{"AT\r\nAT+CPIN?\r\n"}, {"AT", "AT+CPIN?"}},
        {{"AT+C", "PIN", "?\r"}, {"AT+CPIN?"}},
        {{"\r\n\r\n", "AT"}, {}},
        {{"AT+CPIN?\r", "\n", "ATE0\r"}, {"AT+CPIN?", "ATE0"}},
    };
    for (const Row& r : rows) {
        LineSplitter s;
        std::vector<std::string> got;
        for (const std::string& c : r.chunks) {
            for (std::string& l : s.push(c)) {
                got.push_back(std::move(l));
            }
        }
        EXPECT_EQ(got, r.lines);
    }
}

TEST(ModemSimScripts, OverridesWithCounts) {
    ModemSim sim(parse_profile(R"(
[device]
cmee = 2
[[script]]
match = "AT+CIMI"
answer = '\r\n+CME ERROR: SIM busy\r\n'
count = 2
[[script]]
match = "at+crsm=*"
silent = true
count = 1
)",
                               "scripts"));
    ScriptRule hang;
    hang.match = "AT+CNUM";
    hang.hangup = true;
    hang.count = 1;
    sim.add_rule(hang);
    ScriptRule slow;
    slow.match = "AT+CGSN";
    slow.delay_ms = 250;
    sim.add_rule(slow);
    ScriptRule newer;  // added last, so it wins over the profile's rule while it lasts
    newer.match = "AT+CIMI";
    newer.answer = "\r\n001010123456789\r\n\r\nOK\r\n";
    newer.count = 1;
    sim.add_rule(newer);

    struct Row {
        const char* command;
        Reply::Kind kind;
        const char* bytes;
        int delay_ms;
    } rows[] = {
        {"AT+CIMI", Reply::Kind::Answer, "\r\n001010123456789\r\n\r\nOK\r\n", 0},
        {"AT+CIMI", Reply::Kind::Answer, "\r\n+CME ERROR: SIM busy\r\n", 0},
        {"AT+CIMI", Reply::Kind::Answer, "\r\n+CME ERROR: SIM busy\r\n", 0},
        {"AT+CIMI", Reply::Kind::Answer, "\r\n234150123456789\r\n\r\nOK\r\n", 0},
        {"AT+CRSM=176,12037,0,0,2", Reply::Kind::Silent, "", 0},
        {"AT+CRSM=176,12037,0,0,2", Reply::Kind::Answer, "\r\n+CRSM: 144, 0,\"656E\"\r\n\r\nOK\r\n",
         0},
        {"AT+CNUM", Reply::Kind::Hangup, "", 0},
        {"AT+CNUM", Reply::Kind::Answer, "\r\n+CNUM: \"\",\"+447700900123\",145\r\n\r\nOK\r\n", 0},
        {"AT+CGSN", Reply::Kind::Answer, "\r\n356938035643809\r\n\r\nOK\r\n", 250},
        {"AT+CGSN", Reply::Kind::Answer, "\r\n356938035643809\r\n\r\nOK\r\n", 250},
    };
    for (const Row& r : rows) {
        const Reply got = sim.feed(r.command);
        EXPECT_EQ(got.kind, r.kind) << r.command;
        EXPECT_EQ(got.bytes, r.bytes) << r.command;
        EXPECT_EQ(got.delay_ms, r.delay_ms) << r.command;
    }
    sim.clear_rules();
    EXPECT_EQ(sim.feed("AT+CGSN").delay_ms, 0);
}

TEST(ModemSimCards, SwapKeepsCountersAndAsksForThePinAgain) {
    ModemSim sim(parse_profile(R"(
[device]
cmee = 2
[sim.default]
pin_lock = true
[sim.second]
imsi = "208150000000001"
busy = 1
[sim.second.locks.network]
key = "1"
)",
                               "swap"));
    const Conversation steps{"",
                             "",
                             {{"AT+CPIN=\"9999\"", "+CME ERROR: incorrect password"},
                              {"AT+CPIN?", "+CPIN: SIM PIN|OK"}}};
    for (const Step& s : steps.steps) {
        EXPECT_EQ(sim.feed(s.command).bytes, framed(s.answer));
    }
    EXPECT_EQ(sim.insert("second"), "");
    EXPECT_EQ(sim.feed("AT+CPIN?").bytes, framed("+CME ERROR: SIM busy"));
    EXPECT_EQ(sim.feed("AT+CPIN?").bytes, framed("+CPIN: PH-NET PIN|OK"));
    EXPECT_EQ(sim.feed("AT+CIMI").bytes, framed("208150000000001|OK"));
    sim.remove();
    EXPECT_EQ(sim.sim_state(), SimState::Absent);
    EXPECT_EQ(sim.feed("AT+CPIN?").bytes, framed("+CME ERROR: SIM not inserted"));
    EXPECT_EQ(sim.insert("default"), "");
    EXPECT_EQ(sim.feed("AT+CPIN?").bytes, framed("+CPIN: SIM PIN|OK"));
    EXPECT_EQ(sim.feed("AT+EPINC").bytes, framed("+EPINC: 2, 3, 10, 10|OK"));
    EXPECT_NE(sim.insert("third"), "");
    EXPECT_EQ(sim.sim_name(), "default");
}

}  // namespace
}  // namespace orv::modem_sim
