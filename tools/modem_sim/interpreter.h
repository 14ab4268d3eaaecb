// The virtual modem's command interpreter: one command line in, the bytes a 3GPP TS 27.007 modem
// with a virtual SIM would send back out, and the state of the SIM cards behind them. No I/O
// here; the line (line.h) owns the wire.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/modem_sim/profile.h"

namespace orv::modem_sim {

// What the line should do with one command.
struct Reply {
    enum class Kind { Answer, Silent, Hangup };
    Kind kind = Kind::Answer;
    std::string bytes;  // echo and answer, CR LF framed
    int delay_ms = 0;   // pause before the bytes go out
    Burst later;        // reports the modem sends after this answer, timed from it
};

// SIM states as +CPIN? names them, plus the states in which it answers an error instead.
enum class SimState {
    Absent,
    Failure,
    Blocked,  // PUK attempts used up
    Ready,
    Pin,
    Puk,
    PersoPin,  // a personalisation lock waits for its control key
    PersoPuk,  // a personalisation lock waits for its unblock key
};

// A +CME ERROR: its code (AT+CMEE=1) and text (AT+CMEE=2). A refused command throws it up to
// the dispatcher, which answers it in the error mode of the moment.
struct Cme {
    int code;
    std::string_view text;
};

class ModemSim {
  public:
    explicit ModemSim(Profile profile);

    // Handles one command line (without its line end). An empty line yields nothing.
    Reply feed(std::string_view line);

    // Run-time control. Each returns an empty text on success, else what went wrong.
    std::string insert(const std::string& sim_name);  // also a swap when a SIM is present
    void remove() { inserted_.clear(); }
    void add_rule(ScriptRule rule) { rules_.push_back(std::move(rule)); }  // tried first
    void clear_rules() { rules_.clear(); }
    std::string set_busy(int count);

    // "key: value" lines describing the modem and the inserted SIM; the rules with uses left.
    std::string state_text() const;
    long live_rules() const;
    SimState sim_state() const;

  private:
    struct Card {
        SimProfile profile;  // counters and locks change as the card is used
        bool pin_verified = false;
        bool puk_blocked = false;
        std::array<bool, kPersoKinds> perso_passed{};  // control key given since insertion
        int busy = 0;
    };

    std::string dispatch(std::string_view line);
    std::string own_answer(std::string_view line, Burst& later);
    void gate(bool needs_pin, bool allow_blocked = false);
    Card* card();
    const Card* card() const { return const_cast<ModemSim*>(this)->card(); }
    int waiting_lock() const;  // index of the lock that waits, or -1
    std::string cpin_text() const;
    void check_pin(Card& c, const std::string& pin) const;
    std::string unblock(Card& c, const std::string& puk, const std::string& new_pin) const;
    std::string setting(std::string_view tail, std::string_view name, int& value, int hi);

    std::string cmd_cpin(std::string_view tail);
    std::string cmd_epinc(std::string_view tail);
    std::string cmd_cpwd(std::string_view tail);
    std::string cmd_clck(std::string_view tail);
    std::string cmd_esmlck(std::string_view tail);
    std::string cmd_crsm(std::string_view tail);
    std::string cmd_cimi(std::string_view tail);
    std::string cmd_cnum(std::string_view tail);
    std::string cmd_cfun(std::string_view tail);
    std::string cmd_cmee(std::string_view tail);
    std::string cmd_egtype(std::string_view tail);
    std::string cmd_cgsn(std::string_view tail);

    Profile profile_;
    std::map<std::string, Card> cards_;
    std::string inserted_;
    std::vector<ScriptRule> rules_;  // newest last
    bool echo_;
    int cmee_;
    int cfun_;
    int egtype_ = 0;
};

}  // namespace orv::modem_sim
