// What the virtual modem is: the device (IMEI, echo, error mode), the SIM cards it knows, which
// one is inserted, and the scripted overrides. Read from a small TOML file or built in.
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
enum class PersoKind : std::uint8_t { Network, NetworkSubset, ServiceProvider, Corporate, Sim };
inline constexpr std::size_t kPersoKinds = 5;

struct PersoKindInfo {
    PersoKind kind;
    std::string_view profile_name;  // table name in the profile
    std::string_view facility;      // +CLCK facility
    std::string_view cpin_name;     // +CPIN: <name> PIN / <name> PUK
    std::string_view puk_required;  // +CME ERROR text once the lock is blocked
    int puk_required_code;
};

inline constexpr std::array<PersoKindInfo, kPersoKinds> kPersoKindTable{{
    {PersoKind::Network, "network", "PN", "PH-NET", "network personalization PUK required", 41},
    {PersoKind::NetworkSubset, "network_subset", "PU", "PH-NETSUB",
     "network subset personalization PUK required", 43},
    {PersoKind::ServiceProvider, "service_provider", "PP", "PH-SP",
     "service provider personalization PUK required", 45},
    {PersoKind::Corporate, "corporate", "PC", "PH-CORP", "corporate personalization PUK required",
     47},
    {PersoKind::Sim, "sim", "PS", "PH-FSIM", "PH-FSIM PUK required", 7},
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

    bool operator==(const SimFile&) const = default;
};

struct OwnNumber {
    std::string alpha;
    std::string number;
    int type = 129;  // 145 for an international number
};

struct SimProfile {
    std::string iccid;  // digits as printed on the card
    std::string imsi;
    std::vector<OwnNumber> numbers;
    std::string pin = "1234";
    std::string puk = "12345678";
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

    bool has_action() const {
        return answer || silent || hangup || delay_ms > 0 || !report_before.empty() ||
               !report_inside.empty() || !report_after.empty();
    }

    bool matches(std::string_view line) const;
};

// How the modem's bytes look on the wire: its line end, and NUL bytes of line noise.
enum class LineEnd { CrLf, Cr, Lf };

struct DeviceProfile {
    std::string imei = "356938035643809";
    bool echo = false;
    int cmee = 0;
    int cfun = 1;
    LineEnd line_end = LineEnd::CrLf;
    int nul_every = 0;  // a NUL byte after every this many bytes sent; 0: none
};

// "crlf", "cr" or "lf"; nothing for another word.
std::optional<LineEnd> line_end_named(std::string_view word);

struct Profile {
    DeviceProfile device;
    std::map<std::string, SimProfile> sims;
    std::string inserted = "default";  // empty: no SIM in the slot
    std::vector<ScriptRule> scripts;
};

// The built-in profile: one ready SIM named "default".
Profile default_profile();
// The SIM every profile entry starts from, with its files filled in.
SimProfile default_sim();

Profile parse_profile(std::string_view toml_text, const std::string& source_name);
Profile load_profile(const std::string& path);

// File contents derived from readable values.
std::vector<std::uint8_t> iccid_file(std::string_view digits);  // nibble-swapped BCD
std::vector<std::uint8_t> spn_file_gsm(std::string_view name, int display);
std::vector<std::uint8_t> spn_file_ucs2(std::string_view utf8_name, int display);
std::vector<std::uint8_t> pl_file(const std::vector<std::string>& languages);
std::vector<std::uint8_t> ad_file(int mnc_digits);

std::vector<std::uint8_t> hex_to_bytes(std::string_view hex);  // throws ProfileError
std::string bytes_to_hex(const std::vector<std::uint8_t>& bytes);

// Turns the escapes \r \n \t \\ \" and \xHH into their characters.
std::string unescape(std::string_view text);

// Well-known file ids by name, as a profile may write them.
inline constexpr std::string_view kFileIccid = "12258";
inline constexpr std::string_view kFilePl = "12037";
inline constexpr std::string_view kFileSpn = "28486";
inline constexpr std::string_view kFileAd = "28589";
inline constexpr std::string_view kFileSst = "7F20/28472";
inline constexpr std::string_view kFilePayType = "7F43/28418";

// Maps "spn", "pl", "ad", "sst", "paytype", "iccid" to the file key; other keys are returned
// upper-cased as written ("28486", "7F20/28472").
std::string file_key(std::string_view name);

}  // namespace orv::modem_sim
