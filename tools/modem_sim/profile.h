// What the virtual modem is: the device (IMEI, echo, error mode, how its lines look), the SIM
// cards it knows, which one is inserted, and the scripted overrides. Read from a small TOML file;
// the built-in default is profiles/default.toml, compiled in.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orv::modem_sim {

// A profile that cannot be used; the message names the file and the offending entry.
class ProfileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The personalisation lock categories, in the order the modem lists them in +ESMLCK.
inline constexpr std::size_t kPersoKinds = 5;

struct PersoKindInfo {
    std::string_view profile_name;  // table name in the profile
    std::string_view facility;      // +CLCK facility
    std::string_view cpin_name;     // +CPIN: <name> PIN / <name> PUK
    std::string_view puk_required;  // +CME ERROR text once the lock is blocked
    int puk_required_code;
};

inline constexpr std::array<PersoKindInfo, kPersoKinds> kPersoKindTable{{
    {"network", "PN", "PH-NET", "network personalization PUK required", 41},
    {"network_subset", "PU", "PH-NETSUB", "network subset personalization PUK required", 43},
    {"service_provider", "PP", "PH-SP", "service provider personalization PUK required", 45},
    {"corporate", "PC", "PH-CORP", "corporate personalization PUK required", 47},
    {"sim", "PS", "PH-FSIM", "PH-FSIM PUK required", 7},
}};

// One personalisation lock of the device while a given SIM is inserted.
struct PersoLock {
    bool enabled = false;
    std::string key;          // control key that satisfies or removes the lock
    int attempts = 3;         // attempts left; at zero the lock waits for its unblock key
    int max_attempts = 3;     // reported in +ESMLCK
    std::string unblock_key;  // empty: a blocked lock cannot be unblocked
};

// One elementary file of the SIM as +CRSM reads it.
struct SimFile {
    std::vector<std::uint8_t> data;
    int sw1 = 144;  // status words of a read; anything but 144,0 answers without data
    int sw2 = 0;
};

struct OwnNumber {
    std::string alpha;
    std::string number;
    int type = 129;  // 145 for an international number
};

struct SimProfile {
    std::string imsi;
    std::vector<OwnNumber> numbers;
    std::string pin;
    std::string puk;
    int pin_attempts = 3;
    int pin_max = 3;
    int puk_attempts = 10;
    int puk_max = 10;
    int pin2_attempts = 3;
    int puk2_attempts = 10;
    bool pin_lock = false;
    bool failure = false;  // a card the modem cannot talk to
    int busy = 0;          // SIM commands answered "SIM busy" after the card is inserted
    std::array<PersoLock, kPersoKinds> locks{};
    // Files by key: the decimal file id ("28486") or the DF path and id ("7F20/28472").
    std::map<std::string, SimFile> files;
};

// A scripted override of the answer to a command.
struct ScriptRule {
    std::string match;                  // command text, compared without regard to case
    bool prefix = false;                // match is a prefix (written with a trailing '*')
    std::optional<std::string> answer;  // raw bytes sent instead of the modem's own answer
    bool silent = false;                // no answer at all
    bool hangup = false;                // drop the line instead of answering
    int delay_ms = 0;                   // pause before the answer
    // Unsolicited lines sent with the answer (empty: none): before it, between its information
    // lines and its final line, or right after it, each framed \r\n<line>\r\n.
    std::string report_before;
    std::string report_inside;
    std::string report_after;
    int count = -1;  // uses left; -1 for always

    bool matches(std::string_view line) const;
};

// How the modem ends the lines it sends.
enum class LineEnd { CrLf, Cr, Lf };

// The names of the line ends, by LineEnd, as the profile, the options and the control use them.
inline constexpr std::string_view kLineEndNames[] = {"crlf", "cr", "lf"};
// "crlf", "cr" or "lf"; nothing for another word.
std::optional<LineEnd> line_end_named(std::string_view word);

// A line the modem reports on its own some time after an answer: after_ms 0 right after the
// answer, in the same write; later, at the start of the first answer that leaves once it is due.
struct TimedReport {
    std::string line;
    int after_ms = 0;
};
using Burst = std::vector<TimedReport>;

struct DeviceProfile {
    std::string imei;
    bool imei_prefixed = false;  // AT+CGSN answers +CGSN: "<imei>"
    bool echo = false;
    int cmee = 0;
    int cfun = 1;
    LineEnd line_end = LineEnd::CrLf;
    int nul_every = 0;  // a NUL byte after every this many bytes sent; 0: none
    // After the answer of AT+CFUN=1: start_up, then, with a ready card, sim_ready timed from the
    // last start_up line. sim_ready also follows the answer that makes a waiting card ready.
    Burst start_up;
    Burst sim_ready;
    int report_every_ms = 0;  // the report timer (as --urc-every); 0: off
    std::string report;
};

struct Profile {
    DeviceProfile device;
    std::map<std::string, SimProfile> sims;
    std::string inserted;  // empty: no SIM in the slot
    std::vector<ScriptRule> scripts;
};

// The built-in profile, profiles/default.toml: one ready SIM named "default".
Profile default_profile();
// A profile whose device starts from the built-in one, and each SIM from its [sim.default].
Profile parse_profile(std::string_view toml_text, const std::string& source_name);
Profile load_profile(const std::string& path);

// Text helpers the modem's parts share: escapes \r \n \t \\ \" and \xHH turned into their
// characters; upper case; blanks around a text dropped; a whole decimal number (blanks around it
// allowed), or nothing.
std::string unescape(std::string_view text);
std::string upper(std::string_view text);
std::string_view trim(std::string_view text);
std::optional<int> to_int(std::string_view text);

// Splits a control line or a script rule into words. A word in double quotes may hold blanks;
// inside it \" and \\ stand for a quote and a backslash, and other escapes are kept for the
// answer text. Returns nothing for an unterminated quote.
std::optional<std::vector<std::string>> tokenize(std::string_view line);

// A script rule in its one grammar, the same in a profile (`script = ["..."]`) and in the control
// command `script`: <match>[*], then actions (answer <text>, silent, hangup, delay <ms>,
// report before|inside|after <line>), then an optional count (a number, or "always"). Throws
// std::invalid_argument saying what is wrong.
ScriptRule parse_script_rule(const std::vector<std::string>& words);

// Well-known file ids by name, as a profile may write them.
inline constexpr std::string_view kFileIccid = "12258";
inline constexpr std::string_view kFilePl = "12037";
inline constexpr std::string_view kFileSpn = "28486";
inline constexpr std::string_view kFileAd = "28589";

}  // namespace orv::modem_sim
