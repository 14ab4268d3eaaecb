// orv_trace redact: the private values of a trace (codes, ICCID, IMSI, own number, IMEI) found
// where the daemon receives or publishes them, then replaced in every byte string of every record,
// so that the same value reads the same everywhere and the trace still replays.
#include <algorithm>
#include <map>
#include <set>

#include "tools/client/orv_client.h"
#include "tools/trace/commands.h"
#include "wire/mdm_msg.h"

namespace orv::trace {

namespace {

enum class Sort { kCode, kIccid, kImsi, kNumber, kImei };

// Characters kept at the start: the ICCID's industry and country digits choose the language,
// the IMSI's MCC and MNC the home network, the IMEI's type allocation code the modem's model.
constexpr std::size_t kIccidKept = 6;
constexpr std::size_t kImsiKept = 6;
constexpr std::size_t kImeiKept = 8;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The first run of 14 to 17 digits in `text` (an IMEI, with or without its check digit or
// software version, whatever prefix or quotes a modem puts around it); empty when none.
std::string_view imei_in(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t end = i;
        while (end < text.size() && is_digit(text[end])) {
            ++end;
        }
        if (end - i >= 14 && end - i <= 17) {
            return text.substr(i, end - i);
        }
        i = end == i ? i + 1 : end;
    }
    return {};
}

// The SIM keeps each ICCID byte low digit first: the characters of each pair exchanged.
std::string swap_pairs(std::string_view text) {
    std::string out(text);
    for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
        std::swap(out[i], out[i + 1]);
    }
    return out;
}

std::string unquoted(std::string_view text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
    }
    return std::string(text);
}

// The arguments of an AT command after `=`, split at the commas outside quotes.
std::vector<std::string> arguments(std::string_view text) {
    std::vector<std::string> out(1);
    bool quoted = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            break;
        }
        if (c == '"') {
            quoted = !quoted;
        }
        if (c == ',' && !quoted) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

class Finder {
  public:
    void add(std::string_view value, Sort sort) {
        bool digits = false;
        for (char c : value) {
            digits = digits || is_digit(c);
        }
        if (digits) {
            found_.emplace(std::string(value), sort);
        }
    }

    void record(const Record& rec) {
        switch (rec.kind) {
            case Kind::kReq:
                end_command();
                request(static_cast<std::uint32_t>(rec.num("id")), rec.str("m"));
                break;
            case Kind::kCmd:
                end_command();
                command_ = rec.str("c");
                at_codes(command_);
                break;
            case Kind::kTx:
                at_codes(rec.str("b"));
                break;
            case Kind::kRx:
                answer_ += rec.str("b");
                break;
            case Kind::kAns:
                answer_ += "\n" + rec.str("a");
                break;
            case Kind::kIdle:
                end_command();
                break;
            case Kind::kPreset:
            case Kind::kRead:
            case Kind::kWrite:
                if (const Value* v = rec.find("v");
                    v != nullptr && v->type == Value::Type::kString) {
                    stored(rec.str("n"), v->text);
                }
                break;
            case Kind::kNotify:
                notification(rec.str("b"));
                break;
            default:
                break;
        }
    }

    void end_command() {
        for (const std::string& l : client::split_lines(answer_)) {
            if (command_.starts_with("AT+CRSM=176,12258,")) {
                const std::size_t close = l.rfind('"');
                const std::size_t open = close == 0 || close == std::string::npos
                                             ? std::string::npos
                                             : l.rfind('"', close - 1);
                if (l.starts_with("+CRSM:") && open != std::string::npos) {
                    add(swap_pairs(l.substr(open + 1, close - open - 1)), Sort::kIccid);
                }
            } else if (command_ == "AT+CIMI") {
                if (l.size() >= kImsiKept && l.find_first_not_of("0123456789") == l.npos) {
                    add(l, Sort::kImsi);
                }
            } else if (command_ == "AT+CGSN") {
                add(imei_in(l), Sort::kImei);
            } else if (command_.starts_with("AT+CNUM")) {
                const std::vector<std::string> args = arguments(l);
                if (l.starts_with("+CNUM:") && args.size() >= 2) {
                    add(unquoted(args[1]), Sort::kNumber);
                }
            }
        }
        command_.clear();
        answer_.clear();
    }

    const std::map<std::string, Sort>& found() const { return found_; }

  private:
    // The codes of the PIN, lock and unlock requests, at their places in the payload.
    void request(std::uint32_t id, std::string_view datagram) {
        if (datagram.size() <= msg::kIdSize) {
            return;
        }
        const std::string_view payload = datagram.substr(msg::kIdSize);
        static constexpr std::pair<std::uint32_t, msg::TextField> kCodes[] = {
            {msg::ORV_MDM_VERIFY_PIN, msg::verify_pin::kCode},
            {msg::ORV_MDM_VERIFY_PIN, msg::verify_pin::kNewPin},
            {msg::ORV_MDM_CHANGE_PIN, msg::change_pin::kOldPin},
            {msg::ORV_MDM_CHANGE_PIN, msg::change_pin::kNewPin},
            {msg::ORV_MDM_PIN_MODE, msg::pin_mode::kPin},
            {msg::ORV_MDM_NET_UNLOCK, msg::net_unlock::kCode},
        };
        for (const auto& [request, field] : kCodes) {
            if (request == id) {
                add(client::field_text(payload, field), Sort::kCode);
            }
        }
    }

