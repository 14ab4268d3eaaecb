#include "tools/modem_sim/profile.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace orv::modem_sim {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::string upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

// GSM default alphabet code of a character, for the characters an operator name uses. Letters,
// digits, the blank and most punctuation have the same code as in ASCII.
std::optional<std::uint8_t> gsm_code(char c) {
    switch (c) {
        case '@':
            return 0x00;
        case '$':
            return 0x02;
        case '_':
            return 0x11;
        case '[':
        case ']':
        case '\\':
        case '^':
        case '`':
        case '{':
        case '|':
        case '}':
        case '~':
            return std::nullopt;  // escape-table characters, not one byte
        default:
            break;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
        return u;
    }
    return std::nullopt;
}

// Decodes UTF-8 into code points of the basic multilingual plane.
std::vector<std::uint16_t> utf8_to_ucs2(std::string_view s) {
    std::vector<std::uint16_t> out;
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::uint32_t cp = 0;
        std::size_t extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else {
            throw ProfileError("SPN name: only characters of the basic multilingual plane");
        }
        if (i + extra >= s.size()) {
            throw ProfileError("SPN name: truncated UTF-8");
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                throw ProfileError("SPN name: invalid UTF-8");
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        out.push_back(static_cast<std::uint16_t>(cp));
        i += extra + 1;
    }
    return out;
}

void pad_to(std::vector<std::uint8_t>& v, std::size_t n) {
    while (v.size() < n) {
        v.push_back(0xFF);
    }
}

}  // namespace

bool ScriptRule::matches(std::string_view line) const {
    if (count == 0) {
        return false;
    }
    if (prefix ? line.size() < match.size() : line.size() != match.size()) {
        return false;
    }
    for (std::size_t i = 0; i < match.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) !=
            std::toupper(static_cast<unsigned char>(match[i]))) {
            return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> hex_to_bytes(std::string_view hex) {
    std::string digits;
    for (char c : hex) {
        if (c == ' ') {
            continue;
        }
        if (hex_value(c) < 0) {
            throw ProfileError("not a hexadecimal text: " + std::string(hex));
        }
        digits.push_back(c);
    }
    if (digits.size() % 2 != 0) {
        throw ProfileError("odd number of hexadecimal digits: " + std::string(hex));
    }
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(hex_value(digits[i]) * 16 + hex_value(digits[i + 1])));
    }
    return out;
}

std::string bytes_to_hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        const char e = text[++i];
        switch (e) {
            case 'r':
                out.push_back('\r');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 't':
                out.push_back('\t');
                break;
            case '\\':
                out.push_back('\\');
                break;
            case '"':
                out.push_back('"');
                break;
            case 'x':
                if (i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
                    hex_value(text[i + 2]) >= 0) {
                    out.push_back(
                        static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
                    i += 2;
                    break;
                }
                out.append("\\x");
                break;
            default:
                out.push_back('\\');
                out.push_back(e);
                break;
        }
    }
    return out;
}

std::vector<std::uint8_t> iccid_file(std::string_view digits) {
    if (digits.size() > 20 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw ProfileError("ICCID must be up to 20 digits: " + std::string(digits));
    }
    std::string padded(digits);
    while (padded.size() < 20) {
        padded.push_back('F');
    }
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < 20; i += 2) {
        const int first = hex_value(padded[i]);
        const int second = hex_value(padded[i + 1]);
        if (first < 0 || second < 0) {
            throw ProfileError("ICCID is not made of digits: " + std::string(digits));
        }
        // The card keeps the first digit of each pair in the low nibble.
        out.push_back(static_cast<std::uint8_t>(second * 16 + first));
    }
    return out;
}

std::vector<std::uint8_t> spn_file_gsm(std::string_view name, int display) {
    if (name.size() > 16) {
        throw ProfileError("SPN longer than 16 characters: " + std::string(name));
    }
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(display)};
    for (char c : name) {
        const auto code = gsm_code(c);
        if (!code) {
            throw ProfileError("SPN character not in the GSM default alphabet: " +
                               std::string(name));
        }
        out.push_back(*code);
    }
    pad_to(out, 17);
    return out;
}

std::vector<std::uint8_t> spn_file_ucs2(std::string_view utf8_name, int display) {
    const auto chars = utf8_to_ucs2(utf8_name);
    if (chars.size() > 7) {
        throw ProfileError("UCS-2 SPN longer than 7 characters: " + std::string(utf8_name));
    }
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(display), 0x80};
    for (std::uint16_t c : chars) {
        out.push_back(static_cast<std::uint8_t>(c >> 8));
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    }
    pad_to(out, 17);
    return out;
}

