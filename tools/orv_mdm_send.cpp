// orv_mdm_send: sends one request datagram to the daemon's socket, optionally waiting for a
// parameter-store value to change afterwards.
#include <getopt.h>
#include <time.h>

#include <cstdio>
#include <string>

#include "platform/orv_paths.h"
#include "tools/client/orv_client.h"

namespace {

using namespace orv::client;

constexpr const char* kUsage =
    "Usage: orv_mdm_send REQUEST [payload options] [options]\n"
    "       orv_mdm_send --list\n"
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
    "  --wait-store NAME   after sending, wait until store value NAME changes; print it\n"
    "  --timeout S         how long --wait-store waits, in seconds (default 15)\n"
    "  --db PATH           parameter store for --wait-store (default $ORV_NVRAM)\n"
    "  --list              print the identifiers, names and payload options\n"
    "  --help              print this help\n"
    "\n"
    "Exit status: 0 sent (and the value changed), 1 no daemon listens, the send failed or\n"
    "--wait-store timed out, 2 usage error.\n";

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
    kOptList,
    kOptHelp,
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
    {"list", no_argument, nullptr, kOptList},
    {"help", no_argument, nullptr, kOptHelp},
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
// A store that does not exist yet reads as "not found".
bool read_value(const std::string& db, const std::string& name, bool& found, std::string& value,
                std::string& error) {
    Store store;
    std::string open_error;
    if (!store.open(db, false, open_error)) {
        found = false;
        return true;
    }
    const Store::Found f = store.get(name, value, error);
    found = f == Store::Found::kYes;
    return f != Store::Found::kError;
}

}  // namespace

int main(int argc, char** argv) {
    PayloadOptions payload_opts;
    std::optional<std::string> raw_id_text;
    std::string run_dir = orv::paths::get(orv::paths::kRunDir);
    std::string db = orv::paths::get(orv::paths::kNvram);
    std::optional<std::string> wait_name;
    double timeout = 15;
    bool timeout_given = false;
    bool list = false;

    int c = 0;
    std::string error;
    while ((c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
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
                timeout_given = true;
                break;
            case kOptDb:
                db = optarg;
                break;
            case kOptList:
                list = true;
                break;
            case kOptHelp:
                std::fputs(kUsage, stdout);
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
    if (timeout_given && !wait_name) {
        return usage_error("--timeout goes with --wait-store");
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

    bool before_found = false;
    std::string before;
    if (wait_name && !read_value(db, *wait_name, before_found, before, error)) {
        std::fprintf(stderr, "orv_mdm_send: %s\n", error.c_str());
        return kExitFailed;
    }

    const std::string path = join_path(run_dir, orv::msg::kRequestSocketName);
    switch (send_datagram(path, datagram, error)) {
        case SendResult::kSent:
            break;
        case SendResult::kNoListener:
            std::fprintf(stderr, "orv_mdm_send: the daemon is not running: %s\n", error.c_str());
            return kExitFailed;
        case SendResult::kFailed:
            std::fprintf(stderr, "orv_mdm_send: %s\n", error.c_str());
            return kExitFailed;
    }
    if (!wait_name) {
        return kExitOk;
    }

    const double deadline = monotonic_seconds() + timeout;
    for (;;) {
        bool found = false;
        std::string value;
        if (!read_value(db, *wait_name, found, value, error)) {
            std::fprintf(stderr, "orv_mdm_send: %s\n", error.c_str());
            return kExitFailed;
        }
        if (found && (!before_found || value != before)) {
            std::printf("%s\n", escape_bytes(value).c_str());
            return kExitOk;
        }
        if (!found && before_found) {
            std::fprintf(stderr, "orv_mdm_send: %s was removed\n", wait_name->c_str());
            return kExitFailed;
        }
        if (monotonic_seconds() >= deadline) {
            std::fprintf(stderr, "orv_mdm_send: %s did not change within %g s\n",
                         wait_name->c_str(), timeout);
            return kExitFailed;
        }
        sleep_ms(100);
    }
}
