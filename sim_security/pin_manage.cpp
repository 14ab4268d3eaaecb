// PIN change ("+CPWD") and the PIN lock of the SIM facility "SC" ("+CLCK"): switched off, on, or
// only read.
//
// Handshake with the requester: "pin_manage_result" is raised to "1" before an operation goes to
// the modem and lowered to "0" only when the modem accepts it; "pin_manage_at_wait" is lowered to
// "0" once a definite answer ("OK" or "+CM...") has been followed by the read-back of the lock
// state and the counters. Neither is ever raised by anything else here.
#include <cstdint>
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
using core::AtLogTexts;
using core::AtOptions;
using core::AtOutcome;

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::pin_manage};

constexpr std::string_view kLockQuery = "AT+CLCK=\"SC\",2";
constexpr std::string_view kChangeOpen = "AT+CPWD=\"SC\",\"";
constexpr std::string_view kLockOffOpen = "AT+CLCK=\"SC\",0,\"";
constexpr std::string_view kLockOnOpen = "AT+CLCK=\"SC\",1,\"";
constexpr std::string_view kBetween = "\",\"";
constexpr std::string_view kClose = "\"";

// The read-back after an operation: standard wording, empty answer an error.
constexpr AtOptions kReadBack{};
// The query-only request: leading-blank wording, empty answer only information.
constexpr AtOptions kQueryOnly{.empty_log = core::LogAt::Info, .texts = core::kTextsLeadingBlank};
// Lock off or on: leading-blank wording; the command line is logged before the handshake flag
// is raised, so the exchange leaves it out.
constexpr AtLogTexts kSwitchTexts{core::kNoLine, core::kTextsLeadingBlank.answer,
                                  core::kTextsLeadingBlank.result,
                                  core::kTextsLeadingBlank.first_line};
constexpr AtOptions kLockSwitch{.texts = kSwitchTexts};
// PIN change: "mdm_ATcmd_buf is %s\n" and its kin.
constexpr AtOptions kPinChange{.texts = core::kTextsTight};

// The controller hears of a PIN operation only when it left the SIM asking for its PUK.
void notify_if_puk_required(std::int32_t result, const char (&resPara)[kStateTextSize]) {
    if (text_view(resPara) == "SIM PUK") {
        orv_mc_state_mdm_return_verify_pinpuk(result, resPara);
    }
}

// Request 5, operation 2: "+CLCK: 1" (or a line that goes on after it, such as "+CLCK: 1,7")
// -> "pin_status" = "1"; any other answer writes nothing.
std::int32_t report_lock_state() {
    AtExchange ex;
    if (ex.run(kLockQuery, kQueryOnly) != AtOutcome::Answer) {
        return -1;
    }
    if (ex.ends_on_error()) {
        return -1;
    }
    if (!ex.first_line_starts("+CL")) {
        return -1;
    }
    MDM_LOG(kLogInfo, "mdm_at_result_process is +cl\n");
    if (ex.first_line_starts("+CLCK: 1")) {
        MDM_LOG(kLogInfo, "sim is enable\n");
        store_text("pin_status", "1");
    } else if (ex.first_line_starts("+CLCK: 0")) {
        MDM_LOG(kLogInfo, "sim is disable\n");
        store_text("pin_status", "0");
    }
    return 0;
}

}  // namespace

// Read-back after an operation: only the whole lines "+CLCK: 1" and "+CLCK: 0" are a lock state;
// any other answer but "ERROR" clears "pin_status".
std::int32_t orv_quorl_mdm_pin_mode_query() {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_pin_mode_query fun\n");
    AtExchange ex;
    if (ex.run(kLockQuery, kReadBack) != AtOutcome::Answer) {
        return -1;
    }
    if (ex.ends_on_error()) {
        return -1;
    }
    if (!ex.first_line_starts("+CL")) {
        MDM_LOG(kLogErr, "sim error\n");
        store_text("pin_status", "");
        return -1;
    }
    if (ex.first_line_is("+CLCK: 1")) {
        MDM_LOG(kLogInfo, "sim enable\n");
        store_text("pin_status", "1");
    } else if (ex.first_line_is("+CLCK: 0")) {
        MDM_LOG(kLogInfo, "sim disable\n");
        store_text("pin_status", "0");
    } else {
        MDM_LOG(kLogErr, "sim fail\n");
        store_text("pin_status", "");
        return -1;
    }
    return 0;
}