std::vector<std::uint8_t> pl_file(const std::vector<std::string>& languages) {
    std::vector<std::uint8_t> out;
    for (const std::string& lang : languages) {
        if (lang.size() != 2) {
            throw ProfileError("language code must be two letters: " + lang);
        }
        for (char c : lang) {
            const auto code = gsm_code(c);
            if (!code) {
                throw ProfileError("language code not in the GSM alphabet: " + lang);
            }
            out.push_back(*code);
        }
    }
    pad_to(out, std::max<std::size_t>(out.size(), 4));
    return out;
}

std::vector<std::uint8_t> ad_file(int mnc_digits) {
    if (mnc_digits != 2 && mnc_digits != 3) {
        throw ProfileError("mnc_digits must be 2 or 3");
    }
    // Normal operation, no additional information, MNC length in the fourth byte.
    return {0x00, 0x00, 0x00, static_cast<std::uint8_t>(mnc_digits)};
}

std::string file_key(std::string_view name) {
    const std::string u = upper(name);
    if (u == "ICCID") {
        return std::string(kFileIccid);
    }
    if (u == "PL") {
        return std::string(kFilePl);
    }
    if (u == "SPN") {
        return std::string(kFileSpn);
    }
    if (u == "AD") {
        return std::string(kFileAd);
    }
    if (u == "SST") {
        return std::string(kFileSst);
    }
    if (u == "PAYTYPE") {
        return std::string(kFilePayType);
    }
    return u;
}

SimProfile default_sim() {
    SimProfile sim;
    sim.iccid = "8944123456789012345";
    sim.imsi = "234150123456789";
    sim.numbers = {{"", "+447700900123", 145}};
    sim.files[std::string(kFileIccid)] = {iccid_file(sim.iccid)};
    sim.files[std::string(kFileSpn)] = {spn_file_gsm("Orvio", 1)};
    sim.files[std::string(kFilePl)] = {pl_file({"en"})};
    sim.files[std::string(kFileAd)] = {ad_file(2)};
    // Services 1, 2 and 4 allocated and activated; service 3 (fixed dialling) allocated only.
    sim.files[std::string(kFileSst)] = {hex_to_bytes("DF3FFF0F0000000000")};
    return sim;
}

std::optional<LineEnd> line_end_named(std::string_view word) {
    if (word == "crlf") {
        return LineEnd::CrLf;
    }
    if (word == "cr") {
        return LineEnd::Cr;
    }
    if (word == "lf") {
        return LineEnd::Lf;
    }
    return std::nullopt;
}

Profile default_profile() {
    Profile p;
    p.sims["default"] = default_sim();
    p.inserted = "default";
    return p;
}

namespace {

class Reader {
  public:
    explicit Reader(std::string source) : source_(std::move(source)) {}

    [[noreturn]] void fail(const std::string& where, const std::string& what) const {
        throw ProfileError(source_ + ": " + where + ": " + what);
    }

    int get_int(const toml::node_view<const toml::node>& v, const std::string& where, int lo,
                int hi) const {
        const auto n = v.value<std::int64_t>();
        if (!n || !v.is_integer()) {
            fail(where, "expected an integer");
        }
        if (*n < lo || *n > hi) {
            fail(where, "out of range " + std::to_string(lo) + ".." + std::to_string(hi));
        }
        return static_cast<int>(*n);
    }

    std::string get_string(const toml::node_view<const toml::node>& v,
                           const std::string& where) const {
        if (!v.is_string()) {
            fail(where, "expected a text");
        }
        return *v.value<std::string>();
    }

    bool get_bool(const toml::node_view<const toml::node>& v, const std::string& where) const {
        if (!v.is_boolean()) {
            fail(where, "expected true or false");
        }
        return *v.value<bool>();
    }

    // Rejects keys a table should not hold, so that a misspelt entry is not silently ignored.
    void only_keys(const toml::table& t, const std::string& where,
                   std::initializer_list<std::string_view> keys) const {
        for (const auto& [k, v] : t) {
            (void)v;
            if (std::find(keys.begin(), keys.end(), k.str()) == keys.end()) {
                fail(where, "unknown entry '" + std::string(k.str()) + "'");
            }
        }
    }

