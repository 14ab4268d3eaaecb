#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device.h"
#include "tests/fake/fake_platform.h"

namespace orv::device {
namespace {

using fake::fake;
using fake::Lines;

const std::string kOk = fake::final_line("OK");
const std::string kError = fake::final_line("ERROR");

struct ExchangeCase {
    const char* name;
    std::vector<std::string> answers;
    Lines timeline;
    Lines logs_expected;  // lines that must appear among the logs
};

void expect_logged(const ExchangeCase& c) {
    for (const std::string& want : c.logs_expected) {
        const Lines logs = fake().log_texts();
        EXPECT_NE(std::find(logs.begin(), logs.end(), want), logs.end())
            << c.name << ": missing log " << want;
    }
}

// Only "OK" to "AT+CMEE=2" and to the second "AT" passes; no answer means no notification.
TEST(LinkTest, OutcomesOfTheThreeExchanges) {
    const std::string cmee = "AT AT+CMEE=2";
    const std::string at = "AT AT";
    const ExchangeCase cases[] = {
        {"all answered OK", {kOk, kOk, kOk}, {cmee, at, at, "NOTIFY rpc_status 0"}, {}},
        {"CMEE refused: AT not sent", {kError}, {cmee, "NOTIFY rpc_status 1"}, {}},
        {"CMEE with an information line",
         {fake::info_ok("+CMEE: 2")},
         {cmee, "NOTIFY rpc_status 1"},
         {}},
        {"CMEE empty", {""}, {cmee}, {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"CMEE timed out", {"TIMEOUT"}, {cmee}, {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"first AT not judged", {kOk, kError, kOk}, {cmee, at, at, "NOTIFY rpc_status 0"}, {}},
        {"first AT timed out, not judged",
         {kOk, "TIMEOUT", kOk},
         {cmee, at, at, "NOTIFY rpc_status 0"},
         {}},
        {"second AT refused", {kOk, kOk, kError}, {cmee, at, at, "NOTIFY rpc_status 1"}, {}},
        {"second AT TIMEOUT is an answer",
         {kOk, kOk, "TIMEOUT"},
         {cmee, at, at, "NOTIFY rpc_status 1"},
         {}},
        {"first AT empty", {kOk, ""}, {cmee, at}, {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"second AT empty",
         {kOk, kOk, ""},
         {cmee, at, at},
         {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
    };
    for (const ExchangeCase& c : cases) {
        fake::reset();
        fake().answers.assign(c.answers.begin(), c.answers.end());
        orv_quorl_mdm_proc_rpc_test(nullptr);
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        ASSERT_FALSE(fake().logs.empty()) << c.name;
        EXPECT_EQ(fake().log_texts().front(), "6 entern orv_quorl_mdm_proc_rpc_testfun \n")
            << c.name;
        expect_logged(c);
    }
}

TEST(LinkTest, PingsUseTheShortWaitAndEveryAnswerIsEchoed) {
    fake::reset();
    fake().answers = {kOk, kOk, kOk};
    orv_quorl_mdm_proc_rpc_test(nullptr);
    EXPECT_EQ(fake().waits, (std::vector<int>{10000, 0, 0}));
    EXPECT_EQ(fake().echoes.size(), 3u);
}

TEST(Imei, FirstLineIsPublishedAfterAtMostOneRetry) {
    const std::string cgsn = "AT AT+CGSN";
    const std::string timeout_line = "0 (char*)mdm_res.aucDataBuf is TIMEOUT \n";
    const ExchangeCase cases[] = {
        {"fifteen digits",
         {fake::info_ok("356938035643809")},
         {cgsn, "WRITE imei=356938035643809"},
         {}},
        {"timeout then answer",
         {"TIMEOUT", fake::info_ok("356938035643809")},
         {cgsn, "SLEEP 3", cgsn, "WRITE imei=356938035643809"},
         {timeout_line}},
        {"two timeouts", {"TIMEOUT", "TIMEOUT"}, {cgsn, "SLEEP 3", cgsn}, {timeout_line}},
        {"timeout then empty",
         {"TIMEOUT", ""},
         {cgsn, "SLEEP 3", cgsn},
         {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"empty", {""}, {cgsn}, {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"ERROR", {kError}, {cgsn}, {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}},
        {"bare OK", {kOk}, {cgsn}, {"6 (char*)mdm_res.aucDataBuf is OK\n"}},
        {"CME error line is published as it is",
         {fake::final_line("+CME ERROR: SIM failure")},
         {cgsn, "WRITE imei=+CME ERROR: SIM failure"},
         {}},
    };
    for (const ExchangeCase& c : cases) {
        fake::reset();
        fake().answers.assign(c.answers.begin(), c.answers.end());
        orv_quorl_mdm_get_imei(nullptr);
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        expect_logged(c);
    }
}

// Of the exchange's information lines only the first line is logged.
TEST(Imei, LogsItsEntryAndTheFirstLineOnly) {
    fake::reset();
    fake().answers = {fake::info_ok("356938035643809")};
    EXPECT_EQ(orv_quorl_mdm_get_imei(nullptr), 0);
    EXPECT_EQ(fake().log_texts(), (Lines{"6 entern orv_quorl_mdm_get_imei \n",
                                         "6 mdm_at_result_process is 356938035643809 \n"}));
    EXPECT_EQ(fake().echoes.size(), 1u);
    EXPECT_EQ(fake().store["imei"].size(), 15u);
}

}  // namespace
}  // namespace orv::device