// AT+CPWD="SC","1234","4321" -> OK | +CME ERROR: incorrect password | +CME ERROR: SIM PUK required
std::int32_t orv_quorl_mdm_change_pin(const unsigned char* payload) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_change_pin\n");
    if (payload == nullptr) {
        return -1;
    }
    const std::string_view old_pin = payload_text(payload, msg::change_pin::kOldPin);
    const std::string_view new_pin = payload_text(payload, msg::change_pin::kNewPin);
    constexpr std::size_t kFrame = kChangeOpen.size() + kBetween.size() + kClose.size();
    if (!code_fits_command(old_pin, kFrame, "old PIN") ||
        !code_fits_command(new_pin, kFrame + old_pin.size(), "new PIN")) {
        return -1;
    }
    AtExchange ex;
    if (!ex.compose({kChangeOpen, old_pin, kBetween, new_pin, kClose})) {
        return -1;
    }
    store_text("pin_manage_result", "1");
    copy_text_cut(mdm_pin_code, new_pin);

    if (ex.send(kPinChange) != AtOutcome::Answer) {
        return -1;
    }
    char resPara[kStateTextSize];
    const PinAnswer answer = judge_pin_answer(ex, ORV_LOG_LEVEL_ERR, resPara);
    if (answer == PinAnswer::Ended) {
        return -1;
    }
    const std::int32_t result = answer == PinAnswer::Accepted ? 0 : 1;
    if (answer == PinAnswer::Accepted) {
        MDM_LOG(kLogInfo, "change sim ok\n");
        store_text("pin_code", text_view(mdm_pin_code));
        store_text("pin_manage_result", "0");
    }

    notify_if_puk_required(result, resPara);
    orv_quorl_mdm_pin_mode_query();
    orv_quorl_mdm_get_pin_status(nullptr);
    orv_quorl_mdm_refresh_pin_puk_numbers();
    store_text("pin_manage_at_wait", "0");
    return 0;
}

// AT+CLCK="SC",0,"1234" (lock off) or AT+CLCK="SC",1,"1234" (lock on) -> OK | +CME ERROR: ...
// AT+CLCK="SC",2 (query only) -> +CLCK: 1 | +CLCK: 0
std::int32_t orv_quorl_mdm_pin_mode_operate(const unsigned char* payload) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_pin_mode_operate\n");
    if (payload == nullptr) {
        return -1;
    }
    const std::uint32_t operation = msg::load_u32(payload + msg::pin_mode::kOperation.offset);
    if (operation == msg::pin_mode::kQuery) {
        return report_lock_state();
    }
    if (operation != msg::pin_mode::kLockOff && operation != msg::pin_mode::kLockOn) {
        MDM_LOG(kLogErr,
                "PIN mode operation %u refused: only 0 (off), 1 (on) and 2 (query) exist\n",
                static_cast<unsigned>(operation));
        return -1;
    }
    const bool lock_on = operation == msg::pin_mode::kLockOn;
    const std::string_view pin = payload_text(payload, msg::pin_mode::kPin);
    const std::string_view open = lock_on ? kLockOnOpen : kLockOffOpen;
    if (!code_fits_command(pin, open.size() + kClose.size(), "PIN")) {
        return -1;
    }
    copy_text_cut(mdm_pin_code, pin);
    AtExchange ex;
    if (!ex.compose({open, pin, kClose})) {
        return -1;
    }
    MDM_LOG(kLogInfo, " mdm_ATcmd_buf is %s\n", ex.command().data());
    store_text("pin_manage_result", "1");

    if (ex.send(kLockSwitch) != AtOutcome::Answer) {
        return -1;
    }
    char resPara[kStateTextSize];
    const PinAnswer answer = judge_pin_answer(ex, ORV_LOG_LEVEL_INFO, resPara);
    if (answer == PinAnswer::Ended) {
        return -1;
    }
    const std::int32_t result = answer == PinAnswer::Accepted ? 0 : 1;
    if (answer == PinAnswer::Accepted) {
        store_text("pin_code", text_view(mdm_pin_code));
        if (lock_on) {
            MDM_LOG(kLogInfo, "enable sim ok\n");
            store_text("pin_status", "1");
        } else {
            MDM_LOG(kLogInfo, "disable sim  ok\n");
            store_text("pin_status", "0");
        }
        store_text("pin_manage_result", "0");
    }

    notify_if_puk_required(result, resPara);
    orv_quorl_mdm_pin_mode_query();
    orv_quorl_mdm_refresh_pin_puk_numbers();
    store_text("pin_manage_at_wait", "0");
    return 0;
}

}  // namespace orv::sim_security
