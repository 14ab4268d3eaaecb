// The shipped device database through the daemon's own lookup: real ICCIDs of every country
// group, their four country digits (4, 3, then 2 digits asked) and the language stored.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/orv_nvram.h"
#include "sim_identity/language.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

using LanguageDbTest = PlatformTest;

// The language the lookup stores for a SIM with this ICCID ("-" when it finds none).
std::string language_of(const std::string& iccid) {
    orv_nvconfig_write("Language", "-", 1);
    char country[sim_identity::kCountrySize] = {};
    std::memcpy(country, iccid.data() + 2, 4);  // the four digits after 89
    EXPECT_EQ(sim_identity::orv_set_language_by_country(country), 0) << iccid;
    char value[16] = {};
    orv_nvconfig_read("Language", value, sizeof value - 1);
    return value;
}

TEST_F(LanguageDbTest, EveryCountryGroupFindsItsPhonesLanguage) {
    setenv("ORV_DEVICE_DB", ORV_TEST_DEVICE_DB, 1);
    // ICCID prefixes as issuers print them: the calling code after 89, then the issuer.
    const std::vector<std::pair<const char*, const char*>> rows = {
        // +7 and +1 with and without the leading 0, and Canada's MCC form
        {"8970101", "ru"},
        {"8970199", "ru"},
        {"8907010", "ru"},
        {"8977020", "ru"},
        {"8914800", "en"},
        {"8901410", "en"},
        {"8901260", "en"},
        {"8930272", "en"},
        {"8930261", "en"},
        // where the official language differs from the most spoken one
        {"8924301", "fr"},
        {"8923301", "en"},
        {"8959501", "es"},
        {"8922101", "fr"},
        {"8923601", "fr"},
        {"8926501", "en"},
        {"8925402", "en"},
        {"8925610", "en"},
        {"8991100", "en"},
        {"8937501", "ru"},
        {"8950901", "fr"},
        {"8922301", "fr"},
        {"8922701", "fr"},
        {"8926401", "en"},
        {"8964011", "en"},
        {"8963030", "en"},
        // big markets and neighbours of the codes above
        {"8930101", "el"},
        {"8944100", "en"},
        {"8949226", "de"},
        {"8933201", "fr"},
        {"8934010", "es"},
        {"8939010", "it"},
        {"8931160", "nl"},
        {"8932100", "nl"},
        {"8941010", "de"},
        {"8943010", "de"},
        {"8948020", "pl"},
        {"8946200", "sv"},
        {"8947020", "nb"},
        {"8935101", "pt"},
        {"8935301", "en"},
        {"8935801", "fi"},
        {"8938001", "uk"},
        {"8990010", "tr"},
        {"8992010", "ur"},
        {"8986001", "zh"},
        {"8985200", "zh"},
        {"8981100", "ja"},
        {"8982050", "ko"},
        {"8962100", "id"},
        {"8984040", "vi"},
        {"8966010", "th"},
        {"8961010", "en"},
        {"8955050", "pt"},
        {"8952020", "es"},
        {"8954030", "es"},
        {"8920020", "ar"},
        {"8923401", "en"},
        {"8927010", "en"},
        {"8925502", "sw"},
        {"8996601", "ar"},
        {"8997102", "ar"},
        {"8997201", "he"},
        {"8921200", "ar"},
        {"8996101", "ar"},
        {"8938101", "sr"},
    };
    for (const auto& [iccid, language] : rows) {
        EXPECT_EQ(language_of(iccid), language) << iccid;
    }
}

// The column values of every row of the shipped database.
std::vector<std::pair<std::string, std::string>> all_rows() {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(ORV_TEST_DEVICE_DB, &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::vector<std::pair<std::string, std::string>> out;
    auto cb = [](void* ctx, int, char** values, char**) {
        static_cast<decltype(out)*>(ctx)->emplace_back(values[0], values[1]);
        return 0;
    };
    sqlite3_exec(db, "select Country_code, Language from language", cb, &out, nullptr);
    sqlite3_close(db);
    return out;
}

// A shorter lookup may only ever find the SIM's own country: a code that begins another one
// names the same language, except the one clash the data accepts (Canada's 302 inside +30).
// Every language fits the daemon's 9 characters.
TEST(LanguageDb, NoCodeHidesAnotherCountry) {
    const auto rows = all_rows();
    ASSERT_GT(rows.size(), 200u);
    for (const auto& [a, lang_a] : rows) {
        EXPECT_LE(lang_a.size(), 9u) << a;
        for (const auto& [b, lang_b] : rows) {
            const bool prefix = a != b && b.rfind(a, 0) == 0;
            EXPECT_FALSE(prefix && lang_a != lang_b && !(a == "30" && b == "302"))
                << a << " begins " << b;
        }
    }
}

}  // namespace
}  // namespace orv::test
