// PIN entry and PUK unblocking with "+CPIN".
#include <string_view>

#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "platform/orv_mc.h"
#include "sim_security/sim_common.h"
#include "sim_security/sim_security.h"
#include "wire/mdm_msg.h"

namespace orv::sim_security {

using core::AtExchange;
using core::AtOptions;
using core::AtOutcome;

char mdm_pin_code[kPinCodeSize] = {};

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::pin_verify};

constexpr std::string_view kCpinOpen = "AT+CPIN=\"";
constexpr std::string_view kBetween = "\",\"";
constexpr std::string_view kClose = "\"";

// "mdm_ATcmd_buf is %s\n" and its kin; an empty answer is only information here.
constexpr AtOptions kCodeEntry{.empty_log = core::LogAt::Info, .texts = core::kTextsTight};

}  // namespace

// PIN entry:   AT+CPIN="1234"           -> OK | +CME ERROR: incorrect password | ...
// Unblocking:  AT+CPIN="12345678","4321" (PUK, new PIN)
std::int32_t orv_quorl_mdm_verify_pin_puk(const unsigned char* payload) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_verify_pin_puk fun\n");
    if (payload == nullptr) {
        MDM_LOG(kLogErr, "msg_ptr is NULL\n");
        return -1;
    }
    const std::string_view code = payload_text(payload, msg::verify_pin::kCode);
    const std::string_view new_pin = payload_text(payload, msg::verify_pin::kNewPin);

    AtExchange ex;
    if (!new_pin.empty()) {
        constexpr std::size_t kFrame = kCpinOpen.size() + kBetween.size() + kClose.size();
        if (!code_fits_command(code, kFrame, "PUK") ||
            !code_fits_command(new_pin, kFrame + code.size(), "new PIN")) {
            return -1;
        }
        copy_text_cut(mdm_pin_code, new_pin);
        if (!ex.compose({kCpinOpen, code, kBetween, new_pin, kClose})) {
            return -1;
        }
    } else if (!code.empty()) {
        if (!code_fits_command(code, kCpinOpen.size() + kClose.size(), "PIN")) {
            return -1;
        }
        copy_text_cut(mdm_pin_code, code);
        if (!ex.compose({kCpinOpen, code, kClose})) {
            return -1;
        }
    } else {
        return -1;
    }

    if (ex.send(kCodeEntry) != AtOutcome::Answer) {
        return -1;
    }
    char resPara[kStateTextSize];
    const PinAnswer answer = judge_pin_answer(ex, ORV_LOG_LEVEL_ERR, resPara);
    if (answer == PinAnswer::Ended) {
        return -1;
    }
    const std::int32_t result_e = answer == PinAnswer::Accepted ? 0 : 1;
    if (answer == PinAnswer::Accepted) {
        MDM_LOG(kLogInfo, "sim is complete is\n");
        store_text("pin_code", text_view(mdm_pin_code));
    }

    orv_quorl_mdm_refresh_pin_puk_numbers();
    store_text("pin_puk_at_wait", "0");
    MDM_LOG(kLogInfo, "result_e is %d\n", result_e);
    orv_mc_state_mdm_return_verify_pinpuk(result_e, resPara);
    return 0;
}

}  // namespace orv::sim_security
