// ICCID request: reads EF ICCID (0x2FE2), publishes the digits as "sim_iccid" and, when the
// language follows the SIM, notices a newly inserted SIM by the ICCID remembered in "iccid".
#include <cstring>
#include <string_view>

#include "core/answer.h"
#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "platform/orv_nvram.h"
#include "sim_identity/language.h"
#include "sim_identity/sim_identity.h"

namespace orv::sim_identity {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::iccid};

// ICCID of the last successful read, for the life of the process.
char mdm_sim_iccid[kSimIccidSize] = {};

// Read 10 bytes of EF ICCID from offset 0. The TIMEOUT test comes after the echo, and the answer
// must mention "+CRSM" before its lines are logged, so the exchange itself skips the test and
// leaves the two result lines to the handler.
constexpr std::string_view kReadIccid = "AT+CRSM=176,12258,0,0,10";
constexpr core::AtOptions kIccidExchange{
    .timeout = core::TimeoutTest::Skipped,
    .texts = {core::kTextsTight.command, core::kTextsTight.answer, core::kNoLine, core::kNoLine},
};

// The SIM answers its status words without data, or the modem reports the card as failed.
constexpr std::string_view kSimFailStatus = "+CRSM: 0, 0";
constexpr std::string_view kSimFailure = "+CME ERROR: SIM failure";

// The SIM keeps each ICCID byte low digit first: exchange the characters of the first ten pairs.
// A shorter text swaps its last character with the zero byte after it.
void swap_nibbles(char (&digits)[kSimIccidSize]) {
    constexpr std::size_t kSwappedPairs = 10;
    for (std::size_t i = 0; i < 2 * kSwappedPairs; i += 2) {
        const char c = digits[i];
        digits[i] = digits[i + 1];
        digits[i + 1] = c;
    }
}

// A different SIM: its country digits go to the language detection, then the ICCID is
// remembered and the whole store committed.
void adopt_new_sim(std::string_view iccid) {
    constexpr std::size_t kCountryAt = 2;  // after the industry prefix 89
    constexpr std::size_t kCountryDigits = kCountrySize - 1;
    static_assert(kCountryAt + kCountryDigits <= kSimIccidSize);
    // The four places after the prefix, zero bytes included when the ICCID is shorter, and the
    // terminator.
    char orv_country[kCountrySize] = {};
    std::memcpy(orv_country, mdm_sim_iccid + kCountryAt, kCountryDigits);
    orv_quorl_mdm_auto_set_language(orv_country);
    orv_nvconfig_write("iccid", iccid.data(), static_cast<int>(iccid.size()));
    orv_nvconfig_save();
    MDM_LOG(kLogInfo, "iccid change,auto set language  \n");
}

}  // namespace

std::string_view mdm_sim_iccid_text() {
    return text_view(mdm_sim_iccid);
}

std::int32_t orv_quorl_mdm_get_iccid(const unsigned char* /*payload*/,
                                     std::uint8_t auto_set_language) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_get_iccid fun\n");

    core::AtExchange ex;
    if (ex.run(kReadIccid, kIccidExchange) != core::AtOutcome::Answer) {
        return -1;
    }
    if (ex.answer_is_timeout()) {
        MDM_LOG(kLogErr, "(char*)mdm_res.aucDataBuf is TIMEOUT\n");
        return -1;
    }
    if (ex.answer_view().find("+CRSM") == std::string_view::npos) {
        MDM_LOG(kLogErr, "(char*)mdm_res.aucDataBuf has no +CRSM\n");
        return -1;
    }
    ex.log_lines(core::kTextsTight);

    if (ex.ends_on_error()) {
        return -1;
    }
    if (ex.first_line_is("OK")) {
        MDM_LOG(kLogErr, "(char*)mdm_res.aucDataBuf is OK\n");
        return -1;
    }
    if (ex.first_line_starts(kSimFailStatus) || ex.first_line_starts(kSimFailure)) {
        MDM_LOG(kLogErr, "sim fail\n");
        orv_nvconfig_write("sim_iccid", "", 0);
        return -1;
    }

    //   +CRSM: 144, 0,"984421436587092143F5"
    const core::QuotedField field = core::quoted_field(ex.first_line_view());
    if (field.status == core::Quoted::NoQuote) {
        MDM_LOG(kLogErr, "p1 is null\n");
        return -1;
    }
    if (field.status == core::Quoted::Unclosed) {
        MDM_LOG(kLogErr, "p2 is null\n");
        return -1;
    }
    char quoted[kSimIccidSize] = {};
    if (!copy_text_whole(quoted, field.text)) {
        MDM_LOG(kLogErr, "quoted iccid longer than %d characters\n",
                static_cast<int>(kSimIccidSize - 1));
        return -1;
    }

    swap_nibbles(quoted);
    const std::string_view iccid = text_view(quoted);
    copy_text_cut(mdm_sim_iccid, iccid);
    MDM_LOG(kLogInfo, "sim iccid is %s\n", mdm_sim_iccid);
    orv_nvconfig_write("sim_iccid", iccid.data(), static_cast<int>(iccid.size()));

    if (auto_set_language == 0) {
        return 0;
    }
    char remembered[kSimIccidSize] = {};
    orv_nvconfig_read("iccid", remembered, static_cast<int>(kSimIccidSize - 1));
    if (iccid.empty() || text_view(remembered) == iccid) {
        return 0;
    }
    adopt_new_sim(iccid);
    return 0;
}

}  // namespace orv::sim_identity
