#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace {

#ifdef ORV_TEST_DEVICE_DB

class DeviceDb : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(sqlite3_open_v2(ORV_TEST_DEVICE_DB, &db_, SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
    }
    void TearDown() override { sqlite3_close(db_); }

    // Runs `sql` as the device database call does and collects the first column of each row.
    std::vector<std::string> rows(const std::string& sql) {
        std::vector<std::string> out;
        auto cb = [](void* ctx, int n, char** values, char**) {
            auto* v = static_cast<std::vector<std::string>*>(ctx);
            v->push_back(n > 0 && values[0] != nullptr ? values[0] : "<null>");
            return 0;
        };
        EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), cb, &out, nullptr), SQLITE_OK) << sql;
        return out;
    }
    std::vector<std::string> lookup(const std::string& digits) {
        return rows("select Language from language where Country_code like " + digits);
    }

    sqlite3* db_ = nullptr;
};

TEST_F(DeviceDb, CountryCodesGiveTheMainLanguage) {
    struct Row {
        const char* digits;
        const char* language;
    };
    const Row table[] = {
        {"44", "en"},  {"49", "de"}, {"33", "fr"}, {"01", "en"},  {"07", "ru"},  {"86", "zh"},
        {"852", "zh"}, {"39", "it"}, {"34", "es"}, {"351", "pt"}, {"48", "pl"},  {"81", "ja"},
        {"82", "ko"},  {"91", "hi"}, {"55", "pt"}, {"90", "tr"},  {"380", "uk"}, {"41", "de"},
    };
    for (const Row& r : table) {
        EXPECT_EQ(lookup(r.digits), std::vector<std::string>{r.language}) << r.digits;
    }
}

// The daemon tries 4, then 3, then 2 ICCID digits; the first hit must be the country's code.
TEST_F(DeviceDb, FallbackFindsTheCodeAtItsLength) {
    struct Row {
        const char* iccid_digits;  // the four digits after 89
        const char* language;
    };
    const Row table[] = {
        {"4410", "en"}, {"0126", "en"}, {"8520", "zh"}, {"3519", "pt"},
        {"4930", "de"}, {"0701", "ru"}, {"8600", "zh"},
    };
    for (const Row& r : table) {
        const std::string d = r.iccid_digits;
        std::vector<std::string> found;
        for (std::size_t len = 4; len >= 2 && found.empty(); --len) {
            found = lookup(d.substr(0, len));
        }
        EXPECT_EQ(found, std::vector<std::string>{r.language}) << d;
    }
}

// Calling codes form a prefix code, so a shorter lookup can never find another country; the
// stored spellings must keep that (the bare 1 and 7 beside 01 and 07 included).
TEST_F(DeviceDb, NoCodeIsThePrefixOfAnother) {
    const std::vector<std::string> codes = rows("select Country_code from language");
    ASSERT_GT(codes.size(), 200u);
    for (const std::string& a : codes) {
        for (const std::string& b : codes) {
            EXPECT_FALSE(a != b && b.rfind(a, 0) == 0) << a << " is a prefix of " << b;
        }
    }
    EXPECT_EQ(rows("select count(*) from language where length(Language) > 9"),
              std::vector<std::string>{"0"});
}

#endif

}  // namespace