    // Passwords of PIN entry, PIN change and facility locks: every argument of +CPIN, those of
    // +CPWD after the facility and those of +CLCK after the facility and the mode.
    void at_codes(std::string_view text) {
        struct Site {
            std::string_view prefix;
            std::size_t first;
        };
        for (const Site& site : {Site{"AT+CPIN=", 0}, Site{"AT+CPWD=", 1}, Site{"AT+CLCK=", 2}}) {
            for (std::size_t at = text.find(site.prefix); at != text.npos;
                 at = text.find(site.prefix, at + 1)) {
                const std::vector<std::string> args =
                    arguments(text.substr(at + site.prefix.size()));
                for (std::size_t i = site.first; i < args.size(); ++i) {
                    add(unquoted(args[i]), Sort::kCode);
                }
            }
        }
    }

    void stored(std::string_view name, std::string_view value) {
        if (name == "pin_code") {
            add(value, Sort::kCode);
        } else if (name == "sim_iccid" || name == "iccid") {
            add(value, Sort::kIccid);
        } else if (name == "sim_imsi") {
            add(value, Sort::kImsi);
        } else if (name == "msisdn") {
            add(value, Sort::kNumber);
        } else if (name == "imei") {
            add(imei_in(value), Sort::kImei);
        }
    }

    void notification(std::string_view d) {
        constexpr auto kCall = msg::notify::kApnSimMsg;
        if (d.size() < msg::notify::size_of(kCall) ||
            msg::load_u32(reinterpret_cast<const unsigned char*>(d.data())) != kCall) {
            return;
        }
        add(client::field_text(d, msg::notify::kApnImsi), Sort::kImsi);
        add(client::field_text(d, msg::notify::kApnIccid), Sort::kIccid);
    }

    std::map<std::string, Sort> found_;
    std::string command_;
    std::string answer_;
};

std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// `value` with its digits after the first `kept` characters drawn from a hash of the value and
// `salt`; every other character stays.
std::string disguise(std::string_view value, std::size_t kept, std::uint64_t salt) {
    std::uint64_t h = 0xcbf29ce484222325ull ^ mix(salt);
    for (char c : value) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    }
    std::string out(value);
    for (std::size_t i = kept; i < out.size(); ++i) {
        if (is_digit(out[i])) {
            h = mix(h);
            out[i] = static_cast<char>('0' + h % 10);
        }
    }
    return out;
}

using Substitutions = std::vector<std::pair<std::string, std::string>>;

// Every occurrence of a value that does not stand inside a longer run of digits, the longest
// value first where several start at the same place.
std::string substitute(std::string_view text, const Substitutions& subs) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const bool digit_before = i > 0 && is_digit(text[i - 1]);
        bool replaced = false;
        for (const auto& [from, to] : subs) {
            const std::size_t end = i + from.size();
            if (text.compare(i, from.size(), from) != 0 || (digit_before && is_digit(from[0])) ||
                (end < text.size() && is_digit(text[end]) && is_digit(from.back()))) {
                continue;
            }
            out += to;
            i = end;
            replaced = true;
            break;
        }
        if (!replaced) {
            out += text[i++];
        }
    }
    return out;
}

}  // namespace

std::string describe(const RedactCounts& counts) {
    auto part = [](std::size_t n, std::string_view one, std::string_view many) {
        return std::to_string(n) + " " + std::string(n == 1 ? one : many);
    };
    return "redacted: " + part(counts.codes, "code", "codes") + ", " +
           part(counts.iccids, "ICCID", "ICCIDs") + ", " + part(counts.imsis, "IMSI", "IMSIs") +
           ", " + part(counts.numbers, "number", "numbers") + ", " +
           part(counts.imeis, "IMEI", "IMEIs");
}

RedactCounts redact(std::vector<Record>& records) {
    Finder finder;
    for (const Record& rec : records) {
        finder.record(rec);
    }
    finder.end_command();

    std::set<std::string> taken;  // every private value and every replacement
    for (const auto& [value, sort] : finder.found()) {
        taken.insert(value);
        if (sort == Sort::kIccid) {
            taken.insert(swap_pairs(value));
        }
    }
    RedactCounts counts;
    std::map<std::string, std::string> plan;
    for (const auto& [value, sort] : finder.found()) {
        const std::size_t kept = sort == Sort::kIccid  ? kIccidKept
                                 : sort == Sort::kImsi ? kImsiKept
                                 : sort == Sort::kImei ? kImeiKept
                                                       : 0;
        if (value.size() <= kept || std::none_of(value.begin() + static_cast<std::ptrdiff_t>(kept),
                                                 value.end(), is_digit)) {
            continue;  // nothing private past the kept prefix
        }
        // A short code has few replacements; after that many tries a taken one is used.
        constexpr std::uint64_t kTries = 1000;
        std::string replacement = disguise(value, kept, 0);
        for (std::uint64_t salt = 1; salt < kTries && taken.count(replacement) != 0; ++salt) {
            replacement = disguise(value, kept, salt);
        }
        taken.insert(replacement);
        plan.emplace(value, replacement);
        if (sort == Sort::kIccid) {
            plan.emplace(swap_pairs(value), swap_pairs(replacement));
        }
        ++(sort == Sort::kCode    ? counts.codes
           : sort == Sort::kIccid ? counts.iccids
           : sort == Sort::kImsi  ? counts.imsis
           : sort == Sort::kImei  ? counts.imeis
                                  : counts.numbers);
    }

    Substitutions subs(plan.begin(), plan.end());
    std::stable_sort(subs.begin(), subs.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    for (Record& rec : records) {
        for (Field& f : rec.fields) {
            if (f.value.type == Value::Type::kString) {
                f.value.text = substitute(f.value.text, subs);
            }
            for (std::optional<std::string>& cell : f.value.row) {
                if (cell) {
                    cell = substitute(*cell, subs);
                }
            }
        }
    }
    return counts;
}

}  // namespace orv::trace
