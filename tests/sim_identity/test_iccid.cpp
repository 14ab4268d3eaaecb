#include <cstring>

#include "sim_identity/language.h"
#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

// Input: the ICCID remembered in the store ("" none); arg: the language flag. The kept ICCID is
// empty before each row and always follows the last "sim_iccid" published.
TEST(Iccid, IsSwappedPublishedAndJudged) {
    const std::string read = "AT AT+CRSM=176,12258,0,0,10|";
    const std::string pub = read + "WRITE sim_iccid=";
    const std::string iccid(kIccid);
    const std::string forty_nine(49, '2');
    const std::string pl = "|AT AT+CRSM=176,12037,0,0,2|";
    const std::string sql = "select Language from language where Country_code like 4412";
    const Story stories[] = {
        {"20 digits: every pair exchanged", crsm(kStoredIccid), pub + iccid,
         "6 sim iccid is 8944123456789012345F\n"},
        {"19: the last swaps with the terminator", crsm("984421436587092143F"),
         pub + "894412345678901234", ""},
        {"22: the tail stays in place", crsm("984421436587092143F5AB"), pub + iccid + "AB", ""},
        {"49 characters fit", crsm(forty_nine), pub + forty_nine, ""},
        {"50 do not", crsm(std::string(50, '1')), read,
         "0 quoted iccid longer than 49 characters\n"},
        {"empty quotes: no language detection", crsm(""), pub, "", iccid, 1},
        {"status pair without data", "+CRSM: 0, 0", pub, "0 sim fail\n", "", 1},
        {"SIM failure, +CRSM elsewhere", "\r\n+CME ERROR: SIM failure\r\n+CRSM\r\n", pub,
         "0 sim fail\n"},
        {"SIM failure without +CRSM", "+CME ERROR: SIM failure", read,
         "0 (char*)mdm_res.aucDataBuf has no +CRSM\n"},
        {"ERROR", "\r\nERROR\r\n+CRSM\r\n", read, "0 (char*)mdm_res.aucDataBuf is ERROR\n"},
        {"OK", "\r\nOK\r\n+CRSM: 144, 0\r\n", read, "0 (char*)mdm_res.aucDataBuf is OK\n"},
        {"status pair without the blank", "+CRSM: 0,0", read, "0 p1 is null\n"},
        {"no closing quote", "+CRSM: 144, 0,\"98442143", read, "0 p2 is null\n"},
        {"TIMEOUT is tested after the echo", "TIMEOUT", read,
         "6 (char*)mdm_res.aucDataBuf is TIMEOUT\n|0 (char*)mdm_res.aucDataBuf is TIMEOUT\n"},
        {"flag off: no comparison", crsm(kStoredIccid), pub + iccid, "", "89000000000000000000"},
        {"flag on, same SIM", crsm(kStoredIccid), pub + iccid, "", iccid, 1},
        {"flag on, new SIM: EF_PL language, ICCID remembered",
         crsm(kStoredIccid) + "|+CRSM: 144, 0,\"656E\"",
         pub + iccid + pl + "WRITE Language=en|SAVE|WRITE iccid=" + iccid + "|SAVE",
         "6 iccid change,auto set language  \n", "89000000000000000000", 1},
        {"flag on, fresh store: country digits after 89 to the database",
         crsm(kStoredIccid) + "|ERROR",
         pub + iccid + pl + "SQL " + sql + "|WRITE Language=de|SAVE|WRITE iccid=" + iccid + "|SAVE",
         "", "", 1},
    };
    for (const Story& s : stories) {
        keep("", "");
        expect_story(s, [&] {
            if (!s.input.empty()) {
                fake().store["iccid"] = s.input;
            }
            fake().db_rows[sql] = {{"de"}};
            orv_quorl_mdm_get_iccid(nullptr, static_cast<std::uint8_t>(s.arg));
        });
        const Lines& t = fake().timeline;
        const auto last = std::find_if(t.rbegin(), t.rend(), [](const std::string& e) {
            return e.starts_with("WRITE sim_iccid=");
        });
        EXPECT_EQ(mdm_sim_iccid_text(), last == t.rend() ? "" : last->substr(16)) << s.name;
        EXPECT_EQ(fake().echoes.size(), 1u) << s.name;
    }
}

}  // namespace
}  // namespace orv::sim_identity::testing
