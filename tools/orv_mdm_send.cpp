// orv_mdm_send: sends one request datagram to the daemon's socket, optionally waiting until the
// daemon has served it and printing a parameter-store value then.
//
// "Served" is seen in the daemon's log: after the request, a second datagram with an identifier
// no request has (0x4F520000 plus this process's number, as a marker) is sent; the daemon serves
// requests one at a time in their order, and logs "msg_id = N, ORV_MDM_UNKNOWN_MSG" when it takes
// the marker up, so the line tells that the request before it is done, whatever it wrote.
#include <getopt.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/orv_paths.h"
#include "tools/client/orv_client.h"

namespace {

using namespace orv::client;

constexpr const char* kUsage =
    "Usage: orv_mdm_send REQUEST [payload options] [options]\n"
    "       orv_mdm_send --list\n"
    "       orv_mdm_send status [--json] [--battery]   (see orv_mdm_send status --help)\n"
    "Sends one request to the modem manager's socket $ORV_RUN_DIR/orv_mdm_path.\n"
    "\n"
    "REQUEST is a number (0-32, or any 32-bit value for testing), a full name\n"
    "(ORV_MDM_GET_IMEI) or a short name (get_imei, GET_IMEI).\n"
    "\n"
    "Payload options (only with the request that reads them; see --list):\n"
    "  --pin P             PIN (ORV_MDM_VERIFY_PIN, ORV_MDM_PIN_MODE)\n"
    "  --puk K             PUK, with --new-pin (ORV_MDM_VERIFY_PIN)\n"
    "  --new-pin P         new PIN (ORV_MDM_VERIFY_PIN with --puk, ORV_MDM_CHANGE_PIN)\n"
    "  --old-pin P         PIN in force (ORV_MDM_CHANGE_PIN)\n"
    "  --op off|on|query|N PIN lock operation (ORV_MDM_PIN_MODE)\n"
    "  --code C            network control key (ORV_MDM_NET_UNLOCK)\n"
    "  --mode N            1 radio off, 0 radio on (ORV_MDM_SET_MODEM_MODE)\n"
    "  --raw-hex HEX       send HEX as the payload, unchecked (robustness testing)\n"
    "  --raw-id N          write identifier N (any 32-bit value) instead of REQUEST's;\n"
    "                      REQUEST, when also given, still chooses the payload options\n"
    "\n"
    "Options:\n"
    "  --run-dir DIR       folder of the socket (default $ORV_RUN_DIR or /var/run/orv)\n"
    "  --wait-store NAME   after sending, wait until the daemon has served the request\n"
    "                      (seen in its log, $ORV_LOG_DIR/orv_mdm.log); print store value NAME\n"
    "  --timeout S         how long a send to a full queue and --wait-store wait, in seconds\n"
    "                      (default 15)\n"
    "  --db PATH           parameter store for --wait-store (default $ORV_NVRAM)\n"
    "  --log-dir DIR       the daemon's log folder for --wait-store (default $ORV_LOG_DIR)\n"
    "  --list              print the identifiers, names, payload options and what each\n"
    "                      request publishes (store values, notification)\n"
    "  -h, --help          print this help\n"
    "  --version           print the version\n"
    "\n"
    "Exit status: 0 sent (with --wait-store: served, the value printed), 1 no daemon listens,\n"
    "its queue stayed full (busy or hung), the send failed, the store or the log cannot be\n"
    "read, the request was not served in time or published no NAME, 2 usage error.\n";

enum LongOnly : int {
    kOptPin = 256,
    kOptPuk,
    kOptNewPin,
    kOptOldPin,
    kOptOp,
    kOptCode,
    kOptMode,
    kOptRawHex,
    kOptRawId,
    kOptRunDir,
    kOptWaitStore,
    kOptTimeout,
    kOptDb,
    kOptLogDir,
    kOptList,
    kOptVersion,
};

const option kOptions[] = {
    {"pin", required_argument, nullptr, kOptPin},
    {"puk", required_argument, nullptr, kOptPuk},
    {"new-pin", required_argument, nullptr, kOptNewPin},
    {"old-pin", required_argument, nullptr, kOptOldPin},
    {"op", required_argument, nullptr, kOptOp},
    {"code", required_argument, nullptr, kOptCode},
    {"mode", required_argument, nullptr, kOptMode},
    {"raw-hex", required_argument, nullptr, kOptRawHex},
    {"raw-id", required_argument, nullptr, kOptRawId},
    {"run-dir", required_argument, nullptr, kOptRunDir},
    {"wait-store", required_argument, nullptr, kOptWaitStore},
    {"timeout", required_argument, nullptr, kOptTimeout},
    {"db", required_argument, nullptr, kOptDb},
    {"log-dir", required_argument, nullptr, kOptLogDir},
    {"list", no_argument, nullptr, kOptList},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0},
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "orv_mdm_send: %s\nTry 'orv_mdm_send --help'.\n", message.c_str());
    return kExitUsage;
}

