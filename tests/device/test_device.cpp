#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "device/device.h"
#include "platform/orv_pwm.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"
#include "wire/mdm_msg.h"

namespace orv::device {
namespace {

using fake::expect_logged;
using fake::fake;
using fake::Lines;

const std::string kNull = "0 (char*)mdm_res.aucDataBuf is NULL\n";
const std::string kTimeout = "0 (char*)mdm_res.aucDataBuf is TIMEOUT \n";
const std::string kCgsn = "AT AT+CGSN";
constexpr auto kLink = orv_quorl_mdm_proc_rpc_test;
constexpr auto kImei = orv_quorl_mdm_get_imei;

// "AT+CMEE=2", then `pings` times "AT", then the status told to the controller (null: none).
std::string link(int pings, const char* status) {
    std::string s = "AT AT+CMEE=2";
    for (; pings > 0; --pings) {
        s += "|AT AT";
    }
    return status != nullptr ? s + "|NOTIFY rpc_status " + status : s;
}

// Link test: only "OK" to "AT+CMEE=2" and to the second "AT" passes; no answer to any of the
// three means no notification. IMEI: the first line is published as it is, after at most one
// retry of a timed-out exchange; only the first line is logged.
TEST(DeviceRequests, LinkTestAndImei) {
    const struct {
        std::int32_t (*handler)(const unsigned char*);
        const char* answers;  // as fake::answers() reads them
        std::int32_t result;
        std::string timeline;
        std::string logs;  // '|' between lines that must be logged
    } cases[] = {
        {kLink, "OK|OK|OK", 0, link(2, "0"), "6 entern orv_quorl_mdm_proc_rpc_testfun \n"},
        {kLink, "ERROR", 1, link(0, "1"), ""},
        {kLink, "TIMEOUT", -1, link(0, nullptr), kTimeout},
        {kLink, "OK|TIMEOUT|OK", 0, link(2, "0"), ""},  // the first AT is not judged
        {kLink, "OK|OK|ERROR", 1, link(2, "1"), ""},
        {kLink, "OK|OK|TIMEOUT", 1, link(2, "1"), ""},  // TIMEOUT is an answer to a ping
        {kLink, "OK|-", -1, link(1, nullptr), kNull},
        {kImei, "356938035643809", 0, kCgsn + "|WRITE imei=356938035643809",
         "6 entern orv_quorl_mdm_get_imei \n|6 mdm_at_result_process is 356938035643809 \n"},
        {kImei, "TIMEOUT|356938035643809", 0,
         kCgsn + "|SLEEP 3|" + kCgsn + "|WRITE imei=356938035643809", kTimeout},
        {kImei, "TIMEOUT|TIMEOUT", -1, kCgsn + "|SLEEP 3|" + kCgsn, ""},
        {kImei, "-", -1, kCgsn, kNull},
        {kImei, "ERROR", -1, kCgsn, "0 (char*)mdm_res.aucDataBuf is ERROR\n"},
        {kImei, "OK", -1, kCgsn, "6 (char*)mdm_res.aucDataBuf is OK\n"},
        {kImei, "+CME ERROR: 10", 0, kCgsn + "|WRITE imei=+CME ERROR: 10", ""},
    };
    for (const auto& c : cases) {
        fake::script(c.answers);
        EXPECT_EQ(c.handler(nullptr), c.result) << c.answers;
        EXPECT_EQ(fake().timeline, fake::split(c.timeline)) << c.answers;
        expect_logged(c.logs, c.answers);
    }
    // The pings wait briefly; every answer is echoed.
    fake::script("OK|OK|OK");
    kLink(nullptr);
    EXPECT_EQ(fake().waits, (std::vector<int>{10000, 0, 0}));
    EXPECT_EQ(fake().echoes.size(), 3u);
}

// Driver readings; the `failing` request is left out, so that it fails like a failing ioctl.
std::map<unsigned long, int> readings(int present, int level, int percent, int charging,
                                      unsigned long failing = 0) {
    std::map<unsigned long, int> m{{ORV_PWM_GET_PRESENT, present},
                                   {ORV_PWM_GET_LEVEL, level},
                                   {ORV_PWM_GET_PERCENT, percent},
                                   {ORV_PWM_GET_CHARGING, charging}};
    m.erase(failing);
    return m;
}

// "PWM open" and the first n queries in the driver's order: presence, level, percent, charging.
std::string queried(int n) {
    std::string s = "PWM open";
    for (const char* q : {"8004880c", "8004880b", "8004880a", "8004880d"}) {
        s += n-- > 0 ? std::string("|PWM query ") + q : "";
    }
    return s;
}

// The four queries, then the level and the percentage published.
std::string published(const std::string& level, const std::string& percent) {
    return queried(4) + "|PWM close|WRITE battery_pers=" + level +
           "|WRITE battery_value=" + percent + "|WRITE battery_vol_percent=" + percent;
}

TEST(Battery, ReadingsPublishedAndShown) {
    const struct {
        const char* name;
        std::map<unsigned long, int> values;  // none: the device does not open
        int result;
        std::string timeline;
        const char* log;  // a line that must be logged
    } cases[] = {
        {"charging", readings(1, 3, 57, 1), 0,
         published("3", "57") + "|WRITE battery_charging=1|LED 57 1", ""},
        {"unknown charging state", readings(1, 3, 57, 2), 0, published("3", "57") + "|LED 57 2",
         "6 unknown battery charging \n"},
        {"no battery", readings(0, 3, 57, 1), -1,
         queried(1) + "|WRITE battery_value=100|WRITE battery_vol_percent=100|LED 100 0|PWM close",
         "6 battery_real_exist is 0\n"},
        {"no driver", {}, -1, "PWM open", "0 Open /dev/pwm Device Faild!\n"},
        {"presence fails", readings(1, 3, 57, 1, ORV_PWM_GET_PRESENT), -1,
         queried(1) + "|PWM close", "0 [error] battery real exist error\n"},
        {"level fails", readings(1, 3, 57, 1, ORV_PWM_GET_LEVEL), -1, queried(2) + "|PWM close",
         "0 [error] battery level error\n"},
        {"percent fails", readings(1, 3, 57, 1, ORV_PWM_GET_PERCENT), -1, queried(3) + "|PWM close",
         "0 [error] battery percent error\n"},
        {"charging fails", readings(1, 3, 57, 1, ORV_PWM_GET_CHARGING), -1,
         queried(4) + "|PWM close", "0 [error] battery exist error\n"},
        {"widest values, not charging", readings(1, -99999999, 999999999, 0), 0,
         published("-99999999", "999999999") + "|WRITE battery_charging=0|LED 999999999 0", ""},
        {"percent too wide", readings(1, 3, 1000000000, 1), -1, queried(4) + "|PWM close",
         "0 [error] battery percent 1000000000 does not fit its text\n"},
        {"level too wide", readings(1, INT_MIN, 57, 1), -1, queried(4) + "|PWM close",
         "0 [error] battery level -2147483648 does not fit its text\n"},
    };
    // Only the first request after start waits, whatever its outcome.
    orv_batt_rearm_first_query();
    fake::reset();
    fake().pwm_opens = false;
    orv_quorl_mdm_get_batt_info(nullptr);
    EXPECT_EQ(fake().timeline, fake::split("SLEEP 7|PWM open"));
    for (const auto& c : cases) {
        fake::reset();
        fake().pwm_opens = !c.values.empty();
        fake().pwm_values = c.values;
        EXPECT_EQ(orv_quorl_mdm_get_batt_info(nullptr), c.result) << c.name;
        EXPECT_EQ(fake().timeline, fake::split(c.timeline)) << c.name;
        expect_logged(c.log, c.name);
    }
}

// A 352-byte version record with the given texts at their offsets (no terminator added: the rest
// of the record is zero, except where a text fills its field).
struct Record {
    std::string inner, model, hardware, manufacturer, integrated;
    std::string bytes() const {
        std::string r(352, '\0');
        r.replace(0, inner.size(), inner);
        r.replace(32, model.size(), model);
        r.replace(64, hardware.size(), hardware);
        r.replace(96, manufacturer.size(), manufacturer);
        r.replace(320, integrated.size(), integrated);
        return r;
    }
    // What the OVN request publishes; the model name twice.
    std::string ovn() const {
        return "WRITE wa_inner_version=" + inner + "|WRITE manufacturer=" + manufacturer +
               "|WRITE model_name=" + model + "|WRITE device_num=" + model +
               "|WRITE integrate_version=" + integrated;
    }
};

// Fields are published up to their terminator; a field filled to its width without one is
// published whole and never runs into the field after it.
TEST(Version, PcbAndOvnPublishTheirFields) {
    const std::string a32(32, 'A');
    const Record normal{"WA1.2.3", "Orv X1", "PCB_V2", "Orv Devices", "INT_9"};
    const Record full{a32, "Orv X1", a32, std::string(224, 'm'), std::string(32, 'I')};
    const struct {
        std::optional<std::string> item;  // none: the item cannot be read
        std::string pcb, ovn;
    } cases[] = {
        {normal.bytes(), "WRITE hardware_version=PCB_V2", normal.ovn()},
        {full.bytes(), "WRITE hardware_version=" + a32, full.ovn()},
        {std::nullopt, "", ""},
    };
    for (const auto& c : cases) {
        for (const bool pcb : {true, false}) {
            fake::reset();
            if (c.item) {
                fake().cfg_items[2000] = *c.item;
            }
            EXPECT_EQ(pcb ? orv_quorl_mdm_get_pcb(nullptr) : orv_quorl_mdm_get_ovn(nullptr), 0);
            EXPECT_EQ(fake().timeline, fake::split(pcb ? c.pcb : c.ovn)) << (pcb ? c.pcb : c.ovn);
            expect_logged(c.item ? "" : "0 get ORV_CFG_VERSION_ID error \n", c.pcb);
        }
    }
}

}  // namespace
}  // namespace orv::device
