// SIM identity and language end to end: a new SIM's preferred language, a swap to a SIM without
// one (language from the device database by the ICCID's country digits), the same SIM again
// (no detection), and the controller's APN record.
#include <gtest/gtest.h>

#include "tools/rig/rig.h"

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

TEST(SimIdentity, LanguageFollowsANewSim) {
    Rig rig;
    rig.write_factory_item(2301, std::string("\x01", 1));
    rig.start({.profile = kTwoSims});
    const std::string ef_pl = "AT+CRSM=176,12037,0,0,2";

    // A new SIM with a preferred language.
    ASSERT_EQ(rig.send_tool({"GET_ICCID"}), 0);
    ASSERT_TRUE(rig.wait_store("iccid", "8944123456789012345F"));
    EXPECT_EQ(rig.store("sim_iccid"), "8944123456789012345F");
    EXPECT_EQ(rig.store("Language"), "en");

    // Swapped for a SIM without one: the language comes from its country, 49.
    rig.modem_ctl({"swap", "second"});
    ASSERT_EQ(rig.send_tool({"GET_ICCID"}), 0);
    ASSERT_TRUE(rig.wait_store("iccid", "8949226011234567890F"));
    EXPECT_EQ(rig.store("Language"), "de");
    EXPECT_TRUE(rig.wait_log("orv_mdm:country=4922 "));
    EXPECT_EQ(count(rig.journal(), ef_pl), 2u);

    // The same SIM again: no detection.
    rig.set("Language", "xx");
    ASSERT_EQ(rig.send_tool({"GET_ICCID"}), 0);
    ASSERT_TRUE(
        rig.wait_for([&] { return count(rig.journal(), "AT+CRSM=176,12258,0,0,10") == 3; }));
    ASSERT_EQ(rig.send_tool({"TEST_RPC_MSG"}), 0);  // served after the ICCID request ended
    rig.wait_notes(1);
    EXPECT_EQ(count(rig.journal(), ef_pl), 2u);
    EXPECT_EQ(rig.store("Language"), "xx");
}

TEST(SimIdentity, ApnRecordCarriesTheHomeNetwork) {
    Rig rig;
    rig.start({.profile = kTwoSims});

    // Nothing read yet: the record goes out with empty identity fields.
    ASSERT_EQ(rig.send_tool({"APN_GET_SIM_INFO"}), 0);
    EXPECT_EQ(rig.wait_notes(1).back(), R"(apn_sim_msg plmn="" imsi="" iccid="")");

    ASSERT_EQ(rig.send_tool({"GET_ICCID", "--wait-store", "sim_iccid"}), 0);
    ASSERT_EQ(rig.send_tool({"GET_IMSI", "--wait-store", "sim_imsi"}), 0);
    ASSERT_EQ(rig.send_tool({"APN_GET_SIM_INFO"}), 0);
    EXPECT_EQ(rig.wait_notes(2).back(),
              R"(apn_sim_msg plmn="310260" imsi="310260123456789" iccid="8944123456789012345F")");

    // A SIM whose EF AD gives a two-digit MNC.
    rig.modem_ctl({"swap", "second"});
    ASSERT_EQ(rig.send_tool({"GET_IMSI", "--wait-store", "sim_imsi"}), 0);
    ASSERT_EQ(rig.send_tool({"APN_GET_SIM_INFO"}), 0);
    EXPECT_EQ(rig.wait_notes(3).back(),
              R"(apn_sim_msg plmn="26201" imsi="262011234567890" iccid="8944123456789012345F")");
}

}  // namespace
}  // namespace orv::e2e
