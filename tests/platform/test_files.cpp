// Factory configuration, battery indicator, device database, battery driver stand-in and the
// system calls, against real files.

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <cstring>
#include <string>
#include <tuple>

#include "platform/orv_cfg.h"
#include "platform/orv_led.h"
#include "platform/orv_mdmdb.h"
#include "platform/orv_pwm.h"
#include "platform/orv_sys.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

using FilesTest = PlatformTest;

TEST_F(FilesTest, FactoryItemFillsTheBufferAndZeroesTheRest) {
    ASSERT_EQ(mkdir(path("factory").c_str(), 0750), 0);
    ASSERT_EQ(mkdir(path("factory/77").c_str(), 0750), 0);  // a folder, not an item
    write_file(path("factory/2301"), "\x01");
    write_file(path("factory/2000"), std::string("V1.0\0\0model", 11));
    struct Row {
        int id, size, result;
        std::string buffer;  // the first 12 bytes afterwards
    };
    const Row rows[] = {{2301, 4, 1, std::string("\x01\0\0\0", 4) + std::string(8, '#')},
                        {2000, 12, 11, std::string("V1.0\0\0model\0", 12)},
                        {2000, 4, 4, "V1.0" + std::string(8, '#')},
                        {2302, 4, -1, std::string(12, '#')},
                        {77, 4, -1, std::string(12, '#')}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.id) + " size " + std::to_string(row.size));
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        EXPECT_EQ(orv_cfg_get_item(row.id, buf, row.size), row.result);
        EXPECT_EQ(std::string(buf, 12), row.buffer);
    }
}

TEST_F(FilesTest, BatteryIndicatorAppendsOneLinePerUpdate) {
    EXPECT_EQ(orv_lib_led_power_vol_state(100, 1), 0);
    EXPECT_EQ(orv_lib_led_power_vol_state(7, 0), 0);
    EXPECT_EQ(read_file(path("run/battery_led")), "100 1\n7 0\n");
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
        SCOPED_TRACE(sql);
        std::string seen;
        EXPECT_EQ(orv_libmdm_db_exec_sql(sql, collect, &seen), result);
        EXPECT_EQ(seen, expected);
    }
    setenv("ORV_DEVICE_DB", path("missing.db").c_str(), 1);
    std::string seen;
    EXPECT_EQ(orv_libmdm_db_exec_sql("SELECT 1", collect, &seen), -1);
    EXPECT_EQ(file_mode(path("missing.db")), ~0u);  // never created
}

TEST_F(FilesTest, BatteryDriverStandInAnswersFromTheFileAtQueryTime) {
    const std::string sim = path("pwm");
    setenv("ORV_PWM_SIM", sim.c_str(), 1);
    EXPECT_EQ(orv_pwm_open(ORV_PWM_DEVICE), -1);  // the file does not exist yet
    write_file(sim, "present=1\nlevel=3\npercent=87\ncharging=0\n");
    const int h = orv_pwm_open(ORV_PWM_DEVICE);
    ASSERT_GE(h, 0);
    const struct {
        const char* file;  // nullptr: unchanged
        unsigned long request;
        int result, value;
    } rows[] = {
        {nullptr, ORV_PWM_GET_PRESENT, 0, 1},
        {nullptr, ORV_PWM_GET_LEVEL, 0, 3},
        {nullptr, ORV_PWM_GET_CHARGING, 0, 0},
        {nullptr, 0x8004880eUL, -1, -7},
        {"charging=1\r\npercent=100\r\n", ORV_PWM_GET_PERCENT, 0, 100},
        {nullptr, ORV_PWM_GET_LEVEL, -1, -7},  // line missing
        {"level=high\npercent=\npresent=-1\n", ORV_PWM_GET_LEVEL, -1, -7},
        {nullptr, ORV_PWM_GET_PRESENT, 0, -1},
        {"levels=4\nlevel=2\n", ORV_PWM_GET_LEVEL, 0, 2},
        {"level=99999999999\n", ORV_PWM_GET_LEVEL, -1, -7},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(&row - rows));
        if (row.file != nullptr) {
            write_file(sim, row.file);
        }
        int value = -7;
        EXPECT_EQ(orv_pwm_ioctl(h, row.request, &value), row.result);
        EXPECT_EQ(value, row.value);
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

}  // namespace
}  // namespace orv::test
