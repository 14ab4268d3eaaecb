#include <gtest/gtest.h>

#include <map>
#include <string>

#include "device/device.h"
#include "platform/orv_pwm.h"
#include "tests/fake/fake_platform.h"

namespace orv::device {
namespace {

using fake::fake;
using fake::Lines;

// Runs the one waiting request, so that the request under test is a later one.
void pass_first_request() {
    orv_batt_rearm_first_query();
    fake::reset();
    fake().pwm_opens = false;
    orv_quorl_mdm_get_batt_info(nullptr);
    fake::reset();
}

std::map<unsigned long, int> readings(int present, int level, int percent, int charging) {
    return {{ORV_PWM_GET_PRESENT, present},
            {ORV_PWM_GET_LEVEL, level},
            {ORV_PWM_GET_PERCENT, percent},
            {ORV_PWM_GET_CHARGING, charging}};
}

std::map<unsigned long, int> without(std::map<unsigned long, int> m, unsigned long request) {
    m.erase(request);
    return m;
}

const Lines kAllQueries = {"PWM open",           "PWM query 8004880c", "PWM query 8004880b",
                           "PWM query 8004880a", "PWM query 8004880d", "PWM close"};

Lines after_queries(Lines tail) {
    Lines out = kAllQueries;
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

struct BatteryCase {
    const char* name;
    bool opens;
    std::map<unsigned long, int> values;
    int result;
    Lines timeline;
    const char* log;  // a line that must be logged, or null
};

TEST(Battery, ReadingsPublishedAndShown) {
    const auto good = readings(1, 3, 57, 1);
    const BatteryCase cases[] = {
        {"charging", true, good, 0,
         after_queries({"WRITE battery_pers=3", "WRITE battery_value=57",
                        "WRITE battery_vol_percent=57", "WRITE battery_charging=1", "LED 57 1"}),
         nullptr},
        {"not charging", true, readings(1, 4, 100, 0), 0,
         after_queries({"WRITE battery_pers=4", "WRITE battery_value=100",
                        "WRITE battery_vol_percent=100", "WRITE battery_charging=0", "LED 100 0"}),
         nullptr},
        {"unknown charging state keeps the old value", true, readings(1, 3, 57, 2), 0,
         after_queries({"WRITE battery_pers=3", "WRITE battery_value=57",
                        "WRITE battery_vol_percent=57", "LED 57 2"}),
         "6 unknown battery charging \n"},
        {"no battery",
         true,
         readings(0, 3, 57, 1),
         -1,
         {"PWM open", "PWM query 8004880c", "WRITE battery_value=100",
          "WRITE battery_vol_percent=100", "LED 100 0", "PWM close"},
         "6 battery_real_exist is 0\n"},
        {"no driver", false, good, -1, {"PWM open"}, "0 Open /dev/pwm Device Faild!\n"},
        {"presence query fails",
         true,
         without(good, ORV_PWM_GET_PRESENT),
         -1,
         {"PWM open", "PWM query 8004880c", "PWM close"},
         "0 [error] battery real exist error\n"},
        {"level query fails",
         true,
         without(good, ORV_PWM_GET_LEVEL),
         -1,
         {"PWM open", "PWM query 8004880c", "PWM query 8004880b", "PWM close"},
         "0 [error] battery level error\n"},
        {"percentage query fails",
         true,
         without(good, ORV_PWM_GET_PERCENT),
         -1,
         {"PWM open", "PWM query 8004880c", "PWM query 8004880b", "PWM query 8004880a",
          "PWM close"},
         "0 [error] battery percent error\n"},
        {"charging query fails", true, without(good, ORV_PWM_GET_CHARGING), -1, kAllQueries,
         "0 [error] battery exist error\n"},
        // Decimal texts have 9 characters at most.
        {"widest values that fit", true, readings(1, -99999999, 999999999, 0), 0,
         after_queries({"WRITE battery_pers=-99999999", "WRITE battery_value=999999999",
                        "WRITE battery_vol_percent=999999999", "WRITE battery_charging=0",
                        "LED 999999999 0"}),
         nullptr},
        {"percentage too wide is refused", true, readings(1, 3, 1000000000, 1), -1, kAllQueries,
         "0 [error] battery percent 1000000000 does not fit its text\n"},
        {"level too wide is refused", true, readings(1, -2147483647 - 1, 57, 1), -1, kAllQueries,
         "0 [error] battery level -2147483648 does not fit its text\n"},
    };
    for (const BatteryCase& c : cases) {
        pass_first_request();
        fake().pwm_opens = c.opens;
        fake().pwm_values = c.values;
        EXPECT_EQ(orv_quorl_mdm_get_batt_info(nullptr), c.result) << c.name;
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        if (c.log != nullptr) {
            const Lines logs = fake().log_texts();
            EXPECT_NE(std::find(logs.begin(), logs.end(), c.log), logs.end())
                << c.name << ": missing log " << c.log;
        }
    }
}

// Only the first request after start waits, whatever its outcome.
TEST(Battery, OnlyTheFirstRequestWaits) {
    orv_batt_rearm_first_query();
    fake::reset();
    fake().pwm_opens = false;
    orv_quorl_mdm_get_batt_info(nullptr);
    EXPECT_EQ(fake().timeline, (Lines{"SLEEP 7", "PWM open"}));
    for (int i = 0; i < 2; ++i) {
        fake::reset();
        fake().pwm_values = readings(1, 3, 57, 1);
        orv_quorl_mdm_get_batt_info(nullptr);
        EXPECT_EQ(fake().timeline.front(), "PWM open");
        EXPECT_EQ(std::count(fake().timeline.begin(), fake().timeline.end(), "SLEEP 7"), 0);
    }
}

}  // namespace
}  // namespace orv::device
