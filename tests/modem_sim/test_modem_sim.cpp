// The virtual modem's pieces: the answers the daemon parses, byte for byte, with the SIM's PIN,
// PUK and personalisation-lock state machine behind them; what each profile key changes; the
// control commands; and the line's pieces, line ends and noise on a real pseudo-terminal. The
// program as a whole runs under every end-to-end test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tools/modem_sim/control.h"

namespace orv::modem_sim {
namespace {

using namespace std::string_literals;

// The answer a modem frames around its lines: "a|b" is "\r\na\r\n\r\nb\r\n".
std::string framed(std::string_view lines) {
    std::string out;
    for (std::size_t start = 0, bar = 0; bar != std::string_view::npos; start = bar + 1) {
        bar = lines.find('|', start);
        out += "\r\n" + std::string(lines.substr(start, bar - start)) + "\r\n";
    }
    return out;
}

// Feeds each step of "COMMAND => ANSWER ; COMMAND => ANSWER ..." and compares the bytes back;
// ANSWER is framed lines, or <silent> / <hangup> for what a script makes of the command.
void walk(ModemSim& sim, std::string_view steps, const std::string& name) {
    while (!steps.empty()) {
        const std::string_view step = steps.substr(0, steps.find(" ; "));
        steps.remove_prefix(std::min(step.size() + 3, steps.size()));
        const std::string_view command = step.substr(0, step.find(" => "));
        const std::string_view answer = step.substr(step.find(" => ") + 4);
        const Reply r = sim.feed(command);
        const Reply::Kind kind = answer == "<silent>"   ? Reply::Kind::Silent
                                 : answer == "<hangup>" ? Reply::Kind::Hangup
                                                        : Reply::Kind::Answer;
        EXPECT_EQ(r.kind, kind) << name << ": " << command;
        EXPECT_EQ(r.bytes, kind == Reply::Kind::Answer ? framed(answer) : "")
            << name << ": " << command;
    }
}

constexpr const char* kPinLocked = "[sim.default]\npin = \"1111\"\npin_lock = true\n";
constexpr const char* kNetLocked =
    "[sim.default.locks.network]\nkey = \"11112222\"\nattempts = 3\n";

// Rows of {name, profile, conversation}; verbose error texts are on unless the profile sets cmee.
TEST(ModemSim, Conversations) {
    const struct {
        const char* name;
        const char* profile;
        const char* steps;
    } rows[] = {
        {"wrong PINs fall to PUK", kPinLocked,
         "AT+CPIN? => +CPIN: SIM PIN|OK ; AT+CIMI => +CME ERROR: SIM PIN required ; "
         "AT+CPIN=\"0000\" => +CME ERROR: incorrect password ; AT+EPINC => +EPINC: 2, 3, 10, 10|OK "
         "; AT+CPIN=\"0000\" => +CME ERROR: incorrect password ; AT+CPIN=\"0000\" => +CME ERROR: "
         "SIM PUK required ; AT+CPIN? => +CPIN: SIM PUK|OK ; AT+CPIN=\"1111\" => +CME ERROR: SIM "
         "PUK required"},
        {"PUK unblocks with a new PIN", "[sim.default]\npin_attempts = 0\npuk = \"12345678\"\n",
         "AT+CPIN? => +CPIN: SIM PUK|OK ; AT+CPIN=\"00000000\",\"2222\" => +CME ERROR: incorrect "
         "password ; AT+EPINC => +EPINC: 0, 3, 9, 10|OK ; AT+CPIN=\"12345678\",\"22\" => +CME "
         "ERROR: Incorrect parameters ; AT+CPIN=\"12345678\",\"2222\" => OK ; AT+EPINC => +EPINC: "
         "3, 3, 10, 10|OK ; AT+CPWD=\"SC\",\"2222\",\"3333\" => OK"},
        {"last wrong PUK blocks the card for good; its ICCID stays readable",
         "[sim.default]\npin_attempts = 0\npuk_attempts = 1\n",
         "AT+CPIN=\"00000000\",\"2222\" => +CME ERROR: SIM invalid - PUK blocked ; AT+CPIN? => "
         "+CME ERROR: SIM invalid - PUK blocked ; AT+CPIN=\"12345678\",\"2222\" => +CME ERROR: SIM "
         "invalid - PUK blocked ; AT+CRSM=176,12258,0,0,10 => +CRSM: 144, "
         "0,\"984421436587092143F5\"|OK"},
        {"refusals of a ready card", "",
         "AT+CPIN=\"1234\" => +CME ERROR: operation not allowed ; AT+CPWD=\"SC\",\"1234\",\"12\" "
         "=> +CME ERROR: Incorrect parameters ; AT+CPWD=\"P2\",\"1234\",\"5678\" => +CME ERROR: "
         "operation not supported ; AT+CLCK=\"SC\",3,\"1234\" => ERROR ; AT+CLCK=\"SC\",1 => +CME "
         "ERROR: Incorrect parameters ; AT+CLCK=\"XX\",2 => +CME ERROR: operation not supported ; "
         "AT+CLCK=\"PC\",0,\"1\" => ERROR"},
        {"wrong PINs in lock and change commands also fall to PUK", "",
         "AT+CLCK=\"SC\",1,\"0000\" => +CME ERROR: incorrect password ; "
         "AT+CPWD=\"SC\",\"0000\",\"4444\" => +CME ERROR: incorrect password ; "
         "AT+CLCK=\"SC\",0,\"0000\" => +CME ERROR: SIM PUK required ; AT+CPIN? => +CPIN: SIM "
         "PUK|OK"},
        {"lock query works before the PIN, lock change does not", kPinLocked,
         "AT+CLCK=\"SC\",2 => +CLCK: 1|OK ; AT+CLCK=\"SC\",0,\"1111\" => +CME ERROR: SIM PIN "
         "required ; AT+CPWD=\"SC\",\"1111\",\"2222\" => +CME ERROR: SIM PIN required"},
        {"lock removal with a wrong key costs an attempt", kNetLocked,
         "AT+CLCK=\"PN\",0,\"1\" => +CME ERROR: incorrect password ; AT+CLCK=\"PN\",0,\"1\" => "
         "+CME ERROR: incorrect password ; AT+CLCK=\"PN\",0,\"1\" => +CME ERROR: network "
         "personalization PUK required ; AT+CPIN? => +CPIN: PH-NET PUK|OK"},
        {"last attempt turns the lock into its PUK form",
         "[sim.default.locks.network_subset]\nkey = \"5555\"\nattempts = 1\nmax = 4\nunblock_key = "
         "\"9999\"\n",
         "AT+CPIN? => +CPIN: PH-NETSUB PIN|OK ; AT+CPIN=\"0\" => +CME ERROR: network subset "
         "personalization PUK required ; AT+CPIN? => +CPIN: PH-NETSUB PUK|OK ; AT+ESMLCK? => "
         "+ESMLCK: (0,0,3,3),(1,1,0,4),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK ; AT+CPIN=\"5555\" => +CME "
         "ERROR: incorrect password ; AT+CPIN=\"9999\" => OK ; AT+ESMLCK? => +ESMLCK: "
         "(0,0,3,3),(1,1,4,4),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"},
        {"locks wait in category order, after the PIN; a lock given off can be set",
         "[sim.default]\npin_lock = true\n[sim.default.locks.sim]\nkey = "
         "\"2\"\n[sim.default.locks.service_provider]\nkey = "
         "\"1\"\n[sim.default.locks.corporate]\nenabled = false\nkey = \"3\"\n",
         "AT+CPIN=\"1234\" => OK ; AT+CPIN? => +CPIN: PH-SP PIN|OK ; AT+CPIN=\"1\" => OK ; "
         "AT+CPIN? => +CPIN: PH-FSIM PIN|OK ; AT+CPIN=\"2\" => OK ; AT+CPIN? => +CPIN: READY|OK ; "
         "AT+CLCK=\"PC\",1,\"4\" => +CME ERROR: incorrect password ; AT+CLCK=\"PC\",1,\"3\" => OK "
         "; AT+CLCK=\"PC\",2 => +CLCK: 1|OK"},
        {"built-in SIM files, identity, radio, settings and malformed commands", "",
         "AT+CRSM=176,28486,0,0,17 => +CRSM: 144, 0,\"014F7276696FFFFFFFFFFFFFFFFFFFFFFF\"|OK ; "
         "AT+CRSM=176,12037,0,0,2 => +CRSM: 144, 0,\"656E\"|OK ; AT+CRSM=176,28589,0,0,4 => +CRSM: "
         "144, 0,\"00000002\"|OK ; AT+CRSM=176,28472,0,0,1,,\"7F20\" => +CRSM: 144, 0,\"DF\"|OK ; "
         "AT+CRSM=176,28418,0,0,1,,\"7F43\" => +CRSM: 148, 4|OK ; AT+CRSM=176,12037,0,5,1 => "
         "+CRSM: 107, 0|OK ; AT+CRSM=176,12037,0,2,3 => +CRSM: 103, 0|OK ; AT+CRSM=192,12037 => "
         "+CRSM: 109, 0|OK ; AT+CNUM => +CNUM: \"\",\"+447700900123\",145|OK ; AT+CIMI => "
         "234150123456789|OK ; AT+EGTYPE=2 => OK ; AT+EGTYPE? => +EGTYPE: 2|OK ; AT+EGTYPE=5 => "
         "ERROR ; AT+CFUN=0 => OK ; AT+CFUN? => +CFUN: 0|OK ; AT+CFUN=7 => ERROR ; AT+CMEE? => "
         "+CMEE: 2|OK ; at+cpin? => +CPIN: READY|OK ; AT+CPIN=? => OK ; AT+COPS? => ERROR ; "
         "AT+CPIN=\"12 => ERROR ; AT+CPIN= \"1\" x => ERROR ; ATI => ERROR"},
        {"files behind the PIN", kPinLocked,
         "AT+CRSM=176,12258,0,0,10 => +CRSM: 144, 0,\"984421436587092143F5\"|OK ; "
         "AT+CRSM=176,28486,0,0,1 => +CRSM: 144, 0,\"01\"|OK ; AT+CRSM=176,28472,0,0,1,,\"7F20\" "
         "=> +CRSM: 105, 130|OK ; AT+CPIN=\"1111\" => OK ; AT+CRSM=176,28472,0,0,1 => +CRSM: 144, "
         "0,\"DF\"|OK"},
        {"error modes with no SIM; the IMEI needs none", "inserted = \"\"\n[device]\ncmee = 1\n",
         "AT+CPIN? => +CME ERROR: 10 ; AT+CMEE=0 => OK ; AT+CPIN? => ERROR ; AT+CMEE=2 => OK ; "
         "AT+CPIN? => +CME ERROR: SIM not inserted ; AT+CGSN => 356938035643809|OK ; AT+CMEE => OK "
         "; AT+CMEE? => +CMEE: 0|OK"},
        {"broken card", "[sim.default]\nfailure = true\n", "AT+CPIN? => +CME ERROR: SIM failure"},
        {"busy for the first SIM commands only; no own number",
         "[sim.default]\nbusy = 2\nnumbers = []\n",
         "AT => OK ; AT+CIMI => +CME ERROR: SIM busy ; AT+CGSN => 356938035643809|OK ; AT+CPIN? => "
         "+CME ERROR: SIM busy ; AT+CPIN? => +CPIN: READY|OK ; AT+CNUM => OK"},
        // What each profile key changes.
        {"device keys", "[device]\nimei = \"111\"\ncfun = 4\ncmee = 1\n",
         "AT+CGSN => 111|OK ; AT+CFUN? => +CFUN: 4|OK ; AT+CPIN=\"1234\" => +CME ERROR: 3"},
        {"counters and their maxima",
         "[sim.default]\npin_lock = true\npin_max = 5\npuk_attempts = 2\npuk_max = "
         "7\npin2_attempts = 1\npuk2_attempts = 2\n",
         "AT+EPINC => +EPINC: 5, 1, 2, 2|OK ; AT+CPIN=\"0\" => +CME ERROR: incorrect password ; "
         "AT+CPIN=\"1234\" => OK ; AT+EPINC => +EPINC: 5, 1, 2, 2|OK"},
        {"identity and file keys",
         "[sim.default]\nimsi = \"001\"\nspn = \"A@$_b\"\nspn_display = 3\nlanguages = [\"de\", "
         "\"fr\"]\nmnc_digits = 3\nnumbers = [{alpha = \"Me\", number = \"+441234\"}, \"0171\"]\n",
         "AT+CIMI => 001|OK ; AT+CRSM=176,28486,0,0,17 => +CRSM: 144, "
         "0,\"034100021162FFFFFFFFFFFFFFFFFFFFFF\"|OK ; AT+CRSM=176,12037,0,0,0 => +CRSM: 144, "
         "0,\"64656672\"|OK ; AT+CRSM=176,28589,0,3,1 => +CRSM: 144, 0,\"03\"|OK ; AT+CNUM => "
         "+CNUM: \"Me\",\"+441234\",145|+CNUM: \"\",\"0171\",129|OK"},
        {"raw files: UCS-2 name, 20-digit ICCID, by name, id, folder, status words, absent",
         "[sim.default]\nspn_ucs2 = \"\xC3\xA9t\xE2\x82\xAC\"\nspn_display = 0\niccid = "
         "\"89330123456789012345\"\nnumbers = [{number = \"+1\", type = "
         "129}]\n[sim.default.files]\npaytype = \"01\"\npl = { sw = [106, 130] }\nad = false\nsst "
         "= \"absent\"\n\"7F10/28474\" = \"00 11\"\n\"28480\" = { hex = \"AB\" }\n",
         "AT+CRSM=176,28486,0,0,17 => +CRSM: 144, 0,\"008000E9007420ACFFFFFFFFFFFFFFFFFF\"|OK ; "
         "AT+CRSM=176,12258,0,0,10 => +CRSM: 144, 0,\"98331032547698103254\"|OK ; "
         "AT+CRSM=176,28418,0,0,1,,\"7F43\" => +CRSM: 144, 0,\"01\"|OK ; AT+CRSM=176,12037,0,0,2 "
         "=> +CRSM: 106, 130|OK ; AT+CRSM=176,28589,0,0,4 => +CRSM: 148, 4|OK ; "
         "AT+CRSM=176,28472,0,0,1 => +CRSM: 148, 4|OK ; AT+CRSM=176,28474,0,0,0,,\"3F007F10\" => "
         "+CRSM: 144, 0,\"0011\"|OK ; AT+CRSM=176,28480 => +CRSM: 144, 0,\"AB\"|OK ; AT+CNUM => "
         "+CNUM: \"\",\"+1\",129|OK"},
        {"scripts: prefix, silence, reports, an answer used up, a hangup",
         "[[script]]\nmatch = \"at+cg*\"\nsilent = true\ncount = 1\n[[script]]\nmatch = "
         "\"AT+CFUN?\"\nreport_before = \"A\"\nreport_inside = \"B\"\nreport_after = "
         "\"C\"\n[[script]]\nmatch = \"AT+CIMI\"\nanswer = '\\r\\nX\\r\\n'\ncount = "
         "2\n[[script]]\nmatch = \"AT+CNUM\"\nhangup = true\ncount = 1\n",
         "AT+CGSN => <silent> ; AT+CGSN => 356938035643809|OK ; AT+CFUN? => A|+CFUN: 1|B|OK|C ; "
         "AT+CIMI => X ; AT+CIMI => X ; AT+CIMI => 234150123456789|OK ; AT+CNUM => <hangup> ; "
         "AT+CNUM => +CNUM: \"\",\"+447700900123\",145|OK"},
    };
    for (const auto& row : rows) {
        ModemSim sim(parse_profile(row.profile, row.name));
        if (std::string_view(row.profile).find("cmee") == std::string_view::npos) {
            sim.feed("AT+CMEE=2");
        }
        walk(sim, row.steps, row.name);
    }
}

TEST(ModemSim, EchoDelayAndSwapKeepingCounters) {
    ModemSim sim(
        parse_profile("[device]\necho = true\ncmee = 2\n[sim.default]\npin_lock = "
                      "true\n[sim.second]\nimsi = \"2\"\nbusy = 1\n[sim.second.locks.network]\nkey "
                      "= \"1\"\n[[script]]\nmatch = \"AT+CGSN\"\ndelay = 300\n",
                      "swap"));
    EXPECT_EQ(sim.feed("AT").bytes, "AT\r\r\nOK\r\n");
    EXPECT_EQ(sim.feed("AT+CGSN").delay_ms, 300);
    EXPECT_EQ(sim.feed("ATE0").bytes, "ATE0\r\r\nOK\r\n");
    walk(sim, "AT+CPIN=\"9999\" => +CME ERROR: incorrect password", "first");
    EXPECT_EQ(sim.insert("second"), "");
    walk(sim,
         "AT+CPIN? => +CME ERROR: SIM busy ; AT+CPIN? => +CPIN: PH-NET PIN|OK ; AT+CIMI => 2|OK",
         "second");
    sim.remove();
    walk(sim, "AT+CPIN? => +CME ERROR: SIM not inserted", "removed");
    EXPECT_EQ(sim.insert("default"), "");
    walk(sim, "AT+CPIN? => +CPIN: SIM PIN|OK ; AT+EPINC => +EPINC: 2, 3, 10, 10|OK", "back");
    EXPECT_NE(sim.insert("third"), "");
    EXPECT_NE(sim.state_text().find("sim: default\n"), std::string::npos);
}

TEST(ModemSim, ProfilesRefuseWhatTheyCannotUseAndSayWhere) {
    const std::pair<const char*, const char*> rows[] = {
        {"[device]\nimie = \"1\"\n", "p.toml: device: unknown entry 'imie'"},
        {"colour = 1\n", "p.toml: top level: unknown entry 'colour'"},
        {"[sim.a]\npinn = \"1\"\n", "p.toml: sim.a: unknown entry 'pinn'"},
        {"[sim.a.locks.network]\nkye = \"1\"\n",
         "p.toml: sim.a.locks.network: unknown entry 'kye'"},
        {"[sim.a.locks.country]\n", "p.toml: sim.a.locks: unknown lock 'country'"},
        {"[[script]]\nmatch = \"AT\"\nanwser = \"x\"\n",
         "p.toml: script[0]: unknown entry 'anwser'"},
        {"[[script]]\nmatch = \"AT\"\n", "p.toml: script[0]: a script needs"},
        {"inserted = \"other\"\n", "p.toml: inserted: no SIM named 'other'"},
        {"[sim.default]\nspn = \"Seventeen letters\"\n",
         "p.toml: sim.default.spn: SPN longer than 16"},
        {"[sim.a]\nspn = \"a\"\nspn_ucs2 = \"b\"\n", "p.toml: sim.a.spn_ucs2: give either"},
        {"[sim.a]\nnumbers = [\"1\", \"2\", \"3\"]\n", "p.toml: sim.a.numbers"},
        {"[sim.x]\nbusy = \"2\"\n", "p.toml: sim.x.busy: expected an integer"},
        {"[sim.x]\npin_max = 100\n", "p.toml: sim.x.pin_max: out of range 0..99"},
        {"[sim.x.files]\nspn = \"ABC\"\n", "p.toml: sim.x.files.spn"},
        {"[device]\nline_end = \"crcr\"\n", "p.toml: device.line_end"},
        {"this is not toml", "p.toml:1:"},
    };
    for (const auto& [text, where] : rows) {
        try {
            parse_profile(text, "p.toml");
            ADD_FAILURE() << text;
        } catch (const ProfileError& e) {
            EXPECT_NE(std::string(e.what()).find(where), std::string::npos) << e.what();
        }
    }
    for (const auto& f :
         std::filesystem::directory_iterator(ORV_SOURCE_DIR "/tools/modem_sim/profiles")) {
        EXPECT_NO_THROW(load_profile(f.path())) << f.path();  // shipped with the program
    }
    const Profile wire = parse_profile("[device]\nline_end = \"cr\"\nnul_every = 3\n", "p");
    EXPECT_EQ(wire.device.line_end, LineEnd::Cr);
    EXPECT_EQ(wire.device.nul_every, 3);
}

TEST(ModemSimControl, WordsAndCommands) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"swap", "second"},
          {"script", "AT+CPIN=\"1234\"", "answer", "\\r\\n+CME ERROR: x\\r\\n", "2"},
          {"urc", "say \"hi\" \\ there"},
          {"urc", ""}}) {
        std::string line = " ";
        for (const std::string& w : words) {
            line += quote_word(w) + " \t";
        }
        EXPECT_EQ(tokenize(line), words) << line;
    }
    EXPECT_FALSE(tokenize("urc \"open"));
    EXPECT_EQ(unescape("a\\\\r\\x41\\r\\n\\t\\\"\\x4 \\q\\"), "a\\rA\r\n\t\"\\x4 \\q\\");

    ModemSim sim(
        parse_profile("[device]\ncmee = 2\n[sim.default]\n[sim.other]\nimsi = "
                      "\"1\"\n[[script]]\nmatch = \"AT+CIMI\"\nanswer = 'P'\ncount = 1\n",
                      "control"));
    WireFormat wire;
    const struct {
        const char* command;
        bool ok;
        const char* then_send;  // a modem command sent afterwards, or nullptr
        std::string then_answer;
    } rows[] = {
        {"script AT+CIMI answer \"\\r\\nX\\r\\n\" 1", true, "AT+CIMI",
         "\r\nX\r\n"},  // newest first
        {"help", true, "AT+CIMI", "P"},
        {"state", true, "AT+CIMI", "\r\n234150123456789\r\n\r\nOK\r\n"},
        {"script at+cg* silent always", true, "AT+CGSN", ""},
        {"script AT+CGSN hangup", true, nullptr, ""},
        {"script clear", true, "AT+CGSN", "\r\n356938035643809\r\n\r\nOK\r\n"},
        {"script AT+CGSN report before \"+CREG: 1\" report inside RING report after x 1", true,
         "AT+CGSN", "\r\n+CREG: 1\r\n\r\n356938035643809\r\n\r\nRING\r\n\r\nOK\r\n\r\nx\r\n"},
        {"script AT report sideways RING", false, nullptr, ""},
        {"script AT", false, nullptr, ""},
        {"script AT delay soon", false, nullptr, ""},
        {"script AT silent 0", false, nullptr, ""},
        {"swap other", true, "AT+CIMI", "\r\n1\r\n\r\nOK\r\n"},
        {"swap nobody", false, "AT+CIMI", "\r\n1\r\n\r\nOK\r\n"},
        {"remove", true, "AT+CPIN?", "\r\n+CME ERROR: SIM not inserted\r\n"},
        {"busy 1", false, nullptr, ""},  // no SIM to be busy
        {"insert default", true, "AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"busy 1", true, "AT+CPIN?", "\r\n+CME ERROR: SIM busy\r\n"},
        {"lineend crcr", false, nullptr, ""},
        {"noise -1", false, nullptr, ""},
        {"hangup now", false, nullptr, ""},
        {"dance", false, nullptr, ""},
        {"", false, nullptr, ""},
    };
    for (const auto& r : rows) {
        const ControlResult res = run_control(sim, wire, r.command);
        EXPECT_EQ(res.reply.starts_with("error:"), !r.ok) << r.command << ": " << res.reply;
        if (r.then_send != nullptr) {
            EXPECT_EQ(sim.feed(r.then_send).bytes, r.then_answer) << r.command;
        }
    }
    EXPECT_EQ(run_control(sim, wire, "urc +CREG: 1").urc, "+CREG: 1");
    EXPECT_TRUE(run_control(sim, wire, "hangup").hangup);
    EXPECT_TRUE(run_control(sim, wire, "quit").quit);
    EXPECT_EQ(run_control(sim, wire, "lineend lf").reply, "ok\n");
    EXPECT_EQ(run_control(sim, wire, "noise 3").reply, "ok\n");
    EXPECT_EQ(wire.encode("\r\n4\r\nOK\r\n"), "\n4\n\0OK\n\0"s);
    EXPECT_EQ(run_control(sim, wire, "script AT delay 1").reply, "ok\n");
    EXPECT_NE(run_control(sim, wire, "state").reply.find("sim: default\ncpin: READY\npin: 1234\n"),
              std::string::npos);
    EXPECT_NE(
        run_control(sim, wire, "state").reply.find("cmee: 2\nline_end: lf\nnoise: 3\nscripts: 1\n"),
        std::string::npos);
}

