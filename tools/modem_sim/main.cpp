// orv_modem_sim: a virtual AT modem with a virtual SIM on a pseudo-terminal or a TCP port, for
// the daemon's demo and end-to-end tests. See docs/virtual-modem.md. This file holds the command
// line and the loop that joins the line (line.h), the interpreter (interpreter.h) or the replay of
// a trace (replay.h), and the control socket (control.h).
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

constexpr client::CommandLine kCli{"orv_modem_sim", kUsage};

// The options; line ends, noise and a report timer are the profile's ([device] line_end,
// nul_every, report).
Options parse_options(int argc, char** argv) {
    Options o;
    const auto text = [](const char* name, std::string& out) {
        return client::text_option(name, out);
    };
    const auto flag = [](const char* name, bool& out) { return client::flag_option(name, out); };
    std::vector<std::string> words;
    const auto status = kCli.parse(client::arguments(argc, argv),
                                   {flag("--pty", o.line.pty),
                                    text("--link", o.line.link),
                                    text("--listen", o.line.listen),
                                    text("--profile", o.profile),
                                    text("--sim", o.sim),
                                    text("--journal", o.journal),
                                    text("--control", o.control),
                                    text("--replay", o.replay),
                                    flag("--fast", o.fast),
                                    flag("--hold", o.hold),
                                    flag("-v|--verbose", o.line.verbose),
                                    {"--chunk", true,
                                     [&](const std::string& v) {
                                         const auto n = to_int(v);
                                         if (!n || *n < 0 || *n > 100000000) {
                                             return "--chunk wants a number, got " + v;
                                         }
                                         o.line.chunk = static_cast<std::size_t>(*n);
                                         return std::string();
                                     }}},
                                   words);
    if (status) {
        std::exit(*status);
    }
    if (!words.empty()) {
        die("unexpected argument " + words[0]);
    }
    if (o.line.pty == !o.line.listen.empty()) {
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
