#include <cstdint>
#include <cstdio>

#include "core/log.h"
#include "device/device.h"
#include "platform/orv_led.h"
#include "platform/orv_nvram.h"
#include "platform/orv_pwm.h"
#include "platform/orv_sys.h"

namespace orv::device {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::battery};

// Set at process start: the driver needs a while after boot before its first reading is
// meaningful, so the first battery request waits once and clears it.
std::uint8_t orv_batt_first_query = 1;
constexpr unsigned int kFirstQueryWaitS = 7;

// One driver query and the line logged when it fails.
struct BattQuery {
    unsigned long request;
    const char* error_line;
};

constexpr BattQuery kPresentQuery{ORV_PWM_GET_PRESENT, "[error] battery real exist error\n"};
constexpr BattQuery kLevelQuery{ORV_PWM_GET_LEVEL, "[error] battery level error\n"};
constexpr BattQuery kPercentQuery{ORV_PWM_GET_PERCENT, "[error] battery percent error\n"};
constexpr BattQuery kChargingQuery{ORV_PWM_GET_CHARGING, "[error] battery exist error\n"};

constexpr int kNotCharging = 0;
constexpr int kCharging = 1;
constexpr int kFullPercent = 100;

// Runs one query; on failure logs its line and closes the device.
bool query(int pwm, const BattQuery& q, int& value) {
    if (orv_pwm_ioctl(pwm, q.request, &value) < 0) {
        MDM_LOG(kLogErr, "%s", q.error_line);
        orv_pwm_close(pwm);
        return false;
    }
    return true;
}

// A value's decimal text in its 10-byte buffer, terminator included.
struct DecimalText {
    char text[10];
    int length;
};

// False when the text needs more than 9 characters (at or above 1000000000, at or below
// -100000000): such a reading is not a battery value, and it is refused rather than cut.
bool decimal_text(int value, DecimalText& out) {
    const int n = std::snprintf(out.text, sizeof out.text, "%d", value);
    if (n < 0 || n >= static_cast<int>(sizeof out.text)) {
        return false;
    }
    out.length = n;
    return true;
}

void publish(const char* name, const DecimalText& t) {
    orv_nvconfig_write(name, t.text, t.length);
}

}  // namespace

void orv_batt_rearm_first_query() {
    orv_batt_first_query = 1;
}

// Without a battery the device runs from its supply: the indicator shows full, not charging, and
// only the two percentage values are published.
std::int32_t orv_quorl_mdm_get_batt_info(const unsigned char* /*payload*/) {
    if (orv_batt_first_query != 0) {
        orv_sleep_s(kFirstQueryWaitS);
        orv_batt_first_query = 0;
    }

    const int pwm = orv_pwm_open(ORV_PWM_DEVICE);
    if (pwm < 0) {
        MDM_LOG(kLogErr, "Open %s Device Faild!\n", ORV_PWM_DEVICE);
        return -1;
    }

    int present = 0;
    if (!query(pwm, kPresentQuery, present)) {
        return -1;
    }
    if (present == 0) {
        MDM_LOG(kLogInfo, "battery_real_exist is 0\n");
        orv_nvconfig_write("battery_value", "100", 3);
        orv_nvconfig_write("battery_vol_percent", "100", 3);
        orv_lib_led_power_vol_state(kFullPercent, kNotCharging);
        orv_pwm_close(pwm);
        return -1;
    }

    int level = 0;
    int percent = 0;
    int charging = 0;
    if (!query(pwm, kLevelQuery, level) || !query(pwm, kPercentQuery, percent) ||
        !query(pwm, kChargingQuery, charging)) {
        return -1;
    }
    orv_pwm_close(pwm);

    // Both texts are made before anything is published, so a refused value publishes nothing.
    DecimalText level_text;
    DecimalText percent_text;
    if (!decimal_text(level, level_text)) {
        MDM_LOG(kLogErr, "[error] battery level %d does not fit its text\n", level);
        return -1;
    }
    if (!decimal_text(percent, percent_text)) {
        MDM_LOG(kLogErr, "[error] battery percent %d does not fit its text\n", percent);
        return -1;
    }

    publish("battery_pers", level_text);
    publish("battery_value", percent_text);
    publish("battery_vol_percent", percent_text);

    if (charging == kNotCharging) {
        orv_nvconfig_write("battery_charging", "0", 1);
    } else if (charging == kCharging) {
        orv_nvconfig_write("battery_charging", "1", 1);
    } else {
        MDM_LOG(kLogInfo, "unknown battery charging \n");
    }

    orv_lib_led_power_vol_state(percent, charging);
    return 0;
}

}  // namespace orv::device
