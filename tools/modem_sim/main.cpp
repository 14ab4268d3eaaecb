// orv_modem_sim: a virtual AT modem with a virtual SIM on a pseudo-terminal or a TCP port, for
// the daemon's demo and end-to-end tests. See docs/virtual-modem.md. This file holds the command
// line and the loop that joins the line (line.h), the interpreter (interpreter.h) or the replay of
// a trace (replay.h), and the control socket (control.h).
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "tools/modem_sim/control.h"
#include "tools/modem_sim/interpreter.h"
#include "tools/modem_sim/line.h"
#include "tools/modem_sim/replay.h"

namespace orv::modem_sim {
namespace {

struct Options {
    LineOptions line;
    std::string profile;
    std::string sim;
    std::string journal;
    std::string control;
    std::string replay;
    bool fast = false;
    bool hold = false;
};

constexpr const char* kUsage =
    "Usage: orv_modem_sim (--pty [--link PATH] | --listen tcp:HOST:PORT) [options]\n"
    "       orv_modem_sim (--pty [--link PATH] | --listen tcp:HOST:PORT) --replay FILE [--fast]\n"
    "                     [--hold]\n"
    "       orv_modem_sim ctl SOCKET COMMAND...   ('orv_modem_sim ctl --help')\n"
    "A virtual AT modem with a virtual SIM on a pseudo-terminal or a TCP port.\n"
    "\n"
    "Options:\n"
    "  --pty                 open a pseudo-terminal (prints \"pty: PATH\")\n"
    "  --link PATH           with --pty: keep a symbolic link PATH to the pty\n"
    "  --listen tcp:HOST:PORT  listen on a TCP port instead (prints \"tcp: HOST:PORT\")\n"
    "  --profile FILE        modem and SIM profile (TOML); built-in default without it\n"
    "  --sim NAME            insert this SIM of the profile at start ('none' for an empty slot)\n"
    "  --journal FILE        append every received command line to FILE\n"
    "  --control PATH        listen for control commands on a Unix socket at PATH\n"
    "  --chunk N             deliver answers N bytes at a time\n"
    "  --replay FILE         play back the line of a recorded trace instead of interpreting\n"
    "                        commands; --profile and --sim are ignored\n"
    "  --fast                with --replay: no recorded pauses, only the recorded order\n"
    "  --hold                with --replay: answer OK to every command and play nothing until\n"
    "                        the control command play (a trace that begins mid-session)\n"
    "  -v, --verbose         log the conversation on standard error\n"
    "  -h, --help            print this help\n"
    "  --version             print the version\n"
    "\n"
    "Exit status: 0 ended by SIGTERM, SIGINT or the control command quit, 1 the line, the\n"
    "control socket or the journal could not be opened, 2 usage error, or a profile or\n"
    "trace that cannot be read.\n";

// Ends the program with a message: `status` 2 for a usage error or an input that cannot be read,
// 1 for what could not be opened.
[[noreturn]] void die(const std::string& what, int status = 2) {
    std::fprintf(stderr, "orv_modem_sim: %s\n", what.c_str());
    std::exit(status);
}

int number(const char* text, const char* option) {
    const auto v = to_int(text);
    if (!v || *v < 0 || *v > 100000000) {
        die(std::string(option) + " wants a number, got " + text);
    }
    return *v;
}

// The long options with a value or a meaning of their own, and what each sets. (Line ends, noise
// and a report timer are the profile's: [device] line_end, nul_every, report.)
struct OptionRow {
    const char* name;
    int has_arg;
    void (*set)(Options& o, const char* value);
};

constexpr OptionRow kOptions[] = {
    {"pty", no_argument, [](Options& o, const char*) { o.line.pty = true; }},
    {"link", required_argument, [](Options& o, const char* v) { o.line.link = v; }},
    {"listen", required_argument, [](Options& o, const char* v) { o.line.listen = v; }},
    {"profile", required_argument, [](Options& o, const char* v) { o.profile = v; }},
    {"sim", required_argument, [](Options& o, const char* v) { o.sim = v; }},
    {"journal", required_argument, [](Options& o, const char* v) { o.journal = v; }},
    {"control", required_argument, [](Options& o, const char* v) { o.control = v; }},
    {"chunk", required_argument,
     [](Options& o, const char* v) {
         o.line.chunk = static_cast<std::size_t>(number(v, "--chunk"));
     }},
    {"replay", required_argument, [](Options& o, const char* v) { o.replay = v; }},
    {"fast", no_argument, [](Options& o, const char*) { o.fast = true; }},
    {"hold", no_argument, [](Options& o, const char*) { o.hold = true; }},
};
constexpr int kFirstOption = 1000;
constexpr int kOptVersion = kFirstOption - 1;

Options parse_options(int argc, char** argv) {
    std::vector<option> longs;
    for (const OptionRow& row : kOptions) {
        longs.push_back(
            {row.name, row.has_arg, nullptr, kFirstOption + static_cast<int>(longs.size())});
    }
    longs.insert(longs.end(), {{"verbose", no_argument, nullptr, 'v'},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, kOptVersion},
                               {nullptr, 0, nullptr, 0}});
    Options o;
    // "+": stop at the first word that is not an option.
    for (int c = 0; (c = getopt_long(argc, argv, "+vh", longs.data(), nullptr)) != -1;) {
        if (c >= kFirstOption) {
            kOptions[c - kFirstOption].set(o, optarg);
        } else if (c == 'v') {
            o.line.verbose = true;
        } else if (c == kOptVersion) {
            std::fputs(client::version_line("orv_modem_sim").c_str(), stdout);
            std::exit(0);
        } else {
            std::fputs(kUsage, c == 'h' ? stdout : stderr);
            std::exit(c == 'h' ? 0 : 2);
        }
    }
    if (optind != argc) {
        die(std::string("unexpected argument ") + argv[optind]);
    }
    if (o.line.pty == !o.line.listen.empty()) {
        std::fputs(kUsage, stderr);
        die("give exactly one of --pty and --listen");
    }
    if (!o.line.link.empty() && !o.line.pty) {
        die("--link goes with --pty");
    }
    if ((o.fast || o.hold) && o.replay.empty()) {
        die("--fast and --hold go with --replay");
    }
    return o;
}

Profile load(const Options& o) {
    Profile profile = o.profile.empty() ? default_profile() : load_profile(o.profile);
    if (!o.sim.empty() && o.sim != "none" && profile.sims.count(o.sim) == 0) {
        die("--sim: the profile has no SIM named '" + o.sim + "'");
    }
    profile.inserted = o.sim == "none" ? "" : o.sim.empty() ? profile.inserted : o.sim;
    return profile;
}

// What the loop serves: the interpreter or a replay. `command` takes each command line received
// (after the journal has it), `control` each control command; `due` and `run_due` are work of
// the mode's own that waits for a time.
struct Mode {
    std::function<void(const std::string&)> command;
    std::function<ControlResult(const std::string&)> control;
    std::function<std::optional<Clock::time_point>()> due = [] { return std::nullopt; };
    std::function<void()> run_due = [] {};
};

void note(const Options& o, const std::string& text) {
    if (o.line.verbose) {
        std::fputs(text.c_str(), stderr);
    }
}

// Serves the line and the control socket until SIGTERM, SIGINT or the control command quit.
void run(const Options& o, Line& line, const Mode& mode) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sig_fd = ::signalfd(-1, &mask, SFD_CLOEXEC);
    if (sig_fd < 0) {
        throw std::runtime_error(std::string("signalfd: ") + std::strerror(errno));
    }
    ::signal(SIGPIPE, SIG_IGN);
    ::prctl(PR_SET_TIMERSLACK, 1UL);  // timed waits end when asked, not up to 50 µs later
    std::ofstream journal;
    if (!o.journal.empty()) {
        journal.open(o.journal, std::ios::app);
        if (!journal) {
            throw std::runtime_error("cannot open journal " + o.journal + ": " +
                                     std::strerror(errno));
        }
    }
    const auto control = o.control.empty() ? nullptr : std::make_unique<ControlServer>(o.control);
    line.start();

