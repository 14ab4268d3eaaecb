#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/dispatch.h"
#include "tests/fake/fake_platform.h"
#include "text/spn.h"

namespace orv::text {
namespace {

using fake::fake;
using fake::Lines;

const std::string kRead = "AT AT+CRSM=176,28486,0,0,17";

// A 17-byte EF_SPN answer: the given leading digits, then FF bytes up to 34 digits.
std::string spn_answer(const std::string& digits) {
    std::string field = digits;
    while (field.size() < 34) {
        field += "FF";
    }
    return fake::info_ok("+CRSM: 144, 0,\"" + field + "\"");
}

Lines written(const std::string& name, const char* b1, const char* b2) {
    return {kRead, "WRITE spn_name_data=" + name, std::string("WRITE spn_b1_flag=") + b1,
            std::string("WRITE spn_b2_flag=") + b2};
}

struct Case {
    const char* name;
    std::string answer;
    Lines timeline;
    Lines logs;  // "LEVEL text" lines that must appear
};

TEST(ServiceProviderName, PublishesNameAndFlags) {
    const Case cases[] = {
        {"GSM name",
         spn_answer("014142"),
         written("00410042", "1", "0"),
         {"6 spn decode  is_usc2_flag  false!", "6 spn decode break!!!i=6"}},
        {"UCS-2 form 80",
         spn_answer("028000410042"),
         written("00410042", "0", "1"),
         {"6 spn decode  is_usc2_flag  true!!!"}},
        {"UCS-2 form 81 kept as it stands",
         spn_answer("0381059E00414243"),
         written("059E00414243", "1", "1"),
         {}},
        {"UCS-2 form 82 kept as it stands",
         spn_answer("008202004041"),
         written("02004041", "0", "0"),
         {}},
        {"digit 8 in second place of a GSM byte",
         spn_answer("004858"),
         written("00480058", "0", "0"),
         {}},
        {"all FF file", spn_answer(""), written("", "1", "1"), {"6 spn decode break!!!i=2"}},
        {"UCS-2 U+00FF ends the name",
         spn_answer("0080004100FF0042"),
         written("004100", "0", "0"),
         {"6 spn decode break!!!i=10"}},
        {"FF across a byte boundary is not an end",
         spn_answer("00800FF1"),
         written("0FF1", "0", "0"),
         {}},
        {"three digits with marker",
         fake::info_ok("+CRSM: 144, 0,\"038\""),
         written("", "1", "1"),
         {}},
        {"lower-case display digit", spn_answer("0b41"), written("0041", "1", "1"), {}},
        {"39-digit field, lone last digit dropped",
         fake::info_ok("+CRSM: 144, 0,\"01" + std::string(37, '4') + "\""),
         written(
             [] {
                 std::string n;
                 for (int i = 0; i < 18; ++i) {
                     n += "0044";
                 }
                 return n;
             }(),
             "1", "0"),
         {}},
        {"file not found 148,4",
         fake::info_ok("+CRSM: 148, 4"),
         {kRead},
         {"0 sim read spn fail \n"}},
        {"SIM failure",
         fake::final_line("+CME ERROR: SIM failure"),
         {kRead},
         {"0 sim read spn fail \n"}},
        {"empty answer", "", {kRead}, {"6 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"TIMEOUT", "TIMEOUT", {kRead}, {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"field of 40 digits does not fit",
         fake::info_ok("+CRSM: 144, 0,\"01" + std::string(38, '4') + "\""),
         {kRead},
         {"0 sim spn field of 40 digits does not fit \n"}},
        {"success without a quoted field",
         fake::info_ok("+CRSM: 144, 0,014142"),
         {kRead},
         {"0 sim spn answer without a quoted field \n"}},
        {"unclosed quote",
         fake::info_ok("+CRSM: 144, 0,\"014142"),
         {kRead},
         {"0 sim spn answer without a quoted field \n"}},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake().answers = {c.answer};
        orv_quorl_mdm_get_spn(nullptr);
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        const Lines logs = fake().log_texts();
        EXPECT_EQ(logs.front(), "6 enter orv_quorl_mdm_get_spn fun\n") << c.name;
        for (const std::string& want : c.logs) {
            EXPECT_NE(std::find(logs.begin(), logs.end(), want), logs.end())
                << c.name << ": missing log " << want;
        }
    }
}

TEST(ServiceProviderName, ServedAsRequest14) {
    fake::reset();
    fake().answers = {spn_answer("014142")};
    const unsigned char message[8] = {14, 0, 0, 0};
    orv::core::orv_quorl_mdm_dispatch_msg(message);
    EXPECT_EQ(fake().timeline, written("00410042", "1", "0"));
    EXPECT_EQ(fake().echoes.size(), 1u);
}

}  // namespace
}  // namespace orv::text