    void read_device(const toml::table& t, DeviceProfile& d) const {
        only_keys(t, "device", {"imei", "echo", "cmee", "cfun", "line_end", "nul_every"});
        const toml::node_view<const toml::node> v{t};
        if (t.contains("imei")) {
            d.imei = get_string(v["imei"], "device.imei");
        }
        if (t.contains("echo")) {
            d.echo = get_bool(v["echo"], "device.echo");
        }
        if (t.contains("line_end")) {
            const auto end = line_end_named(get_string(v["line_end"], "device.line_end"));
            if (!end) {
                fail("device.line_end", "expected \"crlf\", \"cr\" or \"lf\"");
            }
            d.line_end = *end;
        }
        if (t.contains("nul_every")) {
            d.nul_every = get_int(v["nul_every"], "device.nul_every", 0, 1000000);
        }
        if (t.contains("cmee")) {
            d.cmee = get_int(v["cmee"], "device.cmee", 0, 2);
        }
        if (t.contains("cfun")) {
            d.cfun = get_int(v["cfun"], "device.cfun", 0, 4);
        }
    }

    void read_lock(const toml::table& t, const std::string& where, PersoLock& lock) const {
        only_keys(t, where, {"enabled", "key", "attempts", "max", "unblock_key"});
        const toml::node_view<const toml::node> v{t};
        lock.enabled = t.contains("enabled") ? get_bool(v["enabled"], where + ".enabled") : true;
        lock.key = t.contains("key") ? get_string(v["key"], where + ".key") : "12345678";
        if (t.contains("max")) {
            lock.max_attempts = get_int(v["max"], where + ".max", 0, 99);
        }
        lock.attempts = t.contains("attempts") ? get_int(v["attempts"], where + ".attempts", 0, 99)
                                               : lock.max_attempts;
        if (!t.contains("max")) {
            lock.max_attempts = std::max(lock.max_attempts, lock.attempts);
        }
        if (t.contains("unblock_key")) {
            lock.unblock_key = get_string(v["unblock_key"], where + ".unblock_key");
        }
    }

    void read_file(const toml::node& node, const std::string& where, SimProfile& sim,
                   const std::string& key) const {
        if (node.is_boolean()) {
            if (*node.value<bool>()) {
                fail(where, "a file is a hexadecimal text, a table, or false for absent");
            }
            sim.files.erase(key);
            return;
        }
        if (node.is_string()) {
            const std::string text = *node.value<std::string>();
            if (text == "absent") {
                sim.files.erase(key);
                return;
            }
            try {
                sim.files[key] = {hex_to_bytes(text)};
            } catch (const ProfileError& e) {
                fail(where, e.what());
            }
            return;
        }
        if (const toml::table* t = node.as_table()) {
            only_keys(*t, where, {"hex", "sw"});
            const toml::node_view<const toml::node> v{*t};
            SimFile f;
            if (t->contains("hex")) {
                try {
                    f.data = hex_to_bytes(get_string(v["hex"], where + ".hex"));
                } catch (const ProfileError& e) {
                    fail(where, e.what());
                }
            }
            if (t->contains("sw")) {
                const toml::array* sw = v["sw"].as_array();
                if (sw == nullptr || sw->size() != 2) {
                    fail(where + ".sw", "expected two status words, e.g. [106, 130]");
                }
                f.sw1 = get_int(v["sw"][0], where + ".sw", 0, 255);
                f.sw2 = get_int(v["sw"][1], where + ".sw", 0, 255);
            }
            sim.files[key] = f;
            return;
        }
        fail(where, "a file is a hexadecimal text, a table, or false for absent");
    }

