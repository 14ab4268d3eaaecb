#include "tools/modem_sim/modem_sim.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <optional>
#include <sstream>

namespace orv::modem_sim {

namespace {

// +CME ERROR codes and texts (3GPP TS 27.007 numbering; 262 is the vendor code of a SIM whose
// PUK is used up).
struct Cme {
    int code;
    std::string_view text;
};
constexpr Cme kNotAllowed{3, "operation not allowed"};
constexpr Cme kNotSupported{4, "operation not supported"};
constexpr Cme kNotInserted{10, "SIM not inserted"};
constexpr Cme kSimPinRequired{11, "SIM PIN required"};
constexpr Cme kSimPukRequired{12, "SIM PUK required"};
constexpr Cme kSimFailure{13, "SIM failure"};
constexpr Cme kSimBusy{14, "SIM busy"};
constexpr Cme kIncorrectPassword{16, "incorrect password"};
constexpr Cme kIncorrectParameters{50, "Incorrect parameters"};
constexpr Cme kUnknown{100, "unknown"};
constexpr Cme kPukBlocked{262, "SIM invalid - PUK blocked"};

// Status words of a SIM read that went wrong.
constexpr int kSwSecurity1 = 105, kSwSecurity2 = 130;      // 6982: security status not satisfied
constexpr int kSwNotFound1 = 148, kSwNotFound2 = 4;        // 9404: file not found
constexpr int kSwWrongOffset1 = 107, kSwWrongOffset2 = 0;  // 6B00: offset beyond the file
constexpr int kSwWrongLength1 = 103, kSwWrongLength2 = 0;  // 6700: more bytes than the file has
constexpr int kSwBadInstruction1 = 109, kSwBadInstruction2 = 0;  // 6D00

// Files the card lets anyone read; every other file needs the PIN first.
constexpr std::string_view kFreeFiles[] = {kFileIccid, kFilePl, kFileSpn, kFileAd};

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

std::optional<int> to_int(std::string_view s) {
    int v = 0;
    s = trim(s);
    if (s.empty()) {
        return std::nullopt;
    }
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size()) {
        return std::nullopt;
    }
    return v;
}

bool is_pin_text(std::string_view s, std::size_t lo, std::size_t hi) {
    return s.size() >= lo && s.size() <= hi &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

struct Arg {
    std::string text;
    bool quoted = false;
};

// Splits the parameters of a set command: comma-separated, double-quoted texts unquoted.
std::optional<std::vector<Arg>> split_args(std::string_view s) {
    std::vector<Arg> out;
    Arg cur;
    bool in_quotes = false;
    bool after_quote = false;
    for (char c : s) {
        if (in_quotes) {
            if (c == '"') {
                in_quotes = false;
                after_quote = true;
            } else {
                cur.text.push_back(c);
            }
            continue;
        }
        if (c == ',') {
            out.push_back(cur);
            cur = Arg{};
            after_quote = false;
        } else if (c == '"') {
            if (after_quote || !trim(cur.text).empty()) {
                return std::nullopt;
            }
            cur.text.clear();
            cur.quoted = true;
            in_quotes = true;
        } else if (after_quote) {
            if (c != ' ') {
                return std::nullopt;
            }
        } else {
            cur.text.push_back(c);
        }
    }
    if (in_quotes) {
        return std::nullopt;
    }
    if (!cur.quoted) {
        cur.text = std::string(trim(cur.text));
    }
    out.push_back(cur);
    for (Arg& a : out) {
        if (!a.quoted) {
            a.text = std::string(trim(a.text));
        }
    }
    return out;
}

// The command form that follows a command name.
enum class Form { Exec, Query, Test, Set };

Form form_of(std::string_view tail, std::string_view& params) {
    params = {};
    if (tail.empty()) {
        return Form::Exec;
    }
    if (tail == "?") {
        return Form::Query;
    }
    if (tail == "=?") {
        return Form::Test;
    }
    if (tail.front() == '=') {
        params = tail.substr(1);
        return Form::Set;
    }
    return Form::Exec;  // anything else after the name is an error for the handler
}

const PersoKindInfo& perso_info(std::size_t index) {
    return kPersoKindTable[index];
}

}  // namespace

std::vector<std::string> LineSplitter::push(std::string_view bytes) {
    std::vector<std::string> lines;
    for (char c : bytes) {
        if (c == '\r' || c == '\n') {
            if (!pending_.empty()) {
                lines.push_back(pending_);
                pending_.clear();
            }
            continue;
        }
        if (pending_.size() < 4096) {  // a runaway line without an end is cut, not grown
            pending_.push_back(c);
        }
    }
    return lines;
}

const char* sim_state_name(SimState s) {
    switch (s) {
        case SimState::Absent:
            return "absent";
        case SimState::Failure:
            return "failure";
        case SimState::Blocked:
            return "blocked";
        case SimState::Ready:
            return "READY";
        case SimState::Pin:
            return "SIM PIN";
        case SimState::Puk:
            return "SIM PUK";
        case SimState::PersoPin:
            return "PH PIN";
        case SimState::PersoPuk:
            return "PH PUK";
    }
    return "?";
}

ModemSim::ModemSim(Profile profile)
    : profile_(std::move(profile)),
      echo_(profile_.device.echo),
      cmee_(profile_.device.cmee),
      cfun_(profile_.device.cfun),
      line_end_(profile_.device.line_end),
      nul_every_(profile_.device.nul_every) {
    rules_ = profile_.scripts;
    if (!profile_.inserted.empty()) {
        insert(profile_.inserted);
    }
}

std::string ModemSim::insert(const std::string& sim_name) {
    const auto it = profile_.sims.find(sim_name);
    if (it == profile_.sims.end()) {
        return "no SIM named '" + sim_name + "'";
    }
    auto [card_it, fresh] = cards_.try_emplace(sim_name);
    if (fresh) {
        card_it->second.profile = it->second;
    }
    // A card that comes back keeps its counters and PIN, but has to be unlocked again.
    Card& c = card_it->second;
    c.pin_verified = false;
    c.perso_passed.fill(false);
    c.busy = it->second.busy;
    inserted_ = sim_name;
    return {};
}

void ModemSim::remove() {
    inserted_.clear();
}

void ModemSim::add_rule(ScriptRule rule) {
    rules_.push_back(std::move(rule));
}

void ModemSim::clear_rules() {
    rules_.clear();
}

std::string ModemSim::set_busy(int count) {
    Card* c = card();
    if (c == nullptr) {
        return "no SIM inserted";
    }
    c->busy = std::max(0, count);
    return {};
}

ModemSim::Card* ModemSim::card() {
    if (inserted_.empty()) {
        return nullptr;
    }
    const auto it = cards_.find(inserted_);
    return it == cards_.end() ? nullptr : &it->second;
}

const ModemSim::Card* ModemSim::card() const {
    if (inserted_.empty()) {
        return nullptr;
    }
    const auto it = cards_.find(inserted_);
    return it == cards_.end() ? nullptr : &it->second;
}

int ModemSim::waiting_lock() const {
    const Card* c = card();
    if (c == nullptr) {
        return -1;
    }
    for (std::size_t i = 0; i < kPersoKinds; ++i) {
        if (c->profile.locks[i].enabled && !c->perso_passed[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

SimState ModemSim::sim_state() const {
    const Card* c = card();
    if (c == nullptr) {
        return SimState::Absent;
    }
    if (c->profile.failure) {
        return SimState::Failure;
    }
    if (c->puk_blocked) {
        return SimState::Blocked;
    }
    if (c->profile.pin_attempts == 0) {
        return SimState::Puk;
    }
    if (c->profile.pin_lock && !c->pin_verified) {
        return SimState::Pin;
    }
    const int lock = waiting_lock();
    if (lock >= 0) {
        return c->profile.locks[static_cast<std::size_t>(lock)].attempts == 0 ? SimState::PersoPuk
                                                                              : SimState::PersoPin;
    }
    return SimState::Ready;
}

std::string ModemSim::ok() const {
    return "\r\nOK\r\n";
}

std::string ModemSim::info(std::string_view line) const {
    return "\r\n" + std::string(line) + "\r\n";
}

std::string ModemSim::error() const {
    return "\r\nERROR\r\n";
}

std::string ModemSim::cme(int code, std::string_view text) const {
    switch (cmee_) {
        case 1:
            return "\r\n+CME ERROR: " + std::to_string(code) + "\r\n";
        case 2:
            return "\r\n+CME ERROR: " + std::string(text) + "\r\n";
        default:
            return error();
    }
}

// Refuses a SIM command the card cannot serve now: no card, a broken card, a card still busy
// starting up, a card whose PUK is used up, and (when the command needs it) a card that still
// waits for its PIN or PUK. Returns the error answer, or "" when the command may go ahead.
std::string ModemSim::sim_gate(bool needs_pin, bool allow_blocked) {
    const SimState s = sim_state();
    if (s == SimState::Absent) {
        return cme(kNotInserted.code, kNotInserted.text);
    }
    if (s == SimState::Failure) {
        return cme(kSimFailure.code, kSimFailure.text);
    }
    Card* c = card();
    if (c->busy > 0) {
        --c->busy;
        return cme(kSimBusy.code, kSimBusy.text);
    }
    if (s == SimState::Blocked && !allow_blocked) {
        return cme(kPukBlocked.code, kPukBlocked.text);
    }
    if (needs_pin && s == SimState::Pin) {
        return cme(kSimPinRequired.code, kSimPinRequired.text);
    }
    if (needs_pin && s == SimState::Puk) {
        return cme(kSimPukRequired.code, kSimPukRequired.text);
    }
    return {};
}

// A wrong PIN costs one attempt; the last one leaves the card waiting for its PUK.
std::string ModemSim::wrong_pin(Card& c) {
    if (c.profile.pin_attempts > 0) {
        --c.profile.pin_attempts;
    }
    if (c.profile.pin_attempts == 0) {
        c.pin_verified = false;
        return cme(kSimPukRequired.code, kSimPukRequired.text);
    }
    return cme(kIncorrectPassword.code, kIncorrectPassword.text);
}

Reply ModemSim::feed(std::string_view raw) {
    const std::string_view line = trim(raw);
    Reply reply;
    if (line.empty()) {
        return reply;
    }
    const std::string echo = echo_ ? std::string(raw) + "\r" : std::string();
    // The newest rule that matches and has uses left decides.
    const ScriptRule* rule = nullptr;
    for (auto it = rules_.rbegin(); it != rules_.rend() && rule == nullptr; ++it) {
        if (it->matches(line)) {
            if (it->count > 0) {
                --it->count;
            }
            rule = &*it;
        }
    }
    if (rule == nullptr) {
        reply.bytes = echo + dispatch(line);
        return reply;
    }
    reply.delay_ms = rule->delay_ms;
    if (rule->hangup) {
        reply.kind = Reply::Kind::Hangup;
        return reply;
    }
    if (rule->silent) {
        reply.kind = Reply::Kind::Silent;
        reply.bytes = echo;
        return reply;
    }
    // A delay or reports alone: the modem's own answer, later or with company.
    std::string answer = rule->answer ? *rule->answer : dispatch(line);
    const auto framed = [](const std::string& report) {
        return report.empty() ? report : "\r\n" + report + "\r\n";
    };
    // Inside: before the final line, which the last CR LF pair but the closing one begins.
    const std::size_t final_at =
        answer.size() >= 4 ? answer.rfind("\r\n", answer.size() - 3) : std::string::npos;
    answer.insert(final_at == std::string::npos ? 0 : final_at, framed(rule->report_inside));
    reply.bytes = echo + framed(rule->report_before) + answer + framed(rule->report_after);
    return reply;
}

std::string ModemSim::on_the_wire(std::string_view bytes) const {
    std::string out;
    out.reserve(bytes.size() + (nul_every_ > 0 ? bytes.size() / nul_every_ + 1 : 0));
    std::size_t since_nul = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const bool crlf = bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n';
        if (crlf && line_end_ != LineEnd::CrLf) {
            out += line_end_ == LineEnd::Cr ? '\r' : '\n';
            ++i;
        } else {
            out += bytes[i];
        }
        if (nul_every_ > 0 && ++since_nul == static_cast<std::size_t>(nul_every_)) {
            out += '\0';
            since_nul = 0;
        }
    }
    return out;
}

std::string ModemSim::dispatch(std::string_view line) {
    if (line.size() < 2 || upper(line.substr(0, 2)) != "AT") {
        return error();
    }
    const std::string_view rest = line.substr(2);
    const std::string rest_up = upper(rest);
    if (rest.empty()) {
        return ok();
    }
    if (rest_up == "E0" || rest_up == "E") {
        echo_ = false;
        return ok();
    }
    if (rest_up == "E1") {
        echo_ = true;
        return ok();
    }
    if (rest.front() != '+') {
        return error();
    }
    const std::size_t end = rest.find_first_of("=?");
    const std::string name =
        upper(rest.substr(1, end == std::string_view::npos ? rest.size() - 1 : end - 1));
    const std::string_view tail =
        end == std::string_view::npos ? std::string_view{} : rest.substr(end);

    using Handler = std::string (ModemSim::*)(std::string_view);
    struct Row {
        std::string_view name;
        Handler handler;
    };
    static constexpr Row kCommands[] = {
        {"CPIN", &ModemSim::cmd_cpin},     {"EPINC", &ModemSim::cmd_epinc},
        {"CPWD", &ModemSim::cmd_cpwd},     {"CLCK", &ModemSim::cmd_clck},
        {"ESMLCK", &ModemSim::cmd_esmlck}, {"CRSM", &ModemSim::cmd_crsm},
        {"CIMI", &ModemSim::cmd_cimi},     {"CNUM", &ModemSim::cmd_cnum},
        {"CFUN", &ModemSim::cmd_cfun},     {"CMEE", &ModemSim::cmd_cmee},
        {"EGTYPE", &ModemSim::cmd_egtype}, {"CGSN", &ModemSim::cmd_cgsn},
    };
    for (const Row& row : kCommands) {
        if (row.name == name) {
            if (tail == "=?") {
                return ok();
            }
            return (this->*row.handler)(tail);
        }
    }
    return error();
}

std::string ModemSim::cmd_cpin(std::string_view tail) {
    std::string_view params;
    const Form f = form_of(tail, params);
    if (f == Form::Query) {
        if (std::string e = sim_gate(false); !e.empty()) {
            return e;
        }
        const SimState s = sim_state();
        std::string name;
        switch (s) {
            case SimState::Ready:
                name = "READY";
                break;
            case SimState::Pin:
                name = "SIM PIN";
                break;
            case SimState::Puk:
                name = "SIM PUK";
                break;
            case SimState::PersoPin:
            case SimState::PersoPuk:
                name = std::string(perso_info(static_cast<std::size_t>(waiting_lock())).cpin_name) +
                       (s == SimState::PersoPin ? " PIN" : " PUK");
                break;
            case SimState::Absent:
            case SimState::Failure:
            case SimState::Blocked:
                return cme(kPukBlocked.code, kPukBlocked.text);  // the gate let only this through
        }
        return info("+CPIN: " + name) + ok();
    }
    if (f != Form::Set) {
        return error();
    }
    const auto args = split_args(params);
    if (!args || args->empty() || args->size() > 2) {
        return error();
    }
    if (std::string e = sim_gate(false); !e.empty()) {
        return e;
    }
    Card& c = *card();
    const std::string& code = (*args)[0].text;
    const SimState s = sim_state();

    auto unblock = [&](const std::string& new_pin) -> std::string {
        if (!is_pin_text(new_pin, 4, 8)) {
            return cme(kIncorrectParameters.code, kIncorrectParameters.text);
        }
        if (code != c.profile.puk) {
            if (c.profile.puk_attempts > 0) {
                --c.profile.puk_attempts;
            }
            if (c.profile.puk_attempts == 0) {
                c.puk_blocked = true;
                return cme(kPukBlocked.code, kPukBlocked.text);
            }
            return cme(kIncorrectPassword.code, kIncorrectPassword.text);
        }
        // Unblocking sets the new PIN, refills both counters and switches the PIN lock on.
        c.profile.pin = new_pin;
        c.profile.pin_attempts = c.profile.pin_max;
        c.profile.puk_attempts = c.profile.puk_max;
        c.profile.pin_lock = true;
        c.pin_verified = true;
        return ok();
    };

    switch (s) {
        case SimState::Pin:
            if (args->size() == 2) {
                return unblock((*args)[1].text);
            }
            if (code != c.profile.pin) {
                return wrong_pin(c);
            }
            c.pin_verified = true;
            c.profile.pin_attempts = c.profile.pin_max;
            return ok();
        case SimState::Puk:
            if (args->size() != 2) {
                return cme(kSimPukRequired.code, kSimPukRequired.text);
            }
            return unblock((*args)[1].text);
        case SimState::PersoPin: {
            const auto i = static_cast<std::size_t>(waiting_lock());
            PersoLock& lock = c.profile.locks[i];
            if (code != lock.key) {
                if (lock.attempts > 0) {
                    --lock.attempts;
                }
                if (lock.attempts == 0) {
                    return cme(perso_info(i).puk_required_code, perso_info(i).puk_required);
                }
                return cme(kIncorrectPassword.code, kIncorrectPassword.text);
            }
            c.perso_passed[i] = true;
            lock.attempts = lock.max_attempts;
            return ok();
        }
        case SimState::PersoPuk: {
            const auto i = static_cast<std::size_t>(waiting_lock());
            PersoLock& lock = c.profile.locks[i];
            if (lock.unblock_key.empty() || code != lock.unblock_key) {
                return cme(kIncorrectPassword.code, kIncorrectPassword.text);
            }
            c.perso_passed[i] = true;
            lock.attempts = lock.max_attempts;
            return ok();
        }
        case SimState::Ready:
            return cme(kNotAllowed.code, kNotAllowed.text);
        case SimState::Absent:
        case SimState::Failure:
        case SimState::Blocked:
            break;
    }
    return cme(kPukBlocked.code, kPukBlocked.text);
}

std::string ModemSim::cmd_epinc(std::string_view tail) {
    if (!tail.empty()) {
        return error();
    }
    if (std::string e = sim_gate(false, true); !e.empty()) {
        return e;
    }
    const SimProfile& p = card()->profile;
    std::ostringstream line;
    line << "+EPINC: " << p.pin_attempts << ", " << p.pin2_attempts << ", " << p.puk_attempts
         << ", " << p.puk2_attempts;
    return info(line.str()) + ok();
}

std::string ModemSim::cmd_cpwd(std::string_view tail) {
    std::string_view params;
    if (form_of(tail, params) != Form::Set) {
        return error();
    }
    const auto args = split_args(params);
    if (!args || args->size() != 3) {
        return error();
    }
    if (upper((*args)[0].text) != "SC") {
        return cme(kNotSupported.code, kNotSupported.text);
    }
    if (std::string e = sim_gate(true); !e.empty()) {
        return e;
    }
    Card& c = *card();
    const std::string& new_pin = (*args)[2].text;
    if (!is_pin_text(new_pin, 4, 8)) {
        return cme(kIncorrectParameters.code, kIncorrectParameters.text);
    }
    if ((*args)[1].text != c.profile.pin) {
        return wrong_pin(c);
    }
    c.profile.pin = new_pin;
    c.profile.pin_attempts = c.profile.pin_max;
    return ok();
}

std::string ModemSim::cmd_clck(std::string_view tail) {
    std::string_view params;
    if (form_of(tail, params) != Form::Set) {
        return error();
    }
    const auto args = split_args(params);
    if (!args || args->size() < 2) {
        return error();
    }
    const std::string facility = upper((*args)[0].text);
    const auto mode = to_int((*args)[1].text);
    if (!mode || *mode < 0 || *mode > 2) {
        return error();
    }
    const std::string key = args->size() >= 3 ? (*args)[2].text : std::string();

    if (facility == "SC") {
        if (*mode == 2) {
            if (std::string e = sim_gate(false); !e.empty()) {
                return e;
            }
            return info(std::string("+CLCK: ") + (card()->profile.pin_lock ? "1" : "0")) + ok();
        }
        if (std::string e = sim_gate(true); !e.empty()) {
            return e;
        }
        Card& c = *card();
        if (args->size() < 3) {
            return cme(kIncorrectParameters.code, kIncorrectParameters.text);
        }
        if (key != c.profile.pin) {
            return wrong_pin(c);
        }
        c.profile.pin_lock = *mode == 1;
        c.profile.pin_attempts = c.profile.pin_max;
        c.pin_verified = true;
        return ok();
    }

    const auto info_it =
        std::find_if(kPersoKindTable.begin(), kPersoKindTable.end(),
                     [&](const PersoKindInfo& i) { return i.facility == facility; });
    if (info_it == kPersoKindTable.end()) {
        return cme(kNotSupported.code, kNotSupported.text);
    }
    if (std::string e = sim_gate(false); !e.empty()) {
        return e;
    }
    const auto i = static_cast<std::size_t>(info_it - kPersoKindTable.begin());
    Card& c = *card();
    PersoLock& lock = c.profile.locks[i];
    if (*mode == 2) {
        return info(std::string("+CLCK: ") + (lock.enabled ? "1" : "0")) + ok();
    }
    if ((*mode == 0) != lock.enabled) {
        return error();  // removing a lock that is off, or setting one that is on
    }
    if (lock.enabled && lock.attempts == 0) {
        return cme(info_it->puk_required_code, info_it->puk_required);
    }
    if (key != lock.key) {
        if (*mode == 1) {
            return cme(kIncorrectPassword.code, kIncorrectPassword.text);
        }
        --lock.attempts;
        if (lock.attempts == 0) {
            return cme(info_it->puk_required_code, info_it->puk_required);
        }
        return cme(kIncorrectPassword.code, kIncorrectPassword.text);
    }
    lock.enabled = *mode == 1;
    lock.attempts = lock.max_attempts;
    c.perso_passed[i] = true;
    return ok();
}

std::string ModemSim::cmd_esmlck(std::string_view tail) {
    if (tail != "?") {
        return error();
    }
    if (std::string e = sim_gate(false, true); !e.empty()) {
        return e;
    }
    const Card& c = *card();
    std::ostringstream line;
    line << "+ESMLCK: ";
    for (std::size_t i = 0; i < kPersoKinds; ++i) {
        const PersoLock& lock = c.profile.locks[i];
        line << (i == 0 ? "" : ",") << "(" << i << "," << (lock.enabled ? 1 : 0) << ","
             << lock.attempts << "," << lock.max_attempts << ")";
    }
    return info(line.str()) + ok();
}

std::string ModemSim::cmd_crsm(std::string_view tail) {
    std::string_view params;
    if (form_of(tail, params) != Form::Set) {
        return error();
    }
    const auto args = split_args(params);
    if (!args || args->size() < 2) {
        return error();
    }
    const auto arg_int = [&](std::size_t i) -> std::optional<int> {
        if (i >= args->size() || (*args)[i].text.empty()) {
            return 0;
        }
        return to_int((*args)[i].text);
    };
    const auto command = arg_int(0), file_id = arg_int(1), p1 = arg_int(2), p2 = arg_int(3),
               p3 = arg_int(4);
    if (!command || !file_id || !p1 || !p2 || !p3) {
        return error();
    }
    if (std::string e = sim_gate(false, true); !e.empty()) {
        return e;
    }
    auto status = [&](int sw1, int sw2) {
        return info("+CRSM: " + std::to_string(sw1) + ", " + std::to_string(sw2)) + ok();
    };
    if (*command != 176) {
        return status(kSwBadInstruction1, kSwBadInstruction2);
    }
    const std::string id = std::to_string(*file_id);
    std::string path = args->size() > 6 ? upper((*args)[6].text) : std::string();
    if (path.size() > 4) {
        path = path.substr(path.size() - 4);  // "3F007F20": the last DF names the file's folder
    }
    const Card& c = *card();
    const SimFile* file = nullptr;
    auto find = [&](const std::string& key) {
        const auto it = c.profile.files.find(key);
        return it == c.profile.files.end() ? nullptr : &it->second;
    };
    if (!path.empty()) {
        file = find(path + "/" + id);
    }
    if (file == nullptr) {
        file = find(id);
    }
    if (file == nullptr && path.empty()) {
        for (const auto& [key, f] : c.profile.files) {
            const std::size_t slash = key.find('/');
            if (slash != std::string::npos && key.substr(slash + 1) == id) {
                file = &f;
                break;
            }
        }
    }
    if (file == nullptr) {
        return status(kSwNotFound1, kSwNotFound2);
    }
    const bool free_file =
        std::find(std::begin(kFreeFiles), std::end(kFreeFiles), id) != std::end(kFreeFiles);
    const SimState s = sim_state();
    if (!free_file && (s == SimState::Pin || s == SimState::Puk || s == SimState::Blocked)) {
        return status(kSwSecurity1, kSwSecurity2);
    }
    if (file->sw1 != 144 || file->sw2 != 0) {
        return status(file->sw1, file->sw2);
    }
    const auto offset = static_cast<std::size_t>(*p1 * 256 + *p2);
    if (offset > file->data.size()) {
        return status(kSwWrongOffset1, kSwWrongOffset2);
    }
    const std::size_t length =
        *p3 == 0 ? file->data.size() - offset : static_cast<std::size_t>(*p3);
    if (offset + length > file->data.size()) {
        return status(kSwWrongLength1, kSwWrongLength2);
    }
    const std::vector<std::uint8_t> part(file->data.begin() + static_cast<long>(offset),
                                         file->data.begin() + static_cast<long>(offset + length));
    return info("+CRSM: 144, 0,\"" + bytes_to_hex(part) + "\"") + ok();
}

std::string ModemSim::cmd_cimi(std::string_view tail) {
    if (!tail.empty()) {
        return error();
    }
    if (std::string e = sim_gate(true); !e.empty()) {
        return e;
    }
    const std::string& imsi = card()->profile.imsi;
    if (imsi.empty()) {
        return cme(kUnknown.code, kUnknown.text);
    }
    return info(imsi) + ok();
}

std::string ModemSim::cmd_cnum(std::string_view tail) {
    if (!tail.empty()) {
        return error();
    }
    if (std::string e = sim_gate(true); !e.empty()) {
        return e;
    }
    std::string out;
    for (const OwnNumber& n : card()->profile.numbers) {
        out += info("+CNUM: \"" + n.alpha + "\",\"" + n.number + "\"," + std::to_string(n.type));
    }
    return out + ok();
}

std::string ModemSim::cmd_cfun(std::string_view tail) {
    std::string_view params;
    const Form f = form_of(tail, params);
    if (f == Form::Query) {
        return info("+CFUN: " + std::to_string(cfun_)) + ok();
    }
    if (f != Form::Set) {
        return error();
    }
    const auto args = split_args(params);
    if (!args || args->empty() || args->size() > 2) {
        return error();
    }
    const auto mode = to_int((*args)[0].text);
    if (!mode || (*mode != 0 && *mode != 1 && *mode != 4)) {
        return error();
    }
    cfun_ = *mode;
    return ok();
}

std::string ModemSim::cmd_cmee(std::string_view tail) {
    std::string_view params;
    const Form f = form_of(tail, params);
    if (f == Form::Query) {
        return info("+CMEE: " + std::to_string(cmee_)) + ok();
    }
    if (f == Form::Exec && tail.empty()) {
        cmee_ = 0;
        return ok();
    }
    if (f != Form::Set) {
        return error();
    }
    const auto mode = to_int(params);
    if (!mode || *mode < 0 || *mode > 2) {
        return error();
    }
    cmee_ = *mode;
    return ok();
}

std::string ModemSim::cmd_egtype(std::string_view tail) {
    std::string_view params;
    const Form f = form_of(tail, params);
    if (f == Form::Query) {
        return info("+EGTYPE: " + std::to_string(egtype_)) + ok();
    }
    if (f != Form::Set) {
        return error();
    }
    const auto mode = to_int(params);
    if (!mode || *mode < 0 || *mode > 4) {
        return error();
    }
    egtype_ = *mode;
    return ok();
}

std::string ModemSim::cmd_cgsn(std::string_view tail) {
    if (!tail.empty()) {
        return error();
    }
    return info(profile_.device.imei) + ok();
}

std::string ModemSim::state_text() const {
    std::ostringstream out;
    const SimState s = sim_state();
    out << "sim: " << (inserted_.empty() ? "none" : inserted_) << "\n";
    std::string cpin = sim_state_name(s);
    if (s == SimState::PersoPin || s == SimState::PersoPuk) {
        cpin = std::string(perso_info(static_cast<std::size_t>(waiting_lock())).cpin_name) +
               (s == SimState::PersoPin ? " PIN" : " PUK");
    }
    out << "cpin: " << cpin << "\n";
    if (const Card* c = card()) {
        const SimProfile& p = c->profile;
        out << "pin: " << p.pin << "\n";
        out << "pin_lock: " << (p.pin_lock ? 1 : 0) << "\n";
        out << "pin_attempts: " << p.pin_attempts << "\n";
        out << "puk_attempts: " << p.puk_attempts << "\n";
        out << "busy: " << c->busy << "\n";
        out << "locks:";
        for (std::size_t i = 0; i < kPersoKinds; ++i) {
            const PersoLock& l = p.locks[i];
            out << " " << perso_info(i).profile_name << "=" << (l.enabled ? 1 : 0) << "/"
                << l.attempts << "/" << l.max_attempts;
        }
        out << "\n";
    }
    out << "cfun: " << cfun_ << "\n";
    out << "echo: " << (echo_ ? 1 : 0) << "\n";
    out << "cmee: " << cmee_ << "\n";
    out << "line_end: "
        << (line_end_ == LineEnd::Cr   ? "cr"
            : line_end_ == LineEnd::Lf ? "lf"
                                       : "crlf")
        << "\n";
    out << "noise: " << nul_every_ << "\n";
    const auto live = std::count_if(rules_.begin(), rules_.end(),
                                    [](const ScriptRule& r) { return r.count != 0; });
    out << "scripts: " << live << "\n";
    return out.str();
}

}  // namespace orv::modem_sim
