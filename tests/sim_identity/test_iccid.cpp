#include <cstring>
#include <map>
#include <optional>

#include "tests/sim_identity/sim_identity_fixture.h"
#include "text/language.h"

namespace orv::sim_identity::testing {
namespace {

constexpr const char* kReadIccid = "AT AT+CRSM=176,12258,0,0,10";
constexpr const char* kReadEfPl = "AT AT+CRSM=176,12037,0,0,2";
// What the kept ICCID holds before each row (so a row can show it unchanged).
constexpr std::string_view kPrimedQuoted = "98103254769810325476";
constexpr std::string_view kPrimedIccid = "89012345678901234567";

struct IccidCase {
    const char* name;
    std::vector<std::string> answers;
    bool flag;
    std::map<std::string, std::string> store;  // the store before the request
    Lines timeline;
    std::optional<std::string_view> kept;  // the kept ICCID afterwards; nullopt: unchanged
    Lines logs;                            // among the logged lines
};

TEST_F(SimIdentityTest, IccidIsSwappedPublishedAndJudged) {
    const std::string fifty(50, '1');
    const std::string fortynine(49, '2');
    const IccidCase cases[] = {
        {"20 digits: every pair exchanged",
         {iccid_answer(kStoredIccid)},
         false,
         {},
         {kReadIccid, "WRITE sim_iccid=8944123456789012345F"},
         kIccid,
         {"6 sim iccid is 8944123456789012345F\n"}},
        {"19 characters: the last one swaps with the terminator",
         {iccid_answer("984421436587092143F")},
         false,
         {},
         {kReadIccid, "WRITE sim_iccid=894412345678901234"},
         "894412345678901234",
         {}},
        {"22 characters: the tail stays in place",
         {iccid_answer("984421436587092143F5AB")},
         false,
         {},
         {kReadIccid, "WRITE sim_iccid=8944123456789012345FAB"},
         "8944123456789012345FAB",
         {}},
        {"49 characters between the quotes still fit",
         {iccid_answer(fortynine)},
         false,
         {},
         {kReadIccid, "WRITE sim_iccid=" + fortynine},
         fortynine,
         {}},
        {"empty quotes: empty ICCID, no language detection even with the flag",
         {iccid_answer("")},
         true,
         {{"iccid", std::string(kIccid)}},
         {kReadIccid, "WRITE sim_iccid="},
         "",
         {}},
        {"status pair without data is a SIM failure",
         {fake::info_ok("+CRSM: 0, 0")},
         true,
         {},
         {kReadIccid, "WRITE sim_iccid="},
         std::nullopt,
         {"0 sim fail\n"}},
        {"SIM failure with +CRSM elsewhere in the answer",
         {"\r\n+CME ERROR: SIM failure\r\n+CRSM\r\n"},
         false,
         {},
         {kReadIccid, "WRITE sim_iccid="},
         std::nullopt,
         {"0 sim fail\n"}},
        {"SIM failure without +CRSM anywhere",
         {fake::final_line("+CME ERROR: SIM failure")},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"0 (char*)mdm_res.aucDataBuf has no +CRSM\n"}},
        {"ERROR first line",
         {"\r\nERROR\r\n+CRSM\r\n"},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"0 (char*)mdm_res.aucDataBuf is ERROR\n"}},
        {"OK first line",
         {"\r\nOK\r\n+CRSM: 144, 0\r\n"},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"0 (char*)mdm_res.aucDataBuf is OK\n"}},
        {"status pair without the blank is no SIM failure",
         {fake::info_ok("+CRSM: 0,0")},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"0 p1 is null\n"}},
        {"success status without quoted data",
         {fake::info_ok("+CRSM: 144, 0")},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"0 p1 is null\n"}},
        {"opening quote without a closing one",
         {fake::info_ok("+CRSM: 144, 0,\"98442143")},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"0 p2 is null\n"}},
        {"50 characters between the quotes do not fit",
         {iccid_answer(fifty)},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"0 quoted iccid longer than 49 characters\n"}},
        {"empty answer",
         {""},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"TIMEOUT is tested after the echo",
         {"TIMEOUT"},
         false,
         {},
         {kReadIccid},
         std::nullopt,
         {"6 (char*)mdm_res.aucDataBuf is TIMEOUT\n", "0 (char*)mdm_res.aucDataBuf is TIMEOUT\n"}},
        {"flag off: the remembered ICCID is neither compared nor written",
         {iccid_answer(kStoredIccid)},
         false,
         {{"iccid", "89000000000000000000"}},
         {kReadIccid, "WRITE sim_iccid=8944123456789012345F"},
         kIccid,
         {}},
        {"flag on, same SIM: no detection, no commit",
         {iccid_answer(kStoredIccid)},
         true,
         {{"iccid", std::string(kIccid)}},
         {kReadIccid, "WRITE sim_iccid=8944123456789012345F"},
         kIccid,
         {}},
        {"flag on, new SIM: EF_PL language, then the ICCID remembered and committed",
         {iccid_answer(kStoredIccid), fake::info_ok("+CRSM: 144, 0,\"656E\"")},
         true,
         {{"iccid", "89000000000000000000"}},
         {kReadIccid, "WRITE sim_iccid=8944123456789012345F", kReadEfPl, "WRITE Language=en",
          "SAVE", "WRITE iccid=8944123456789012345F", "SAVE"},
         kIccid,
         {"6 iccid change,auto set language  \n"}},
        {"flag on, factory-fresh store: detection runs, ICCID remembered",
         {iccid_answer(kStoredIccid), ""},
         true,
         {},
         {kReadIccid, "WRITE sim_iccid=8944123456789012345F", kReadEfPl,
          "WRITE iccid=8944123456789012345F", "SAVE"},
         kIccid,
         {"6 iccid change,auto set language  \n"}},
    };
    for (const IccidCase& c : cases) {
        keep_iccid(kPrimedQuoted);
        ASSERT_EQ(mdm_sim_iccid_text(), kPrimedIccid);
        fake().answers.assign(c.answers.begin(), c.answers.end());
        fake().store = c.store;
        core::orv_auto_set_language = c.flag ? 1 : 0;

        orv_quorl_mdm_get_iccid(nullptr);

        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        EXPECT_EQ(mdm_sim_iccid_text(), c.kept.value_or(kPrimedIccid)) << c.name;
        expect_logged(c.logs, c.name);
        EXPECT_EQ(fake().echoes.size(), c.answers[0].empty() ? 0u : 1u) << c.name;
    }
}

