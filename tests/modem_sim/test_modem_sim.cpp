// The virtual modem's pieces: the answers the daemon parses, byte for byte, with the SIM's PIN,
// PUK and personalisation-lock state machine behind them; what each profile key changes; the
// control commands and their refusals; and the line's pieces, line ends and noise on a real
// pseudo-terminal. The program as a whole runs under every end-to-end test, which covers what
// the daemon sees of the rest (scripted answers, reports, swaps, delays, hangups).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
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
// ANSWER is framed lines, or <silent> / <hangup> for what a script makes of the command. A step
// "ctl LINE => ok" (or "=> error") runs a control line instead and checks how its reply begins.
void walk(ModemSim& sim, std::string_view steps, const std::string& name) {
    WireFormat wire;
    while (!steps.empty()) {
        const std::string_view step = steps.substr(0, steps.find(" ; "));
        steps.remove_prefix(std::min(step.size() + 3, steps.size()));
        const std::string_view command = step.substr(0, step.find(" => "));
        const std::string_view answer = step.substr(step.find(" => ") + 4);
        if (command.starts_with("ctl ")) {
            const std::string reply = run_control(sim, wire, command.substr(4)).reply;
            EXPECT_EQ(reply.substr(0, reply.find_first_of(":\n")), answer) << name << ": " << step;
            continue;
        }
        const Reply r = sim.feed(command);
        const std::string kinds[] = {"", "<silent>", "<hangup>"};  // by Reply::Kind
        EXPECT_EQ(kinds[static_cast<int>(r.kind)] + r.bytes,
                  answer.starts_with('<') ? std::string(answer) : framed(answer))
            << name << ": " << command;
    }
}

