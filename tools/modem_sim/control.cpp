#include "tools/modem_sim/control.h"

#include <charconv>

namespace orv::modem_sim {

namespace {

std::optional<int> to_int(std::string_view s) {
    int v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size()) {
        return std::nullopt;
    }
    return v;
}

ControlResult fail(std::string what) {
    ControlResult r;
    r.ok = false;
    r.reply = "error: " + what + "\n";
    return r;
}

ControlResult done(std::string text = "ok\n") {
    ControlResult r;
    r.reply = std::move(text);
    return r;
}

std::string join(const std::vector<std::string>& words, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < words.size(); ++i) {
        out += (i == from ? "" : " ") + words[i];
    }
    return out;
}

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

}  // namespace

std::optional<std::vector<std::string>> tokenize(std::string_view line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        std::string word;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i];
                if (c == '\\' && i + 1 < line.size() &&
                    (line[i + 1] == '"' || line[i + 1] == '\\')) {
                    word.push_back(line[i + 1]);
                    i += 2;
                    continue;
                }
                ++i;
                if (c == '"') {
                    closed = true;
                    break;
                }
                word.push_back(c);
            }
            if (!closed) {
                return std::nullopt;
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                word.push_back(line[i++]);
            }
        }
        words.push_back(std::move(word));
    }
    return words;
}

std::string quote_word(std::string_view word) {
    const bool plain =
        !word.empty() && word.front() != '"' && word.find_first_of(" \t") == std::string_view::npos;
    if (plain) {
        return std::string(word);
    }
    std::string out = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::optional<ScriptRule> parse_script(const std::vector<std::string>& words, std::string& error) {
    if (words.empty()) {
        error = "script needs a command to match";
        return std::nullopt;
    }
    ScriptRule r;
    r.match = words[0];
    if (!r.match.empty() && r.match.back() == '*') {
        r.match.pop_back();
        r.prefix = true;
    }
    bool action = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "answer" && i + 1 < words.size()) {
            r.answer = unescape(words[++i]);
            action = true;
        } else if (w == "silent") {
            r.silent = true;
            action = true;
        } else if (w == "hangup") {
            r.hangup = true;
            action = true;
        } else if (w == "delay" && i + 1 < words.size()) {
            const auto ms = to_int(words[++i]);
            if (!ms || *ms < 0) {
                error = "delay needs milliseconds";
                return std::nullopt;
            }
            r.delay_ms = *ms;
            action = true;
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
            action = true;
        } else if (i + 1 == words.size() && w == "always") {
            r.count = -1;
        } else if (const auto n = to_int(w); i + 1 == words.size() && n && *n > 0) {
            r.count = *n;
        } else {
            error = "unknown script word '" + w + "'";
            return std::nullopt;
        }
    }
    if (!action) {
        error = "script needs answer, silent, hangup, delay or report";
        return std::nullopt;
    }
    return r;
}

ControlResult run_control(ModemSim& sim, std::string_view line) {
    const auto words = tokenize(line);
    if (!words) {
        return fail("unterminated quote");
    }
    if (words->empty()) {
        return fail("empty command");
    }
    const std::string& cmd = (*words)[0];
    const std::size_t argc = words->size() - 1;
    if (cmd == "script") {
        if (argc == 1 && (*words)[1] == "clear") {
            sim.clear_rules();
            return done();
        }
        std::string error;
        auto rule = parse_script(std::vector<std::string>(words->begin() + 1, words->end()), error);
        if (!rule) {
            return fail(error);
        }
        sim.add_rule(std::move(*rule));
        return done();
    }
    if ((cmd == "swap" || cmd == "insert") && argc == 1) {
        if (std::string e = sim.insert((*words)[1]); !e.empty()) {
            return fail(e);
        }
        return done();
    }
    if (cmd == "lineend" && argc == 1) {
        const auto end = line_end_named((*words)[1]);
        if (!end) {
            return fail("lineend takes crlf, cr or lf");
        }
        sim.set_line_end(*end);
        return done();
    }
    if (cmd == "noise" && argc == 1) {
        const auto n = to_int((*words)[1]);
        if (!n || *n < 0) {
            return fail("noise takes a byte count (0: off)");
        }
        sim.set_nul_every(*n);
        return done();
    }
    if (cmd == "remove" && argc == 0) {
        sim.remove();
        return done();
    }
    if (cmd == "busy" && argc == 1) {
        const auto n = to_int((*words)[1]);
        if (!n || *n < 0) {
            return fail("busy needs a count");
        }
        if (std::string e = sim.set_busy(*n); !e.empty()) {
            return fail(e);
        }
        return done();
    }
    if (cmd == "urc" && argc >= 1) {
        ControlResult r = done();
        r.urcs.push_back(unescape(join(*words, 1)));
        return r;
    }
    if (cmd == "hangup" && argc == 0) {
        ControlResult r = done();
        r.hangup = true;
        return r;
    }
    if (cmd == "state" && argc == 0) {
        return done(sim.state_text());
    }
    if (cmd == "quit" && argc == 0) {
        ControlResult r = done();
        r.quit = true;
        return r;
    }
    if (cmd == "help") {
        return done(std::string(kHelp));
    }
    return fail("unknown command '" + std::string(line) + "' (try help)");
}

}  // namespace orv::modem_sim
