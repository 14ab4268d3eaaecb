// PIN and PUK attempts left: "AT+EPINC" read into two counters that live for the daemon's life,
// and the refresh that publishes them.
#include <cstring>

#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "sim_security/sim_common.h"
#include "sim_security/sim_security.h"

namespace orv::sim_security {

using core::AtExchange;
using core::AtOptions;
using core::AtOutcome;

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::pin_counters};

// Attempts left as the decimal text the modem sent (at most 4 characters), empty until the
// first good answer.
constexpr std::size_t kCounterSize = 8;
char mdm_pin_number[kCounterSize] = {};
char mdm_puk_number[kCounterSize] = {};

// The command line is not logged; the answer lines are, with a blank before the line feed.
constexpr AtOptions kEpinc{.texts = {core::kNoLine, core::kTextsBlank.answer,
                                     core::kTextsBlank.result, core::kTextsBlank.first_line}};

void set_counter(char (&counter)[kCounterSize], std::string_view text) {
    std::memset(counter, 0, sizeof counter);
    copy_text_cut(counter, text);
}

}  // namespace

std::int32_t orv_quorl_mdm_get_pin_puk_times(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_get_pin_puk_times fun \n");
    AtExchange ex;
    if (ex.run("AT+EPINC", kEpinc) != AtOutcome::Answer) {
        return -1;
    }
    if (ex.ends_on_error("get pin puk times error \n")) {
        return -1;
    }
    if (!ex.first_line_starts("+EPINC")) {
        return -1;
    }
    const auto counters = read_epinc(ex.first_line_view());
    if (!counters) {
        MDM_LOG(kLogErr, "+EPINC answer out of shape, pin and puk times kept\n");
        return -1;
    }
    set_counter(mdm_pin_number, counters->pin);
    set_counter(mdm_puk_number, counters->puk);
    MDM_LOG(kLogInfo, "pin time is %s,puk time is %s \n", mdm_pin_number, mdm_puk_number);
    return 0;
}

void orv_quorl_mdm_refresh_pin_puk_numbers() {
    orv_quorl_mdm_get_pin_puk_times(nullptr);
    store_text("pinnumber", text_view(mdm_pin_number));
    store_text("puknumber", text_view(mdm_puk_number));
}

}  // namespace orv::sim_security