// Rows of {name, profile, conversation}; verbose error texts are on unless the profile sets cmee.
TEST(ModemSim, Conversations) {
    const char* rows[][3] = {
        {"wrong PINs fall to PUK; the lock is answered before the PIN, changed only after it",
         "[sim.default]\npin = \"1111\"\npin_lock = true\n",
         "AT+CRSM=176,28486,0,0,1 => +CRSM: 144, 0,\"01\"|OK ; AT+CRSM=176,28472,0,0,1,,\"7F20\" "
         "=> +CRSM: 105, 130|OK ; AT+CLCK=\"SC\",2 => +CLCK: 1|OK ; "
         "AT+CPWD=\"SC\",\"1111\",\"2222\" => +CME ERROR: SIM PIN required ; AT+CPIN=\"0000\" => "
         "+CME ERROR: incorrect password ; AT+EPINC => +EPINC: 2, 3, 10, 10|OK ; AT+CPIN=\"0000\" "
         "=> +CME ERROR: incorrect password ; AT+CPIN=\"0000\" => +CME ERROR: SIM PUK required ; "
         "AT+CPIN? => +CPIN: SIM PUK|OK ; AT+CPIN=\"1111\" => +CME ERROR: SIM PUK required"},
        {"PUK unblocks with a new PIN and refills the counters to their maxima",
         "[sim.default]\npin_max = 5\npin_attempts = 0\npuk = \"12345678\"\npuk_max = "
         "7\npuk_attempts = 2\npin2_attempts = 1\npuk2_attempts = 2\n",
         "AT+CPIN=\"00000000\",\"2222\" => +CME ERROR: incorrect password ; AT+EPINC => +EPINC: "
         "0, 1, 1, 2|OK ; AT+CPIN=\"12345678\",\"22\" => +CME ERROR: Incorrect parameters ; "
         "AT+CPIN=\"12345678\",\"2222\" => OK ; AT+EPINC => +EPINC: 5, 1, 7, 2|OK ; "
         "AT+CLCK=\"SC\",2 => +CLCK: 1|OK ; AT+CPWD=\"SC\",\"2222\",\"3333\" => OK"},
        {"last wrong PUK blocks the card for good; its ICCID stays readable",
         "[sim.default]\npin_attempts = 0\npuk_attempts = 1\n",
         "AT+CPIN=\"00000000\",\"2222\" => +CME ERROR: SIM invalid - PUK blocked ; AT+CPIN? => "
         "+CME ERROR: SIM invalid - PUK blocked ; AT+CRSM=176,12258,0,0,10 => +CRSM: 144, "
         "0,\"984421436587092143F5\"|OK"},
        {"refusals of a ready card; wrong PINs in lock and change commands count too", "",
         "AT+CPIN=\"1234\" => +CME ERROR: operation not allowed ; AT+CPWD=\"SC\",\"1234\",\"12\" "
         "=> +CME ERROR: Incorrect parameters ; AT+CPWD=\"P2\",\"1234\",\"5678\" => +CME ERROR: "
         "operation not supported ; AT+CLCK=\"SC\",3,\"1234\" => ERROR ; AT+CLCK=\"SC\",1 => +CME "
         "ERROR: Incorrect parameters ; AT+CLCK=\"XX\",2 => +CME ERROR: operation not supported ; "
         "AT+CLCK=\"PC\",0,\"1\" => ERROR ; AT+CLCK=\"SC\",1,\"0000\" => +CME ERROR: incorrect "
         "password ; AT+CPWD=\"SC\",\"0000\",\"4444\" => +CME ERROR: incorrect password ; "
         "AT+CLCK=\"SC\",0,\"0000\" => +CME ERROR: SIM PUK required"},
        {"busy for the first SIM commands only; no own number; a wrong key to remove a lock counts",
         "[sim.default]\nbusy = 1\nnumbers = []\n[sim.default.locks.network]\nkey = "
         "\"1111\"\nattempts = 2\n",
         "AT+CGSN => 356938035643809|OK ; AT+CNUM => +CME ERROR: SIM busy ; AT+CNUM => OK ; "
         "AT+CLCK=\"PN\",0,\"1\" => +CME ERROR: incorrect password ; AT+CLCK=\"PN\",0,\"1\" => "
         "+CME ERROR: network personalization PUK required ; AT+CPIN? => +CPIN: PH-NET PUK|OK"},
        {"last attempt turns the lock into its PUK form, which its unblock key clears",
         "[sim.default.locks.network_subset]\nkey = \"5555\"\nattempts = 1\nmax = 4\nunblock_key "
         "= \"9999\"\n",
         "AT+CPIN=\"0\" => +CME ERROR: network subset personalization PUK required ; AT+CPIN? => "
         "+CPIN: PH-NETSUB PUK|OK ; AT+ESMLCK? => +ESMLCK: "
         "(0,0,3,3),(1,1,0,4),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK ; AT+CPIN=\"5555\" => +CME ERROR: "
         "incorrect password ; AT+CPIN=\"9999\" => OK ; AT+ESMLCK? => +ESMLCK: "
         "(0,0,3,3),(1,1,4,4),(2,0,3,3),(3,0,3,3),(4,0,3,3)|OK"},
        {"locks wait in category order, after the PIN; a lock given off can be set",
         "[sim.default]\npin_lock = true\n[sim.default.locks.sim]\nkey = "
         "\"2\"\n[sim.default.locks.service_provider]\nkey = "
         "\"1\"\n[sim.default.locks.corporate]\nenabled = false\nkey = \"3\"\n",
         "AT+CPIN=\"1234\" => OK ; AT+CPIN? => +CPIN: PH-SP PIN|OK ; AT+CPIN=\"1\" => OK ; "
         "AT+CPIN? => +CPIN: PH-FSIM PIN|OK ; AT+CPIN=\"2\" => OK ; AT+CLCK=\"PC\",1,\"4\" => "
         "+CME ERROR: incorrect password ; AT+CLCK=\"PC\",1,\"3\" => OK ; AT+CLCK=\"PC\",2 => "
         "+CLCK: 1|OK"},
        {"status words, settings, radio and malformed commands", "",
         "AT+CRSM=176,28472,0,0,1,,\"7F20\" => +CRSM: 144, 0,\"DF\"|OK ; "
         "AT+CRSM=176,28418,0,0,1,,\"7F43\" => +CRSM: 148, 4|OK ; AT+CRSM=176,12037,0,5,1 => "
         "+CRSM: 107, 0|OK ; AT+CRSM=176,12037,0,2,3 => +CRSM: 103, 0|OK ; AT+CRSM=192,12037 => "
         "+CRSM: 109, 0|OK ; AT+EGTYPE=2 => OK ; AT+EGTYPE? => +EGTYPE: 2|OK ; AT+EGTYPE=5 => "
         "ERROR ; AT+CFUN=7 => ERROR ; at+cpin? => +CPIN: READY|OK ; AT+CPIN=? => OK ; AT+COPS? "
         "=> ERROR ; AT+CPIN=\"12 => ERROR ; AT+CPIN= \"1\" x => ERROR ; ATI => ERROR"},
        {"error modes with no SIM; device keys; the IMEI needs no SIM; a broken card",
         "inserted = \"\"\n[device]\nimei = \"111\"\ncfun = 4\ncmee = 1\n[sim.bad]\nfailure = "
         "true\n",
         "AT+CPIN? => +CME ERROR: 10 ; AT+CMEE=0 => OK ; AT+CPIN? => ERROR ; AT+CMEE=2 => OK ; "
         "AT+CPIN? => +CME ERROR: SIM not inserted ; AT+CGSN => 111|OK ; AT+CFUN? => +CFUN: 4|OK "
         "; ctl insert bad => ok ; AT+CPIN? => +CME ERROR: SIM failure ; AT+CMEE => OK ; AT+CMEE? "
         "=> +CMEE: 0|OK"},
        // What each profile key changes.
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
        {"scripts of the profile and of the control, newest first, used up, cleared",
         "[[script]]\nmatch = \"at+cg*\"\nsilent = true\ncount = 1\n[[script]]\nmatch = "
         "\"AT+CFUN?\"\nreport_before = \"A\"\nreport_inside = \"B\"\nreport_after = "
         "\"C\"\n[[script]]\nmatch = \"AT+CNUM\"\nhangup = true\ncount = 1\n",
         "AT+CGSN => <silent> ; AT+CGSN => 356938035643809|OK ; AT+CFUN? => A|+CFUN: 1|B|OK|C ; "
         "AT+CNUM => <hangup> ; ctl script AT+CIMI answer \\r\\nX\\r\\n 1 => ok ; ctl script "
         "AT+CIMI answer \"\\r\\nY\\r\\n\" 1 => ok ; AT+CIMI => Y ; AT+CIMI => X ; AT+CIMI => "
         "234150123456789|OK ; ctl script AT+CIMI silent always => ok ; ctl script clear => ok ; "
         "AT+CIMI => 234150123456789|OK ; AT+CFUN? => +CFUN: 1|OK"},
        {"control: a card keeps its counters out of the slot, but locks again; busy; refusals",
         "[sim.default]\npin_lock = true\n[sim.other]\nimsi = \"1\"\n",
         "AT+CPIN=\"9\" => +CME ERROR: incorrect password ; ctl swap other => ok ; AT+CIMI => "
         "1|OK ; ctl swap nobody => error ; AT+CIMI => 1|OK ; ctl remove => ok ; AT+CPIN? => +CME "
         "ERROR: SIM not inserted ; ctl busy 1 => error ; ctl insert default => ok ; ctl busy 1 "
         "=> ok ; AT+CPIN? => +CME ERROR: SIM busy ; AT+CPIN? => +CPIN: SIM PIN|OK ; AT+EPINC => "
         "+EPINC: 2, 3, 10, 10|OK ; ctl state => sim ; ctl help => commands ; ctl script AT "
         "report sideways RING => error ; ctl script AT => error ; ctl script AT delay soon => "
         "error ; ctl script AT silent 0 => error ; ctl lineend crcr => error ; ctl noise -1 => "
         "error ; ctl urc \"open => error ; ctl dance => error ; ctl  => error"},
    };
    for (const auto& [name, profile, steps] : rows) {
        ModemSim sim(parse_profile(profile, name));
        if (std::string_view(profile).find("cmee") == std::string_view::npos) {
            sim.feed("AT+CMEE=2");
        }
        walk(sim, steps, name);
    }
}

