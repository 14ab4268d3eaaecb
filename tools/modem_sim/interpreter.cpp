#include "tools/modem_sim/interpreter.h"

#include <algorithm>
#include <optional>
#include <sstream>

#include "tools/client/orv_client.h"

namespace orv::modem_sim {

namespace {

// +CME ERROR codes and texts (3GPP TS 27.007 numbering; 262 is the vendor code of a SIM whose
// PUK is used up).
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
constexpr Cme kPlainError{-1, ""};  // a malformed command: ERROR, whatever AT+CMEE says

// Files the card lets anyone read; every other file needs the PIN first.
constexpr std::string_view kFreeFiles[] = {kFileIccid, kFilePl, kFileSpn, kFileAd};

// The state names `state` shows, by SimState; +CPIN? shows the Ready to Puk ones, and the lock's
// own name for the personalisation states.
constexpr std::string_view kStateNames[] = {"absent",  "failure", "blocked", "READY",
                                            "SIM PIN", "SIM PUK", "PH PIN",  "PH PUK"};

std::string ok() {
    return "\r\nOK\r\n";
}

std::string info(std::string_view line) {
    return "\r\n" + std::string(line) + "\r\n";
}

// A command the modem refuses: the error goes up to the dispatcher, which answers it instead.
[[noreturn]] void refuse(const Cme& e) {
    throw e;
}

void refuse_if(bool refused, const Cme& e) {
    if (refused) {
        throw e;
    }
}

// A condition the command must meet; a plain ERROR otherwise.
void need(bool met) {
    refuse_if(!met, kPlainError);
}

Cme puk_required(std::size_t lock) {
    return {kPersoKindTable[lock].puk_required_code, kPersoKindTable[lock].puk_required};
}

// A new PIN: 4 to 8 digits.
bool is_pin_text(std::string_view s) {
    return s.size() >= 4 && s.size() <= 8 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The parameters of a set command (AT+X=...), lo to hi of them, else an ERROR: comma-separated,
// blanks around plain ones dropped, double-quoted texts unquoted (blanks before the quote and
// after it are allowed, nothing else).
std::vector<std::string> set_args(std::string_view tail, std::size_t lo, std::size_t hi) {
    need(tail.starts_with('='));
    const std::string_view s = tail.substr(1);
    std::vector<std::string> out;
    for (std::size_t i = 0, end = 0; end != std::string_view::npos; i = end + 1) {
        const std::size_t lead = s.find_first_not_of(" \t", i);
        if (lead != std::string_view::npos && s[lead] == '"') {
            const std::size_t close = s.find('"', lead + 1);
            need(close != std::string_view::npos);
            end = s.find_first_not_of(' ', close + 1);  // the comma that ends it, or npos
            need(end == std::string_view::npos || s[end] == ',');
            out.emplace_back(s.substr(lead + 1, close - lead - 1));
        } else {
            end = s.find(',', i);
            const std::string_view plain =
                s.substr(i, end == std::string_view::npos ? end : end - i);
            need(plain.find('"') == std::string_view::npos);
            out.emplace_back(trim(plain));
        }
    }
    need(out.size() >= lo && out.size() <= hi);
    return out;
}

}  // namespace

ModemSim::ModemSim(Profile profile)
    : profile_(std::move(profile)),
      rules_(profile_.scripts),
      echo_(profile_.device.echo),
      cmee_(profile_.device.cmee),
      cfun_(profile_.device.cfun) {
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

std::string ModemSim::set_busy(int count) {
    Card* c = card();
    if (c == nullptr) {
        return "no SIM inserted";
    }
    c->busy = std::max(0, count);
    return {};
}

ModemSim::Card* ModemSim::card() {
    const auto it = cards_.find(inserted_);
    return inserted_.empty() || it == cards_.end() ? nullptr : &it->second;
}

int ModemSim::waiting_lock() const {
    const Card* c = card();
    for (std::size_t i = 0; c != nullptr && i < kPersoKinds; ++i) {
        if (c->profile.locks[i].enabled && !c->perso_passed[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

SimState ModemSim::sim_state() const {
    // What a card waits for, in order: the PUK, the PIN, then each personalisation lock set.
    const Card* c = card();
    const int lock = waiting_lock();
    return c == nullptr                                                     ? SimState::Absent
           : c->profile.failure                                             ? SimState::Failure
           : c->puk_blocked                                                 ? SimState::Blocked
           : c->profile.pin_attempts == 0                                   ? SimState::Puk
           : c->profile.pin_lock && !c->pin_verified                        ? SimState::Pin
           : lock < 0                                                       ? SimState::Ready
           : c->profile.locks[static_cast<std::size_t>(lock)].attempts == 0 ? SimState::PersoPuk
                                                                            : SimState::PersoPin;
}

std::string ModemSim::cpin_text() const {
    const SimState s = sim_state();
    if (s == SimState::PersoPin || s == SimState::PersoPuk) {
        return std::string(kPersoKindTable[static_cast<std::size_t>(waiting_lock())].cpin_name) +
               (s == SimState::PersoPin ? " PIN" : " PUK");
    }
    return std::string(kStateNames[static_cast<std::size_t>(s)]);
}

// Refuses a SIM command the card cannot serve now: no card, a broken card, a card still busy
// starting up, a card whose PUK is used up, and (when the command needs it) a card that still
// waits for its PIN or PUK.
void ModemSim::gate(bool needs_pin, bool allow_blocked) {
    const SimState s = sim_state();
    refuse_if(s == SimState::Absent || s == SimState::Failure,
              s == SimState::Absent ? kNotInserted : kSimFailure);
    if (Card* c = card(); c->busy > 0) {
        --c->busy;
        refuse(kSimBusy);
    }
    refuse_if(s == SimState::Blocked && !allow_blocked, kPukBlocked);
    refuse_if(needs_pin && (s == SimState::Pin || s == SimState::Puk),
              s == SimState::Pin ? kSimPinRequired : kSimPukRequired);
}

// The right PIN refills its attempts; a wrong one costs one, and the last one leaves the card
// waiting for its PUK (which then comes first, whether the PIN was entered before or not).
void ModemSim::check_pin(Card& c, const std::string& pin) const {
    if (pin == c.profile.pin) {
        c.profile.pin_attempts = c.profile.pin_max;
        return;
    }
    c.profile.pin_attempts = std::max(0, c.profile.pin_attempts - 1);
    refuse(c.profile.pin_attempts == 0 ? kSimPukRequired : kIncorrectPassword);
}

// Unblocking sets the new PIN, refills both counters and switches the PIN lock on; a wrong PUK
// costs one attempt, and the last one blocks the card for good.
std::string ModemSim::unblock(Card& c, const std::string& puk, const std::string& new_pin) const {
    refuse_if(!is_pin_text(new_pin), kIncorrectParameters);
    if (puk != c.profile.puk) {
        c.profile.puk_attempts = std::max(0, c.profile.puk_attempts - 1);
        c.puk_blocked = c.profile.puk_attempts == 0;
        refuse(c.puk_blocked ? kPukBlocked : kIncorrectPassword);
    }
    c.profile.pin = new_pin;
    c.profile.pin_attempts = c.profile.pin_max;
    c.profile.puk_attempts = c.profile.puk_max;
    c.profile.pin_lock = true;
    c.pin_verified = true;
    return ok();
}

Reply ModemSim::feed(std::string_view raw) {
    const std::string_view line = trim(raw);
    if (line.empty()) {
        return {};
    }
    const std::string echo = echo_ ? std::string(raw) + "\r" : std::string();
    // The newest rule that matches and has uses left decides.
    const auto it = std::find_if(rules_.rbegin(), rules_.rend(),
                                 [&](const ScriptRule& r) { return r.matches(line); });
    Reply reply;
    if (it == rules_.rend()) {
        reply.bytes = echo + own_answer(line, reply.later);
        return reply;
    }
    ScriptRule& rule = *it;
    if (rule.count > 0) {
        --rule.count;
    }
    if (rule.hangup || rule.silent) {
        return {rule.hangup ? Reply::Kind::Hangup : Reply::Kind::Silent, rule.hangup ? "" : echo,
                rule.delay_ms};
    }
    // A delay or reports alone: the modem's own answer, later or with company.
    std::string answer = rule.answer ? *rule.answer : own_answer(line, reply.later);
    const auto framed = [](const std::string& report) {
        return report.empty() ? report : "\r\n" + report + "\r\n";
    };
    // Inside: before the final line, which the last CR LF pair but the closing one begins.
    const std::size_t final_at =
        answer.size() >= 4 ? answer.rfind("\r\n", answer.size() - 3) : std::string::npos;
    answer.insert(final_at == std::string::npos ? 0 : final_at, framed(rule.report_inside));
    reply.bytes = echo + framed(rule.report_before) + answer + framed(rule.report_after);
    reply.delay_ms = rule.delay_ms;
    return reply;
}

// The modem's own answer, and what it reports after it: after AT+CFUN=1 the start-up burst, and
// the SIM-ready one when the card is ready; after an answer that made a waiting card ready, the
// SIM-ready burst.
std::string ModemSim::own_answer(std::string_view line, Burst& later) {
    const bool was_ready = sim_state() == SimState::Ready;
    std::string answer = dispatch(line);
    const bool ready = sim_state() == SimState::Ready;
    const std::string up = upper(line);
    const bool radio_on = up.starts_with("AT+CFUN=") && up != "AT+CFUN=?" && cfun_ == 1;
    if (answer != ok() || (!radio_on && (was_ready || !ready))) {
        return answer;
    }
    const DeviceProfile& d = profile_.device;
    later = radio_on ? d.start_up : Burst{};
    const int from = later.empty() ? 0 : later.back().after_ms;
    for (std::size_t i = 0; ready && i < d.sim_ready.size(); ++i) {
        later.push_back({d.sim_ready[i].line, from + d.sim_ready[i].after_ms});
    }
    return answer;
}

std::string ModemSim::dispatch(std::string_view line) try {
    const std::string up = upper(line);
    need(up.starts_with("AT"));
    if (up == "AT" || up == "ATE0" || up == "ATE" || up == "ATE1") {
        echo_ = up == "AT" ? echo_ : up == "ATE1";
        return ok();
    }
    const std::size_t end = std::min(up.find_first_of("=?"), up.size());
    const std::string_view name = std::string_view(up).substr(3, end - 3);
    using Handler = std::string (ModemSim::*)(std::string_view);
    static constexpr std::pair<std::string_view, Handler> kCommands[] = {
        {"CPIN", &ModemSim::cmd_cpin},     {"EPINC", &ModemSim::cmd_epinc},
        {"CPWD", &ModemSim::cmd_cpwd},     {"CLCK", &ModemSim::cmd_clck},
        {"ESMLCK", &ModemSim::cmd_esmlck}, {"CRSM", &ModemSim::cmd_crsm},
        {"CIMI", &ModemSim::cmd_cimi},     {"CNUM", &ModemSim::cmd_cnum},
        {"CFUN", &ModemSim::cmd_cfun},     {"CMEE", &ModemSim::cmd_cmee},
        {"EGTYPE", &ModemSim::cmd_egtype}, {"CGSN", &ModemSim::cmd_cgsn},
    };
    const auto* it = std::find_if(std::begin(kCommands), std::end(kCommands),
                                  [&](const auto& row) { return row.first == name; });
    need(up[2] == '+' && it != std::end(kCommands));
    const std::string_view tail = line.substr(end);  // as typed: PINs and paths keep their case
    return tail == "=?" ? ok() : (this->*it->second)(tail);
} catch (const Cme& e) {
    return e.code < 0 || cmee_ == 0
               ? "\r\nERROR\r\n"
               : "\r\n+CME ERROR: " + (cmee_ == 1 ? std::to_string(e.code) : std::string(e.text)) +
                     "\r\n";
}

std::string ModemSim::cmd_cpin(std::string_view tail) {
    if (tail == "?") {
        gate(false);
        return info("+CPIN: " + cpin_text()) + ok();
    }
    const std::vector<std::string> args = set_args(tail, 1, 2);
    gate(false);
    Card& c = *card();
    const std::string& code = args[0];
    const SimState s = sim_state();
    switch (s) {
        case SimState::Pin:
            if (args.size() == 2) {
                return unblock(c, code, args[1]);
            }
            check_pin(c, code);
            c.pin_verified = true;
            return ok();
        case SimState::Puk:
            refuse_if(args.size() != 2, kSimPukRequired);
            return unblock(c, code, args[1]);
        case SimState::PersoPin:
        case SimState::PersoPuk: {
            // The control key while attempts are left (the last wrong one turns the lock into
            // its PUK form), then only the unblock key.
            const auto i = static_cast<std::size_t>(waiting_lock());
            PersoLock& lock = c.profile.locks[i];
            if (s == SimState::PersoPin ? code != lock.key
                                        : lock.unblock_key.empty() || code != lock.unblock_key) {
                refuse_if(s == SimState::PersoPin && --lock.attempts == 0, puk_required(i));
                refuse(kIncorrectPassword);
            }
            c.perso_passed[i] = true;
            lock.attempts = lock.max_attempts;
            return ok();
        }
        case SimState::Ready:
            refuse(kNotAllowed);
        case SimState::Absent:
        case SimState::Failure:
        case SimState::Blocked:
            break;
    }
    refuse(kPukBlocked);  // the gate lets none of these through
}

std::string ModemSim::cmd_epinc(std::string_view tail) {
    need(tail.empty());
    gate(false, true);
    const SimProfile& p = card()->profile;
    std::ostringstream line;
    line << "+EPINC: " << p.pin_attempts << ", " << p.pin2_attempts << ", " << p.puk_attempts
         << ", " << p.puk2_attempts;
    return info(line.str()) + ok();
}

std::string ModemSim::cmd_cpwd(std::string_view tail) {
    const std::vector<std::string> args = set_args(tail, 3, 3);
    refuse_if(upper(args[0]) != "SC", kNotSupported);
    gate(true);
    Card& c = *card();
    refuse_if(!is_pin_text(args[2]), kIncorrectParameters);
    check_pin(c, args[1]);
    c.profile.pin = args[2];
    return ok();
}

std::string ModemSim::cmd_clck(std::string_view tail) {
    const std::vector<std::string> args = set_args(tail, 2, SIZE_MAX);
    const std::string facility = upper(args[0]);
    const auto mode = to_int(args[1]);
    need(mode && *mode >= 0 && *mode <= 2);
    const std::string key = args.size() >= 3 ? args[2] : std::string();

    if (facility == "SC") {
        gate(*mode != 2);  // the lock's state is answered while the PIN waits, too
        Card& c = *card();
        if (*mode == 2) {
            return info(std::string("+CLCK: ") + (c.profile.pin_lock ? "1" : "0")) + ok();
        }
        refuse_if(args.size() < 3, kIncorrectParameters);
        check_pin(c, key);
        c.profile.pin_lock = *mode == 1;
        c.pin_verified = true;
        return ok();
    }

    const auto it = std::find_if(kPersoKindTable.begin(), kPersoKindTable.end(),
                                 [&](const PersoKindInfo& i) { return i.facility == facility; });
    refuse_if(it == kPersoKindTable.end(), kNotSupported);
    gate(false);
    const auto i = static_cast<std::size_t>(it - kPersoKindTable.begin());
    Card& c = *card();
    PersoLock& lock = c.profile.locks[i];
    if (*mode == 2) {
        return info(std::string("+CLCK: ") + (lock.enabled ? "1" : "0")) + ok();
    }
    need((*mode == 0) == lock.enabled);  // not removing a lock that is off, nor setting one on
    refuse_if(lock.enabled && lock.attempts == 0, puk_required(i));
    if (key != lock.key) {
        if (*mode == 0 && --lock.attempts == 0) {  // only a removal costs an attempt
            refuse(puk_required(i));
        }
        refuse(kIncorrectPassword);
    }
    lock.enabled = *mode == 1;
    lock.attempts = lock.max_attempts;
    c.perso_passed[i] = true;
    return ok();
}

std::string ModemSim::cmd_esmlck(std::string_view tail) {
    need(tail == "?");
    gate(false, true);
    std::ostringstream line;
    line << "+ESMLCK: ";
    for (std::size_t i = 0; i < kPersoKinds; ++i) {
        const PersoLock& lock = card()->profile.locks[i];
        line << (i == 0 ? "" : ",") << "(" << i << "," << (lock.enabled ? 1 : 0) << ","
             << lock.attempts << "," << lock.max_attempts << ")";
    }
    return info(line.str()) + ok();
}

std::string ModemSim::cmd_crsm(std::string_view tail) {
    const std::vector<std::string> args = set_args(tail, 2, SIZE_MAX);
    const auto arg_int = [&](std::size_t i) -> std::optional<int> {
        return i >= args.size() || args[i].empty() ? 0 : to_int(args[i]);
    };
    const auto command = arg_int(0), file_id = arg_int(1), p1 = arg_int(2), p2 = arg_int(3),
               p3 = arg_int(4);
    need(command && file_id && p1 && p2 && p3);
    gate(false, true);
    // The status words alone, for a read that went wrong.
    const auto status = [](int sw1, int sw2) {
        return info("+CRSM: " + std::to_string(sw1) + ", " + std::to_string(sw2)) + ok();
    };
    if (*command != 176) {
        return status(109, 0);  // 6D00: only READ BINARY is known
    }
    const std::string id = std::to_string(*file_id);
    std::string path = args.size() > 6 ? upper(args[6]) : std::string();
    if (path.size() > 4) {
        path = path.substr(path.size() - 4);  // "3F007F20": the last DF names the file's folder
    }
    const auto& files = card()->profile.files;
    // Under the path's folder first, then by the id alone; without a path, under any folder.
    auto found = files.find(path + "/" + id);
    if (path.empty() || found == files.end()) {
        found = files.find(id);
    }
    if (found == files.end() && path.empty()) {
        found = std::find_if(files.begin(), files.end(), [&](const auto& f) {
            const std::size_t slash = f.first.find('/');
            return slash != std::string::npos && f.first.substr(slash + 1) == id;
        });
    }
    if (found == files.end()) {
        return status(148, 4);  // 9404: file not found
    }
    const SimFile& file = found->second;
    const bool free_file =
        std::find(std::begin(kFreeFiles), std::end(kFreeFiles), id) != std::end(kFreeFiles);
    const SimState s = sim_state();
    if (!free_file && (s == SimState::Pin || s == SimState::Puk || s == SimState::Blocked)) {
        return status(105, 130);  // 6982: security status not satisfied
    }
    if (file.sw1 != 144 || file.sw2 != 0) {
        return status(file.sw1, file.sw2);
    }
    const auto offset = static_cast<std::size_t>(*p1 * 256 + *p2);
    if (offset > file.data.size()) {
        return status(107, 0);  // 6B00: offset beyond the file
    }
    const std::size_t length = *p3 == 0 ? file.data.size() - offset : static_cast<std::size_t>(*p3);
    if (offset + length > file.data.size()) {
        return status(103, 0);  // 6700: more bytes than the file has
    }
    const std::string_view bytes(reinterpret_cast<const char*>(file.data.data()) + offset, length);
    return info("+CRSM: 144, 0,\"" + upper(client::to_hex(bytes)) + "\"") + ok();
}

std::string ModemSim::cmd_cimi(std::string_view tail) {
    need(tail.empty());
    gate(true);
    refuse_if(card()->profile.imsi.empty(), kUnknown);
    return info(card()->profile.imsi) + ok();
}

std::string ModemSim::cmd_cnum(std::string_view tail) {
    need(tail.empty());
    gate(true);
    std::string out;
    for (const OwnNumber& n : card()->profile.numbers) {
        out += info("+CNUM: \"" + n.alpha + "\",\"" + n.number + "\"," + std::to_string(n.type));
    }
    return out + ok();
}

std::string ModemSim::cmd_cfun(std::string_view tail) {
    if (tail == "?") {
        return info("+CFUN: " + std::to_string(cfun_)) + ok();
    }
    const auto mode = to_int(set_args(tail, 1, 2)[0]);
    need(mode && (*mode == 0 || *mode == 1 || *mode == 4));
    cfun_ = *mode;
    return ok();
}

// A plain setting: AT+X? answers "+X: n", AT+X=n (0 to hi) sets it.
std::string ModemSim::setting(std::string_view tail, std::string_view name, int& value, int hi) {
    if (tail == "?") {
        return info("+" + std::string(name) + ": " + std::to_string(value)) + ok();
    }
    need(tail.starts_with('='));
    const auto n = to_int(tail.substr(1));
    need(n && *n >= 0 && *n <= hi);
    value = *n;
    return ok();
}

std::string ModemSim::cmd_cmee(std::string_view tail) {
    if (tail.empty()) {
        cmee_ = 0;
        return ok();
    }
    return setting(tail, "CMEE", cmee_, 2);
}

std::string ModemSim::cmd_egtype(std::string_view tail) {
    return setting(tail, "EGTYPE", egtype_, 4);
}

std::string ModemSim::cmd_cgsn(std::string_view tail) {
    need(tail.empty());
    const std::string& imei = profile_.device.imei;
    return info(profile_.device.imei_prefixed ? "+CGSN: \"" + imei + "\"" : imei) + ok();
}

long ModemSim::live_rules() const {
    return std::count_if(rules_.begin(), rules_.end(),
                         [](const ScriptRule& r) { return r.count != 0; });
}

std::string ModemSim::state_text() const {
    std::ostringstream out;
    out << "sim: " << (inserted_.empty() ? "none" : inserted_) << "\ncpin: " << cpin_text() << "\n";
    if (const Card* c = card()) {
        const SimProfile& p = c->profile;
        out << "pin: " << p.pin << "\npin_lock: " << (p.pin_lock ? 1 : 0)
            << "\npin_attempts: " << p.pin_attempts << "\npuk_attempts: " << p.puk_attempts
            << "\nbusy: " << c->busy << "\nlocks:";
        for (std::size_t i = 0; i < kPersoKinds; ++i) {
            const PersoLock& l = p.locks[i];
            out << " " << kPersoKindTable[i].profile_name << "=" << (l.enabled ? 1 : 0) << "/"
                << l.attempts << "/" << l.max_attempts;
        }
        out << "\n";
    }
    out << "cfun: " << cfun_ << "\necho: " << (echo_ ? 1 : 0) << "\ncmee: " << cmee_ << "\n";
    return out.str();
}

}  // namespace orv::modem_sim