    bool quit = false;
    const auto act = [&](const std::string& command) {
        const ControlResult r = mode.control(command);
        note(o, "-- control: " + command + " -> " + r.reply);
        if (r.urc) {
            line.send_report(*r.urc);
        }
        if (r.hangup) {
            line.hangup();
        }
        quit = quit || r.quit;
        return r.reply;
    };
    while (!quit) {
        mode.run_due();
        line.run_due();
        pollfd fds[] = {{sig_fd, POLLIN, 0},
                        {line.data_fd(), POLLIN, 0},
                        {line.accept_fd(), POLLIN, 0},
                        {control ? control->fd() : -1, POLLIN, 0}};
        // Waits to the nanosecond, so that a delayed answer leaves on time.
        auto due = line.next_due();
        if (const auto mine = mode.due(); mine) {
            due = due ? std::min(*due, *mine) : mine;
        }
        const long long ns = due ? std::max<long long>(0, (*due - Clock::now()).count()) : 0;
        const timespec wait{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
        if (::ppoll(fds, 4, due ? &wait : nullptr, nullptr) < 0 && errno != EINTR) {
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(sig_fd, &info, sizeof info) > 0) {
                note(o, "-- signal " + std::to_string(info.ssi_signo) + ", ending\n");
            }
            break;
        }
        if (fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            for (const std::string& command : line.receive()) {
                if (journal.is_open()) {
                    journal << command << std::endl;  // flushed at once
                }
                note(o, "<< " + client::escape_bytes(command) + "\n");
                mode.command(command);
            }
        }
        if (fds[2].fd >= 0 && (fds[2].revents & POLLIN)) {
            line.accept_client();
        }
        if (fds[3].fd >= 0 && (fds[3].revents & POLLIN)) {
            control->serve(act);
        }
    }
    ::close(sig_fd);
}