TEST(ModemSim, ProfilesRefuseWhatTheyCannotUseAndSayWhere) {
    const std::pair<const char*, const char*> rows[] = {
        {"[device]\nimie = \"1\"\n", "p.toml: device: unknown entry 'imie'"},
        {"colour = 1\n", "p.toml: top level: unknown entry 'colour'"},
        {"[sim.a.locks.country]\n", "p.toml: sim.a.locks: unknown lock 'country'"},
        {"[[script]]\nmatch = \"AT\"\n", "p.toml: script[0]: a script needs"},
        {"inserted = \"other\"\n", "p.toml: inserted: no SIM named 'other'"},
        {"[sim.a]\nspn = \"Seventeen letters\"\n", "p.toml: sim.a.spn: SPN longer than 16"},
        {"[sim.a]\nspn_ucs2 = \"\xF0\x9F\x98\x80\"\n", "sim.a.spn_ucs2: SPN name: only characters"},
        {"[sim.a]\nspn = \"a\"\nspn_ucs2 = \"b\"\n", "p.toml: sim.a.spn_ucs2: give either"},
        {"[sim.x]\nbusy = \"2\"\n", "p.toml: sim.x.busy: expected an integer"},
        {"[sim.x]\npin_max = 100\n", "p.toml: sim.x.pin_max: out of range 0..99"},
        {"[sim.x.files]\nspn = \"ABC\"\n", "p.toml: sim.x.files.spn"},
        {"[device]\nline_end = \"crcr\"\n", "p.toml: device.line_end"},
        {"this is not toml", "p.toml:1:"},
    };
    for (const auto& [text, where] : rows) {
        EXPECT_THAT([&] { parse_profile(text, "p.toml"); },
                    testing::ThrowsMessage<ProfileError>(testing::HasSubstr(where)));
    }
    for (const auto& f :
         std::filesystem::directory_iterator(ORV_SOURCE_DIR "/tools/modem_sim/profiles")) {
        EXPECT_NO_THROW(load_profile(f.path())) << f.path();  // shipped with the program
    }
}

