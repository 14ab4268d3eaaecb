#include <gtest/gtest.h>

#include "core/at_exchange.h"
#include "tests/fake/fake_platform.h"

namespace orv::core {
namespace {

using fake::fake;
using fake::Lines;

class AtExchangeTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
};

struct CutCase {
    const char* name;
    std::string answer;
    const char* result;
    const char* first_line;
};

// How an answer is cut into the result (after the leading CR LF) and its first line.
TEST_F(AtExchangeTest, CutsAnswerIntoResultAndFirstLine) {
    const std::string long_line(300, 'x');
    const CutCase cases[] = {
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
    for (const CutCase& c : cases) {
        fake::reset();
        fake().answers = {c.answer};
        AtExchange ex;
        EXPECT_EQ(ex.run("AT"), AtOutcome::Answer) << c.name;
        EXPECT_STREQ(ex.result(), c.result) << c.name;
        EXPECT_STREQ(ex.first_line(), c.first_line) << c.name;
    }
}

TEST_F(AtExchangeTest, LongAnswersAreCutToTheTextBuffers) {
    const std::string line(600, 'x');
    fake().answers = {"\r\n" + line + "\r\nOK\r\n"};
    AtExchange ex;
    ASSERT_EQ(ex.run("AT+CGSN"), AtOutcome::Answer);
    EXPECT_EQ(std::string(ex.result()), line.substr(0, kResultSize - 1));
    EXPECT_EQ(std::string(ex.first_line()), line.substr(0, kResultSize - 1));
}

TEST_F(AtExchangeTest, AnswerLargerThanTheRecordIsTerminated) {
    fake().answers = {std::string(ORV_AT_DATA_SIZE + 100, 'y')};
    AtExchange ex;
    ASSERT_EQ(ex.run("AT"), AtOutcome::Answer);
    EXPECT_EQ(ex.answer_view().size(), std::size_t{ORV_AT_DATA_SIZE - 1});
}

TEST_F(AtExchangeTest, DerivedTextsAreClearedBetweenExchanges) {
    fake().answers = {"\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", ""};
    AtExchange ex;
    ex.run("AT+CPIN?");
    EXPECT_EQ(ex.run("AT+CPIN?"), AtOutcome::Empty);
    EXPECT_STREQ(ex.first_line(), "");
    EXPECT_STREQ(ex.result(), "");
}

struct OutcomeCase {
    const char* name;
    std::vector<std::string> answers;
    AtOptions options;
    AtOutcome outcome;
    Lines timeline;
    Lines logs_expected;  // lines that must appear among the logs
};

TEST_F(AtExchangeTest, TimeoutEmptyAndRetry) {
    const AtOptions ends{};
    const AtOptions retry{.timeout = TimeoutTest::RetryOnce};
    const AtOptions skipped{.wait = 0, .timeout = TimeoutTest::Skipped};
    const AtOptions info_empty{.empty_log = LogAt::Info};
    const OutcomeCase cases[] = {
        {"timeout ends",
         {"TIMEOUT"},
         ends,
         AtOutcome::Timeout,
         {"AT AT+X"},
         {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"empty ends",
         {""},
         ends,
         AtOutcome::Empty,
         {"AT AT+X"},
         {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"empty at information level",
         {""},
         info_empty,
         AtOutcome::Empty,
         {"AT AT+X"},
         {"6 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"retry then answer",
         {"TIMEOUT", fake::final_line("OK")},
         retry,
         AtOutcome::Answer,
         {"AT AT+X", "SLEEP 3", "AT AT+X"},
         {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"retry twice timed out",
         {"TIMEOUT", "TIMEOUT"},
         retry,
         AtOutcome::Timeout,
         {"AT AT+X", "SLEEP 3", "AT AT+X"},
         {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"retry then empty",
         {"TIMEOUT", ""},
         retry,
         AtOutcome::Empty,
         {"AT AT+X", "SLEEP 3", "AT AT+X"},
         {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"empty first answer is not retried", {""}, retry, AtOutcome::Empty, {"AT AT+X"}, {}},
        {"skipped test judges TIMEOUT as an answer",
         {"TIMEOUT"},
         skipped,
         AtOutcome::Answer,
         {"AT AT+X"},
         {"6 mdm_at_result_process is MEOUT \n"}},
        {"TIMEOUT inside an answer is an answer",
         {"\r\nTIMEOUT\r\nOK\r\n"},
         ends,
         AtOutcome::Answer,
         {"AT AT+X"},
         {"6 mdm_at_result_process is TIMEOUT \n"}},
    };
    for (const OutcomeCase& c : cases) {
        fake::reset();
        fake().answers.assign(c.answers.begin(), c.answers.end());
        AtExchange ex;
        EXPECT_EQ(ex.run("AT+X", c.options), c.outcome) << c.name;
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        const Lines logs = fake().log_texts();
        for (const std::string& want : c.logs_expected) {
            EXPECT_NE(std::find(logs.begin(), logs.end(), want), logs.end())
                << c.name << ": missing log " << want;
        }
    }
}

TEST_F(AtExchangeTest, InformationLinesFollowTheChosenWording) {
    fake().answers = {fake::info_ok("123"), fake::info_ok("456")};
    AtExchange ex;
    ex.run("AT+CGSN");
    ex.run("AT+CGSN", {.texts = kTextsLeadingBlank});
    EXPECT_EQ(fake().log_texts(), (Lines{
                                      "6 mdm_ATcmd_buf is AT+CGSN \n",
                                      "6 (char*)mdm_res.aucDataBuf is \r\n123\r\n\r\nOK\r\n \n",
                                      "6 mdm_at_result is 123\r\n\r\nOK\r\n \n",
                                      "6 mdm_at_result_process is 123 \n",
                                      "6  mdm_ATcmd_buf is AT+CGSN\n",
                                      "6  (char*)mdm_res.aucDataBuf is \r\n456\r\n\r\nOK\r\n\n",
                                      "6  mdm_at_result is 456\r\n\r\nOK\r\n\n",
                                      "6  mdm_at_result_process is 456\n",
                                  }));
}

TEST_F(AtExchangeTest, EchoAndWaitFollowTheOptions) {
    fake().answers = {fake::final_line("OK"), fake::final_line("OK")};
    AtExchange ex;
    ex.run("AT");
    ex.run("AT", {.wait = 0, .echo = false});
    EXPECT_EQ(fake().echoes, (Lines{"\r\nOK\r\n"}));
    EXPECT_EQ(fake().waits, (std::vector<int>{10000, 0}));
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
