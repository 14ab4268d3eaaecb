// The core's readers of answers and the AT exchange over the recording platform.
#include <gtest/gtest.h>

#include <string_view>

#include "core/answer.h"
#include "core/at_exchange.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"

namespace orv::core {
namespace {

TEST(AnswerReaders, QuotedField) {
    const struct {
        std::string_view line;
        Quoted status;
        std::string_view text;
    } rows[] = {
        {R"(+CRSM: 144, 0,"98F5")", Quoted::Found, "98F5"},
        {R"(+CNUM: "","123",129)", Quoted::Found, ""},
        {"+CRSM: 144, 0", Quoted::NoQuote, ""},
        {R"(+CRSM: 144, 0,"01)", Quoted::Unclosed, "01"},
        {"\"", Quoted::Unclosed, ""},
    };
    for (const auto& r : rows) {
        const QuotedField f = quoted_field(r.line);
        EXPECT_EQ(f.status, r.status) << r.line;
        EXPECT_EQ(f.text, r.text) << r.line;
    }
}

TEST(AnswerReaders, HexDigitValueOfEveryCharacter) {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const std::size_t upper =
            kDigits.find(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
        const int want = upper == std::string_view::npos ? -1 : static_cast<int>(upper);
        EXPECT_EQ(hex_digit_value(ch), want) << c;
    }
}

using fake::fake;
using fake::Lines;

class AtExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
};

// How an answer is cut into the result (after the leading CR LF) and its first line.
TEST_F(AtExchangeTest, CutsAnswerIntoResultAndFirstLine) {
    const struct {
        const char* name;
        std::string answer;
        const char* result;
        const char* first_line;
    } cases[] = {
        {"info line then OK", "\r\n+CPIN: READY\r\n\r\nOK\r\n", "+CPIN: READY\r\n\r\nOK\r\n",
         "+CPIN: READY"},
        {"bare OK", "\r\nOK\r\n", "OK\r\n", "OK"},
        {"empty first line", "\r\n\r\nOK\r\n", "\r\nOK\r\n", ""},
        {"no CR LF after the first two characters", "\r\nOK", "OK", "OK"},
        {"bare line without leading CR LF", "OK\r\n", "\r\n", ""},
        {"one character", "X", "", ""},
        {"two characters", "\r\n", "", ""},
        {"glued unsolicited line after OK", "\r\nOK\r\n+CREG: 1\r\n", "OK\r\n+CREG: 1\r\n", "OK"},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake().answers = {c.answer};
        AtExchange ex;
        EXPECT_EQ(ex.run("AT"), AtOutcome::Answer) << c.name;
        EXPECT_STREQ(ex.result(), c.result) << c.name;
        EXPECT_STREQ(ex.first_line(), c.first_line) << c.name;
    }
}

// Texts longer than their buffers are cut, the record always terminated; a later exchange
// without an answer leaves no text of the earlier one.
TEST_F(AtExchangeTest, LongAnswersAreCutAndTextsCleared) {
    const std::string line(600, 'x');
    fake().answers = {"\r\n" + line + "\r\nOK\r\n", std::string(ORV_AT_DATA_SIZE + 100, 'y'), ""};
    AtExchange ex;
    ASSERT_EQ(ex.run("AT+CGSN"), AtOutcome::Answer);
    EXPECT_EQ(std::string(ex.result()), line.substr(0, kResultSize - 1));
    EXPECT_EQ(std::string(ex.first_line()), line.substr(0, kResultSize - 1));
    ASSERT_EQ(ex.run("AT"), AtOutcome::Answer);
    EXPECT_EQ(ex.answer_view().size(), std::size_t{ORV_AT_DATA_SIZE - 1});
    EXPECT_EQ(ex.run("AT+CPIN?"), AtOutcome::Empty);
    EXPECT_STREQ(ex.first_line(), "");
    EXPECT_STREQ(ex.result(), "");
}

// TIMEOUT ends an exchange, or gets one more try after 3 s, or is judged like any answer; an
// empty answer ends it, logged at the chosen level.
TEST_F(AtExchangeTest, TimeoutEmptyAndRetry) {
    const AtOptions ends{};
    const AtOptions retry{.timeout = TimeoutTest::RetryOnce};
    const AtOptions skipped{.wait = 0, .timeout = TimeoutTest::Skipped};
    const AtOptions info_empty{.empty_log = LogAt::Info};
    const std::string timeout = "0 (char*)mdm_res.aucDataBuf is TIMEOUT \n";
    const std::string null = "0 (char*)mdm_res.aucDataBuf is NULL\n";
    const struct {
        const char* answers;  // as fake::answers reads them
        const AtOptions& options;
        AtOutcome outcome;
        bool retried;
        std::string log;  // a line that must be logged
    } rows[] = {
        {"TIMEOUT", ends, AtOutcome::Timeout, false, timeout},
        {"-", ends, AtOutcome::Empty, false, null},
        {"-", info_empty, AtOutcome::Empty, false, "6 (char*)mdm_res.aucDataBuf is NULL\n"},
        {"TIMEOUT|OK", retry, AtOutcome::Answer, true, timeout},
        {"TIMEOUT|TIMEOUT", retry, AtOutcome::Timeout, true, timeout},
        {"TIMEOUT|-", retry, AtOutcome::Empty, true, null},
        {"-", retry, AtOutcome::Empty, false, null},
        {"TIMEOUT", skipped, AtOutcome::Answer, false, "6 mdm_at_result_process is MEOUT \n"},
        {"\r\nTIMEOUT\r\nOK\r\n", ends, AtOutcome::Answer, false,
         "6 mdm_at_result_process is TIMEOUT \n"},
    };
    for (const auto& r : rows) {
        fake::script(r.answers);
        AtExchange ex;
        EXPECT_EQ(ex.run("AT+X", r.options), r.outcome) << r.answers;
        const Lines once = {"AT AT+X"};
        const Lines twice = {"AT AT+X", "SLEEP 3", "AT AT+X"};
        EXPECT_EQ(fake().timeline, r.retried ? twice : once) << r.answers;
        fake::expect_logged(r.log, r.answers);
    }
}

TEST_F(AtExchangeTest, ComposeRefusesCommandsThatDoNotFit) {
    AtExchange ex;
    const std::string code(kCmdSize - 10, '1');
    EXPECT_FALSE(ex.compose({"AT+CPIN=\"", code, "\""}));
    EXPECT_EQ(ex.command(), "");
    EXPECT_TRUE(ex.compose({"AT+CPIN=\"", "1234", "\""}));
    EXPECT_EQ(ex.command(), "AT+CPIN=\"1234\"");
    // 127 characters and the terminator fit exactly; 128 do not.
    EXPECT_TRUE(ex.compose({std::string(kCmdSize - 1, 'A')}));
    EXPECT_FALSE(ex.compose({std::string(kCmdSize, 'A')}));
    EXPECT_EQ(ex.run(std::string(kCmdSize, 'A')), AtOutcome::Empty);
    EXPECT_TRUE(fake().commands.empty());
}

}  // namespace
}  // namespace orv::core
