// Network (personalisation) lock: the unlock attempts left ("AT+ESMLCK?") and the unlock itself,
// the control key entered with "+CPIN" and the lock then removed with "+CLCK" mode 0.
#include <cstring>
#include <string_view>

#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "platform/orv_mc.h"
#include "platform/orv_sys.h"
#include "sim_security/sim_common.h"
#include "sim_security/sim_security.h"
#include "wire/mdm_msg.h"

namespace orv::sim_security {

using core::AtExchange;
using core::AtOptions;
using core::AtOutcome;

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::net_lock};

// Unlock attempts left as the decimal text the modem sent (at most 4 characters).
constexpr std::size_t kCounterSize = 8;
char mdm_unlock_nck_time[kCounterSize] = {};

constexpr std::string_view kCpinOpen = "AT+CPIN=\"";
constexpr std::string_view kClose = "\"";
// The longest command around an unlock code: "AT+CLCK=\"PN\",0,\"" and the closing quote.
constexpr std::size_t kUnlockFrame = kNetworkUnlockCommand.size() + kClose.size();

// The attempts query: channel's default wait, no TIMEOUT test, no echo, command not logged.
constexpr AtOptions kUnlockTimes{.wait = 0,
                                 .timeout = core::TimeoutTest::Skipped,
                                 .echo = false,
                                 .texts = {core::kNoLine, core::kTextsBlank.answer,
                                           core::kTextsBlank.result, core::kTextsBlank.first_line}};
// Code entry: "mdm_ATcmd_buf is %s\n" and its kin, no echo.
constexpr AtOptions kCodeEntry{.echo = false, .texts = core::kTextsTight};
// Lock removal: leading-blank wording, no echo.
constexpr AtOptions kLockRemoval{.echo = false, .texts = core::kTextsLeadingBlank};

constexpr int kUnlocked = 0;
constexpr int kRefused = 1;

// Publishes the attempts left of the first lock group that is on, among the first two
// (network, network subset). An answer out of shape keeps the former count.
void publish_unlock_count(std::string_view line) {
    auto group = read_lock_group(line, LockGroup::Network);
    if (!group) {
        MDM_LOG(kLogErr, "+ESMLCK answer without a readable first lock group\n");
        return;
    }
    MDM_LOG(kLogInfo, "unlock retries time is %.*s\n", static_cast<int>(group->size()),
            group->data());
    if (!lock_group_is_on(*group)) {
        group = read_lock_group(line, LockGroup::NetworkSubset);
        if (!group) {
            MDM_LOG(kLogErr, "+ESMLCK answer without a readable second lock group\n");
            return;
        }
        MDM_LOG(kLogInfo, "unlock retries time subnet is %.*s\n", static_cast<int>(group->size()),
                group->data());
        if (!lock_group_is_on(*group)) {
            return;
        }
    }
    const auto count = read_lock_group_count(*group);
    if (!count) {
        MDM_LOG(kLogErr, "+ESMLCK lock group without a readable count, unlock retries time kept\n");
        return;
    }
    std::memset(mdm_unlock_nck_time, 0, sizeof mdm_unlock_nck_time);
    copy_text_cut(mdm_unlock_nck_time, *count);
    MDM_LOG(kLogInfo, "unlock retries time is %s\n", mdm_unlock_nck_time);
    store_text("unlock_nck_time", text_view(mdm_unlock_nck_time));
}

}  // namespace

// AT+ESMLCK? -> +ESMLCK: (0,1,5,10),(1,0,5,10),(2,0,5,10),(3,0,5,10),(4,0,5,10)
//    (category, lock on, attempts left, ...)
std::int32_t orv_quorl_mdm_get_unlock_retries_times(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_get_unlock_retries_times fun \n");
    AtExchange ex;
    if (ex.run("AT+ESMLCK?", kUnlockTimes) != AtOutcome::Answer) {
        return -1;
    }
    if (ex.ends_on_error("get unlock times error \n")) {
        return -1;
    }
    if (ex.first_line_starts("+ESMLCK")) {
        publish_unlock_count(ex.first_line_view());
    }
    store_text("unlock_at_wait", "-1");
    return 0;
}

// AT+CPIN="12345678" -> OK (the code was accepted) | +CME ERROR: incorrect password | ...
std::int32_t orv_quorl_mdm_enter_unlock_code(const char* code) {
    if (code == nullptr) {
        MDM_LOG(kLogErr, "msg_ptr is NULL\n");
        return kRefused;
    }
    const std::string_view text(code, strnlen(code, core::kCmdSize));
    if (!code_fits_command(text, kCpinOpen.size() + kClose.size(), "unlock code")) {
        return kRefused;
    }
    AtExchange ex;
    if (!ex.compose({kCpinOpen, text, kClose}) || ex.send(kCodeEntry) != AtOutcome::Answer) {
        return kRefused;
    }
    if (ex.ends_on_error()) {
        return kRefused;
    }
    if (ex.first_line_is("OK")) {
        MDM_LOG(kLogInfo, "sim is complete is\n");
        return kUnlocked;
    }
    MDM_LOG(kLogInfo, "result_e is %d\n", kRefused);
    return kRefused;
}

// The code, then two seconds later AT+CLCK="PU",0,"12345678" on the facility of the last lock
// kind seen. "ERROR" to the removal still means unlocked: the code was accepted just before.
std::int32_t orv_quorl_mdm_net_unlock(const unsigned char* payload) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_net_unlock\n");
    if (payload == nullptr) {
        return 0;
    }
    const std::string_view code = payload_text(payload, msg::net_unlock::kCode);
    if (!code_fits_command(code, kUnlockFrame, "unlock code")) {
        return 0;
    }
    // The code fits the command buffer, so its terminator lies within the payload.
    if (orv_quorl_mdm_enter_unlock_code(code.data()) != kUnlocked) {
        MDM_LOG(kLogErr, "cpin unlock fail!\n");
        orv_mc_state_mdm_return_imsi_unlock_status(kRefused);
        return 0;
    }
    orv_sleep_s(2);

    const std::string_view open =
        lookup(unlock_facility_table, mdm_lock_type).value_or(kNetworkUnlockCommand);
    AtExchange ex;
    if (!ex.compose({open, code, kClose}) || ex.send(kLockRemoval) != AtOutcome::Answer) {
        return 0;
    }
    if (ex.ends_on_error()) {
        orv_mc_state_mdm_return_imsi_unlock_status(kUnlocked);
    } else if (ex.first_line_is("OK")) {
        orv_mc_state_mdm_return_imsi_unlock_status(kUnlocked);
    } else {
        orv_mc_state_mdm_return_imsi_unlock_status(kRefused);
    }
    return 0;
}

}  // namespace orv::sim_security