// The line on a real pseudo-terminal: lines in with any line end, answers out in pieces, in
// order, with the modem's line end and noise; a hangup moves the link to a fresh pty.
TEST(ModemSimLine, PtyInAndOut) {
    const std::string link = ::testing::TempDir() + "orv_modem_sim_line";
    const auto readable = [](int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    };
    const auto take = [](int fd) {
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    };
    {
        Line line({.pty = true, .link = link, .chunk = 3}, {LineEnd::Cr, 4});
        line.start();
        const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        ASSERT_EQ(::write(fd, "AT+C", 4), 4);
        ASSERT_TRUE(readable(line.data_fd(), 1000));
        EXPECT_TRUE(line.receive().empty());
        ASSERT_EQ(::write(fd, "PIN?\r\nAT\n\r\nATE0\rAT", 18), 18);
        std::vector<std::string> lines;
        while (lines.size() < 3 && readable(line.data_fd(), 1000)) {
            for (std::string& l : line.receive()) {
                lines.push_back(l);
            }
        }
        EXPECT_EQ(lines, (std::vector<std::string>{"AT+CPIN?", "AT", "ATE0"}));

        line.send("\r\nOK\r\n", 50);
        line.send("\r\nA\r\n");  // after the answer before it, whatever its own delay
        line.run_due();
        EXPECT_FALSE(readable(fd, 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        line.run_due();
        ASSERT_TRUE(readable(fd, 1000));
        EXPECT_EQ(take(fd), "\rOK");  // three bytes at a time
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        line.run_due();
        ASSERT_TRUE(readable(fd, 1000));
        EXPECT_EQ(take(fd), "\r\0\rA\r"s);  // a NUL after every four bytes

        const auto before = std::filesystem::read_symlink(link);
        line.hangup();
        EXPECT_NE(std::filesystem::read_symlink(link), before);
        ::close(fd);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

}  // namespace
}  // namespace orv::modem_sim
