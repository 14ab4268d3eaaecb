// SIM identity end to end: the language a new SIM brings (its EF PL, else its country's from the
// device database by the ICCID's digits; the same SIM again: no detection), and the controller's
// APN record with the home network from the IMSI and as many MNC digits as EF AD gives.
#include <gtest/gtest.h>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

constexpr const char* kTwoSims = R"(
[sim.default]
iccid = "8944123456789012345"
imsi = "310260123456789"
languages = ["en"]
mnc_digits = 3

[sim.second]
iccid = "8949226011234567890"
imsi = "262011234567890"
languages = []
mnc_digits = 2
)";

TEST(SimIdentity, LanguageAndApnRecordFollowTheSim) {
    const struct {
        const char* sim;
        const char* language;  // "xx": the value set before is kept
        const char* apn;
    } rows[] = {
        {"default", "en", R"(plmn="310260" imsi="310260123456789" iccid="8944123456789012345F")"},
        {"second", "de", R"(plmn="26201" imsi="262011234567890" iccid="8949226011234567890F")"},
        {"second", "xx", R"(plmn="26201" imsi="262011234567890" iccid="8949226011234567890F")"},
    };
    Rig rig;
    rig.write_factory_item(2301, std::string("\x01", 1));  // the language follows the SIM
    rig.start({.profile = kTwoSims});
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].sim);
        rig.modem_ctl({"swap", rows[i].sim});
        rig.set("Language", "xx");
        rig.send(msg::ORV_MDM_GET_ICCID);
        rig.send(msg::ORV_MDM_GET_IMSI);
        rig.send(msg::ORV_MDM_APN_GET_SIM_INFO);  // served after the two before it
        const Lines notes = rig.wait_notes(i + 1);
        ASSERT_EQ(notes.size(), i + 1);
        EXPECT_EQ(notes.back(), std::string("apn_sim_msg ") + rows[i].apn);
        EXPECT_EQ(rig.store("Language"), rows[i].language);
    }
}

}  // namespace
}  // namespace orv::e2e