void print_list() {
    std::printf("%-3s %-40s %s\n", "ID", "NAME", "PAYLOAD OPTIONS");
    for (std::uint32_t id = 0; id < orv::msg::kMsgCount; ++id) {
        const std::string_view usage = payload_usage(id);
        const std::string name(orv::msg::msg_name(id));
        std::printf("%3u %-40s %s\n", id, name.c_str(),
                    usage.empty() ? "-" : std::string(usage).c_str());
        const Publication p = publications(id);
        std::string published;
        for (const std::string_view n : p.names) {
            published += (published.empty() ? "" : " ") + std::string(n);
        }
        std::printf("    publishes: %s; notifies: %s\n",
                    published.empty() ? "nothing" : published.c_str(),
                    p.notification.empty() ? "nothing" : std::string(p.notification).c_str());
    }
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

// The value of `name` now: found (with its bytes) or not; false when the store cannot be read.
bool read_value(const std::string& db, const std::string& name, bool& found, std::string& value,
                std::string& error) {
    Store store;
    if (!store.open(db, false, error)) {
        return false;
    }
    const Store::Found f = store.get(name, value, error);
    found = f == Store::Found::kYes;
    return f != Store::Found::kError;
}

// Whether `line` of the daemon's log says that it took up the datagram with identifier `id`.
bool marks(const std::string& line, std::uint32_t id) {
    const std::string text = "msg_id = " + std::to_string(static_cast<int>(id)) + ", " +
                             std::string(orv::msg::kUnknownMsgName);
    return line.size() >= text.size() &&
           line.compare(line.size() - text.size(), text.size(), text) == 0;
}

// The size of a file; 0 when it is not there (the daemon makes its log at its first line).
std::size_t size_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

// Waits until the daemon's log at `log`, read from `offset` on, holds the marker `id`'s line;
// the lines before it go to `seen` when given.
bool served(const std::string& log, std::size_t offset, std::uint32_t id, double deadline,
            std::vector<std::string>* seen = nullptr) {
    std::string pending;
    for (;;) {
        // A log shorter than what was read of it was rotated meanwhile: the new file is read
        // from its start (the marker's line is in it).
        if (size_of(log) < offset) {
            offset = 0;
            pending.clear();
        }
        std::FILE* f = std::fopen(log.c_str(), "rb");
        if (f != nullptr && std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0) {
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) {
                offset += n;
                pending.append(buf, n);
                for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
                    if (marks(pending.substr(0, nl), id)) {
                        std::fclose(f);
                        return true;
                    }
                    if (seen != nullptr) {
                        seen->push_back(pending.substr(0, nl));
                    }
                    pending.erase(0, nl + 1);
                }
            }
        }
        if (f != nullptr) {
            std::fclose(f);
        }
        if (monotonic_seconds() >= deadline) {
            return false;
        }
        sleep_ms(20);
    }
}

constexpr const char* kStatusUsage =
    "Usage: orv_mdm_send status [--json] [--battery] [--timeout S]\n"
    "Shows the device's state the way the controller sees it. This talks to the modem: it\n"
    "sends the daemon its read-only requests (SIM state and attempts left, ICCID, IMSI, own\n"
    "number, service provider name, IMEI, version texts; with --battery also the battery,\n"
    "whose first reading after start waits 7 s), waits until each is served (seen in the\n"
    "daemon's log, as --wait-store does) and prints what they published: a short overview,\n"
    "or with --json one JSON object. A value a request could not read (a SIM waiting for its\n"
    "PIN keeps its IMSI to itself) is the one the store held before, or null.\n"
    "\n"
    "  --json        one JSON object on one line\n"
    "  --battery     read the battery too\n"
    "  --timeout S   how long to wait for all of it (default 30 s; 45 s with --battery)\n"
    "  --run-dir, --db, --log-dir as for a request\n"
    "\n"
    "Exit status: 0 shown, 1 no daemon, the store or the log cannot be read, or not served in\n"
    "time, 2 usage error.\n";

