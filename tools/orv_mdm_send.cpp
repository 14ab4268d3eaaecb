// orv_mdm_send: sends one request datagram to the daemon's socket, optionally waiting until the
// daemon has served it and printing a parameter-store value then.
//
// "Served" is seen in the daemon's log: after the request, a second datagram with an identifier
// no request has (0x4F520000 plus this process's number, as a marker) is sent; the daemon serves
// requests one at a time in their order, and logs "msg_id = N, ORV_MDM_UNKNOWN_MSG" when it takes
// the marker up, so the line tells that the request before it is done, whatever it wrote.
#include <sys/stat.h>
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

constexpr CommandLine kCli{"orv_mdm_send", kUsage};

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

// Whether the daemon's log folder can be read; says why not.
bool log_readable(const std::string& log_dir) {
    if (::access(log_dir.c_str(), R_OK | X_OK) == 0) {
        return true;
    }
    kCli.failed("the daemon's log folder " + log_dir + " cannot be read: " + std::strerror(errno) +
                " (set ORV_LOG_DIR or --log-dir)");
    return false;
}

// Sends `datagrams` to the daemon's socket in `run_dir`. With a `log`, a marker follows them and
// the call waits until the daemon has taken it up, so all of them were served; the log's lines
// before the marker go to `seen` when given. Returns the exit status.
int send_requests(const std::string& run_dir, std::vector<std::string> datagrams,
                  const std::string& log, double timeout,
                  std::vector<std::string>* seen = nullptr) {
    const std::uint32_t marker = 0x4F520000u | (static_cast<std::uint32_t>(getpid()) & 0xFFFFu);
    if (!log.empty()) {
        datagrams.push_back(make_datagram(marker, ""));
    }
    const std::size_t offset = log.empty() ? 0 : size_of(log);
    const double deadline = monotonic_seconds() + timeout;
    const std::string path = join_path(run_dir, orv::msg::kRequestSocketName);
    std::string error;
    for (const std::string& d : datagrams) {
        const SendResult r =
            send_datagram(path, d, error, std::max(0.0, deadline - monotonic_seconds()));
        if (r != SendResult::kSent) {
            return kCli.failed((r == SendResult::kNoListener ? "the daemon is not running: " : "") +
                               error);
        }
    }
    if (!log.empty() && !served(log, offset, marker, deadline, seen)) {
        char within[32];
        std::snprintf(within, sizeof within, "%g", timeout);
        return kCli.failed(std::string("the daemon did not serve the request") +
                           (datagrams.size() > 2 ? "s" : "") + " within " + within +
                           " s (busy with a slow modem, or hung; see " + log + ")");
    }
    return kExitOk;
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

constexpr CommandLine kStatusCli{"orv_mdm_send status", kStatusUsage, false};

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

int run_status(const std::vector<std::string>& args, std::string run_dir, std::string db,
               std::string log_dir) {
    bool json = false, battery = false;
    double timeout = 0;
    std::vector<std::string> words;
    if (const auto status =
            kStatusCli.parse(args,
                             {flag_option("--json", json), flag_option("--battery", battery),
                              timeout_option(timeout), text_option("--run-dir", run_dir),
                              text_option("--db", db), text_option("--log-dir", log_dir)},
                             words)) {
        return *status;
    }
    if (!words.empty()) {
        return kStatusCli.usage_error("unexpected argument \"" + words[0] + "\"");
    }
    std::string error;
    timeout = timeout > 0 ? timeout : battery ? 45 : 30;
    if (!log_readable(log_dir)) {
        return kExitFailed;
    }
    std::vector<std::string> datagrams;
    for (const std::uint32_t id :
         {orv::msg::ORV_MDM_GET_PIN_STATUS, orv::msg::ORV_MDM_GET_ICCID, orv::msg::ORV_MDM_GET_IMSI,
          orv::msg::ORV_MDM_GET_MSISDN, orv::msg::ORV_MDM_GET_SIM_SPN, orv::msg::ORV_MDM_GET_IMEI,
          orv::msg::ORV_MDM_GET_OVN, orv::msg::ORV_MDM_GET_PCB, orv::msg::ORV_MDM_GET_BATT_INFO}) {
        if (battery || id != orv::msg::ORV_MDM_GET_BATT_INFO) {
            datagrams.push_back(make_datagram(id, ""));
        }
    }
    std::vector<std::string> lines;
    if (const int status = send_requests(run_dir, datagrams, join_path(log_dir, "orv_mdm.log"),
                                         timeout > 0 ? timeout
                                         : battery   ? 45
                                                     : 30,
                                         &lines);
        status != kExitOk) {
        return status;
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
        return kCli.failed(error);
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
    std::string run_dir = orv::paths::get(orv::paths::kRunDir);
    std::string db = orv::paths::get(orv::paths::kNvram);
    std::string log_dir = orv::paths::get(orv::paths::kLogDir);
    if (argc >= 2 && std::string_view(argv[1]) == "status") {
        return run_status(arguments(argc, argv, 2), run_dir, db, log_dir);
    }
    PayloadOptions payload_opts;
    std::optional<std::string> raw_id_text;
    std::optional<std::string> wait_name;
    double timeout = 15;
    bool list = false;
    std::vector<std::string> words;
    if (const auto status = kCli.parse(
            arguments(argc, argv),
            {text_option("--pin", payload_opts.pin), text_option("--puk", payload_opts.puk),
             text_option("--new-pin", payload_opts.new_pin),
             text_option("--old-pin", payload_opts.old_pin), text_option("--op", payload_opts.op),
             text_option("--code", payload_opts.code), text_option("--mode", payload_opts.mode),
             text_option("--raw-hex", payload_opts.raw_hex), text_option("--raw-id", raw_id_text),
             text_option("--run-dir", run_dir), text_option("--wait-store", wait_name),
             timeout_option(timeout), text_option("--db", db), text_option("--log-dir", log_dir),
             flag_option("--list", list)},
            words)) {
        return *status;
    }
    std::string error;
    const std::size_t positional = words.size();
    if (list) {
        if (positional != 0) {
            return kCli.usage_error("--list takes no REQUEST");
        }
        print_list();
        return kExitOk;
    }
    if (positional > 1) {
        return kCli.usage_error("unexpected argument \"" + words[1] + "\"");
    }
    if (positional == 0 && !raw_id_text) {
        return kCli.usage_error("missing REQUEST");
    }
    if (wait_name && wait_name->empty()) {
        return kCli.usage_error("--wait-store needs a value name");
    }

    // The identifier that chooses the payload, and the one written on the wire.
    std::uint32_t id = 0;
    bool have_request = false;
    if (positional == 1) {
        if (!parse_request_id(words[0], id)) {
            return kCli.usage_error("unknown request \"" + words[0] + "\" (see --list)");
        }
        have_request = true;
    }
    std::uint32_t wire_id = id;
    if (raw_id_text) {
        if (!parse_u32(*raw_id_text, wire_id)) {
            return kCli.usage_error("--raw-id \"" + *raw_id_text + "\" is not a 32-bit number");
        }
        if (!have_request) {
            id = wire_id;
        }
    }

    std::string payload;
    if (!build_payload(id, payload_opts, payload, error)) {
        return kCli.usage_error(error);
    }

    // What --wait-store needs, checked before anything is sent: a name the request publishes,
    // the store and the log folder.
    const std::vector<std::string_view> published = publications(id).names;
    if (wait_name && have_request && !raw_id_text &&
        std::find(published.begin(), published.end(), *wait_name) == published.end()) {
        std::string names;
        for (const std::string_view n : published) {
            names += (names.empty() ? "" : ", ") + std::string(n);
        }
        return kCli.usage_error(std::string(orv::msg::msg_name(id)) + " publishes no " +
                                *wait_name + " (it publishes " +
                                (names.empty() ? "no store value" : names) + "; see --list)");
    }
    if (wait_name) {
        // A store not made yet is made by the daemon's first write; one whose folder is not
        // there is nobody's (a shell without the daemon's ORV_NVRAM).
        struct stat st {};
        const std::string folder = db.substr(0, db.find_last_of('/') + (db.rfind('/') == 0));
        if (::stat(db.c_str(), &st) != 0 &&
            (errno != ENOENT || ::stat(folder.empty() ? "." : folder.c_str(), &st) != 0)) {
            return kCli.failed("the store " + db + " cannot be read: " + std::strerror(errno) +
                               " (is it the daemon's? set ORV_NVRAM or --db)");
        }
        if (!log_readable(log_dir)) {
            return kExitFailed;
        }
    }
    const std::string log = wait_name ? join_path(log_dir, "orv_mdm.log") : "";
    if (const int status = send_requests(run_dir, {make_datagram(wire_id, payload)}, log, timeout);
        status != kExitOk || !wait_name) {
        return status;
    }
    bool found = false;
    std::string value;
    if (!read_value(db, *wait_name, found, value, error)) {
        return kCli.failed(error);
    }
    if (!found) {
        return kCli.failed("served, but the store holds no " + *wait_name +
                           " (the request did not publish it: see " + log + ")");
    }
    std::printf("%s\n", escape_bytes(value).c_str());
    return kExitOk;
}
