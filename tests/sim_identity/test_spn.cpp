#include <gtest/gtest.h>

#include <string>

#include "sim_identity/spn.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"

namespace orv::sim_identity {
namespace {

using fake::fake;
using fake::Lines;

// A success answer with `field` quoted; `pad` fills it with FF bytes to the 34 digits of 17 bytes.
std::string spn(std::string field, bool pad = true) {
    while (pad && field.size() < 34) {
        field += "FF";
    }
    return fake::info_ok("+CRSM: 144, 0,\"" + field + "\"");
}

// The read, then, when a name is given, the name and the two display flags ("10": b1 1, b2 0).
Lines timeline(const char* name, const char* flags) {
    Lines out{"AT AT+CRSM=176,28486,0,0,17"};
    if (name != nullptr) {
        out.insert(out.end(), {std::string("WRITE spn_name_data=") + name,
                               std::string("WRITE spn_b1_flag=") + flags[0],
                               std::string("WRITE spn_b2_flag=") + flags[1]});
    }
    return out;
}

TEST(ServiceProviderName, PublishesNameAndFlags) {
    const std::string no_quote = "0 sim spn answer without a quoted field \n";
    const struct {
        const char* name;
        std::string answer;
        const char* spn;  // null: nothing published
        const char* flags;
        std::string logs;  // '|' between lines that must be logged
    } cases[] = {
        {"GSM name", spn("014142"), "00410042", "10",
         "6 spn decode  is_usc2_flag  false!|6 spn decode break!!!i=6"},
        {"UCS-2 form 80", spn("028000410042"), "00410042", "01",
         "6 spn decode  is_usc2_flag  true!!!"},
        {"UCS-2 form 81 kept as it stands", spn("0381059E00414243"), "059E00414243", "11", ""},
        {"8 in second place of a GSM byte", spn("004858"), "00480058", "00", ""},
        {"all FF", spn(""), "", "11", "6 spn decode break!!!i=2"},
        {"UCS-2 U+00FF ends the name", spn("0080004100FF0042"), "004100", "00", ""},
        {"FF across a byte boundary", spn("00800FF1"), "0FF1", "00", ""},
        {"marker as the last digit", spn("038", false), "", "11", ""},
        {"lower-case display digit", spn("0b41"), "0041", "11", ""},
        {"39 digits: lone last dropped", spn("01" + std::string(37, '4'), false),
         "004400440044004400440044004400440044004400440044004400440044004400440044", "10", ""},
        {"40 digits do not fit", spn("01" + std::string(38, '4'), false), nullptr, "",
         "0 sim spn field of 40 digits does not fit \n"},
        {"file not found", fake::info_ok("+CRSM: 148, 4"), nullptr, "", "0 sim read spn fail \n"},
        {"empty answer", "", nullptr, "", "6 (char*)mdm_res.aucDataBuf is NULL\n"},
        {"TIMEOUT", "TIMEOUT", nullptr, "", "0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"},
        {"no quote", fake::info_ok("+CRSM: 144, 0,014142"), nullptr, "", no_quote},
        {"unclosed quote", fake::info_ok("+CRSM: 144, 0,\"014142"), nullptr, "", no_quote},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake().answers = {c.answer};
        EXPECT_EQ(orv_quorl_mdm_get_spn(nullptr), c.spn != nullptr ? 0 : -1) << c.name;
        EXPECT_EQ(fake().timeline, timeline(c.spn, c.flags)) << c.name;
        EXPECT_EQ(fake().log_texts().front(), "6 enter orv_quorl_mdm_get_spn fun\n") << c.name;
        fake::expect_logged(c.logs, c.name);
    }
}

}  // namespace
}  // namespace orv::sim_identity