    SimProfile read_sim(const toml::table& t, const std::string& where) const {
        only_keys(t, where,
                  {"iccid",         "imsi",        "numbers",      "pin",        "puk",
                   "pin_attempts",  "pin_max",     "puk_attempts", "puk_max",    "pin2_attempts",
                   "puk2_attempts", "pin_lock",    "failure",      "busy",       "spn",
                   "spn_ucs2",      "spn_display", "languages",    "mnc_digits", "locks",
                   "files"});
        const toml::node_view<const toml::node> v{t};
        SimProfile sim = default_sim();
        auto opt_int = [&](const char* k, int& out, int lo, int hi) {
            if (t.contains(k)) {
                out = get_int(v[k], where + "." + k, lo, hi);
            }
        };
        auto opt_str = [&](const char* k, std::string& out) {
            if (t.contains(k)) {
                out = get_string(v[k], where + "." + k);
            }
        };
        try {
            if (t.contains("iccid")) {
                sim.iccid = get_string(v["iccid"], where + ".iccid");
                sim.files[std::string(kFileIccid)] = {iccid_file(sim.iccid)};
            }
            opt_str("imsi", sim.imsi);
            opt_str("pin", sim.pin);
            opt_str("puk", sim.puk);
            opt_int("pin_max", sim.pin_max, 0, 99);
            opt_int("puk_max", sim.puk_max, 0, 99);
            sim.pin_attempts = sim.pin_max;
            sim.puk_attempts = sim.puk_max;
            opt_int("pin_attempts", sim.pin_attempts, 0, 99);
            opt_int("puk_attempts", sim.puk_attempts, 0, 99);
            opt_int("pin2_attempts", sim.pin2_attempts, 0, 99);
            opt_int("puk2_attempts", sim.puk2_attempts, 0, 99);
            opt_int("busy", sim.busy, 0, 100000);
            if (t.contains("pin_lock")) {
                sim.pin_lock = get_bool(v["pin_lock"], where + ".pin_lock");
            }
            if (t.contains("failure")) {
                sim.failure = get_bool(v["failure"], where + ".failure");
            }
            int display = 1;
            opt_int("spn_display", display, 0, 255);
            if (t.contains("spn") && t.contains("spn_ucs2")) {
                fail(where, "give either spn or spn_ucs2");
            }
            if (t.contains("spn")) {
                sim.files[std::string(kFileSpn)] = {
                    spn_file_gsm(get_string(v["spn"], where + ".spn"), display)};
            } else if (t.contains("spn_ucs2")) {
                sim.files[std::string(kFileSpn)] = {
                    spn_file_ucs2(get_string(v["spn_ucs2"], where + ".spn_ucs2"), display)};
            } else if (t.contains("spn_display")) {
                sim.files[std::string(kFileSpn)].data.at(0) = static_cast<std::uint8_t>(display);
            }
            if (t.contains("languages")) {
                const toml::array* arr = v["languages"].as_array();
                if (arr == nullptr) {
                    fail(where + ".languages", "expected a list such as [\"en\", \"de\"]");
                }
                std::vector<std::string> langs;
                for (std::size_t i = 0; i < arr->size(); ++i) {
                    langs.push_back(get_string(v["languages"][i], where + ".languages"));
                }
                sim.files[std::string(kFilePl)] = {pl_file(langs)};
            }
            if (t.contains("mnc_digits")) {
                sim.files[std::string(kFileAd)] = {
                    ad_file(get_int(v["mnc_digits"], where + ".mnc_digits", 2, 3))};
            }
        } catch (const ProfileError& e) {
            const std::string msg = e.what();
            if (msg.rfind(source_, 0) == 0) {
                throw;
            }
            fail(where, msg);
        }
        if (t.contains("numbers")) {
            const toml::array* arr = v["numbers"].as_array();
            if (arr == nullptr || arr->size() > 2) {
                fail(where + ".numbers", "expected a list of at most two numbers");
            }
            sim.numbers.clear();
            for (std::size_t i = 0; i < arr->size(); ++i) {
                const auto item = v["numbers"][i];
                OwnNumber n;
                if (item.is_string()) {
                    n.number = *item.value<std::string>();
                } else if (const toml::table* nt = item.as_table()) {
                    only_keys(*nt, where + ".numbers", {"alpha", "number", "type"});
                    if (nt->contains("alpha")) {
                        n.alpha = get_string(item["alpha"], where + ".numbers.alpha");
                    }
                    n.number = get_string(item["number"], where + ".numbers.number");
                    n.type = -1;
                    if (nt->contains("type")) {
                        n.type = get_int(item["type"], where + ".numbers.type", 0, 255);
                    }
                } else {
                    fail(where + ".numbers", "a number is a text or {alpha, number, type}");
                }
                if (n.type < 0 || item.is_string()) {
                    n.type = (!n.number.empty() && n.number[0] == '+') ? 145 : 129;
                }
                sim.numbers.push_back(n);
            }
        }
        if (t.contains("locks")) {
            const toml::table* locks = v["locks"].as_table();
            if (locks == nullptr) {
                fail(where + ".locks", "expected a table");
            }
            for (const auto& [k, node] : *locks) {
                const std::string_view lock_name = k.str();
                const auto info = std::find_if(
                    kPersoKindTable.begin(), kPersoKindTable.end(),
                    [lock_name](const PersoKindInfo& i) { return i.profile_name == lock_name; });
                if (info == kPersoKindTable.end() || !node.is_table()) {
                    fail(where + ".locks", "unknown lock '" + std::string(k.str()) +
                                               "' (network, network_subset, service_provider, "
                                               "corporate, sim)");
                }
                read_lock(*node.as_table(), where + ".locks." + std::string(k.str()),
                          sim.locks[static_cast<std::size_t>(info->kind)]);
            }
        }
        if (t.contains("files")) {
            const toml::table* files = v["files"].as_table();
            if (files == nullptr) {
                fail(where + ".files", "expected a table");
            }
            for (const auto& [k, node] : *files) {
                const std::string key = file_key(k.str());
                if (key == kFileIccid && node.is_string() && t.contains("iccid")) {
                    fail(where + ".files", "give either iccid digits or the iccid file");
                }
                read_file(node, where + ".files." + std::string(k.str()), sim, key);
            }
        }
        return sim;
    }

