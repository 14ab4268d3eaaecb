#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sim_identity/language.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"

namespace orv::sim_identity {
namespace {

using fake::fake;
using fake::Lines;
using Row = std::vector<std::optional<std::string>>;

std::string pl(const std::string& field) {
    return fake::info_ok("+CRSM: 144, 0,\"" + field + "\"");
}
std::string query(const std::string& digits) {
    return "select Language from language where Country_code like " + digits;
}

// The read of EF_PL, then the story's entries: "?44" a lookup by those digits, "=en" a language
// written and committed.
Lines timeline(const std::string& story) {
    Lines out{"AT AT+CRSM=176,12037,0,0,2"};
    for (const std::string& e : fake::split(story)) {
        if (e[0] == '?') {
            out.push_back("SQL " + query(e.substr(1)));
        } else {
            out.insert(out.end(), {"WRITE Language" + e, "SAVE"});
        }
    }
    return out;
}

// Device database rows of one lookup: "4411:fr|de" two rows for the digits 4411, "(null)" a row
// whose column is null, "()" a row without columns.
void add_rows(const std::string& db) {
    if (db.empty()) {
        return;
    }
    const std::size_t colon = db.find(':');
    auto& rows = fake().db_rows[query(db.substr(0, colon))];
    for (const std::string& v : fake::split(db.substr(colon + 1))) {
        rows.push_back(v == "()" ? Row{} : v == "(null)" ? Row{std::nullopt} : Row{v});
    }
}

TEST(LanguageDetection, FromEfPlOrTheDeviceDatabase) {
    const std::string ff = pl("FFFF");
    const std::string not_found = fake::info_ok("+CRSM: 148, 4");
    const std::string no_quote = "0 sim EFpl answer without a quoted field \n";
    const std::string no_row = "0 orv_mdm:0 record find 44 use default nv value";
    const struct {
        const char* name;
        const char* country;
        std::string answer;
        std::string db;
        std::string story;
        std::string logs;  // '|' between lines that must be logged
        const char* country_after;
    } cases[] = {
        {"EF_PL language", "4411", pl("656E"), "", "=en",
         "6 check_hex_value sim_pl_hex[0]:65  sim_pl_hex[1]:6e|6 sim_pl_unicode: en len:2 ",
         "4411"},
        {"slot 65FF: lookup", "4411", pl("65FF"), "4411:cy", "?4411|=cy",
         "0 sim EFPL is not exist!i=0", "4411"},
        {"slot FF6E: lookup", "852", pl("FF6E"), "852:zh", "?852|=zh", "", "852"},
        {"byte outside GSM", "4411", pl("8E6E"), "", "", "6 convert gsm7 to bit8 fail!", "4411"},
        {"zero first byte: empty text", "4411", pl("006E"), "", "=", "", "4411"},
        {"file not found: lookup", "4411", not_found, "441:en", "?4411|?441|=en",
         "0 sim read EFpl fail \n", "441"},
        {"TIMEOUT is an answer", "4411", "TIMEOUT", "4411:en", "?4411|=en", "", "4411"},
        {"empty answer", "4411", "", "", "", "0 (char*)mdm_res.aucDataBuf is NULL\n", "4411"},
        {"no row: 4, 3, 2 digits", "4411", ff, "", "?4411|?441|?44", no_row, "44"},
        {"two rows: both stored", "4411", ff, "4411:fr|de", "?4411|=fr|=de", "", "4411"},
        {"null column", "4411", ff, "4411:(null)", "?4411|?441|?44",
         "0 orv_mdm:record no data.|" + no_row, "44"},
        {"row without columns", "49", ff, "49:()", "?49",
         "0 orv_mdm:record no data.|0 orv_mdm:0 record find 49 use default nv value", "49"},
        {"over-long value cut", "4411", ff, "4411:abcdefghijklmn", "?4411|=abcdefghi", "", "4411"},
        {"field of six digits", "4411", pl("656E00"), "", "",
         "0 sim EFpl field of 6 digits does not fit \n", "4411"},
        {"no quote", "4411", fake::info_ok("+CRSM: 144, 0,656E"), "", "", no_quote, "4411"},
        {"unclosed quote", "4411", fake::info_ok("+CRSM: 144, 0,\"656E"), "", "", no_quote, "4411"},
        {"country not digits", "4'1;", ff, "", "",
         "0 orv_mdm:country 4'1; is not a digit text, no lookup\n", "4'1;"},
        {"empty country", "", not_found, "", "", "", ""},
    };
    for (const auto& c : cases) {
        fake::reset();
        char orv_country[kCountrySize] = {};
        std::strncpy(orv_country, c.country, 4);
        fake().answers = {c.answer};
        add_rows(c.db);
        orv_quorl_mdm_auto_set_language(orv_country);
        EXPECT_EQ(fake().timeline, timeline(c.story)) << c.name;
        fake::expect_logged(c.logs, c.name);
        EXPECT_STREQ(orv_country, c.country_after) << c.name;
        EXPECT_EQ(fake().waits, std::vector<int>{10000}) << c.name;
        EXPECT_TRUE(fake().echoes.empty()) << c.name << ": the answer is not echoed";
    }
}

// The row callback cuts to 9 characters and a terminator inside the caller's 10 bytes.
TEST(LanguageDetection, CallbackAndLookupRefuseMissingInput) {
    fake::reset();
    LanguageQuery query{"4412", {}};
    std::memset(query.language, 'x', sizeof query.language);
    char value[] = "abcdefghijklmn";
    char* values[] = {value};
    EXPECT_EQ(orv_language_record_cb(&query, 1, values, nullptr), 0);
    EXPECT_EQ(std::string(query.language, sizeof query.language), std::string("abcdefghi\0", 10));
    EXPECT_EQ(orv_language_record_cb(&query, 0, values, nullptr), -1);
    EXPECT_EQ(orv_language_record_cb(&query, 1, nullptr, nullptr), -1);
    EXPECT_EQ(orv_set_language_by_country(nullptr), -1);
    EXPECT_EQ(fake().timeline, (Lines{"WRITE Language=abcdefghi", "SAVE"}));
}

}  // namespace
}  // namespace orv::sim_identity
