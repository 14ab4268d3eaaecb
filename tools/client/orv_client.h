// Client side of the daemon's interfaces, shared by the command-line tools and their tests:
// request datagrams built from command-line options, controller notifications decoded into one
// readable line, the parameter store, the factory configuration items and the message sockets.
// Every offset and width comes from wire/mdm_msg.h; nothing here restates a layout.
#pragma once

#include <signal.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wire/mdm_msg.h"

struct sqlite3;

namespace orv::client {

// ---- Exit statuses shared by every tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// What every tool prints for --version: "NAME (orv_mdm) X.Y.Z" and a line feed, X.Y.Z being the
// project's version (wire/version.h).
std::string version_line(std::string_view tool);

// ---- Text helpers.

// Bytes as every tool and the virtual modem show them: printable ASCII as itself (the double
// quote too: AT answers are full of them), the backslash as \\, CR, LF and tab as \r \n \t,
// every other byte as \xnn (two lower-case hex digits); so a line decodes without ambiguity, and
// an answer reads the same in orv_nvram, orv_trace show and the virtual modem's log.
std::string escape_bytes(std::string_view bytes);
// escape_bytes between double quotes.
std::string quote_bytes(std::string_view bytes);
// The text of field `f` of `bytes`, up to its terminator and never past their end.
std::string_view field_text(std::string_view bytes, msg::TextField f);

// The lines of a byte stream that comes in pieces, as the modem's line and the daemon's channel
// cut it: CR and LF end a line, empty lines are dropped. A line longer than `max` bytes keeps its
// first `max` (a runaway line without an end is cut, not grown).
class LineSplitter {
  public:
    explicit LineSplitter(std::size_t max = std::string::npos) : max_(max) {}
    // Feeds bytes; calls `line(text)` for each line they complete.
    template <typename OnLine>
    void add(std::string_view bytes, OnLine&& line) {
        for (const char c : bytes) {
            if (c != '\r' && c != '\n') {
                if (open_.size() < max_) {
                    open_.push_back(c);
                }
            } else if (!open_.empty()) {
                line(std::move(open_));
                open_.clear();
            }
        }
    }
    // The line begun and not ended yet, taken (empty when none).
    std::string take_open() { return std::exchange(open_, {}); }
    void clear() { open_.clear(); }

  private:
    std::size_t max_;
    std::string open_;
};
// All the lines of `text`, a last one without its end included.
std::vector<std::string> split_lines(std::string_view text);
// Lower-case hex, two digits per byte, no separator.
std::string to_hex(std::string_view bytes);
// Hex digits in pairs; blanks, ':' and '-' between pairs are ignored, and an optional "0x"
// prefix. False on any other character or an odd digit count.
bool from_hex(std::string_view hex, std::string& out);
// Decimal or 0x-hex number in 0..4294967295.
bool parse_u32(std::string_view text, std::uint32_t& out);
// A 32-bit value written as decimal (negative allowed, -2147483648..4294967295) or 0x-hex;
// negative values are stored in two's complement.
bool parse_int32_bits(std::string_view text, std::uint32_t& out);
// Seconds, decimal fraction allowed, 0 or more.
bool parse_seconds(std::string_view text, double& out);

// "YYYY-MM-DD HH:MM:SS.mmm" of the current local time.
std::string timestamp_now();

// ---- Command lines: each tool's options in one table, read one way.

// One option: its names ("--db", or "-o|--output"), whether it takes a value, and what it does
// with the value ("" for a flag): `apply` returns "" to go on or the message of a usage error.
struct Option {
    std::string_view names;
    bool takes_value;
    std::function<std::string(const std::string& value)> apply;
};
// The options most tools have: a text kept as given, a flag set when present, --count (a whole
// number from 1 to 2^31 - 1) and --timeout (seconds, a fraction allowed).
Option text_option(std::string_view names, std::string& out);
Option text_option(std::string_view names, std::optional<std::string>& out);
Option flag_option(std::string_view names, bool& out);
Option count_option(long& out);
Option timeout_option(double& out);

// The command line of a tool, or of one of its commands ("orv_trace show").
struct CommandLine {
    std::string_view tool;
    const char* help;
    bool version = true;  // whether --version is answered (a tool's, not a command's)

