// The command interpreter: the answers the daemon parses, byte for byte, and the SIM's PIN, PUK
// and personalisation-lock state machine behind them.
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

// Feeds each step of "COMMAND => ANSWER ; COMMAND => ANSWER ..." and compares the bytes back;
// ANSWER is framed lines, or <silent> / <hangup> for what a script makes of the command.
void walk(ModemSim& sim, std::string_view steps, const char* name) {
    while (!steps.empty()) {
        const std::size_t end = std::min(steps.find(" ; "), steps.size());
        const std::string_view step = steps.substr(0, end);
        steps.remove_prefix(std::min(end + 3, steps.size()));
        const std::size_t arrow = step.find(" => ");
        const std::string_view command = step.substr(0, arrow);
        const std::string_view answer = step.substr(arrow + 4);
        const Reply r = sim.feed(command);
        const Reply::Kind kind = answer == "<silent>"   ? Reply::Kind::Silent
                                 : answer == "<hangup>" ? Reply::Kind::Hangup
                                                        : Reply::Kind::Answer;
        EXPECT_EQ(r.kind, kind) << name << ": " << command;
        EXPECT_EQ(r.bytes, kind == Reply::Kind::Answer ? framed(answer) : "")
            << name << ": " << command;
    }
}

struct Conversation {
    const char* name;
    const char* profile;  // TOML; verbose error texts are switched on before the steps
    const char* steps;
};

void walk(const Conversation& c) {
    ModemSim sim(parse_profile(c.profile, c.name));
    sim.feed("AT+CMEE=2");
    walk(sim, c.steps, c.name);
}

constexpr const char* kPinLocked = "[sim.default]\npin = \"1111\"\npin_lock = true\n";
constexpr const char* kNetLocked =
    "[sim.default.locks.network]\nkey = \"11112222\"\nattempts = 3\n";

