// The system log, factory configuration, battery indicator, device database (the shipped one
// too, through the daemon's own lookup), battery driver stand-in and the system calls, against
// real files.

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/log/log_internal.h"
#include "platform/orv_cfg.h"
#include "platform/orv_led.h"
#include "platform/orv_log.h"
#include "platform/orv_mdmdb.h"
#include "platform/orv_nvram.h"
#include "platform/orv_pwm.h"
#include "platform/orv_sys.h"
#include "sim_identity/language.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

// Level, module:line and message of each line of `text`, or "<malformed> line".
// Only the head goes through the regex: libstdc++ matches recursively, and a message of many
// kilobytes would run the stack out (as it does in the sanitizer build).
std::vector<std::string> messages(const std::string& text) {
    static const std::regex kHead(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (ERR|INFO|-?\d+) ([^ ]+):(-?\d+) )");
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::string head = line.substr(0, 300);  // the module name is cut at 200
        std::smatch m;
        out.push_back(std::regex_search(head, m, kHead)
                          ? m[1].str() + " " + m[2].str() + ":" + m[3].str() + " " +
                                line.substr(static_cast<std::size_t>(m.length(0)))
                          : "<malformed> " + line);
    }
    return out;
}

class LogTest : public PlatformTest {
  protected:
    std::string log_path() const { return path("log/orv_mdm.log"); }
    void fill_until_rotated(int line) {
        for (int i = 0; i < 2000 && (i == 0 || file_mode(log_path()) != ~0u); ++i) {
            orv_syslog_append(6, "orv_mdm.log", "m", line, "%s", std::string(1000, 'x').c_str());
        }
    }
};

TEST_F(LogTest, EachCallWritesOneFormattedEscapedLine) {
    orv_syslog_append(0, "orv_mdm.log", "orv_quorl_mdm", 7, "msg_id = %d, %s\n", 2, "PIN");
    const std::string newlines(log::kMessageSize * 2, '\n');  // every byte escapes to two
    const std::pair<int, const char*> rows[] = {
        // level and text; what the line reads follows in `expected`
        {6, "is \r\nOK\r\n \n"},
        {6, "tab\there\x01\x1f\x7f end"},
        {6, "only the last line feed goes\n\n"},
        {6, ""},
        {3, "odd level\n"},
        {6, "100% \"quoted\" \\ kept\n"},
        {6, newlines.c_str()}};
    for (const auto& [level, text] : rows) {
        orv_syslog_append(level, "orv_mdm.log", "m", 7, "%s", text);
    }
    std::string cut = "INFO m:7 ";
    for (std::size_t i = 1; i < log::kMessageSize; ++i) {
        cut += "\\n";  // one line, cut at a whole character
    }
    const std::vector<std::string> expected = {"ERR orv_quorl_mdm:7 msg_id = 2, PIN",
                                               "INFO m:7 is \\r\\nOK\\r\\n ",
                                               "INFO m:7 tab\\x09here\\x01\\x1f\\x7f end",
                                               "INFO m:7 only the last line feed goes\\n",
                                               "INFO m:7 ",
                                               "3 m:7 odd level",
                                               "INFO m:7 100% \"quoted\" \\ kept",
                                               cut};
    EXPECT_EQ(messages(read_file(log_path())), expected);
    EXPECT_EQ(file_mode(log_path()), 0640u);
    EXPECT_EQ(file_mode(path("log")), 0750u);
}

TEST_F(LogTest, FilePastOneMebibyteIsRotated) {
    fill_until_rotated(1);
    struct stat old_log {};
    ASSERT_EQ(stat((log_path() + ".1").c_str(), &old_log), 0);
    EXPECT_GT(old_log.st_size, static_cast<off_t>(log::kRotateBytes));
    EXPECT_LT(old_log.st_size, static_cast<off_t>(log::kRotateBytes + 2048));
    EXPECT_EQ(file_mode(log_path()), ~0u);  // the next line begins the new file

    orv_syslog_append(6, "orv_mdm.log", "m", 1, "first of the new file\n");
    EXPECT_EQ(messages(read_file(log_path())),
              std::vector<std::string>{"INFO m:1 first of the new file"});
    EXPECT_EQ(file_mode(log_path()), 0640u);
    fill_until_rotated(2);  // a second rotation replaces the older file
    EXPECT_EQ(messages(read_file(log_path() + ".1"))[0], "INFO m:1 first of the new file");
}

// Another program moves the file away (logrotate) or removes it: lines keep going where the
// file is for at most a second (so none is lost to a rotation), then the path is opened afresh.
TEST_F(LogTest, AFileMovedAwayOrRemovedIsFollowedWithinASecond) {
    const auto line = [](const char* text) {
        orv_syslog_append(6, "orv_mdm.log", "m", 1, "%s", text);
    };
    const auto past_a_second = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); };
    line("a");
    ASSERT_EQ(rename(log_path().c_str(), (log_path() + ".rotated").c_str()), 0);
    line("b");
    past_a_second();
    line("c");
    std::vector<std::string> both = messages(read_file(log_path() + ".rotated"));
    const std::vector<std::string> now = messages(read_file(log_path()));
    both.insert(both.end(), now.begin(), now.end());
    EXPECT_EQ(both, (std::vector<std::string>{"INFO m:1 a", "INFO m:1 b", "INFO m:1 c"}));
    ASSERT_FALSE(now.empty()) << "a second later, the lines still went to the moved file";
    EXPECT_EQ(now.back(), "INFO m:1 c");
    ASSERT_EQ(unlink(log_path().c_str()), 0);
    past_a_second();
    line("d");
    EXPECT_EQ(messages(read_file(log_path())), std::vector<std::string>{"INFO m:1 d"});
    EXPECT_EQ(file_mode(log_path()), 0640u);
}

TEST_F(LogTest, UnwritableFolderDropsTheLine) {
    write_file(path("blocker"), "a file where the folder should be");
    for (const std::string& dir : {path("blocker"), path("blocker/log")}) {
        setenv("ORV_LOG_DIR", dir.c_str(), 1);
        EXPECT_EQ(orv_syslog_append(0, "orv_mdm.log", "m", 1, "lost\n"), -1);
    }
    EXPECT_EQ(read_file(path("blocker")), "a file where the folder should be");
}

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
    // ICCID prefixes of every country group and their languages (the file's header says which).
    std::ifstream rows(ORV_TEST_ICCID_LANGUAGES);
    ASSERT_TRUE(rows) << ORV_TEST_ICCID_LANGUAGES;
    int checked = 0;
    for (std::string line, iccid, language; std::getline(rows, line);) {
        if (line.empty() || line[0] == '#' || !(std::istringstream(line) >> iccid >> language)) {
            continue;
        }
        ++checked;
        orv_nvconfig_write("Language", "-", 1);
        char country[sim_identity::kCountrySize] = {};
        std::memcpy(country, iccid.data() + 2, 4);  // the four digits after 89
        EXPECT_EQ(sim_identity::orv_set_language_by_country(country), 0) << iccid;
        char value[16] = {};
        orv_nvconfig_read("Language", value, sizeof value - 1);
        EXPECT_EQ(value, language) << iccid;
    }
    EXPECT_GE(checked, 60);  // the file was found and read
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
