// Modem families end to end: the daemon against the virtual modem playing each shipped family
// profile (tools/modem_sim/profiles/, sources in each file), whose start-up and SIM-ready reports,
// echo and answer layouts meet the daemon's requests. Each family's card waits for its PIN; after
// the bring-up a round of requests enters it and reads the card and the device, and every value
// the daemon publishes and every notification must be the card's, whatever the reports around
// the answers.
#include <gtest/gtest.h>

#include <string>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

using namespace msg;

TEST(Families, TheDaemonReadsEveryFamilysCardThroughItsReports) {
    const struct {
        const char* profile;  // file in tools/modem_sim/profiles
        const char* pin;
        const char* iccid;  // as published: the card's digits, F-filled to 20
        const char* imsi;
        const char* msisdn;
        const char* imei;  // as published: the family's answer line
        const char* spn;   // as published: the name's UCS-2 digits
        const char* spn_b1;
        const char* spn_b2;
    } rows[] = {
        {"quectel.toml", "2468", "89462030000000000017", "240011234500017", "+46701234517",
         "861234050000017", "00480061006C006F", "1", "1"},
        {"simcom.toml", "1357", "8931440300000000024F", "204081234500024", "+31612345624",
         "+CGSN: \"862345060000024\"", "005A006500740061", "1", "0"},
        {"huawei.toml", "8642", "8939010000000000031F", "222011234500031", "+393401234531",
         "863456070000031", "00560065006E0074006F", "0", "1"},
        {"telit.toml", "9753", "8901410000000000048F", "310410123450048", "+12025550148",
         "864567080000048", "0042006500610063006F006E", "0", "0"},
        {"mediatek.toml", "1122", "8986001000000000055F", "460001234500055", "+8613800000055",
         "865678090000055", "004F007200760069006F", "1", "0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.profile);
        Rig rig;
        rig.start({.args = {"--profile", std::string(ORV_SOURCE_DIR) +
                                             "/tools/modem_sim/profiles/" + row.profile}},
                  {"ORV_AT_WAIT_SCALE=0.02"});
        std::size_t requests = 0;
        const auto request = [&](std::uint32_t id, const std::string& payload = {}) {
            rig.send(id, payload);
            ++requests;
            return rig.wait_for(
                [&] { return count(rig.log_messages(), kRequestDone) == requests; });
        };
        const auto stored = [&](const char* name) { return rig.store(name).value_or("<none>"); };

        ASSERT_TRUE(request(ORV_MDM_GET_PIN_STATUS)) << "the SIM state request did not end";
        EXPECT_EQ(stored("pinnumber"), "3");
        EXPECT_EQ(stored("puknumber"), "10");
        ASSERT_TRUE(request(ORV_MDM_VERIFY_PIN, row.pin)) << "the PIN entry did not end";
        EXPECT_EQ(stored("pin_code"), row.pin);
        EXPECT_EQ(stored("pin_puk_at_wait"), "0");
        EXPECT_EQ(stored("pinnumber"), "3");
        EXPECT_EQ(stored("puknumber"), "10");
        const std::string counters = "pin time is 3,puk time is 10 ";
        const std::size_t counted = count(rig.log_messages(), counters);
        ASSERT_TRUE(request(ORV_MDM_PIN_PUK_TIMES)) << "the retry counter request did not end";
        EXPECT_EQ(count(rig.log_messages(), counters), counted + 1);
        ASSERT_TRUE(request(ORV_MDM_GET_PIN_STATUS)) << "the second SIM state request did not end";
        ASSERT_TRUE(request(ORV_MDM_GET_ICCID)) << "the ICCID request did not end";
        EXPECT_EQ(stored("sim_iccid"), row.iccid);
        ASSERT_TRUE(request(ORV_MDM_GET_IMSI)) << "the IMSI request did not end";
        EXPECT_EQ(stored("sim_imsi"), row.imsi);
        ASSERT_TRUE(request(ORV_MDM_GET_MSISDN)) << "the own number request did not end";
        EXPECT_EQ(stored("msisdn"), row.msisdn);
        ASSERT_TRUE(request(ORV_MDM_GET_IMEI)) << "the IMEI request did not end";
        EXPECT_EQ(stored("imei"), row.imei);
        ASSERT_TRUE(request(ORV_MDM_GET_SIM_SPN)) << "the SPN request did not end";
        EXPECT_EQ(stored("spn_name_data"), row.spn);
        EXPECT_EQ(stored("spn_b1_flag"), row.spn_b1);
        EXPECT_EQ(stored("spn_b2_flag"), row.spn_b2);

        EXPECT_EQ(rig.wait_notes(3), (Lines{"pin_status kind=0 state=\"SIM PIN\"",
                                            "verify_pinpuk result=0 state=\"READY\"",
                                            "pin_status kind=0 state=\"READY\""}))
            << "the controller's notifications";
        // Each command once: no answer was lost to a report and asked again.
        EXPECT_EQ(rig.commands(),
                  (Lines{"AT+CPIN?", "AT+EPINC", "AT+CPIN=\"" + std::string(row.pin) + "\"",
                         "AT+EPINC", "AT+EPINC", "AT+CPIN?", "AT+EPINC", "AT+CRSM=176,12258,0,0,10",
                         "AT+CIMI", "AT+CNUM", "AT+CGSN", "AT+CRSM=176,28486,0,0,17"}));
    }
}

}  // namespace
}  // namespace orv::e2e
