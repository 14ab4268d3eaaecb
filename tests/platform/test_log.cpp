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