TEST_F(SimIdentityTest, IccidRequestLogsItsWholeStory) {
    const std::string answer = iccid_answer(kStoredIccid);
    fake().answers = {answer};
    orv_quorl_mdm_get_iccid(nullptr);
    EXPECT_EQ(fake().log_texts(),
              (Lines{"6 enter orv_quorl_mdm_get_iccid fun\n",
                     "6 mdm_ATcmd_buf is AT+CRSM=176,12258,0,0,10\n",
                     "6 (char*)mdm_res.aucDataBuf is " + answer + "\n",
                     "6 mdm_at_result is " + answer.substr(2) + "\n",
                     "6 mdm_at_result_process is +CRSM: 144, 0,\"984421436587092143F5\"\n",
                     "6 sim iccid is 8944123456789012345F\n"}));
    EXPECT_EQ(fake().waits, (std::vector<int>{10000}));
}

// On a new SIM the country digits after the 89 prefix reach the language detection, which falls
// back to the database when EF_PL is not readable.
TEST_F(SimIdentityTest, NewSimHandsItsCountryDigitsToTheLanguageDetection) {
    core::orv_auto_set_language = 1;
    std::memset(text::orv_country, 0, sizeof text::orv_country);
    fake().answers = {iccid_answer(kStoredIccid), fake::final_line("ERROR")};
    orv_quorl_mdm_get_iccid(nullptr);
    const Lines& t = fake().timeline;
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[2], kReadEfPl);
    EXPECT_EQ(t[3], "SQL select Language from language where Country_code like 4412");
    EXPECT_EQ(t[t.size() - 2], "WRITE iccid=8944123456789012345F");
    EXPECT_EQ(t.back(), "SAVE");

    // The same SIM again: nothing beyond the read and the publication.
    fake::reset();
    fake().store["iccid"] = std::string(kIccid);
    fake().answers = {iccid_answer(kStoredIccid)};
    orv_quorl_mdm_get_iccid(nullptr);
    EXPECT_EQ(fake().timeline, (Lines{kReadIccid, "WRITE sim_iccid=8944123456789012345F"}));
}

}  // namespace
}  // namespace orv::sim_identity::testing
