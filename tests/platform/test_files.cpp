// Factory configuration, battery indicator, device database (the shipped one too, through the
// daemon's own lookup), battery driver stand-in and the system calls, against real files.

#include <signal.h>
#include <sqlite3.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/orv_cfg.h"
#include "platform/orv_led.h"
#include "platform/orv_mdmdb.h"
#include "platform/orv_nvram.h"
#include "platform/orv_pwm.h"
#include "platform/orv_sys.h"
#include "sim_identity/language.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

using FilesTest = PlatformTest;

TEST_F(FilesTest, FactoryItemFillsTheBufferAndZeroesTheRest) {
    std::filesystem::create_directories(path("factory/77"));  // a folder, not an item
    write_file(path("factory/2301"), "\x01");
    write_file(path("factory/2000"), std::string("V1.0\0\0model", 11));
    const std::tuple<int, int, int, std::string> rows[] = {
        // item, size, result, the first 12 bytes of the buffer afterwards
        {ORV_CFG_AUTO_SET_LANGUAGE_ID, 4, 1, std::string("\x01\0\0\0", 4) + std::string(8, '#')},
        {ORV_CFG_VERSION_ID, 12, 11, std::string("V1.0\0\0model\0", 12)},
        {2000, 4, 4, "V1.0" + std::string(8, '#')},
        {2302, 4, -1, std::string(12, '#')},
        {77, 4, -1, std::string(12, '#')}};
    for (const auto& [id, size, result, buffer] : rows) {
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(orv_cfg_get_item(id, buf, size), result) << id << " size " << size;
        EXPECT_EQ(std::string(buf, 12), buffer) << id << " size " << size;
    }
}

TEST_F(FilesTest, BatteryIndicatorAppendsOneLinePerUpdate) {
    EXPECT_EQ(orv_lib_led_power_vol_state(100, 1), 0);
    EXPECT_EQ(orv_lib_led_power_vol_state(7, 0), 0);
    EXPECT_EQ(read_file(path("run/battery_led")), "100 1\n7 0\n");
    std::filesystem::create_directories(path("other/battery_led"));  // a folder in the way
    setenv("ORV_RUN_DIR", path("other").c_str(), 1);
    EXPECT_EQ(orv_lib_led_power_vol_state(7, 0), -1);
}

TEST_F(FilesTest, DeviceDatabaseRowsReachTheCallbackInOrder) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path("device.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE language(Country_code TEXT, Language TEXT);"
                           "INSERT INTO language VALUES('49','de'),('33','fr'),('44','en');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    // Each row as "name=value;..." then '|'; a row ending in "fr;" stops the query.
    const orv_db_row_cb collect = [](void* ctx, int n, char** values, char** names) {
        auto* seen = static_cast<std::string*>(ctx);
        for (int i = 0; i < n; ++i) {
            *seen += std::string(names[i]) + "=" + (values[i] ? values[i] : "NULL") + ";";
        }
        *seen += "|";
        return seen->ends_with("fr;|") ? 1 : 0;
    };
    const std::tuple<const char*, int, std::string> rows[] = {
        {"SELECT * FROM language WHERE Country_code > '4' ORDER BY Country_code", 0,
         "Country_code=44;Language=en;|Country_code=49;Language=de;|"},
        {"SELECT Language FROM language WHERE Country_code = '999'", 0, ""},
        {"SELECT Language FROM language ORDER BY Language DESC", 0, "Language=fr;|"},
        {"SELECT nothing FROM nowhere", -1, ""},
        {"INSERT INTO language VALUES('1','en')", -1, ""}};  // read-only
    for (const auto& [sql, result, expected] : rows) {
        std::string seen;
        EXPECT_EQ(orv_libmdm_db_exec_sql(sql, collect, &seen), result) << sql;
        EXPECT_EQ(seen, expected) << sql;
    }
    setenv("ORV_DEVICE_DB", path("missing.db").c_str(), 1);
    std::string seen;
    EXPECT_EQ(orv_libmdm_db_exec_sql("SELECT 1", collect, &seen), -1);
    EXPECT_EQ(file_mode(path("missing.db")), ~0u);  // never created
}

