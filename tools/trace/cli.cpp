// The command line of orv_trace: one command word, then its file and options.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <ostream>

#include "tools/client/orv_client.h"
#include "tools/trace/commands.h"

namespace orv::trace {

namespace {

using Args = std::vector<std::string>;

constexpr const char* kUsage =
    "Usage: orv_trace show FILE [--id N|NAME] [--from SECONDS] [--to SECONDS]\n"
    "       orv_trace redact FILE [-o OUT]\n"
    "       orv_trace replay FILE [--fast] [--wait-scale X]\n"
    "       orv_trace -h|--help | --version\n"
    "Reads a field trace of the modem manager (docs/traces.md).\n"
    "\n"
    "  show     print the trace as a timeline: start-up, then each request with its\n"
    "           commands, response times, answers and what the daemon published\n"
    "  redact   write the trace with its codes, ICCID, IMSI, own number and IMEI replaced\n"
    "  replay   run the recorded requests against today's daemon and the virtual modem\n"
    "           and compare what it publishes with the recording\n"
    "\n"
    "'orv_trace COMMAND --help' describes each command.\n"
    "Exit status: 0 done, 1 output not written or replay differs, 2 trace not readable or usage\n"
    "error.\n";

constexpr const char* kShowUsage =
    "Usage: orv_trace show FILE [--id N|NAME] [--from SECONDS] [--to SECONDS]\n"
    "Prints the trace as a timeline. Times are seconds since the trace began.\n"
    "\n"
    "  --id N|NAME      only the requests with this identifier: a number, a full\n"
    "                   name (ORV_MDM_GET_ICCID) or a short one (get_iccid)\n"
    "  --from SECONDS   only the start-up, requests and pauses that reach past SECONDS\n"
    "  --to SECONDS     only those that begin at or before SECONDS\n"
    "  --help           print this help\n"
    "\n"
    "Bytes are shown as in every tool: \\\\, \\r, \\n, \\t, \\xNN outside printable ASCII.\n"
    "Exit status: 0 shown, 2 trace not readable (the line is named) or usage error.\n";

constexpr const char* kRedactUsage =
    "Usage: orv_trace redact FILE [-o OUT]\n"
    "Writes the trace with its private values replaced, the same value by the same\n"
    "replacement everywhere: PIN, PUK and unlock codes, the ICCID (also in the\n"
    "SIM's own digit order), the IMSI, the own number and the IMEI. Lengths stay, as\n"
    "do the first 6 characters of ICCID and IMSI, the first 8 of the IMEI (the\n"
    "modem's model) and every character that is not a digit.\n"
    "A summary goes to standard error.\n"
    "\n"
    "  -o OUT, --output OUT   write to OUT instead of standard output\n"
    "  --help                 print this help\n"
    "\n"
    "Exit status: 0 written, 1 OUT not written, 2 trace not readable or usage error.\n";

constexpr const char* kReplayUsage =
    "Usage: orv_trace replay FILE [--fast] [--wait-scale X]\n"
    "Starts a fresh daemon in a temporary folder against the virtual modem replaying the\n"
    "recorded line, with the store, factory items, device database and battery as the\n"
    "session found them; sends the recorded requests at their recorded pace and compares\n"
    "what each published (commands, store writes and commits, notifications, battery\n"
    "indicator) with the recording.\n"
    "\n"
    "  --fast           no pauses between requests and in the modem's answers (the order\n"
    "                   stays; the daemon's own pauses remain)\n"
    "  --wait-scale X   the daemon's AT wait scale (default: the recording's, found from\n"
    "                   its timed-out exchanges; 1 when none timed out)\n"
    "  --help           print this help\n"
    "\n"
    "Uses orv_mdm and orv_modem_sim of the build folder this tool was built in.\n"
    "Exit status: 0 all matched (one summary line), 1 a difference (the first one, with its\n"
    "request: expected and got) or the replay could not run, 2 trace not readable or usage "
    "error.\n";

constexpr client::CommandLine kCli{"orv_trace", kUsage};
constexpr client::CommandLine kShowCli{"orv_trace show", kShowUsage, false};
constexpr client::CommandLine kRedactCli{"orv_trace redact", kRedactUsage, false};
constexpr client::CommandLine kReplayCli{"orv_trace replay", kReplayUsage, false};

// Reads a command's words with its options: one trace file and nothing else. The status to exit
// with now, or nothing to go on.
std::optional<int> parse(const client::CommandLine& cli, const Args& args,
                         const std::vector<client::Option>& options, std::string& file,
                         std::ostream& out, std::ostream& err) {
    std::vector<std::string> words;
    if (const auto status = cli.parse(args, options, words, &out, &err)) {
        return status;
    }
    if (words.size() != 1) {
        return cli.usage_error(
            words.empty() ? "no trace file given" : "unexpected argument " + words[1], &err);
    }
    file = words[0];
    return std::nullopt;
}

// Reads the trace at `file`; false, with the reader's message on `err`, when it cannot be read.
bool load(const std::string& file, std::vector<Record>& records, std::ostream& err) {
    std::string error;
    if (read_trace(file, records, error)) {
        return true;
    }
    err << "orv_trace: " << error << "\n";
    return false;
}

int cmd_show(const Args& args, std::ostream& out, std::ostream& err) {
    ShowOptions options;
    const auto seconds = [](const char* name, double& value_out) -> client::Option {
        return {name, true, [name, &value_out](const std::string& value) {
                    return client::parse_seconds(value, value_out)
                               ? std::string()
                               : std::string(name) + " " + value + " is not a number of seconds";
                }};
    };
    std::string file;
    if (const auto status = parse(kShowCli, args,
                                  {{"--id", true,
                                    [&](const std::string& value) {
                                        std::uint32_t id = 0;
                                        if (!client::parse_request_id(value, id)) {
                                            return "--id " + value + " is not a request";
                                        }
                                        options.id = id;
                                        return std::string();
                                    }},
                                   seconds("--from", options.from),
                                   seconds("--to", options.to)},
                                  file, out, err)) {
        return *status;
    }
    std::string error;
    std::vector<Record> records;
    if (!read_trace(file, records, error)) {
        // A trace cut in the middle (a device that lost power, a copy stopped): its whole
        // records are shown, then where it was cut; the status still says it was not whole.
        if (!records.empty()) {
            out << show(records, options);
        }
        err << "orv_trace: " << error << "\n";
        return client::kExitUsage;
    }
    out << show(records, options);
    return client::kExitOk;
}

int cmd_redact(const Args& args, std::ostream& out, std::ostream& err) {
    std::string file, path;
    if (const auto status =
            parse(kRedactCli, args, {client::text_option("-o|--output", path)}, file, out, err)) {
        return *status;
    }
    std::vector<Record> records;
    if (!load(file, records, err)) {
        return client::kExitUsage;
    }
    const RedactCounts counts = redact(records);
    std::string text;
    for (const Record& rec : records) {
        text += format_record(rec) + "\n";
    }
    if (path.empty()) {
        out << text;
    } else {
        // Mode 0600 like the recording, whatever the umask: a redacted trace still holds what
        // a person may want kept to themselves (times, the kinds of failure).
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        bool written = fd >= 0 && ::fchmod(fd, 0600) == 0;
        for (std::string_view rest = text; written && !rest.empty();) {
            const ssize_t n = ::write(fd, rest.data(), rest.size());
            written = n > 0;
            rest.remove_prefix(n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        const int why = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        if (!written) {
            err << "orv_trace: " << path << " not written: " << std::strerror(why) << "\n";
            return client::kExitFailed;
        }
    }
    err << describe(counts) << "\n";
    return client::kExitOk;
}

int cmd_replay(const Args& args, std::ostream& out, std::ostream& err) {
    ReplayOptions options;
    const client::Option scale = {"--wait-scale", true, [&](const std::string& value) {
                                      double x = 0;
                                      if (!client::parse_seconds(value, x) || x <= 0) {
                                          return "--wait-scale " + value +
                                                 " is not a positive number";
                                      }
                                      options.wait_scale = x;
                                      return std::string();
                                  }};
    if (const auto status =
            parse(kReplayCli, args, {client::flag_option("--fast", options.fast), scale},
                  options.file, out, err)) {
        return *status;
    }
    std::vector<Record> records;
    if (!load(options.file, records, err)) {
        return client::kExitUsage;
    }
    return replay(records, options, out, err);
}

struct Command {
    std::string_view name;
    int (*run)(const Args&, std::ostream&, std::ostream&);
};

// One row per command.
constexpr Command kCommands[] = {
    {"show", cmd_show},
    {"redact", cmd_redact},
    {"replay", cmd_replay},
};

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    for (const Command& c : kCommands) {
        if (!args.empty() && args[0] == c.name) {
            return c.run(Args(args.begin() + 1, args.end()), out, err);
        }
    }
    std::vector<std::string> words;
    if (const auto status = kCli.parse(args, {}, words, &out, &err)) {
        return *status;
    }
    return kCli.usage_error(words.empty() ? "no command given" : "unknown command " + words[0],
                            &err);
}

}  // namespace orv::trace