    // Reads `args` with `options`: options anywhere (--name VALUE or --name=VALUE, "--" ends them),
    // -h and
    // --help print the help, --version the version line; the other words go to `words` in their
    // order. Returns the status to exit with now (0 after the help or the version, 2 after a
    // usage error, which it printed), or nothing when the tool goes on. What it prints goes to
    // `out` and `err` when given (a tool run inside a test), else to standard output and error.
    std::optional<int> parse(const std::vector<std::string>& args,
                             const std::vector<Option>& options, std::vector<std::string>& words,
                             std::ostream* out = nullptr, std::ostream* err = nullptr) const;
    // "TOOL: MESSAGE" and "Try 'TOOL --help'." on `err` or standard error; returns kExitUsage.
    int usage_error(const std::string& message, std::ostream* err = nullptr) const;
    // "PROGRAM: MESSAGE" on standard error; returns kExitFailed.
    int failed(const std::string& message) const;
};
// argv[first..argc) as words.
std::vector<std::string> arguments(int argc, char** argv, int first = 1);

// Seconds of the monotonic clock, for deadlines.
double monotonic_seconds();
void sleep_ms(long ms);
// From now on SIGINT and SIGTERM set the flag returned instead of ending the process, so that a
// loop that watches it can end cleanly (remove its socket, print its last line).
const volatile sig_atomic_t& stop_on_signals();

// ---- Requests.

// The request named by a number (decimal or 0x-hex, any 32-bit value), a full name
// ("ORV_MDM_GET_IMEI") or a short name ("get_imei", "GET_IMEI").
bool parse_request_id(std::string_view text, std::uint32_t& id);

// Payload options of the command line, each set only when given.
struct PayloadOptions {
    std::optional<std::string> pin;
    std::optional<std::string> puk;
    std::optional<std::string> new_pin;
    std::optional<std::string> old_pin;
    std::optional<std::string> op;
    std::optional<std::string> code;
    std::optional<std::string> mode;
    std::optional<std::string> raw_hex;  // replaces the payload, unchecked
};

// The payload options that a request takes, as shown by --help and --list ("" for none).
std::string_view payload_usage(std::uint32_t id);

// What a request publishes when it succeeds: its store values and its controller notification.
struct Publication {
    std::vector<std::string_view> names;  // store values, in the order the request writes them
    std::string_view notification;        // "" for none
};
Publication publications(std::uint32_t id);

// Builds the payload of request `id` from `opts`, each text at its offset; zero bytes elsewhere.
// False with a message in `error` when an option does not belong to the request, a required one
// is missing, a value is not valid or a text does not fit its field with its terminator.
bool build_payload(std::uint32_t id, const PayloadOptions& opts, std::string& payload,
                   std::string& error);

// One request datagram: the identifier `wire_id` (little-endian), then `payload`.
std::string make_datagram(std::uint32_t wire_id, std::string_view payload);

// ---- Controller notifications.

// One readable line for a notification datagram, without a line feed. `datagram` holds the bytes
// received; `real_size` is the datagram's size when it was cut at receive (0: datagram.size()).
// Never reads past `datagram`.
std::string describe_notification(std::string_view datagram, std::size_t real_size = 0);

// ---- Message sockets.

enum class SendResult { kSent, kNoListener, kBusy, kFailed };
// Sends one datagram to the Unix datagram socket at `path`, waiting at most `timeout_s` for room
// when the receiver's queue is full (kBusy then: a daemon busy with a long request, or hung).
SendResult send_datagram(const std::string& path, std::string_view datagram, std::string& error,
                         double timeout_s = 15);

// Whether a process receives on the Unix datagram socket at `path`: kLive when a connect to it is
// accepted; kNone when it is refused or there is no such file (a socket file left by a receiver
// that died counts as none); kFailed otherwise, with a message in `error`.
enum class Receiver { kLive, kNone, kFailed };
Receiver probe_receiver(const std::string& path, std::string& error);

// Binds a Unix datagram socket at `path` with mode 0660. A stale socket file nobody listens on is
// replaced; a live one, or a file that is not a socket, is refused. Returns the descriptor or -1
// with a message in `error`.
int bind_datagram_socket(const std::string& path, std::string& error);

// Writes all of `bytes` to `fd`, going on after an interrupted write; false on an error (errno).
bool write_all(int fd, std::string_view bytes);

// "<dir>/<name>".
std::string join_path(std::string_view dir, std::string_view name);

// ---- Parameter store: nvram(name TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL), WAL.

class Store {
  public:
    enum class Found { kYes, kNo, kError };

    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens the store at `path`. With `create`, a missing file, its folder (mode 0750) and the
    // table are created and the journal switched to WAL; without, a missing file is an error.
    bool open(const std::string& path, bool create, std::string& error);
    bool is_open() const { return db_ != nullptr; }

