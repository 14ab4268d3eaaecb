// The command line every tool reads the same way, and the clock and signals their loops share.
#include <signal.h>
#include <time.h>

#include <cstdio>
#include <ostream>

#include "tools/client/orv_client.h"

namespace orv::client {

namespace {

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) {
    g_stop = 1;
}

// Text to `to`, or to `file` when there is no stream.
void print(std::ostream* to, std::string_view text, std::FILE* file = stdout) {
    if (to != nullptr) {
        *to << text;
    } else {
        std::fwrite(text.data(), 1, text.size(), file);
    }
}

// Whether `names` ("-o|--output") holds `name`.
bool has_name(std::string_view names, std::string_view name) {
    for (std::size_t at = 0; at <= names.size();) {
        std::size_t bar = names.find('|', at);
        bar = bar == std::string_view::npos ? names.size() : bar;
        if (names.substr(at, bar - at) == name) {
            return true;
        }
        at = bar + 1;
    }
    return false;
}

}  // namespace

std::vector<std::string> arguments(int argc, char** argv, int first) {
    return first < argc ? std::vector<std::string>(argv + first, argv + argc)
                        : std::vector<std::string>();
}

std::optional<int> CommandLine::parse(const std::vector<std::string>& args,
                                      const std::vector<Option>& options,
                                      std::vector<std::string>& words, std::ostream* out,
                                      std::ostream* err) const {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            words.insert(words.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (a.size() < 2 || a[0] != '-') {
            words.push_back(a);
            continue;
        }
        if (a == "-h" || a == "--help") {
            print(out, help);
            return kExitOk;
        }
        if (a == "--version" && version) {
            const std::string_view program = tool.substr(0, tool.find(' '));
            print(out, version_line(program));
            return kExitOk;
        }
        const std::size_t eq = a.starts_with("--") ? a.find('=') : std::string::npos;
        const std::string name = a.substr(0, eq);
        const Option* option = nullptr;
        for (const Option& o : options) {
            option = has_name(o.names, name) ? &o : option;
        }
        if (option == nullptr) {
            return usage_error("unknown option " + name, err);
        }
        std::string value;
        if (eq != std::string::npos) {
            if (!option->takes_value) {
                return usage_error(name + " takes no value", err);
            }
            value = a.substr(eq + 1);
        } else if (option->takes_value) {
            if (i + 1 >= args.size()) {
                return usage_error(name + " needs a value", err);
            }
            value = args[++i];
        }
        if (const std::string error = option->apply(value); !error.empty()) {
            return usage_error(error, err);
        }
    }
    return std::nullopt;
}

int CommandLine::usage_error(const std::string& message, std::ostream* err) const {
    const std::string t(tool);
    print(err, t + ": " + message + "\nTry '" + t + " --help'.\n", stderr);
    return kExitUsage;
}

int CommandLine::failed(const std::string& message) const {
    const std::string_view program = tool.substr(0, tool.find(' '));
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(program.size()), program.data(),
                 message.c_str());
    return kExitFailed;
}

Option count_option(long& out) {
    return {"--count", true, [&out](const std::string& text) -> std::string {
                std::uint32_t n = 0;
                if (!parse_u32(text, n) || n == 0 || n > 0x7fffffff) {
                    return "--count \"" + text + "\" is not a positive number";
                }
                out = static_cast<long>(n);
                return "";
            }};
}

Option timeout_option(double& out) {
    return {"--timeout", true, [&out](const std::string& text) -> std::string {
                return parse_seconds(text, out)
                           ? ""
                           : "--timeout \"" + text + "\" is not a number of seconds";
            }};
}

Option text_option(std::string_view names, std::string& out) {
    return {names, true, [&out](const std::string& text) {
                out = text;
                return std::string();
            }};
}

Option text_option(std::string_view names, std::optional<std::string>& out) {
    return {names, true, [&out](const std::string& text) {
                out = text;
                return std::string();
            }};
}

Option flag_option(std::string_view names, bool& out) {
    return {names, false, [&out](const std::string&) {
                out = true;
                return std::string();
            }};
}

double monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_ms(long ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

const volatile sig_atomic_t& stop_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return g_stop;
}

}  // namespace orv::client