// A JSON string of `bytes` (escaped as JSON needs), or null.
std::string json_text(const std::optional<std::string>& bytes) {
    if (!bytes) {
        return "null";
    }
    std::string out = "\"";
    for (const char ch : *bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// The service provider name as text: the store keeps it as UCS-2 hex digits (four a character);
// characters past ASCII as \uXXXX. Anything that is not such hex is shown as it is.
std::optional<std::string> spn_text(const std::optional<std::string>& hex) {
    if (!hex || hex->size() % 4 != 0) {
        return hex;
    }
    std::string out;
    for (std::size_t i = 0; i < hex->size(); i += 4) {
        unsigned v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const char c = (*hex)[i + k];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                 : -1;
            if (d < 0) {
                return hex;
            }
            v = v * 16 + static_cast<unsigned>(d);
        }
        if (v >= 0x20 && v < 0x7f) {
            out += static_cast<char>(v);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", v);
            out += esc;
        }
    }
    return out;
}

int run_status(int argc, char** argv, const std::string& default_run_dir,
               const std::string& default_db, const std::string& default_log_dir) {
    bool json = false, battery = false;
    double timeout = 0;
    std::string run_dir = default_run_dir, db = default_db, log_dir = default_log_dir;
    std::string error;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool value = i + 1 < argc;
        if (a == "--json") {
            json = true;
        } else if (a == "--battery") {
            battery = true;
        } else if (a == "--timeout" && value) {
            if (!parse_timeout_option(argv[++i], timeout, error)) {
                return usage_error(error);
            }
        } else if ((a == "--run-dir" || a == "--db" || a == "--log-dir") && value) {
            (a == "--run-dir" ? run_dir : a == "--db" ? db : log_dir) = argv[++i];
        } else if (a == "-h" || a == "--help") {
            std::fputs(kStatusUsage, stdout);
            return kExitOk;
        } else {
            return usage_error("status: unexpected argument \"" + a + "\"");
        }
    }
    timeout = timeout > 0 ? timeout : battery ? 45 : 30;
    const std::string log = join_path(log_dir, "orv_mdm.log");
    if (::access(log_dir.c_str(), R_OK | X_OK) != 0) {
        std::fprintf(stderr, "orv_mdm_send: the daemon's log folder %s cannot be read: %s\n",
                     log_dir.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    std::vector<std::uint32_t> ids = {
        orv::msg::ORV_MDM_GET_PIN_STATUS, orv::msg::ORV_MDM_GET_ICCID,   orv::msg::ORV_MDM_GET_IMSI,
        orv::msg::ORV_MDM_GET_MSISDN,     orv::msg::ORV_MDM_GET_SIM_SPN, orv::msg::ORV_MDM_GET_IMEI,
        orv::msg::ORV_MDM_GET_OVN,        orv::msg::ORV_MDM_GET_PCB};
    if (battery) {
        ids.push_back(orv::msg::ORV_MDM_GET_BATT_INFO);
    }
    const std::uint32_t marker = 0x4F520000u | (static_cast<std::uint32_t>(getpid()) & 0xFFFFu);
    ids.push_back(marker);
    const std::size_t offset = size_of(log);
    const double deadline = monotonic_seconds() + timeout;
    const std::string path = join_path(run_dir, orv::msg::kRequestSocketName);
    for (const std::uint32_t id : ids) {
        const SendResult r = send_datagram(path, make_datagram(id, ""), error,
                                           std::max(0.0, deadline - monotonic_seconds()));
        if (r != SendResult::kSent) {
            std::fprintf(stderr, "orv_mdm_send: %s%s\n",
                         r == SendResult::kNoListener ? "the daemon is not running: " : "",
                         error.c_str());
            return kExitFailed;
        }
    }
    std::vector<std::string> lines;
    if (!served(log, offset, marker, deadline, &lines)) {
        std::fprintf(stderr, "orv_mdm_send: the daemon did not serve the requests within %g s\n",
                     timeout);
        return kExitFailed;
    }
    // The SIM state is the controller's notification; the daemon's log has the answer it came
    // from: the first line of the PIN state query's answer.
    std::optional<std::string> state;
    for (const std::string& l : lines) {
        for (const std::string_view cue :
             {"mdm_at_result_process is +CPIN: ", "mdm_at_result_process is +CME ERROR: "}) {
            const std::size_t at = l.find(cue);
            if (!state && at != std::string::npos) {
                std::string text = l.substr(at + cue.size());
                text.erase(text.find_last_not_of(' ') + 1);
                state = text;
            }
        }
    }
    Store store;
    std::map<std::string, std::string> values;
    std::vector<std::pair<std::string, std::string>> rows;
    if (!store.open(db, false, error) || !store.list(rows, error)) {
        std::fprintf(stderr, "orv_mdm_send: %s\n", error.c_str());
        return kExitFailed;
    }
    values.insert(rows.begin(), rows.end());
    const auto v = [&](const char* name) -> std::optional<std::string> {
        const auto it = values.find(name);
        return it == values.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    const std::pair<const char*, std::optional<std::string>> fields[] = {
        {"sim_state", state},
        {"pin_attempts", v("pinnumber")},
        {"puk_attempts", v("puknumber")},
        {"iccid", v("sim_iccid")},
        {"imsi", v("sim_imsi")},
        {"own_number", v("msisdn")},
        {"service_provider", spn_text(v("spn_name_data"))},
        {"imei", v("imei")},
        {"software", v("wa_inner_version")},
        {"integrated_version", v("integrate_version")},
        {"model", v("model_name")},
        {"hardware", v("hardware_version")},
        {"manufacturer", v("manufacturer")},
        {"language", v("Language")},
        {"battery_percent", battery ? v("battery_vol_percent") : std::nullopt},
        {"battery_charging", battery ? v("battery_charging") : std::nullopt},
    };
    if (json) {
        std::string out = "{";
        for (const auto& [name, value] : fields) {
            out +=
                (out.size() > 1 ? "," : "") + std::string("\"") + name + "\":" + json_text(value);
        }
        std::printf("%s}\n", out.c_str());
        return kExitOk;
    }
    for (const auto& [name, value] : fields) {
        if (value || std::string_view(name).substr(0, 7) != "battery") {
            std::printf("%-20s %s\n", name, value ? escape_bytes(*value).c_str() : "-");
        }
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "status") {
        return run_status(argc, argv, orv::paths::get(orv::paths::kRunDir),
                          orv::paths::get(orv::paths::kNvram),
                          orv::paths::get(orv::paths::kLogDir));
    }
    PayloadOptions payload_opts;
    std::optional<std::string> raw_id_text;
    std::string run_dir = orv::paths::get(orv::paths::kRunDir);
    std::string db = orv::paths::get(orv::paths::kNvram);
    std::string log_dir = orv::paths::get(orv::paths::kLogDir);
    std::optional<std::string> wait_name;
    double timeout = 15;

    bool list = false;

    int c = 0;
    std::string error;
    while ((c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1) {
        switch (c) {
            case kOptPin:
                payload_opts.pin = optarg;
                break;
            case kOptPuk:
                payload_opts.puk = optarg;
                break;
            case kOptNewPin:
                payload_opts.new_pin = optarg;
                break;
            case kOptOldPin:
                payload_opts.old_pin = optarg;
                break;
            case kOptOp:
                payload_opts.op = optarg;
                break;
            case kOptCode:
                payload_opts.code = optarg;
                break;
            case kOptMode:
                payload_opts.mode = optarg;
                break;
            case kOptRawHex:
                payload_opts.raw_hex = optarg;
                break;
            case kOptRawId:
                raw_id_text = optarg;
                break;
            case kOptRunDir:
                run_dir = optarg;
                break;
            case kOptWaitStore:
                wait_name = optarg;
                break;
            case kOptTimeout:
                if (!parse_timeout_option(optarg, timeout, error)) {
                    return usage_error(error);
                }

                break;
            case kOptDb:
                db = optarg;
                break;
            case kOptLogDir:
                log_dir = optarg;
                break;
            case kOptList:
                list = true;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return kExitOk;
            case kOptVersion:
                std::fputs(version_line("orv_mdm_send").c_str(), stdout);
                return kExitOk;
            default:
                std::fputs("Try 'orv_mdm_send --help'.\n", stderr);
                return kExitUsage;
        }
    }
    const int positional = argc - optind;
    if (list) {
        if (positional != 0) {
            return usage_error("--list takes no REQUEST");
        }
        print_list();
        return kExitOk;
    }
    if (positional > 1) {
        return usage_error(std::string("unexpected argument \"") + argv[optind + 1] + "\"");
    }
    if (positional == 0 && !raw_id_text) {
        return usage_error("missing REQUEST");
    }
    if (wait_name && wait_name->empty()) {
        return usage_error("--wait-store needs a value name");
    }

    // The identifier that chooses the payload, and the one written on the wire.
    std::uint32_t id = 0;
    bool have_request = false;
    if (positional == 1) {
        if (!parse_request_id(argv[optind], id)) {
            return usage_error(std::string("unknown request \"") + argv[optind] +
                               "\" (see --list)");
        }
        have_request = true;
    }
    std::uint32_t wire_id = id;
    if (raw_id_text) {
        if (!parse_u32(*raw_id_text, wire_id)) {
            return usage_error("--raw-id \"" + *raw_id_text + "\" is not a 32-bit number");
        }
        if (!have_request) {
            id = wire_id;
        }
    }

    std::string payload;
    if (!build_payload(id, payload_opts, payload, error)) {
        return usage_error(error);
    }
    const std::string datagram = make_datagram(wire_id, payload);

    // What --wait-store needs, checked before anything is sent: a name the request publishes,
    // the store and the log folder.
    const std::string log = join_path(log_dir, "orv_mdm.log");
    const std::vector<std::string_view> published = publications(id).names;
    if (wait_name && have_request && !raw_id_text &&
        std::find(published.begin(), published.end(), *wait_name) == published.end()) {
        std::string names;
        for (const std::string_view n : published) {
            names += (names.empty() ? "" : ", ") + std::string(n);
        }
        return usage_error(std::string(orv::msg::msg_name(id)) + " publishes no " + *wait_name +
                           " (it publishes " + (names.empty() ? "no store value" : names) +
                           "; see --list)");
    }
    if (wait_name) {
        // A store not made yet is made by the daemon's first write; one whose folder is not
        // there is nobody's (a shell without the daemon's ORV_NVRAM).
        struct stat st {};
        const std::string folder = db.substr(0, db.find_last_of('/') + (db.rfind('/') == 0));
        if (::stat(db.c_str(), &st) != 0 &&
            (errno != ENOENT || ::stat(folder.empty() ? "." : folder.c_str(), &st) != 0)) {
            std::fprintf(stderr,
                         "orv_mdm_send: the store %s cannot be read: %s (is it the daemon's? "
                         "set ORV_NVRAM or --db)\n",
                         db.c_str(), std::strerror(errno));
            return kExitFailed;
        }
        if (::access(log_dir.c_str(), R_OK | X_OK) != 0) {
            std::fprintf(stderr,
                         "orv_mdm_send: the daemon's log folder %s cannot be read: %s (set "
                         "ORV_LOG_DIR or --log-dir)\n",
                         log_dir.c_str(), std::strerror(errno));
            return kExitFailed;
        }
    }
    const std::size_t log_offset = wait_name ? size_of(log) : 0;
    const double deadline = monotonic_seconds() + timeout;

    const std::string path = join_path(run_dir, orv::msg::kRequestSocketName);
    const std::uint32_t marker = 0x4F520000u | (static_cast<std::uint32_t>(getpid()) & 0xFFFFu);
    for (const std::string& d : {datagram, make_datagram(marker, "")}) {
        switch (send_datagram(path, d, error, std::max(0.0, deadline - monotonic_seconds()))) {
            case SendResult::kSent:
                break;
            case SendResult::kNoListener:
                std::fprintf(stderr, "orv_mdm_send: the daemon is not running: %s\n",
                             error.c_str());
                return kExitFailed;
            case SendResult::kBusy:
            case SendResult::kFailed:
                std::fprintf(stderr, "orv_mdm_send: %s\n", error.c_str());
                return kExitFailed;
        }
        if (!wait_name) {
            return kExitOk;  // the marker goes only with --wait-store
        }
    }

    if (!served(log, log_offset, marker, deadline)) {
        std::fprintf(stderr,
                     "orv_mdm_send: the daemon did not serve the request within %g s (busy with "
                     "a slow modem, or hung; see %s)\n",
                     timeout, log.c_str());
        return kExitFailed;
    }
    bool found = false;
    std::string value;
    if (!read_value(db, *wait_name, found, value, error)) {
        std::fprintf(stderr, "orv_mdm_send: %s\n", error.c_str());
        return kExitFailed;
    }
    if (!found) {
        std::fprintf(stderr,
                     "orv_mdm_send: served, but the store holds no %s (the request did not "
                     "publish it: see %s)\n",
                     wait_name->c_str(), log.c_str());
        return kExitFailed;
    }
    std::printf("%s\n", escape_bytes(value).c_str());
    return kExitOk;
}
