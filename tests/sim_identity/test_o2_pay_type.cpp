#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

// One byte of the operator file: odd is contract, even prepaid. When it cannot be read, the FDN
// bits of the service table decide: 0x10 prepaid, 0x30 contract, neither "other".
TEST(O2PayType, FromOperatorFileOrFdnBits) {
    const std::string op = "AT AT+CRSM=176,28418,0,0,1,,\"7F43\"";
    const std::string both = op + "|AT AT+CRSM=176,28472,0,0,1,,\"7F20\"";
    const std::string not_found = "+CRSM: 148, 4|";
    auto fallback = [&](const char* type) { return both + "|WRITE sim_pay_type_o2=" + type; };
    const Story stories[] = {
        {"odd byte: contract", crsm("01"), op + "|WRITE sim_pay_type_o2=postpay", ""},
        {"even byte: prepaid", crsm("00"), op + "|WRITE sim_pay_type_o2=prepay", ""},
        {"fallback 1F: FDN allocated", not_found + crsm("1F"), fallback("prepay"),
         "0 sim read o2 pay type fail \n|6 enter orv_quorl_mdm_get_o2_fdn fun\n"},
        {"fallback 3F: allocated and activated", not_found + crsm("3F"), fallback("postpay"), ""},
        {"fallback 0F", not_found + crsm("0F"), fallback("other"), ""},
        {"fallback 2F", not_found + crsm("2F"), fallback("other"), ""},
        {"both reads fail", not_found + "ERROR", both,
         "0 sim read o2 pay type fail \n|0 sim read o2 fdn fail \n"},
        {"empty answer: fallback", "|" + crsm("1F"), fallback("prepay"),
         "6 (char*)mdm_res.aucDataBuf is NULL\n"},
        {"no blank after the comma is no success", "+CRSM: 144,0,\"01\"", both,
         "0 sim read o2 pay type fail \n"},
        {"no quote: fallback", "+CRSM: 144, 0|" + crsm("3F"), fallback("postpay"),
         "0 sim byte read has no two characters after the quote: +CRSM: 144, 0\n"},
        {"quote at the end, one character", "+CRSM: 144, 0,\"|+CRSM: 144, 0,\"3", both, ""},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_get_o2_sim_pay_type(nullptr); });
    }
}

}  // namespace
}  // namespace orv::sim_identity::testing