TEST(ModemSim, PinPukAndLockStateMachine) {
    const Conversation cases[] = {
        {"wrong PINs fall to PUK", kPinLocked,
         "AT+CPIN? => +CPIN: SIM PIN|OK ; AT+CIMI => +CME ERROR: SIM PIN required ; "
         "AT+CPIN=\"0000\" => +CME ERROR: incorrect password ; "
         "AT+EPINC => +EPINC: 2, 3, 10, 10|OK ; "
         "AT+CPIN=\"0000\" => +CME ERROR: incorrect password ; "
         "AT+CPIN=\"0000\" => +CME ERROR: SIM PUK required ; AT+CPIN? => +CPIN: SIM PUK|OK ; "
         "AT+CPIN=\"1111\" => +CME ERROR: SIM PUK required"},
        {"right PIN refills the counter", kPinLocked,
         "AT+CPIN=\"0000\" => +CME ERROR: incorrect password ; AT+CPIN=\"1111\" => OK ; "
         "AT+EPINC => +EPINC: 3, 3, 10, 10|OK ; "
         "AT+CPIN=\"1111\" => +CME ERROR: operation not allowed"},
        {"PUK unblocks with a new PIN", "[sim.default]\npin_attempts = 0\npuk = \"12345678\"\n",
         "AT+CPIN? => +CPIN: SIM PUK|OK ; AT+CPIN=\"00000000\",\"2222\" => +CME ERROR: incorrect "
         "password ; AT+EPINC => +EPINC: 0, 3, 9, 10|OK ; "
         "AT+CPIN=\"12345678\",\"22\" => +CME ERROR: Incorrect parameters ; "
         "AT+CPIN=\"12345678\",\"2222\" => OK ; AT+EPINC => +EPINC: 3, 3, 10, 10|OK ; "
         "AT+CPWD=\"SC\",\"2222\",\"3333\" => OK"},
        {"last wrong PUK blocks the card for good; its ICCID stays readable",
         "[sim.default]\npin_attempts = 0\npuk_attempts = 1\n",
         "AT+CPIN=\"00000000\",\"2222\" => +CME ERROR: SIM invalid - PUK blocked ; "
         "AT+CPIN? => +CME ERROR: SIM invalid - PUK blocked ; "
         "AT+CPIN=\"12345678\",\"2222\" => +CME ERROR: SIM invalid - PUK blocked ; "
         "AT+CRSM=176,12258,0,0,10 => +CRSM: 144, 0,\"984421436587092143F5\"|OK"},
        {"change PIN, then the new one counts", "",
         "AT+CPWD=\"SC\",\"1234\",\"5678\" => OK ; "
         "AT+CPWD=\"SC\",\"1234\",\"9999\" => +CME ERROR: incorrect password ; "
         "AT+CLCK=\"SC\",1,\"5678\" => OK ; AT+EPINC => +EPINC: 3, 3, 10, 10|OK ; "
         "AT+CPWD=\"SC\",\"5678\",\"12\" => +CME ERROR: Incorrect parameters ; "
         "AT+CPWD=\"P2\",\"5678\",\"1234\" => +CME ERROR: operation not supported"},
        {"lock on, off and query", "",
         "AT+CLCK=\"SC\",2 => +CLCK: 0|OK ; AT+CLCK=\"SC\",1,\"1234\" => OK ; "
         "AT+CLCK=\"SC\",2 => +CLCK: 1|OK ; AT+CLCK=\"SC\",0,\"9999\" => +CME ERROR: incorrect "
         "password ; AT+CLCK=\"SC\",0,\"1234\" => OK ; AT+CLCK=\"SC\",2 => +CLCK: 0|OK ; "
         "AT+CLCK=\"SC\",3,\"1234\" => ERROR ; AT+CLCK=\"XX\",2 => +CME ERROR: operation not "
         "supported"},
        {"wrong PINs in lock and change commands also fall to PUK", "",
         "AT+CLCK=\"SC\",1,\"0000\" => +CME ERROR: incorrect password ; "
         "AT+CPWD=\"SC\",\"0000\",\"4444\" => +CME ERROR: incorrect password ; "
         "AT+CLCK=\"SC\",0,\"0000\" => +CME ERROR: SIM PUK required ; "
         "AT+CPIN? => +CPIN: SIM PUK|OK"},
        {"lock query works before the PIN, lock change does not", kPinLocked,
         "AT+CLCK=\"SC\",2 => +CLCK: 1|OK ; "
         "AT+CLCK=\"SC\",0,\"1111\" => +CME ERROR: SIM PIN required ; "
         "AT+CPWD=\"SC\",\"1111\",\"2222\" => +CME ERROR: SIM PIN required"},
        {"network key with attempts, then lock removal", kNetLocked,
         "AT+CPIN? => +CPIN: PH-NET PIN|OK ; "
         "AT+CPIN=\"00000000\" => +CME ERROR: incorrect password ; "
         "AT+ESMLCK? => +ESMLCK: (0,1,2,3),(1,0,3,3),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK ; "
         "AT+CPIN=\"11112222\" => OK ; AT+CPIN? => +CPIN: READY|OK ; "
         "AT+CLCK=\"PN\",2 => +CLCK: 1|OK ; "
         "AT+CLCK=\"PN\",0,\"11112222\" => OK ; "
         "AT+ESMLCK? => +ESMLCK: (0,0,3,3),(1,0,3,3),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK ; "
         "AT+CLCK=\"PN\",0,\"11112222\" => ERROR ; AT+CLCK=\"PU\",0,\"11112222\" => ERROR"},
        {"lock removal with a wrong key costs an attempt", kNetLocked,
         "AT+CLCK=\"PN\",0,\"1\" => +CME ERROR: incorrect password ; "
         "AT+CLCK=\"PN\",0,\"1\" => +CME ERROR: incorrect password ; "
         "AT+CLCK=\"PN\",0,\"1\" => +CME ERROR: network personalization PUK required ; "
         "AT+CPIN? => +CPIN: PH-NET PUK|OK"},
        {"last attempt turns the lock into its PUK form",
         "[sim.default.locks.network_subset]\nkey = \"5555\"\nattempts = 1\nmax = 4\n"
         "unblock_key = \"9999\"\n",
         "AT+CPIN? => +CPIN: PH-NETSUB PIN|OK ; "
         "AT+CPIN=\"0\" => +CME ERROR: network subset personalization PUK required ; "
         "AT+CPIN? => +CPIN: PH-NETSUB PUK|OK ; "
         "AT+ESMLCK? => +ESMLCK: (0,0,3,3),(1,1,0,4),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK ; "
         "AT+CPIN=\"5555\" => +CME ERROR: incorrect password ; AT+CPIN=\"9999\" => OK ; "
         "AT+ESMLCK? => +ESMLCK: (0,0,3,3),(1,1,4,4),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"},
        {"two locks wait in category order, after the PIN",
         "[sim.default]\npin_lock = true\n[sim.default.locks.sim]\nkey = \"2\"\n"
         "[sim.default.locks.service_provider]\nkey = \"1\"\n",
         "AT+CPIN=\"1234\" => OK ; AT+CPIN? => +CPIN: PH-SP PIN|OK ; AT+CPIN=\"1\" => OK ; "
         "AT+CPIN? => +CPIN: PH-FSIM PIN|OK ; AT+CPIN=\"2\" => OK ; AT+CPIN? => +CPIN: READY|OK"},
    };
    for (const Conversation& c : cases) {
        walk(c);
    }
}

