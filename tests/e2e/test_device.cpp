// Device information and modem control end to end: link test, IMEI, version texts, battery with
// the driver stand-in, radio power.
#include <gtest/gtest.h>

#include <fstream>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

std::string notification(std::uint32_t call, std::uint32_t value) {
    return le32(call) + le32(value);
}

TEST(Device, LinkTestReportsToTheController) {
    Rig rig;
    rig.start();
    rig.send(msg::ORV_MDM_TEST_RPC_MSG);
    const std::string passed = notification(msg::notify::kRpcStatus, 0);
    ASSERT_TRUE(rig.wait_for([&] { return rig.notifications().size() == 1; }));
    EXPECT_EQ(rig.notifications().front(), passed);

    rig.modem_ctl({"script", "AT+CMEE=2", "answer", "\\r\\nERROR\\r\\n", "1"});
    rig.send(msg::ORV_MDM_TEST_RPC_MSG);
    ASSERT_TRUE(rig.wait_for([&] { return rig.notifications().size() == 2; }));
    EXPECT_EQ(rig.notifications().back(), notification(msg::notify::kRpcStatus, 1));
    EXPECT_EQ(rig.commands(), (Lines{"AT+CMEE=2", "AT", "AT", "AT+CMEE=2"}));
}

// The IMEI from the modem, the version texts from the factory record, and radio power.
TEST(Device, ImeiVersionTextsAndRadioMode) {
    namespace v = msg::version_record;
    const std::vector<std::pair<msg::TextField, std::string>> fields = {
        {v::kInnerVersion, "ORV-1.4.2"},
        {v::kModelName, "ORV MiFi 4G"},
        {v::kHardwareVersion, "PCB-C"},
        {v::kManufacturer, "Orv Devices"},
        {v::kIntegratedVersion, "ORV-1.4.2-B17"}};
    std::string record(v::kSize, '\0');
    for (const auto& [f, text] : fields) {
        record.replace(f.offset, text.size(), text);
    }
    Rig rig;
    rig.write_factory_item(2000, record);
    rig.start();
    rig.send(msg::ORV_MDM_GET_IMEI);
    rig.send(msg::ORV_MDM_GET_PCB);
    rig.send(msg::ORV_MDM_GET_OVN);
    for (const std::uint32_t mode : {1, 7, 0}) {
        rig.send(msg::ORV_MDM_SET_MODEM_MODE, le32(mode));
    }
    ASSERT_TRUE(rig.wait_log("mode is 7"));
    ASSERT_TRUE(rig.wait_for([&] { return rig.journal().size() >= 6; }));
    EXPECT_EQ(rig.commands(), (Lines{"AT+CGSN", "AT+CFUN=0", "AT+CFUN=1"}));
    const std::string imei = rig.store("imei").value_or("");
    EXPECT_EQ(imei.size(), 15u);
    EXPECT_EQ(imei.find_first_not_of("0123456789"), std::string::npos);
    const std::vector<std::pair<const char*, const char*>> published = {
        {"integrate_version", "ORV-1.4.2-B17"}, {"hardware_version", "PCB-C"},
        {"wa_inner_version", "ORV-1.4.2"},      {"manufacturer", "Orv Devices"},
        {"model_name", "ORV MiFi 4G"},          {"device_num", "ORV MiFi 4G"}};
    for (const auto& [name, value] : published) {
        EXPECT_EQ(rig.store(name), value) << name;
    }
}

TEST(Device, BatteryFromTheDriverStandIn) {
    Rig rig;
    const std::string pwm = rig.path("battery");
    std::ofstream(pwm) << "present=1\nlevel=3\npercent=57\ncharging=1\n";
    rig.start({}, {"ORV_PWM_SIM=" + pwm});
    rig.send(msg::ORV_MDM_GET_BATT_INFO);  // the first one waits 7 s
    ASSERT_TRUE(rig.wait_store("battery_charging", "1", 20s));
    EXPECT_EQ(rig.store("battery_value"), "57");
    EXPECT_EQ(rig.store("battery_vol_percent"), "57");
    EXPECT_EQ(rig.store("battery_pers"), "3");

    std::ofstream(pwm) << "present=0\n";
    rig.send(msg::ORV_MDM_GET_BATT_INFO);
    ASSERT_TRUE(rig.wait_store("battery_value", "100", 5s));
    EXPECT_EQ(rig.store("battery_charging"), "1");  // not written without a battery

    std::ifstream led(rig.path("run/battery_led"));
    std::string all((std::istreambuf_iterator<char>(led)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "57 1\n100 0\n");
    // The battery request has no receive line in the log.
    for (const std::string& m : rig.log_messages()) {
        EXPECT_EQ(m.find("msg_id = 10,"), std::string::npos) << m;
    }
}

}  // namespace
}  // namespace orv::e2e