    Found get(std::string_view name, std::string& value, std::string& error);
    bool set(std::string_view name, std::string_view value, std::string& error);
    Found unset(std::string_view name, std::string& error);
    // Every row, sorted by name (byte order).
    bool list(std::vector<std::pair<std::string, std::string>>& rows, std::string& error);
    // Changes whenever another connection commits (PRAGMA data_version).
    bool data_version(std::int64_t& version, std::string& error);
    // From now on this connection's writes do not wait for the disk (PRAGMA synchronous=OFF): for
    // measurements, where a sync per write costs more than the request measured.
    bool write_without_sync(std::string& error);

  private:
    bool has_table(bool& present, std::string& error);
    std::string last_error() const;

    sqlite3* db_ = nullptr;
};

// ---- Factory configuration items: the file <dir>/<item>.

struct VersionFieldRow {
    std::string_view name;    // field name: "inner", "model", ...
    std::string_view option;  // its option of orv_factory: "--inner", ...
    msg::TextField field;
};
inline constexpr std::size_t kVersionFieldCount = 5;
inline constexpr std::array<VersionFieldRow, kVersionFieldCount> kVersionFields = {{
    {"inner", "--inner", msg::version_record::kInnerVersion},
    {"model", "--model", msg::version_record::kModelName},
    {"hardware", "--hardware", msg::version_record::kHardwareVersion},
    {"manufacturer", "--manufacturer", msg::version_record::kManufacturer},
    {"integrated", "--integrated", msg::version_record::kIntegratedVersion},
}};
// Index of a field in kVersionFields by name, or kVersionFieldCount.
std::size_t version_field_index(std::string_view name);

using VersionRecord = std::array<unsigned char, msg::version_record::kSize>;
using VersionTexts = std::array<std::optional<std::string>, kVersionFieldCount>;

// Builds the zeroed record with each given text at its field. A text must leave room for its
// terminator, unless its field is marked in `fill` (then it may take the whole width).
bool build_version_record(const VersionTexts& texts,
                          const std::array<bool, kVersionFieldCount>& fill, VersionRecord& record,
                          std::string& error);

// Readable lines of a version record (each "  name=\"text\""), as the daemon reads the fields.
std::vector<std::string> describe_version_record(std::string_view bytes);

// Writes item `item` atomically (temporary file, fsync, rename); the folder is created 0750.
bool write_item(const std::string& dir, unsigned item, std::string_view bytes, std::string& error);
// Reads the whole item (at most 1 MiB). kNo when the file does not exist.
Store::Found read_item(const std::string& dir, unsigned item, std::string& bytes,
                       std::string& error);

}  // namespace orv::client
