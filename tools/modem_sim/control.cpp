#include "tools/modem_sim/control.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tools/client/orv_client.h"

namespace orv::modem_sim {

namespace {

constexpr std::chrono::milliseconds kReadTimeout{2000};

constexpr std::string_view kHelp =
    "commands:\n"
    "  script <match>[*] [answer <text>] [silent] [hangup] [delay <ms>]\n"
    "         [report before|inside|after <line>]... [<count>|always]\n"
    "  script clear\n"
    "  lineend crlf|cr|lf\n"
    "  noise <n>            a NUL byte after every n bytes sent (0: off)\n"
    "  swap <sim> | insert <sim> | remove\n"
    "  busy <n>\n"
    "  urc <line>\n"
    "  hangup\n"
    "  state\n"
    "  quit\n";

// A control command that cannot be done: its reply is "error: <what>".
struct Refused {
    std::string what;
};

void refuse_if(bool refused, const std::string& what) {
    if (refused) {
        throw Refused{what};
    }
}

}  // namespace

std::string quote_word(std::string_view word) {
    if (!word.empty() && word.front() != '"' &&
        word.find_first_of(" \t") == std::string_view::npos) {
        return std::string(word);
    }
    std::string out = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out + "\"";
}

ControlResult run_control(ModemSim& sim, WireFormat& wire, std::string_view line) try {
    const auto words = tokenize(line);
    refuse_if(!words, "unterminated quote");
    refuse_if(words->empty(), "empty command");
    const std::string& cmd = (*words)[0];
    const std::vector<std::string> args(words->begin() + 1, words->end());
    const std::string one = args.size() == 1 ? args[0] : std::string();  // the only argument
    const auto count = to_int(one);
    ControlResult r;
    if (cmd == "script" && one == "clear") {
        sim.clear_rules();
    } else if (cmd == "script") {
        try {
            sim.add_rule(parse_script_rule(args));
        } catch (const std::invalid_argument& e) {
            throw Refused{e.what()};
        }
    } else if ((cmd == "swap" || cmd == "insert") && args.size() == 1) {
        const std::string error = sim.insert(one);
        refuse_if(!error.empty(), error);
    } else if (cmd == "lineend" && args.size() == 1) {
        refuse_if(!line_end_named(one), "lineend takes crlf, cr or lf");
        wire.end = *line_end_named(one);
    } else if (cmd == "noise" && args.size() == 1) {
        refuse_if(!count || *count < 0, "noise takes a byte count (0: off)");
        wire.nul_every = *count;
    } else if (cmd == "busy" && args.size() == 1) {
        refuse_if(!count || *count < 0, "busy needs a count");
        const std::string error = sim.set_busy(*count);
        refuse_if(!error.empty(), error);
    } else if (cmd == "urc" && !args.empty()) {
        std::string text;
        for (const std::string& w : args) {
            text += (text.empty() ? "" : " ") + w;
        }
        r.urc = unescape(text);
    } else if (cmd == "state" && args.empty()) {
        r.reply = sim.state_text() +
                  "line_end: " + std::string(kLineEndNames[static_cast<int>(wire.end)]) +
                  "\nnoise: " + std::to_string(wire.nul_every) +
                  "\nscripts: " + std::to_string(sim.live_rules()) + "\n";
    } else if ((cmd == "remove" || cmd == "hangup" || cmd == "quit") && args.empty()) {
        if (cmd == "remove") {
            sim.remove();
        }
        r.hangup = cmd == "hangup";
        r.quit = cmd == "quit";
    } else if (cmd == "help") {
        r.reply = kHelp;
    } else {
        throw Refused{"unknown command '" + std::string(line) + "' (try help)"};
    }
    return r;
} catch (const Refused& e) {
    return {.reply = "error: " + e.what + "\n"};
}

ControlServer::ControlServer(std::string path) : path_(std::move(path)) {
    claim_path(path_, true);
    fd_ = unix_socket(path_, true);
    if (fd_ < 0) {
        throw std::runtime_error("cannot listen on " + path_ + ": " + std::strerror(errno));
    }
}

ControlServer::~ControlServer() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

void ControlServer::serve(const std::function<std::string(const std::string&)>& act) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // One line, read within a deadline so that a silent client cannot stall the modem.
    std::string text;
    const auto deadline = Clock::now() + kReadTimeout;
    while (text.find('\n') == std::string::npos && text.size() < 65536) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        char buf[1024];
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    client::write_all(fd, act(text.substr(0, text.find('\n'))));
    ::close(fd);
}

constexpr const char* kCtlUsage =
    "Usage: orv_modem_sim ctl SOCKET COMMAND...\n"
    "Sends one control command to the virtual modem listening on SOCKET (its --control\n"
    "PATH) and prints the reply; 'orv_modem_sim ctl SOCKET help' lists the commands.\n"
    "\n"
    "  -h, --help   print this help\n"
    "  --version    print the version\n"
    "\n"
    "Exit status: 0 done, 1 the modem refused the command (an \"error:\" reply), 2 usage\n"
    "error, SOCKET not reachable or no reply.\n";

int control_client(int argc, char** argv) {
    const std::string_view first = argc >= 3 ? argv[2] : "";
    if (first == "-h" || first == "--help") {
        std::fputs(kCtlUsage, stdout);
        return 0;
    }
    if (first == "--version") {
        std::fputs(client::version_line("orv_modem_sim").c_str(), stdout);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "orv_modem_sim ctl: missing %s\n%s", argc < 3 ? "SOCKET" : "COMMAND",
                     kCtlUsage);
        return 2;
    }
    std::string line;
    for (int i = 3; i < argc; ++i) {
        line += (i == 3 ? "" : " ") + quote_word(argv[i]);
    }
    const int fd = unix_socket(argv[2], false);
    if (fd < 0 || !client::write_all(fd, line + "\n")) {
        std::fprintf(stderr, "orv_modem_sim ctl: cannot reach %s: %s\n", argv[2],
                     std::strerror(errno));
        return 2;
    }
    ::shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[4096];
    for (ssize_t n = 0; (n = ::read(fd, buf, sizeof buf)) > 0;) {
        reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    if (reply.empty()) {
        std::fputs("orv_modem_sim ctl: no reply\n", stderr);
        return 2;
    }
    return reply.starts_with("error:") ? 1 : 0;
}

}  // namespace orv::modem_sim