    ScriptRule read_script(const toml::table& t, const std::string& where) const {
        only_keys(t, where,
                  {"match", "prefix", "answer", "silent", "hangup", "delay", "count",
                   "report_before", "report_inside", "report_after"});
        const toml::node_view<const toml::node> v{t};
        ScriptRule r;
        r.match = get_string(v["match"], where + ".match");
        if (!r.match.empty() && r.match.back() == '*') {
            r.match.pop_back();
            r.prefix = true;
        }
        if (t.contains("prefix")) {
            r.prefix = get_bool(v["prefix"], where + ".prefix");
        }
        if (t.contains("answer")) {
            r.answer = unescape(get_string(v["answer"], where + ".answer"));
        }
        if (t.contains("silent")) {
            r.silent = get_bool(v["silent"], where + ".silent");
        }
        if (t.contains("hangup")) {
            r.hangup = get_bool(v["hangup"], where + ".hangup");
        }
        if (t.contains("delay")) {
            r.delay_ms = get_int(v["delay"], where + ".delay", 0, 600000);
        }
        if (t.contains("count")) {
            r.count = get_int(v["count"], where + ".count", 1, 1000000);
        }
        for (auto [key, field] : {std::pair{"report_before", &r.report_before},
                                  std::pair{"report_inside", &r.report_inside},
                                  std::pair{"report_after", &r.report_after}}) {
            if (t.contains(key)) {
                *field = unescape(get_string(v[key], where + "." + key));
            }
        }
        if (!r.has_action()) {
            fail(where, "a script needs answer, silent, hangup, delay or a report");
        }
        return r;
    }

    Profile read(const toml::table& root) const {
        only_keys(root, "top level", {"inserted", "device", "sim", "script"});
        const toml::node_view<const toml::node> v{root};
        Profile p;
        p.sims.clear();
        if (root.contains("device")) {
            const toml::table* d = v["device"].as_table();
            if (d == nullptr) {
                fail("device", "expected a table");
            }
            read_device(*d, p.device);
        }
        if (root.contains("sim")) {
            const toml::table* sims = v["sim"].as_table();
            if (sims == nullptr) {
                fail("sim", "expected tables such as [sim.default]");
            }
            for (const auto& [k, node] : *sims) {
                if (!node.is_table()) {
                    fail("sim." + std::string(k.str()), "expected a table");
                }
                p.sims[std::string(k.str())] =
                    read_sim(*node.as_table(), "sim." + std::string(k.str()));
            }
        } else {
            p.sims["default"] = default_sim();
        }
        if (root.contains("inserted")) {
            p.inserted = get_string(v["inserted"], "inserted");
        } else {
            p.inserted = p.sims.count("default") != 0 ? "default" : p.sims.begin()->first;
        }
        if (!p.inserted.empty() && p.sims.count(p.inserted) == 0) {
            fail("inserted", "no SIM named '" + p.inserted + "'");
        }
        if (root.contains("script")) {
            const toml::array* arr = v["script"].as_array();
            if (arr == nullptr) {
                fail("script", "expected [[script]] entries");
            }
            for (std::size_t i = 0; i < arr->size(); ++i) {
                const toml::table* t = v["script"][i].as_table();
                if (t == nullptr) {
                    fail("script", "expected [[script]] entries");
                }
                p.scripts.push_back(read_script(*t, "script[" + std::to_string(i) + "]"));
            }
        }
        return p;
    }

  private:
    std::string source_;
};

}  // namespace

Profile parse_profile(std::string_view toml_text, const std::string& source_name) {
    toml::table root;
    try {
        root = toml::parse(toml_text, source_name);
    } catch (const toml::parse_error& e) {
        std::ostringstream msg;
        msg << source_name << ":" << e.source().begin.line << ":" << e.source().begin.column << ": "
            << e.description();
        throw ProfileError(msg.str());
    }
    return Reader(source_name).read(root);
}

Profile load_profile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ProfileError(path + ": cannot open");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse_profile(text.str(), path);
}

}  // namespace orv::modem_sim
