#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

// A busy SIM ("ERROR" or "+CME ERROR: SIM busy") gets one more try after 5 s; any other answer is
// the IMSI. The kept IMSI follows the store: the value written, or the one from before.
TEST(Imsi, OneRetryOnABusySim) {
    const std::string cimi = "AT AT+CIMI";
    const std::string retry = cimi + "|SLEEP 5|" + cimi;
    const Story stories[] = {
        {"IMSI", "262011234567890", cimi + "|WRITE sim_imsi=262011234567890", ""},
        {"busy, then the IMSI", "+CME ERROR: SIM busy|262011234567890",
         retry + "|WRITE sim_imsi=262011234567890",
         "0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy\n"},
        {"ERROR, then busy: discarded", "ERROR|+CME ERROR: SIM busy", retry,
         "0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy again,discard it!!!\n"},
        {"another error is published as it is", "+CME ERROR: SIM not inserted",
         cimi + "|WRITE sim_imsi=+CME ERROR: SIM not inserted", ""},
        {"empty first answer: information", "", cimi, "6 (char*)mdm_res.aucDataBuf is NULL\n"},
        {"empty after the wait: error", "ERROR|", retry, "0 (char*)mdm_res.aucDataBuf is NULL\n"},
    };
    for (const Story& s : stories) {
        keep("", "001010000000001");
        expect_story(s, [] { orv_quorl_mdm_get_imsi(nullptr); });
        const std::string& last = fake().timeline.back();
        EXPECT_EQ(mdm_sim_imsi_text(),
                  last.starts_with("WRITE sim_imsi=") ? last.substr(15) : "001010000000001")
            << s.name;
    }
}

// The number between the first two commas, without its quotes. "ERROR", "SIM busy" and
// "operation not allowed" get one more try after 5 s; "unknown" ends the request at once.
TEST(Msisdn, TakesTheFirstNumber) {
    const std::string cnum = "AT AT+CNUM";
    const std::string retry = cnum + "|SLEEP 5|" + cnum;
    const std::string nineteen(19, '9');
    const Story stories[] = {
        {"number with alpha tag", "+CNUM: \"Own\",\"+491701234567\",145",
         cnum + "|WRITE msisdn=+491701234567", "6 msisdn is +491701234567\n"},
        {"19 characters fit", "+CNUM: \"\",\"" + nineteen + "\",129",
         cnum + "|WRITE msisdn=" + nineteen, ""},
        {"20 do not", "+CNUM: \"\",\"" + nineteen + "0\",129", cnum,
         "0 msisdn longer than 19 characters: +CNUM: \"\",\"" + nineteen + "0\",129\n"},
        {"empty number", "+CNUM: \"\",\"\",129", cnum + "|WRITE msisdn=", ""},
        {"unknown: no retry", "+CME ERROR: unknown", cnum, "0 get msisdn is unknown,return\n"},
        {"busy, then the number", "+CME ERROR: SIM busy|+CNUM: \"\",\"+4917011111\",145",
         retry + "|WRITE msisdn=+4917011111",
         "6 (char*)mdm_res.aucDataBuf is ERROR or SIM busy or operation not allowed\n"},
        {"not allowed, then ERROR: discarded", "+CME ERROR: operation not allowed|ERROR", retry,
         "0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy or operation not allowed "
         "again,discard it!!!\n"},
        {"unknown after the wait has no number", "ERROR|+CME ERROR: unknown", retry,
         "0 msisdn line has no number field: +CME ERROR: unknown\n"},
        {"no own number", "OK", cnum, "6 (char*)mdm_res.aucDataBuf is OK\n"},
        {"no second comma", "+CNUM: \"\",\"+4917011111\"", cnum,
         "0 msisdn line has no number field: +CNUM: \"\",\"+4917011111\"\n"},
        {"adjacent commas", "+CNUM: \"\",,145", cnum, ""},
        {"one character between the commas", "+CNUM: \"\",5,145", cnum, ""},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_get_msisdn(nullptr); });
    }
}

}  // namespace
}  // namespace orv::sim_identity::testing