// Words and escapes of the control; the echo and a profile's delay; the line end, noise and state
// the control sets and shows.
TEST(ModemSimControl, WordsEchoWireAndState) {
    EXPECT_EQ(tokenize(" a\t\"b \\\"c\\\\\\x\" \"\" "),
              (std::vector<std::string>{"a", "b \"c\\\\x", ""}));
    EXPECT_EQ(unescape("a\\\\r\\x41\\r\\n\\t\\\"\\x4 \\q\\"), "a\\rA\r\n\t\"\\x4 \\q\\");

    ModemSim sim(
        parse_profile("[device]\necho = true\n[[script]]\nmatch = \"AT\"\ndelay = 300\n", "e"));
    EXPECT_EQ(sim.feed("ATE0").bytes, "ATE0\r\r\nOK\r\n");
    const Reply late = sim.feed("AT");
    EXPECT_EQ(late.bytes + std::to_string(late.delay_ms), "\r\nOK\r\n300");
    WireFormat wire;
    EXPECT_EQ(run_control(sim, wire, "urc +CMT: ,24\\r\\nOK").urc, "+CMT: ,24\r\nOK");
    EXPECT_TRUE(run_control(sim, wire, "quit").quit);
    run_control(sim, wire, "lineend lf");
    run_control(sim, wire, "noise 3");
    EXPECT_EQ(wire.encode("\r\n4\r\nOK\r\n"), "\n4\n\0OK\n\0"s);
    run_control(sim, wire, "script AT delay 1");
    EXPECT_EQ(run_control(sim, wire, "state").reply,
              "sim: default\ncpin: READY\npin: 1234\npin_lock: 0\npin_attempts: 3\npuk_attempts: "
              "10\nbusy: 0\nlocks: network=0/3/3 network_subset=0/3/3 service_provider=0/3/3 "
              "corporate=0/3/3 sim=0/3/3\ncfun: 1\necho: 0\ncmee: 0\nline_end: lf\nnoise: "
              "3\nscripts: 2\n");
}

// The line on a real pseudo-terminal: lines in with any line end, answers out in pieces, in
// order, with the modem's line end and noise; a hangup moves the link to a fresh pty.
TEST(ModemSimLine, PtyInAndOut) {
    const std::string link = ::testing::TempDir() + "orv_modem_sim_line";
    const auto readable = [](int fd, int ms) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) == 1;
    };
    const auto take = [&](int fd, std::size_t n) {  // reads until n bytes came, or a second passed
        std::string got(64, '\0');
        std::size_t at = 0;
        for (ssize_t r = 0;
             at < n && readable(fd, 1000) && (r = ::read(fd, &got[at], 64 - at)) > 0;) {
            at += static_cast<std::size_t>(r);
        }
        return got.substr(0, at);
    };
    {
        const DeviceProfile d =
            parse_profile("[device]\nline_end = \"cr\"\nnul_every = 4", "").device;
        Line line({.pty = true, .link = link, .chunk = 3}, {d.line_end, d.nul_every});
        line.start();
        const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "AT+C", 4), 4);
        ASSERT_TRUE(readable(line.data_fd(), 1000));
        EXPECT_TRUE(line.receive().empty());
        ASSERT_EQ(::write(fd, "PIN?\r\nAT\n\r\nATE0\rAT", 18), 18);
        std::vector<std::string> lines;
        while (lines.size() < 3 && readable(line.data_fd(), 1000)) {
            std::ranges::move(line.receive(), std::back_inserter(lines));
        }
        EXPECT_EQ(lines, (std::vector<std::string>{"AT+CPIN?", "AT", "ATE0"}));

        line.send("\r\nOK\r\n", 50);
        line.send("\r\nA\r\n");  // after the answer before it, whatever its own delay
        line.run_due();
        EXPECT_FALSE(readable(fd, 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        line.run_due();
        EXPECT_EQ(take(fd, 3), "\rOK");  // three bytes at a time
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        line.run_due();
        EXPECT_EQ(take(fd, 5), "\r\0\rA\r"s);  // a NUL after every four bytes

        const auto before = std::filesystem::read_symlink(link);
        line.hangup();
        EXPECT_NE(std::filesystem::read_symlink(link), before);
        ::close(fd);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

}  // namespace
}  // namespace orv::modem_sim