// Real ICCIDs of every country group against the shipped database: their four country digits
// (4, 3, then 2 digits asked) find the language stored.
TEST_F(FilesTest, EveryCountryGroupFindsItsPhonesLanguageInTheShippedDatabase) {
    setenv("ORV_DEVICE_DB", ORV_TEST_DEVICE_DB, 1);
    // ICCID prefixes as issuers print them (the calling code after 89, then the issuer), and
    // the language: +7 and +1 with and without the leading 0 and Canada's MCC form; countries
    // whose official language differs from the most spoken one; big markets and neighbours.
    std::istringstream rows(
        "8970101 ru 8970199 ru 8907010 ru 8977020 ru 8914800 en 8901410 en 8901260 en 8930272 en "
        "8930261 en 8924301 fr 8923301 en 8959501 es 8922101 fr 8923601 fr 8926501 en 8925402 en "
        "8925610 en 8991100 en 8937501 ru 8950901 fr 8922301 fr 8922701 fr 8926401 en 8964011 en "
        "8963030 en 8930101 el 8944100 en 8949226 de 8933201 fr 8934010 es 8939010 it 8931160 nl "
        "8932100 nl 8941010 de 8943010 de 8948020 pl 8946200 sv 8947020 nb 8935101 pt 8935301 en "
        "8935801 fi 8938001 uk 8990010 tr 8992010 ur 8986001 zh 8985200 zh 8981100 ja 8982050 ko "
        "8962100 id 8984040 vi 8966010 th 8961010 en 8955050 pt 8952020 es 8954030 es 8920020 ar "
        "8923401 en 8927010 en 8925502 sw 8996601 ar 8997102 ar 8997201 he 8921200 ar 8996101 ar "
        "8938101 sr");
    for (std::string iccid, language; rows >> iccid >> language;) {
        orv_nvconfig_write("Language", "-", 1);
        char country[sim_identity::kCountrySize] = {};
        std::memcpy(country, iccid.data() + 2, 4);  // the four digits after 89
        EXPECT_EQ(sim_identity::orv_set_language_by_country(country), 0) << iccid;
        char value[16] = {};
        orv_nvconfig_read("Language", value, sizeof value - 1);
        EXPECT_EQ(value, language) << iccid;
    }
}

// A shorter lookup may only ever find the SIM's own country: a code that begins another one
// names the same language, except the one clash the data accepts (Canada's 302 inside +30).
// Every language fits the daemon's 9 characters.
TEST(LanguageDb, NoCodeHidesAnotherCountry) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(ORV_TEST_DEVICE_DB, &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::vector<std::pair<std::string, std::string>> rows;
    auto cb = [](void* ctx, int, char** values, char**) {
        static_cast<decltype(rows)*>(ctx)->emplace_back(values[0], values[1]);
        return 0;
    };
    sqlite3_exec(db, "select Country_code, Language from language", cb, &rows, nullptr);
    sqlite3_close(db);
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

TEST_F(FilesTest, BatteryDriverStandInAnswersFromTheFileAtQueryTime) {
    const std::string sim = path("pwm");
    setenv("ORV_PWM_SIM", sim.c_str(), 1);
    EXPECT_EQ(orv_pwm_open(ORV_PWM_DEVICE), -1);  // the file does not exist yet
    write_file(sim, "present=1\nlevel=3\npercent=87\ncharging=0\n");
    const int h = orv_pwm_open(ORV_PWM_DEVICE);
    ASSERT_GE(h, 0);
    const std::tuple<const char*, unsigned long, int, int> rows[] = {
        // the file from here (nullptr: unchanged), the request, the result and the value
        {nullptr, ORV_PWM_GET_PRESENT, 0, 1},
        {nullptr, ORV_PWM_GET_LEVEL, 0, 3},
        {nullptr, 0x8004880eUL, -1, -7},
        {"charging=1\r\npercent=100\r\n", ORV_PWM_GET_PERCENT, 0, 100},
        {nullptr, ORV_PWM_GET_LEVEL, -1, -7},  // line missing
        {"level=high\npercent=\npresent=-1\n", ORV_PWM_GET_LEVEL, -1, -7},
        {nullptr, ORV_PWM_GET_PRESENT, 0, -1},
        {"levels=4\nlevel=2\n", ORV_PWM_GET_LEVEL, 0, 2},
        {"level=99999999999\n", ORV_PWM_GET_LEVEL, -1, -7},
    };
    for (const auto& row : rows) {
        const auto& [file, request, result, expected] = row;
        if (file != nullptr) {
            write_file(sim, file);
        }
        int value = -7;
        EXPECT_EQ(orv_pwm_ioctl(h, request, &value), result) << "row " << &row - rows;
        EXPECT_EQ(value, expected);
    }
    orv_pwm_close(h);

    // Without the stand-in the driver is opened and asked for real.
    unsetenv("ORV_PWM_SIM");
    EXPECT_EQ(orv_pwm_open(path("no-pwm").c_str()), -1);
    const int not_a_driver = orv_pwm_open("/dev/null");
    ASSERT_GE(not_a_driver, 0);
    int value = -7;
    EXPECT_EQ(orv_pwm_ioctl(not_a_driver, ORV_PWM_GET_PERCENT, &value), -1);
    orv_pwm_close(not_a_driver);
}

TEST(SysCalls, SleepResumesAfterASignal) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, nullptr);  // no SA_RESTART: the signal interrupts the sleep
    itimerval timer{};
    timer.it_value.tv_usec = 200000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    const auto start = std::chrono::steady_clock::now();
    orv_sleep_s(1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(990));
    signal(SIGALRM, SIG_DFL);
}

// The answer on standard output (a pipe here): its text and a line feed, once, also when it is
// longer than the line buffer and goes out in two writes.
TEST(SysCalls, EchoWritesTheAnswerAndALineFeedOnce) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(p[1], STDOUT_FILENO);
    const std::string long_text(3000, 'a');
    orv_echo_answer("+CSQ: 20,99");
    orv_echo_answer(nullptr);
    orv_echo_answer(long_text.c_str());
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(p[1]);
    EXPECT_EQ(read_file("/dev/fd/" + std::to_string(p[0])), "+CSQ: 20,99\n\n" + long_text + "\n");
    close(p[0]);
}

}  // namespace
}  // namespace orv::test
