#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tests/fake/fake_platform.h"
#include "text/language.h"

namespace orv::text {
namespace {

using fake::fake;
using fake::Lines;

const std::string kRead = "AT AT+CRSM=176,12037,0,0,2";

std::string pl_answer(const std::string& field) {
    return fake::info_ok("+CRSM: 144, 0,\"" + field + "\"");
}
std::string query(const std::string& digits) {
    return "select Language from language where Country_code like " + digits;
}
std::string sql(const std::string& digits) {
    return "SQL " + query(digits);
}

using Row = std::vector<std::optional<std::string>>;

struct Case {
    const char* name;
    const char* country;
    std::vector<std::string> answers;
    std::vector<std::pair<std::string, std::vector<Row>>> db;  // digits -> rows
    Lines timeline;
    Lines logs;  // "LEVEL text" lines that must appear
    const char* country_after;
};

TEST(LanguageDetection, FromEfPlOrTheDeviceDatabase) {
    const Row en{std::string("en")};
    const Case cases[] = {
        {"EF_PL language",
         "4411",
         {pl_answer("656E")},
         {},
         {kRead, "WRITE Language=en", "SAVE"},
         {"6 check_hex_value sim_pl_hex[0]:65  sim_pl_hex[1]:6e", "6 sim_pl_unicode: en len:2 "},
         "4411"},
        {"empty slot FFFF looks up 4, 3, 2 digits",
         "4411",
         {pl_answer("FFFF")},
         {{"44", {en}}},
         {kRead, sql("4411"), sql("441"), sql("44"), "WRITE Language=en", "SAVE"},
         {"0 sim EFPL is not exist!i=0", "6 orv_mdm:orv_country 4", "6 orv_mdm:orv_country 3",
          "6  language is en"},
         "44"},
        {"half empty slot 65FF, hit at 4 digits",
         "4411",
         {pl_answer("65FF")},
         {{"4411", {Row{std::string("cy")}}}},
         {kRead, sql("4411"), "WRITE Language=cy", "SAVE"},
         {"0 sim EFPL is not exist!i=0"},
         "4411"},
        {"half empty slot FF6E",
         "852",
         {pl_answer("FF6E")},
         {{"852", {Row{std::string("zh")}}}},
         {kRead, sql("852"), "WRITE Language=zh", "SAVE"},
         {},
         "852"},
        {"byte outside the GSM range",
         "4411",
         {pl_answer("8E6E")},
         {},
         {kRead},
         {"6 convert gsm7 to bit8 fail!"},
         "4411"},
        {"zero first byte stores the empty text",
         "4411",
         {pl_answer("006E")},
         {},
         {kRead, "WRITE Language=", "SAVE"},
         {},
         "4411"},
        {"file not found 148,4",
         "4411",
         {fake::info_ok("+CRSM: 148, 4")},
         {{"441", {en}}},
         {kRead, sql("4411"), sql("441"), "WRITE Language=en", "SAVE"},
         {"0 sim read EFpl fail \n"},
         "441"},
        {"timed out exchange goes to the lookup",
         "4411",
         {"TIMEOUT"},
         {{"4411", {en}}},
         {kRead, sql("4411"), "WRITE Language=en", "SAVE"},
         {"0 sim read EFpl fail \n"},
         "4411"},
        {"empty answer: nothing else",
         "4411",
         {""},
         {},
         {kRead},
         {"0 (char*)mdm_res.aucDataBuf is NULL\n"},
         "4411"},
        {"no row at all keeps the language",
         "4411",
         {pl_answer("FFFF")},
         {},
         {kRead, sql("4411"), sql("441"), sql("44")},
         {"0 orv_mdm:0 record find 44 use default nv value"},
         "44"},
        {"two rows: both stored, the last stays",
         "4411",
         {pl_answer("FFFF")},
         {{"4411", {Row{std::string("fr")}, Row{std::string("de")}}}},
         {kRead, sql("4411"), "WRITE Language=fr", "SAVE", "WRITE Language=de", "SAVE"},
         {},
         "4411"},
        {"null column is a row without data",
         "4411",
         {pl_answer("FFFF")},
         {{"4411", {Row{std::nullopt}}}},
         {kRead, sql("4411"), sql("441"), sql("44")},
         {"0 orv_mdm:record no data."},
         "44"},
        {"row without columns",
         "49",
         {pl_answer("FFFF")},
         {{"49", {Row{}}}},
         {kRead, sql("49")},
         {"0 orv_mdm:record no data.", "0 orv_mdm:0 record find 49 use default nv value"},
         "49"},
        {"over-long value cut to 9 characters",
         "4411",
         {pl_answer("FFFF")},
         {{"4411", {Row{std::string("abcdefghijklmn")}}}},
         {kRead, sql("4411"), "WRITE Language=abcdefghi", "SAVE"},
         {},
         "4411"},
        {"field longer than four digits",
         "4411",
         {pl_answer("656E00")},
         {},
         {kRead},
         {"0 sim EFpl field of 6 digits does not fit \n"},
         "4411"},
        {"success without a quoted field",
         "4411",
         {fake::info_ok("+CRSM: 144, 0,656E")},
         {},
         {kRead},
         {"0 sim EFpl answer without a quoted field \n"},
         "4411"},
        {"unclosed quote",
         "4411",
         {fake::info_ok("+CRSM: 144, 0,\"656E")},
         {},
         {kRead},
         {"0 sim EFpl answer without a quoted field \n"},
         "4411"},
        {"country that is not digits is never queried",
         "4'1;",
         {pl_answer("FFFF")},
         {},
         {kRead},
         {"0 orv_mdm:country 4'1; is not a digit text, no lookup\n"},
         "4'1;"},
        {"empty country is never queried",
         "",
         {fake::info_ok("+CRSM: 148, 4")},
         {},
         {kRead},
         {},
         ""},
    };
    for (const Case& c : cases) {
        fake::reset();
        std::memset(orv_country, 0, sizeof orv_country);
        std::strncpy(orv_country, c.country, 4);
        fake().answers.assign(c.answers.begin(), c.answers.end());
        for (const auto& [digits, rows] : c.db) {
            fake().db_rows[query(digits)] = rows;
        }
        orv_quorl_mdm_auto_set_language();
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        const Lines logs = fake().log_texts();
        for (const std::string& want : c.logs) {
            EXPECT_NE(std::find(logs.begin(), logs.end(), want), logs.end())
                << c.name << ": missing log " << want;
        }
        EXPECT_STREQ(orv_country, c.country_after) << c.name;
        EXPECT_EQ(fake().waits, std::vector<int>{10000}) << c.name;
        EXPECT_TRUE(fake().echoes.empty()) << c.name << ": the answer is not echoed";
    }
}

TEST(LanguageDetection, LookupRefusesNull) {
    fake::reset();
    EXPECT_EQ(orv_set_language_by_country(nullptr), -1);
    EXPECT_TRUE(fake().logged(0, "invalid input\n"));
    EXPECT_TRUE(fake().timeline.empty());
}

TEST(LanguageDetection, CallbackFillsTheContext) {
    fake::reset();
    char result[10];
    std::memset(result, 'x', sizeof result);
    char value[] = "abcdefghijklmn";
    char* values[] = {value};
    char column[] = "Language";
    char* names[] = {column};
    EXPECT_EQ(orv_language_record_cb(result, 1, values, names), 0);
    EXPECT_EQ(std::string(result, sizeof result), std::string("abcdefghi\0", 10));
    EXPECT_EQ(orv_language_record_cb(result, 0, values, names), -1);
    EXPECT_EQ(orv_language_record_cb(result, 1, nullptr, names), -1);
}

}  // namespace
}  // namespace orv::text