TEST(ModemSim, AnswersTheDaemonReads) {
    const Conversation cases[] = {
        {"built-in SIM files, identity and radio", "",
         "AT+CRSM=176,12258,0,0,10 => +CRSM: 144, 0,\"984421436587092143F5\"|OK ; "
         "AT+CRSM=176,28486,0,0,17 => +CRSM: 144, 0,\"014F7276696FFFFFFFFFFFFFFFFFFFFFFF\"|OK ; "
         "AT+CRSM=176,12037,0,0,2 => +CRSM: 144, 0,\"656E\"|OK ; "
         "AT+CRSM=176,28589,0,0,4 => +CRSM: 144, 0,\"00000002\"|OK ; "
         "AT+CRSM=176,28472,0,0,1,,\"7F20\" => +CRSM: 144, 0,\"DF\"|OK ; "
         "AT+CRSM=176,28418,0,0,1,,\"7F43\" => +CRSM: 148, 4|OK ; "
         "AT+CNUM => +CNUM: \"\",\"+447700900123\",145|OK ; AT+CIMI => 234150123456789|OK ; "
         "AT+EGTYPE=2 => OK ; AT+EGTYPE? => +EGTYPE: 2|OK ; AT+CFUN=0 => OK ; "
         "AT+CFUN? => +CFUN: 0|OK ; AT+CFUN=7 => ERROR ; at+cpin? => +CPIN: READY|OK ; "
         "AT+CPIN=? => OK ; AT+COPS? => ERROR ; AT+CPIN=\"12 => ERROR"},
        {"profile files: UCS-2 name, pay type, status words, absent; 20-digit ICCID",
         "[sim.default]\nspn_ucs2 = \"AB\"\nspn_display = 2\niccid = \"89330123456789012345\"\n"
         "[sim.default.files]\npaytype = \"01\"\npl = { sw = [106, 130] }\nad = false\n",
         "AT+CRSM=176,28486,0,0,17 => +CRSM: 144, 0,\"028000410042FFFFFFFFFFFFFFFFFFFFFF\"|OK ; "
         "AT+CRSM=176,28418,0,0,1,,\"7F43\" => +CRSM: 144, 0,\"01\"|OK ; "
         "AT+CRSM=176,12037,0,0,2 => +CRSM: 106, 130|OK ; "
         "AT+CRSM=176,28589,0,0,4 => +CRSM: 148, 4|OK ; "
         "AT+CRSM=176,12258,0,0,10 => +CRSM: 144, 0,\"98331032547698103254\"|OK"},
        {"files behind the PIN", kPinLocked,
         "AT+CRSM=176,12258,0,0,10 => +CRSM: 144, 0,\"984421436587092143F5\"|OK ; "
         "AT+CRSM=176,28486,0,0,1 => +CRSM: 144, 0,\"01\"|OK ; "
         "AT+CRSM=176,28472,0,0,1,,\"7F20\" => +CRSM: 105, 130|OK ; AT+CPIN=\"1111\" => OK ; "
         "AT+CRSM=176,28472,0,0,1,,\"7F20\" => +CRSM: 144, 0,\"DF\"|OK"},
        {"no own number", "[sim.default]\nnumbers = []\n", "AT+CNUM => OK"},
        {"two own numbers",
         "[sim.default]\nnumbers = [{alpha = \"Me\", number = \"+441234\"}, \"0171\"]\n",
         "AT+CNUM => +CNUM: \"Me\",\"+441234\",145|+CNUM: \"\",\"0171\",129|OK"},
        {"error modes with no SIM; the IMEI needs none", "inserted = \"\"\n",
         "AT+CMEE=0 => OK ; AT+CPIN? => ERROR ; AT+CMEE=1 => OK ; AT+CPIN? => +CME ERROR: 10 ; "
         "AT+CMEE=2 => OK ; AT+CPIN? => +CME ERROR: SIM not inserted ; "
         "AT+CGSN => 356938035643809|OK"},
        {"broken card", "[sim.default]\nfailure = true\n", "AT+CPIN? => +CME ERROR: SIM failure"},
        {"busy for the first SIM commands only", "[sim.default]\nbusy = 2\n",
         "AT => OK ; AT+CIMI => +CME ERROR: SIM busy ; AT+CGSN => 356938035643809|OK ; "
         "AT+CPIN? => +CME ERROR: SIM busy ; AT+CPIN? => +CPIN: READY|OK"},
    };
    for (const Conversation& c : cases) {
        walk(c);
    }
}

