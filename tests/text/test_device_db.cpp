#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace {

#ifdef ORV_TEST_DEVICE_DB

using Column = std::vector<std::string>;

// Runs `sql` on the generated device database as the daemon does; the first column of each row.
Column rows(const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(ORV_TEST_DEVICE_DB, &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    Column out;
    auto cb = [](void* ctx, int n, char** values, char**) {
        static_cast<Column*>(ctx)->push_back(n > 0 && values[0] != nullptr ? values[0] : "<null>");
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), cb, &out, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
    return out;
}

// The daemon tries 4, then 3, then 2 ICCID digits with its own query text; the first hit must
// be the country's main language (two-digit, three-digit and zero-led codes).
TEST(DeviceDb, LookupFindsTheCountryAtItsCodeLength) {
    const std::pair<std::string, const char*> table[] = {
        {"4410", "en"}, {"0126", "en"}, {"8520", "zh"}, {"3519", "pt"}, {"4930", "de"},
        {"0701", "ru"}, {"8600", "zh"}, {"3801", "uk"}, {"8100", "ja"}, {"3300", "fr"},
    };
    for (const auto& [digits, language] : table) {
        Column found;
        for (std::size_t len = 4; len >= 2 && found.empty(); --len) {
            found = rows("select Language from language where Country_code like " +
                         digits.substr(0, len));
        }
        EXPECT_EQ(found, Column{language}) << digits;
    }
}

// Calling codes form a prefix code, so a shorter lookup can never find another country; the
// stored spellings must keep that (the bare 1 and 7 beside 01 and 07 included). Every language
// fits the daemon's 9 characters.
TEST(DeviceDb, NoCodeIsThePrefixOfAnother) {
    const Column codes = rows("select Country_code from language");
    ASSERT_GT(codes.size(), 200u);
    for (const std::string& a : codes) {
        for (const std::string& b : codes) {
            EXPECT_FALSE(a != b && b.rfind(a, 0) == 0) << a << " is a prefix of " << b;
        }
    }
    EXPECT_EQ(rows("select count(*) from language where length(Language) > 9"), Column{"0"});
}

#endif

}  // namespace
