// The virtual modem's command interpreter: one command line in, the bytes a 3GPP TS 27.007 modem
// with a virtual SIM would send back out. No I/O here; the program around it owns the line.
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
};

// Splits received bytes into command lines: CR, LF and CR LF all end a line; empty lines are
// dropped. Bytes of an unfinished line are kept for the next call.
class LineSplitter {
  public:
    std::vector<std::string> push(std::string_view bytes);

  private:
    std::string pending_;
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

class ModemSim {
  public:
    explicit ModemSim(Profile profile);

    // Handles one command line (without its line end). An empty line yields nothing.
    Reply feed(std::string_view line);

    // Run-time control. Each returns an empty text on success, else what went wrong.
    std::string insert(const std::string& sim_name);  // also a swap when a SIM is present
    void remove();
    void add_rule(ScriptRule rule);  // the newest rule is tried first
    void clear_rules();
    std::string set_busy(int count);
    void set_line_end(LineEnd end) { line_end_ = end; }
    void set_nul_every(int n) { nul_every_ = n < 0 ? 0 : n; }

    // The bytes as they go on the wire: CR LF line ends turned into the modem's own, and NUL
    // noise put in.
    std::string on_the_wire(std::string_view bytes) const;

    // "key: value" lines describing the modem and the inserted SIM.
    std::string state_text() const;
    SimState sim_state() const;
    const std::string& sim_name() const { return inserted_; }
    bool echo() const { return echo_; }
    int cmee() const { return cmee_; }

  private:
    struct Card {
        SimProfile profile;  // counters and locks change as the card is used
        bool pin_verified = false;
        bool puk_blocked = false;
        std::array<bool, kPersoKinds> perso_passed{};  // control key given since insertion
        int busy = 0;
    };

    std::string dispatch(std::string_view line);
    std::string ok() const;
    std::string info(std::string_view line) const;
    std::string cme(int code, std::string_view text) const;
    std::string error() const;
    std::string sim_gate(bool needs_pin, bool allow_blocked = false);
    Card* card();
    const Card* card() const;
    int waiting_lock() const;  // index of the lock that waits, or -1
    std::string wrong_pin(Card& c);

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
    LineEnd line_end_;
    int nul_every_;
};

const char* sim_state_name(SimState s);

}  // namespace orv::modem_sim
