#include "sim_identity/language.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/answer.h"
#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "platform/orv_mdmdb.h"
#include "platform/orv_nvram.h"
#include "text/orv_convert.h"

namespace orv::sim_identity {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::language};

constexpr const char* kLanguageName = "Language";
constexpr const char* kLanguageTable = "language";

constexpr std::size_t kPlFieldSize = 5;    // four digits of a two-byte read and the terminator
constexpr std::size_t kLanguageSize = 20;  // the language text of one detection
constexpr std::uint16_t kLanguageLimit = 19;
constexpr std::size_t kQuerySize = 1024;

// Reading EF_PL (0x2F05), first two bytes: no echo, no TIMEOUT test, an empty answer is an
// error. Sample answer: "\r\n+CRSM: 144, 0,\"656E\"\r\n\r\nOK\r\n".
constexpr const char* kReadPlCommand = "AT+CRSM=176,12037,0,0,2";
constexpr orv::core::AtOptions kReadPlOptions{
    .wait = 10000,
    .timeout = orv::core::TimeoutTest::Skipped,
    .echo = false,
    .empty_log = orv::core::LogAt::Error,
};

bool all_digits(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

void store_language(const char* text, std::size_t length) {
    orv_nvconfig_write(kLanguageName, text, static_cast<int>(length));
    orv_nvconfig_save();
}

}  // namespace

int orv_language_record_cb(void* context, int column_count, char** values, char** /*names*/) {
    auto* query = static_cast<LanguageQuery*>(context);
    const std::size_t country_length =
        query != nullptr && query->country != nullptr ? std::strlen(query->country) : 0;
    MDM_LOG(kLogInfo, "orv_mdm:record .strlen(orv_country)=%d line=%d",
            static_cast<int>(country_length), column_count);
    // A row whose first column carries no text is treated like a row without columns.
    if (column_count <= 0 || values == nullptr || values[0] == nullptr) {
        MDM_LOG(kLogErr, "orv_mdm:record no data.");
        return -1;
    }
    char language[10] = {};
    const std::size_t full = std::strlen(values[0]);
    const std::size_t kept = copy_text_cut(language, std::string_view(values[0], full));
    if (kept < full) {
        MDM_LOG(kLogErr, "orv_mdm:record language of %d characters cut to %d\n",
                static_cast<int>(full), static_cast<int>(kept));
    }
    if (query != nullptr) {
        std::memcpy(query->language, language, sizeof language);
    }
    MDM_LOG(kLogInfo, " language is %s", language);
    store_language(language, kept);
    return 0;
}

int orv_set_language_by_country(char* country) {
    if (country == nullptr) {
        MDM_LOG(kLogErr, "invalid input\n");
        return -1;
    }
    for (;;) {
        MDM_LOG(kLogInfo, "orv_mdm:country=%s ", country);
        // The country text comes from the SIM and goes into the query as it is: digits only.
        if (!all_digits(country)) {
            MDM_LOG(kLogErr, "orv_mdm:country %s is not a digit text, no lookup\n", country);
            return -1;
        }
        char query[kQuerySize] = {};
        const int n =
            std::snprintf(query, sizeof query, "select Language from %s where Country_code like %s",
                          kLanguageTable, country);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof query) {
            MDM_LOG(kLogErr, "orv_mdm:country text too long for the query, no lookup\n");
            return -1;
        }
        LanguageQuery found{country, {}};
        orv_libmdm_db_exec_sql(query, orv_language_record_cb, &found);
        if (found.language[0] != '\0') {
            return 0;
        }
        switch (std::strlen(country)) {
            case 4:
                MDM_LOG(kLogInfo, "orv_mdm:orv_country 4");
                country[3] = '\0';
                break;
            case 3:
                MDM_LOG(kLogInfo, "orv_mdm:orv_country 3");
                country[2] = '\0';
                break;
            default: {
                char shown[kCountrySize] = {};
                copy_text_cut(shown, country);
                MDM_LOG(kLogErr, "orv_mdm:0 record find %s use default nv value", shown);
                return 0;
            }
        }
    }
}

void orv_quorl_mdm_auto_set_language(char (&orv_country)[kCountrySize]) {
    orv::core::AtExchange ex;
    if (ex.run(kReadPlCommand, kReadPlOptions) != orv::core::AtOutcome::Answer) {
        return;  // empty answer: logged by the exchange; no lookup, "Language" unchanged
    }
    if (!ex.first_line_starts(core::kCrsmSuccess)) {
        MDM_LOG(kLogErr, "sim read EFpl fail \n");
        orv_set_language_by_country(orv_country);
        return;
    }

    const core::QuotedField field = core::quoted_field(ex.first_line_view());
    if (field.status != core::Quoted::Found) {
        MDM_LOG(kLogErr, "sim EFpl answer without a quoted field \n");
        return;
    }
    char sim_pl_field[kPlFieldSize] = {};
    if (!copy_text_whole(sim_pl_field, field.text)) {
        MDM_LOG(kLogErr, "sim EFpl field of %d digits does not fit \n",
                static_cast<int>(field.text.size()));
        return;
    }

    unsigned char sim_pl_hex[kPlFieldSize] = {};
    text::orv_hex_to_bytes(sim_pl_field, sim_pl_hex);
    MDM_LOG(kLogInfo, "check_hex_value sim_pl_hex[0]:%x  sim_pl_hex[1]:%x",
            static_cast<unsigned>(sim_pl_hex[0]), static_cast<unsigned>(sim_pl_hex[1]));
    if (sim_pl_hex[0] == 0xFF || sim_pl_hex[1] == 0xFF) {
        MDM_LOG(kLogErr, "sim EFPL is not exist!i=%d", 0);
        orv_set_language_by_country(orv_country);
        return;
    }

    char language[kLanguageSize] = {};
    if (text::orv_convert_charset(sim_pl_hex, text::ORV_CHARSET_GSM7, language,
                                  text::ORV_CHARSET_BIT8, kLanguageLimit) == nullptr) {
        MDM_LOG(kLogInfo, "convert gsm7 to bit8 fail!");
        return;
    }
    const std::size_t length = text_len(language);
    MDM_LOG(kLogInfo, "sim_pl_unicode: %c%c len:%d ", language[0], language[1],
            static_cast<int>(length));
    store_language(language, length);
}

}  // namespace orv::sim_identity
