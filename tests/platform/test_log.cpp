// The system log, read back from the file it writes.

#include <sys/stat.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/log/log_internal.h"
#include "platform/orv_log.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

class LogTest : public PlatformTest {
  protected:
    std::string log_path() const { return path("log/orv_mdm.log"); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(read_file(log_path()));
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }
    void fill_until_rotated(int line) {
        for (int i = 0; i < 2000 && (i == 0 || file_mode(log_path()) != ~0u); ++i) {
            orv_syslog_append(6, "orv_mdm.log", "m", line, "%s", std::string(1000, 'x').c_str());
        }
    }
};

// Everything after "MODULE:LINE " of the one line a call wrote.
// Only the head goes through the regex: libstdc++ matches recursively, and a message of many
// kilobytes would run the stack out (as it does in the sanitizer build).
std::string message_of(const std::string& line) {
    static const std::regex kHead(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (ERR|INFO|-?\d+) ([^ ]+):(-?\d+) )");
    const std::string head = line.substr(0, 300);  // the module name is cut at 200
    std::smatch m;
    if (!std::regex_search(head, m, kHead) || line.find('\n') != std::string::npos) {
        return "<malformed> " + line;
    }
    return m[1].str() + " " + m[2].str() + ":" + m[3].str() + " " +
           line.substr(static_cast<std::size_t>(m.length(0)));
}

TEST_F(LogTest, EachCallWritesOneFormattedEscapedLine) {
    orv_syslog_append(0, "orv_mdm.log", "orv_quorl_mdm", 7, "msg_id = %d, %s\n", 2, "PIN");
    struct Row {
        int level;
        const char* text;
        const char* expected;  // level, module:line and message as read back
    };
    const Row rows[] = {
        {6, "is \r\nOK\r\n \n", "INFO m:7 is \\r\\nOK\\r\\n "},
        {6, "tab\there\x01\x1f\x7f end", "INFO m:7 tab\\x09here\\x01\\x1f\\x7f end"},
        {6, "only the last line feed goes\n\n", "INFO m:7 only the last line feed goes\\n"},
        {6, "", "INFO m:7 "},
        {3, "odd level\n", "3 m:7 odd level"},
        {6, "100% \"quoted\" \\ kept\n", "INFO m:7 100% \"quoted\" \\ kept"},
    };
    for (const Row& row : rows) {
        orv_syslog_append(row.level, "orv_mdm.log", "m", 7, "%s", row.text);
    }
    const std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), std::size(rows) + 1);
    EXPECT_EQ(message_of(got[0]), "ERR orv_quorl_mdm:7 msg_id = 2, PIN");
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(message_of(got[i + 1]), rows[i].expected) << "row " << i;
    }
    EXPECT_EQ(file_mode(log_path()), 0640u);
    EXPECT_EQ(file_mode(path("log")), 0750u);
}

TEST_F(LogTest, MessageLongerThanTheBufferIsCutIntoOneLine) {
    const std::string long_text(log::kMessageSize * 2, '\n');  // every byte escapes to two
    orv_syslog_append(6, "orv_mdm.log", "m", 1, "%s", long_text.c_str());
    orv_syslog_append(6, "orv_mdm.log", "m", 2, "after");
    const std::vector<std::string> got = lines();
    ASSERT_EQ(got.size(), 2u);
    const std::string msg = message_of(got[0]);
    EXPECT_EQ(msg.substr(0, 11), "INFO m:1 \\n");
    EXPECT_EQ(msg.size(), 9 + 2 * (log::kMessageSize - 1));
    EXPECT_EQ(message_of(got[1]), "INFO m:2 after");
}

TEST_F(LogTest, FilePastOneMebibyteIsRotated) {
    fill_until_rotated(1);
    struct stat old_log {};
    ASSERT_EQ(stat((log_path() + ".1").c_str(), &old_log), 0);
    EXPECT_GT(old_log.st_size, static_cast<off_t>(log::kRotateBytes));
    EXPECT_LT(old_log.st_size, static_cast<off_t>(log::kRotateBytes + 2048));
    EXPECT_EQ(file_mode(log_path()), ~0u);  // the next line begins the new file

    orv_syslog_append(6, "orv_mdm.log", "m", 1, "first of the new file\n");
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_EQ(file_mode(log_path()), 0640u);
    fill_until_rotated(2);  // a second rotation replaces the older file
    const std::string older = read_file(log_path() + ".1");
    EXPECT_EQ(message_of(older.substr(0, older.find('\n'))), "INFO m:1 first of the new file");
}

TEST_F(LogTest, UnwritableFolderDropsTheLine) {
    write_file(path("blocker"), "a file where the folder should be");
    for (const std::string& dir : {path("blocker"), path("blocker/log")}) {
        setenv("ORV_LOG_DIR", dir.c_str(), 1);
        EXPECT_EQ(orv_syslog_append(0, "orv_mdm.log", "m", 1, "lost\n"), -1);
    }
    EXPECT_EQ(read_file(path("blocker")), "a file where the folder should be");
}

}  // namespace
}  // namespace orv::test