// The modem of a profile: each command answered by the interpreter.
void interpret(const Options& o) {
    Profile profile = load(o);
    LineOptions options = o.line;
    options.report_every_ms = profile.device.report_every_ms;
    options.report = profile.device.report;
    Line line(options, {profile.device.line_end, profile.device.nul_every});
    ModemSim sim(std::move(profile));
    run(o, line,
        {.command =
             [&](const std::string& command) {
                 const Reply r = sim.feed(command);
                 const bool hangup = r.kind == Reply::Kind::Hangup;
                 if (!hangup) {
                     note(o, ">> " + client::escape_bytes(r.bytes) +
                                 (r.kind == Reply::Kind::Silent ? " (silent)\n" : "\n"));
                 }
                 if (r.kind == Reply::Kind::Answer && !r.bytes.empty()) {
                     line.send_answer(r.bytes, r.delay_ms, r.later);
                 } else if (hangup || !r.bytes.empty()) {  // the hangup, or a silent one's echo
                     line.send(r.bytes, r.delay_ms, hangup);
                 }
             },
         .control =
             [&](const std::string& command) { return run_control(sim, line.wire, command); }});
}

// The modem of a trace: the recorded bytes played back (replay.h). The wire format stays plain,
// so that the bytes go out as recorded. The playback begins with the line: at start on a pty, when
// the first client connects on TCP; it pauses while no client is connected.
void replay(const Options& o) {
    Line line(o.line, {});
    Replay replay(load_script(o.replay), o.fast, o.hold);
    run(o, line,
        {.command = [&](const std::string& command) { replay.heard(command, Clock::now()); },
         .control = [&](const std::string& command) { return replay_control(replay, command); },
         .due = [&] { return line.data_fd() >= 0 ? replay.next_due() : std::nullopt; },
         .run_due =
             [&] {
                 if (line.data_fd() < 0) {
                     return;
                 }
                 if (!replay.begun()) {
                     replay.begin(Clock::now());
                 }
                 replay.run(
                     Clock::now(),
                     [&](std::string_view bytes) {
                         note(o, ">> " + client::escape_bytes(bytes) + "\n");
                         line.send(bytes);
                     },
                     [](const std::string& complaint) {
                         std::fprintf(stderr, "orv_modem_sim: replay: %s\n", complaint.c_str());
                     },
                     [&] {
                         note(o, "hangup (replayed)\n");
                         line.hangup();
                     });
             }});
}

}  // namespace
}  // namespace orv::modem_sim

int main(int argc, char** argv) {
    using namespace orv::modem_sim;
    if (argc >= 2 && std::string_view(argv[1]) == "ctl") {
        return control_client(argc, argv);
    }
    const Options o = parse_options(argc, argv);
    try {
        o.replay.empty() ? interpret(o) : replay(o);
    } catch (const ProfileError& e) {
        die(e.what());
    } catch (const TraceError& e) {
        die(e.what());
    } catch (const std::invalid_argument& e) {
        die(e.what());
    } catch (const std::runtime_error& e) {
        die(e.what(), 1);
    }
    return 0;
}
