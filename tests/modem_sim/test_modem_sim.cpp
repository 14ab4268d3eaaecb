// The virtual modem's own pieces: the control commands and their effects, the profile's scripts,
// the PUK's counters, the SIM files, PIN change and lock and network lock with the commands the
// daemon sends (tests/sim_security and tests/sim_identity hold the daemon's side of the same
// answers), profile refusals, the control's escapes, echo, wire and state, the line on a real
// pseudo-terminal (chunks, line ends, noise, the relink after a hangup), and the replay of a
// trace by the program (bytes, order, pace, wrong commands, bad traces). The program as a whole,
// on a pty and on TCP, runs under the end-to-end tests.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/modem_sim/control.h"

namespace orv::modem_sim {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

std::string take(int fd, std::size_t n) {  // reads until n bytes came, or five seconds passed
    std::string got(64, '\0');
    std::size_t at = 0;
    for (ssize_t r = 0; at < n && readable(fd, 5000) && (r = ::read(fd, &got[at], 64 - at)) > 0;) {
        at += static_cast<std::size_t>(r);
    }
    return got.substr(0, at);
}

std::string slurp(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// A folder of the test's own (two runs at once never share a file), removed at the end however
// the test ends.
class Folder {
  public:
    Folder() {
        char tmpl[] = "/tmp/orv_modem_test_XXXXXX";
        if (::mkdtemp(tmpl) != nullptr) {
            dir_ = tmpl;
        }
    }
    ~Folder() { std::filesystem::remove_all(dir_); }
    std::string operator/(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_ = "/nonexistent";
};

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
// ANSWER is framed lines, or <silent> / <hangup> for what a script makes of the command, then the
// timed reports that follow it as " ~LINE@MS". A step "ctl LINE => ok" (or "=> error") runs a
// control line instead and checks how its reply begins.
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
        std::string got = kinds[static_cast<int>(r.kind)] + r.bytes;
        for (const TimedReport& t : r.later) {
            got += " ~" + t.line + "@" + std::to_string(t.after_ms);
        }
        const std::string_view lines = answer.substr(0, answer.find(" ~"));
        EXPECT_EQ(got, (lines.starts_with('<') ? std::string(lines) : framed(lines)) +
                           std::string(answer.substr(lines.size())))
            << name << ": " << command;
    }
}

// Rows of {name, profile, conversation}: what the control and the profile's scripts change.
TEST(ModemSim, Conversations) {
    const char* rows[][3] = {
        {"scripts of the profile and of the control, newest first, used up, cleared",
         "script = [\"at+cg* silent 1\", \"AT+CFUN? report before A report inside B report "
         "after C\", \"AT+CNUM hangup 1\"]\n",
         "AT+CGSN => <silent> ; AT+CGSN => 356938035643809|OK ; AT+CFUN? => A|+CFUN: 1|B|OK|C ; "
         "AT+CNUM => <hangup> ; ctl script AT+CIMI answer \\r\\nX\\r\\n 1 => ok ; ctl script "
         "AT+CIMI answer \"\\r\\nY\\r\\n\" 1 => ok ; AT+CIMI => Y ; AT+CIMI => X ; AT+CIMI => "
         "234150123456789|OK ; ctl script AT+CIMI silent always => ok ; ctl script clear => ok ; "
         "AT+CIMI => 234150123456789|OK ; AT+CFUN? => +CFUN: 1|OK"},
        {"the last wrong PIN wants the PUK, which refills both counters; the last wrong PUK blocks",
         "[device]\ncmee = 1\n[sim.default]\npin_lock = true\npin_attempts = 1\n[sim.b]\n"
         "pin_attempts = 0\npuk_attempts = 1\n",
         "AT+CPIN=\"0\" => +CME ERROR: 12 ; AT+CPIN=\"1\",\"2222\" => +CME ERROR: 16 ; "
         "AT+CPIN=\"12345678\",\"2222\" => OK ; AT+EPINC => +EPINC: 3, 3, 10, 10|OK ; ctl swap b "
         "=> ok ; AT+CPIN=\"1\",\"2222\" => +CME ERROR: 262"},
        {"control: a card keeps its counters out of the slot, but locks again; busy; the files, "
         "PIN change and lock and network lock the daemon's requests use; refusals",
         "[device]\ncmee = 2\n[sim.default]\npin_lock = true\niccid = "
         "\"8944123456789012345\"\nlanguages = [\"en\"]\nmnc_digits = 3\n[sim.other]\nimsi = "
         "\"1\"\n[sim.locked.locks.network]\nkey = \"11112222\"\n",
         "AT+CPIN=\"1234\" => OK ; AT+CPWD=\"SC\",\"9\",\"5678\" => +CME ERROR: incorrect password "
         "; ctl swap other => ok ; AT+CIMI => 1|OK ; ctl swap nobody => error ; AT+CIMI => 1|OK ; "
         "ctl remove => ok ; AT+CPIN? => +CME ERROR: SIM not inserted ; ctl busy 1 => error ; ctl "
         "insert default => ok ; ctl busy 1 => ok ; AT+CPIN? => +CME ERROR: SIM busy ; AT+CPIN? => "
         "+CPIN: SIM PIN|OK ; AT+EPINC => +EPINC: 2, 3, 10, 10|OK ; AT+CRSM=176,12258,0,0,10 => "
         "+CRSM: 144, 0,\"984421436587092143F5\"|OK ; AT+CPIN=\"1234\" => OK ; "
         "AT+CPWD=\"SC\",\"1234\",\"8765\" => OK ; AT+CLCK=\"SC\",0,\"8765\" => OK ; "
         "AT+CLCK=\"SC\",2 => +CLCK: 0|OK ; AT+CRSM=176,12037,0,0,2 => +CRSM: 144, 0,\"656E\"|OK ; "
         "AT+CRSM=176,28589,0,0,4 => +CRSM: 144, 0,\"00000003\"|OK ; ctl swap locked => ok ; "
         "AT+CPIN? => +CPIN: PH-NET PIN|OK ; AT+CPIN=\"00000000\" => +CME ERROR: incorrect "
         "password ; AT+CPIN=\"11112222\" => OK ; AT+CPIN? => +CPIN: READY|OK ; "
         "AT+CLCK=\"PN\",0,\"11112222\" => OK ; AT+CLCK=\"PN\",2 => +CLCK: 0|OK ; ctl script AT "
         "report sideways RING => error ; ctl script AT => error ; ctl script AT delay soon => "
         "error ; ctl script AT silent 0 => error ; ctl lineend crcr => error ; ctl noise -1 => "
         "error ; ctl urc \"open => error ; ctl dance => error ; ctl  => error"},
        {"a family's bursts: after AT+CFUN=1 the start-up, the SIM-ready one timed from its last "
         "line when the card is ready, else after the answer that makes the card ready",
         "[device]\ncmee = 2\nstart_up = [{line = \"RDY\"}, {line = \"S\", after_ms = 5}]\n"
         "sim_ready = [{line = \"R\"}, {line = \"B\", after_ms = 9}]\n[sim.default]\n[sim.locked]\n"
         "pin_lock = true\n",
         "AT+CFUN=4 => OK ; AT+CFUN=1 => OK ~RDY@0 ~S@5 ~R@5 ~B@14 ; AT+CFUN=? => OK ; ctl swap "
         "locked => ok ; AT+CFUN=1,1 => OK ~RDY@0 ~S@5 ; AT+CPIN=\"1\" => +CME ERROR: incorrect "
         "password ; AT+CPIN=\"1234\" => OK ~R@0 ~B@9 ; AT+CPIN? => +CPIN: READY|OK"},
    };
    for (const auto& [name, profile, steps] : rows) {
        ModemSim sim(parse_profile(profile, name));
        walk(sim, steps, name);
    }
}

TEST(ModemSim, ProfilesRefuseWhatTheyCannotUseAndSayWhere) {
    const std::pair<const char*, const char*> rows[] = {
        {"[device]\nimie = \"1\"\n", "p.toml: device: unknown entry 'imie'"},
        {"[sim.a.locks.country]\n", "p.toml: sim.a.locks: unknown lock 'country'"},
        {"script = [\"AT\"]\n", "p.toml: script[0]: script needs answer, silent"},
        {"inserted = \"other\"\n", "p.toml: inserted: no SIM named 'other'"},
        {"[sim.a]\nspn = \"Seventeen letters\"\n", "p.toml: sim.a.spn: SPN longer than 16"},
        {"[sim.a]\nspn_ucs2 = \"\xF0\x9F\x98\x80\"\n", "sim.a.spn_ucs2: SPN name: only characters"},
        {"[sim.a]\nspn = \"a\"\nspn_ucs2 = \"b\"\n", "p.toml: sim.a.spn_ucs2: give either"},
        {"[sim.x]\nbusy = \"2\"\n", "p.toml: sim.x.busy: expected an integer"},
        {"[sim.x]\npin_max = 100\n", "p.toml: sim.x.pin_max: out of range 0..99"},
        {"[sim.x.files]\nspn = \"ABC\"\n", "p.toml: sim.x.files.spn"},
        {"[device]\nline_end = \"crcr\"\n", "p.toml: device.line_end"},
        {"[device]\nimei_format = \"quoted\"\n", "p.toml: device.imei_format: expected"},
        {"[device]\nstart_up = [{after_ms = 5}]\n", "p.toml: device.start_up: a timed report"},
        {"[device]\nsim_ready = [{line = \"R\", when = 5}]\n", "sim_ready: unknown entry 'when'"},
        {"[device]\nreport_every_ms = 100\n", "device.report_every_ms: a report timer needs"},
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

// Escapes of the control; the echo and a profile's delay; the line end, noise and state
// the control sets and shows.
TEST(ModemSimControl, WordsEchoWireAndState) {
    EXPECT_EQ(unescape("a\\\\r\\x41\\r\\n\\t\\\"\\x4 \\q\\"), "a\\rA\r\n\t\"\\x4 \\q\\");

    ModemSim sim(parse_profile("script = [\"AT delay 300\"]\n[device]\necho = true\n", "e"));
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
    EXPECT_THAT(run_control(sim, wire, "state").reply,
                testing::EndsWith("\necho: 0\ncmee: 0\nline_end: lf\nnoise: 3\nscripts: 2\n"));
}

// The line on a real pseudo-terminal: lines in with any line end, answers out in pieces, in
// order, with the modem's line end and noise; a hangup moves the link to a fresh pty; timed
// reports go with the answers.
TEST(ModemSimLine, PtyInAndOut) {
    const Folder folder;
    const std::string link = folder / "pty";
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

    // Timed reports: right after their answer, or held until due, then sent at the start of the
    // first answer that leaves (after its echo).
    Line line({.pty = true, .link = link}, {});
    line.start();
    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    line.send_answer("X\r\r\nOK\r\n", 0, {{"A", 0}, {"B", 200}, {"C", 60000}});
    line.run_due();
    EXPECT_EQ(take(fd, 13), "X\r\r\nOK\r\n\r\nA\r\n");
    line.send_answer("Y\r\r\nOK\r\n", 0, {});
    line.run_due();
    EXPECT_EQ(take(fd, 8), "Y\r\r\nOK\r\n");  // B is not due yet
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    line.send_answer("\r\nOK\r\n", 0, {});
    line.run_due();
    EXPECT_EQ(take(fd, 11), "\r\nB\r\n\r\nOK\r\n");
    ::close(fd);
}

// The program takes --link and --control only when nothing is in the way but its own stale
// ones: a file, or the link and socket of a running virtual modem, are refused and named.
TEST(ModemSimProgram, LinkAndControlPathsAreNeverTakenFromSomethingElse) {
    const Folder folder;
    const std::string sim = ORV_MODEM_SIM, link = folder / "run/modem", ctl = folder / "run/ctl";
    const auto run = [&](const std::string& args) {
        const int st =
            std::system((sim + " --pty " + args + " >" + folder / "out" + " 2>&1").c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    std::ofstream(folder / "file") << "data";
    EXPECT_EQ(run("--link " + folder / "file"), 1);
    EXPECT_THAT(slurp(folder / "out"), testing::HasSubstr("file is there and is no link"));
    EXPECT_EQ(slurp(folder / "file"), "data");
    // A running modem, in folders it makes.
    const pid_t first = fork();
    if (first == 0) {
        execl(ORV_MODEM_SIM, ORV_MODEM_SIM, "--pty", "--link", link.c_str(), "--control",
              ctl.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 1000 && !std::filesystem::exists(ctl); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::exists(link)) << "the first modem made no " << link;
    struct Ended {  // the modems are ended also when an assertion fails
        pid_t pid;
        ~Ended() {
            if (pid > 0 && ::kill(pid, SIGKILL) == 0) {
                ::waitpid(pid, nullptr, 0);
            }
        }
    } ended{first};
    EXPECT_EQ(run("--link " + link), 1);
    EXPECT_THAT(slurp(folder / "out"), testing::HasSubstr("a pseudo-terminal still open"));
    EXPECT_EQ(run("--link " + folder / "other" + " --control " + ctl), 1);
    EXPECT_THAT(slurp(folder / "out"), testing::HasSubstr("control socket of a running"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(folder / "other")));
    // Killed, it leaves its link and socket behind: the next modem takes them.
    ::kill(first, SIGKILL);
    ::waitpid(first, nullptr, 0);
    const pid_t second = ended.pid = fork();
    if (second == 0) {
        execl(ORV_MODEM_SIM, ORV_MODEM_SIM, "--pty", "--link", link.c_str(), "--control",
              ctl.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    bool answers = false;
    for (int i = 0; i < 1000 && !answers; ++i) {
        answers = std::system((sim + " ctl " + ctl + " state >/dev/null 2>&1").c_str()) == 0;
        std::this_thread::sleep_for(answers ? 0ms : 10ms);
    }
    EXPECT_TRUE(answers) << "the second modem did not take the stale control socket";
    ::kill(second, SIGTERM);
    ::waitpid(second, nullptr, 0);
    ended.pid = -1;
}

// The program replaying a trace on a pty: a report before the first command; an answer in two
// pieces 100 ms apart with a report inside; a command recorded without raw bytes (cmd and ans),
// answered 0.8 s late; a timeout. A wrong command gets nothing and a line on standard error, and
// the right one still plays; --fast keeps the order but drops the pauses. A bad trace line ends
// the program at start with exit 2.
TEST(ModemSimReplay, PlaysTheTraceBackByteForByte) {
    const Folder folder;
    const std::string dir = folder / "";
    std::ofstream(dir + "trace")
        << R"({"k":"trace","t":0,"v":1,"wall":"2024-05-01T10:00:00Z","pid":7}
{"k":"rx","t":0.05,"b":"\r\n+EIND: 128\r\n"}
{"k":"cmd","t":0.2,"c":"AT+CPIN?","w":500}
{"k":"tx","t":0.2,"b":"AT+CPIN?\r"}
{"k":"rx","t":0.25,"b":"\r\n+CPIN: READY\r\n"}
{"k":"rx","t":0.35,"b":"\r\nRING\r\n\r\nOK\r\n"}
{"k":"ans","t":0.35,"o":0,"a":"\r\n+CPIN: READY\r\nOK\r\n"}
{"k":"row","t":0.4,"v":["x",null]}
{"k":"cmd","t":0.5,"c":"AT+CGSN","w":1000}
{"k":"ans","t":1.3,"o":0,"a":"\r\n3569\u00ff\r\nOK\r\n"}
{"k":"cmd","t":1.4,"c":"AT+CIMI","w":500}
{"k":"ans","t":1.9,"o":1,"a":""}
)";
    std::ofstream(dir + "bad")
        << "{\"k\":\"idle\",\"t\":0}\n{\"k\":\"rx\",\"t\":1,\"b\":\"\\u0100\"}\n";
    const auto spawn = [&](std::vector<std::string> args) {
        args.insert(args.begin(), ORV_MODEM_SIM);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&files, 2, (dir + "err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        return pid;
    };
    const auto status = [](pid_t pid) {
        int st = -1;
        ::waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    EXPECT_EQ(status(spawn({"--pty", "--replay", dir + "bad"})), 2);
    EXPECT_THAT(slurp(dir + "err"),
                testing::HasSubstr(dir + "bad:2: column 22: \\u escape above 00FF"));

    for (const bool fast : {false, true}) {
        std::filesystem::remove(dir + "journal");
        const pid_t pid =
            spawn({"--pty", "--link", dir + "pty", "--journal", dir + "journal", "--replay",
                   dir + "trace", fast ? "--fast" : "-v"});  // -v: logs too
        struct Ended {  // the modem is ended also when an assertion below fails
            pid_t pid;
            ~Ended() {
                if (pid > 0 && ::kill(pid, SIGKILL) == 0) {
                    ::waitpid(pid, nullptr, 0);
                }
            }
        } ended{pid};
        for (int i = 0; i < 1000 && !std::filesystem::exists(dir + "pty"); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        const int fd = ::open((dir + "pty").c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << "the replaying modem made no link " << dir << "pty within 10 s";
        EXPECT_EQ(take(fd, 14), "\r\n+EIND: 128\r\n");
        const auto exchange = [&](const std::string& command, std::size_t n) {
            const auto sent = Clock::now();
            EXPECT_EQ(::write(fd, command.data(), command.size()), std::ssize(command));
            const std::string got = n > 0 ? take(fd, n) : readable(fd, 150) ? "(bytes)" : "";
            return std::pair{got, Clock::now() - sent};
        };
        EXPECT_EQ(exchange("AT+X\r", 0).first, "");
        const auto [cpin, cpin_took] = exchange("AT+CPIN?\r", 30);
        EXPECT_EQ(cpin, "\r\n+CPIN: READY\r\n\r\nRING\r\n\r\nOK\r\n");
        const auto [cgsn, cgsn_took] = exchange("AT+CGSN\r\n", 13);
        EXPECT_EQ(cgsn, "\r\n3569\xFF\r\nOK\r\n");
        EXPECT_EQ(exchange("AT+CIMI\r", 0).first, "");
        EXPECT_EQ(exchange("AT\r", 0).first, "");
        if (fast) {
            EXPECT_LT(cgsn_took, 700ms);  // the recorded pause is 800 ms
        } else {
            EXPECT_GE(cpin_took, 140ms);
            EXPECT_GE(cgsn_took, 750ms);
        }
        ::close(fd);
        ::kill(pid, SIGTERM);
        EXPECT_EQ(status(pid), 0);
        ended.pid = -1;  // reaped
        EXPECT_EQ(slurp(dir + "journal"), "AT+X\nAT+CPIN?\nAT+CGSN\nAT+CIMI\nAT\n");
        const std::string err = slurp(dir + "err");
        EXPECT_THAT(err, testing::HasSubstr("orv_modem_sim: replay: got command AT+X, the trace "
                                            "holds AT+CPIN? next\n"));
        EXPECT_THAT(err,
                    testing::HasSubstr("replay: got command AT, the trace holds nothing more"));
    }
}

}  // namespace
}  // namespace orv::modem_sim
