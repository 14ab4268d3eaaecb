// SIM card state: the "+CPIN?" query, raw (request 1) or mapped to a state text for the
// controller (requests 2 and 11).
#include <optional>
#include <string_view>

#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "platform/orv_mc.h"
#include "sim_security/sim_common.h"
#include "sim_security/sim_security.h"

namespace orv::sim_security {

using core::AtExchange;
using core::AtOptions;
using core::AtOutcome;

std::int32_t mdm_lock_type = 0;

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::sim_state};

// Where the state text of a pin-status notification comes from.
enum PinStateKind : int {
    kFromCpin = 0,  // a "+CPIN:" answer
    kFromCme = 1,   // a "+CME ERROR:" answer
};

// The raw query: its command carries its own line end, and it writes no information lines.
constexpr AtOptions kRawQuery{.texts = core::kTextsNone};

}  // namespace

std::int32_t orv_quorl_mdm_get_uim_state(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "entern orv_quorl_mdm_get_uim_state \n");
    AtExchange ex;
    return ex.run("AT+CPIN?\r\n", kRawQuery) == AtOutcome::Answer ? 0 : -1;
}

// "+CPIN: SIM PIN" -> (0, "SIM PIN"); "+CME ERROR: SIM not inserted" -> (1, "SIM failure").
// A "+CPIN: PH-..." answer also records the lock kind for the network unlock.
std::int32_t orv_quorl_mdm_get_pin_status(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_get_pin_status fun\n");
    AtExchange ex;
    if (ex.run("AT+CPIN?") != AtOutcome::Answer) {
        return -1;
    }
    const std::string_view line = ex.first_line_view();
    if (line == "ERROR") {
        MDM_LOG(kLogErr, "(char*)mdm_res.aucDataBuf is ERROR\n");
        return -1;
    }

    PinStateKind kind = kFromCpin;
    std::optional<std::string_view> state;
    if (line.starts_with("+CP")) {
        if (const auto lock = lookup(lock_type_table, line)) {
            mdm_lock_type = *lock;
        }
        state = lookup(cpin_state_table, line);
    } else if (line.starts_with("+CM")) {
        kind = kFromCme;
        state = lookup(cme_state_table, line);
    } else {
        return -1;
    }

    if (state) {
        char resPara[kStateTextSize] = {};
        copy_text_cut(resPara, *state);
        MDM_LOG(kLogInfo, "resPara is %s\n", resPara);
        orv_mc_state_mdm_return_pin_status(kind, resPara);
    }
    orv_quorl_mdm_refresh_pin_puk_numbers();
    return 0;
}

}  // namespace orv::sim_security
