#include "tools/modem_sim/control.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <stdexcept>

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

std::optional<int> to_int(std::string_view s) {
    int v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size()) {
        return std::nullopt;
    }
    return v;
}

// The reply to a command: "ok\n" (or the text asked for), or "error: <what>\n".
ControlResult done(std::string text = "ok\n") {
    return {.reply = std::move(text)};
}

ControlResult fail(const std::string& what) {
    return {.reply = "error: " + what + "\n", .ok = false};
}

ControlResult done_unless(const std::string& error) {
    return error.empty() ? done() : fail(error);
}

// The words after "script": <match> then actions (answer <text>, silent, hangup, delay <ms>,
// report before|inside|after <line>) and an optional final count (a number, or "always").
std::optional<ScriptRule> parse_script(const std::vector<std::string>& words, std::string& error) {
    if (words.empty()) {
        error = "script needs a command to match";
        return std::nullopt;
    }
    ScriptRule r{.match = words[0], .prefix = words[0].ends_with('*')};
    if (r.prefix) {
        r.match.pop_back();
    }
    bool action = false;  // given, even when it does nothing (delay 0)
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        const bool last = i + 1 == words.size();
        if (w == "answer" && !last) {
            r.answer = unescape(words[++i]);
        } else if (w == "silent" || w == "hangup") {
            (w == "silent" ? r.silent : r.hangup) = true;
        } else if (w == "delay" && !last) {
            const auto ms = to_int(words[++i]);
            if (!ms || *ms < 0) {
                error = "delay needs milliseconds";
                return std::nullopt;
            }
            r.delay_ms = *ms;
        } else if (w == "report" && i + 2 < words.size()) {
            const std::string& where = words[++i];
            std::string* field = where == "before"   ? &r.report_before
                                 : where == "inside" ? &r.report_inside
                                 : where == "after"  ? &r.report_after
                                                     : nullptr;
            if (field == nullptr) {
                error = "report goes before, inside or after";
                return std::nullopt;
            }
            *field = unescape(words[++i]);
        } else if (last && w == "always") {
            r.count = -1;
            continue;
        } else if (const auto n = to_int(w); last && n && *n > 0) {
            r.count = *n;
            continue;
        } else {
            error = "unknown script word '" + w + "'";
            return std::nullopt;
        }
        action = true;
    }
    if (!action) {
        error = "script needs answer, silent, hangup, delay or report";
        return std::nullopt;
    }
    return r;
}

bool fill_unix_address(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::string>> tokenize(std::string_view line) {
    std::vector<std::string> words;
    for (std::size_t i = line.find_first_not_of(" \t"); i != std::string_view::npos;
         i = line.find_first_not_of(" \t", i)) {
        std::string word;
        if (line[i] != '"') {
            const std::size_t end = std::min(line.find_first_of(" \t", i), line.size());
            word = line.substr(i, end - i);
            i = end;
        } else {
            for (++i;; ++i) {
                if (i >= line.size()) {
                    return std::nullopt;  // unterminated
                }
                if (line[i] == '"') {
                    ++i;
                    break;
                }
                if (line[i] == '\\' && i + 1 < line.size() &&
                    (line[i + 1] == '"' || line[i + 1] == '\\')) {
                    ++i;
                }
                word.push_back(line[i]);
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

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

ControlResult run_control(ModemSim& sim, WireFormat& wire, std::string_view line) {
    const auto words = tokenize(line);
    if (!words) {
        return fail("unterminated quote");
    }
    if (words->empty()) {
        return fail("empty command");
    }
    const std::string& cmd = (*words)[0];
    const std::vector<std::string> args(words->begin() + 1, words->end());
    const std::string one = args.size() == 1 ? args[0] : std::string();  // the only argument
    const auto count = to_int(one);
    if (cmd == "script" && one == "clear") {
        sim.clear_rules();
        return done();
    }
    if (cmd == "script") {
        std::string error;
        auto rule = parse_script(args, error);
        if (rule) {
            sim.add_rule(std::move(*rule));
        }
        return done_unless(error);
    }
    if ((cmd == "swap" || cmd == "insert") && args.size() == 1) {
        return done_unless(sim.insert(one));
    }
    if (cmd == "lineend" && args.size() == 1) {
        const auto end = line_end_named(one);
        wire.end = end.value_or(wire.end);
        return done_unless(end ? "" : "lineend takes crlf, cr or lf");
    }
    if (cmd == "noise" && args.size() == 1) {
        const bool good = count && *count >= 0;
        wire.nul_every = good ? *count : wire.nul_every;
        return done_unless(good ? "" : "noise takes a byte count (0: off)");
    }
    if (cmd == "busy" && args.size() == 1) {
        return done_unless(count && *count >= 0 ? sim.set_busy(*count) : "busy needs a count");
    }
    if (cmd == "urc" && !args.empty()) {
        std::string text;
        for (const std::string& w : args) {
            text += (text.empty() ? "" : " ") + w;
        }
        ControlResult r = done();
        r.urcs.push_back(unescape(text));
        return r;
    }
    if (cmd == "state" && args.empty()) {
        return done(sim.state_text() + "line_end: " + std::string(line_end_name(wire.end)) +
                    "\nnoise: " + std::to_string(wire.nul_every) +
                    "\nscripts: " + std::to_string(sim.live_rules()) + "\n");
    }
    if ((cmd == "remove" || cmd == "hangup" || cmd == "quit") && args.empty()) {
        if (cmd == "remove") {
            sim.remove();
        }
        ControlResult r = done();
        r.hangup = cmd == "hangup";
        r.quit = cmd == "quit";
        return r;
    }
    if (cmd == "help") {
        return done(std::string(kHelp));
    }
    return fail("unknown command '" + std::string(line) + "' (try help)");
}

ControlServer::ControlServer(std::string path) : path_(std::move(path)) {
    sockaddr_un addr{};
    if (!fill_unix_address(path_, addr)) {
        throw std::runtime_error("control socket path too long: " + path_);
    }
    ::unlink(path_.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 8) != 0) {
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
    write_all(fd, act(text.substr(0, text.find('\n'))));
    ::close(fd);
}

int control_client(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: orv_modem_sim ctl SOCKET COMMAND...\n", stderr);
        return 2;
    }
    std::string line;
    for (int i = 3; i < argc; ++i) {
        line += (i == 3 ? "" : " ") + quote_word(argv[i]);
    }
    sockaddr_un addr{};
    if (!fill_unix_address(argv[2], addr)) {
        std::fputs("orv_modem_sim ctl: socket path too long\n", stderr);
        return 2;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "orv_modem_sim ctl: cannot connect to %s: %s\n", argv[2],
                     std::strerror(errno));
        return 2;
    }
    if (!write_all(fd, line + "\n")) {
        std::fprintf(stderr, "orv_modem_sim ctl: write: %s\n", std::strerror(errno));
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