TEST(ModemSim, LineSplitterKeepsUnfinishedLines) {
    LineSplitter s;
    std::vector<std::string> got;
    for (std::string_view chunk : {"AT+C", "PIN?\r", "\nAT\n\r\nATE0\r", "AT"}) {
        for (std::string& l : s.push(chunk)) {
            got.push_back(std::move(l));
        }
    }
    EXPECT_EQ(got, (std::vector<std::string>{"AT+CPIN?", "AT", "ATE0"}));
}

TEST(ModemSim, ScriptsOverrideWithCounts) {
    ModemSim sim(
        parse_profile("[device]\ncmee = 2\n[[script]]\nmatch = \"AT+CIMI\"\n"
                      "answer = '\\r\\n+CME ERROR: SIM busy\\r\\n'\ncount = 2\n",
                      "scripts"));
    sim.add_rule({.match = "AT+CNUM", .hangup = true, .count = 1});
    // Added last, so it wins over the profile's rule while it lasts.
    sim.add_rule({.match = "AT+CIMI", .answer = "\r\n001010123456789\r\n\r\nOK\r\n", .count = 1});
    walk(sim,
         "AT+CIMI => 001010123456789|OK ; AT+CIMI => +CME ERROR: SIM busy ; "
         "AT+CIMI => +CME ERROR: SIM busy ; AT+CIMI => 234150123456789|OK ; AT+CNUM => <hangup> ; "
         "AT+CNUM => +CNUM: \"\",\"+447700900123\",145|OK",
         "scripts");
}

TEST(ModemSim, SwapKeepsCountersAndAsksForThePinAgain) {
    ModemSim sim(
        parse_profile("[device]\ncmee = 2\n[sim.default]\npin_lock = true\n"
                      "[sim.second]\nimsi = \"208150000000001\"\nbusy = 1\n"
                      "[sim.second.locks.network]\nkey = \"1\"\n",
                      "swap"));
    walk(sim, "AT+CPIN=\"9999\" => +CME ERROR: incorrect password", "first");
    EXPECT_EQ(sim.insert("second"), "");
    walk(sim,
         "AT+CPIN? => +CME ERROR: SIM busy ; AT+CPIN? => +CPIN: PH-NET PIN|OK ; "
         "AT+CIMI => 208150000000001|OK",
         "second");
    sim.remove();
    walk(sim, "AT+CPIN? => +CME ERROR: SIM not inserted", "removed");
    EXPECT_EQ(sim.insert("default"), "");
    walk(sim, "AT+CPIN? => +CPIN: SIM PIN|OK ; AT+EPINC => +EPINC: 2, 3, 10, 10|OK", "back");
    EXPECT_NE(sim.insert("third"), "");
    EXPECT_EQ(sim.sim_name(), "default");
}

}  // namespace
}  // namespace orv::modem_sim
