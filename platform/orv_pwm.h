// Battery driver access: /dev/pwm and its ioctl queries, or the ORV_PWM_SIM stand-in file.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define ORV_PWM_DEVICE "/dev/pwm"

// Read-direction ioctl requests of the driver (size 4, type 0x88, numbers 10 to 13).
#define ORV_PWM_GET_PERCENT 0x8004880aUL
#define ORV_PWM_GET_LEVEL 0x8004880bUL
#define ORV_PWM_GET_PRESENT 0x8004880cUL
#define ORV_PWM_GET_CHARGING 0x8004880dUL

// Opens the driver; returns a handle, or -1.
int orv_pwm_open(const char* path);
// Issues one query; returns 0 with *value filled, or -1.
int orv_pwm_ioctl(int handle, unsigned long request, int* value);
void orv_pwm_close(int handle);

#ifdef __cplusplus
}

namespace orv::pwm {
// The driver's queries, each with its key in the ORV_PWM_SIM stand-in file (lines "KEY=N").
struct Query {
    unsigned long request;
    const char* key;
};
inline constexpr Query kQueries[] = {
    {ORV_PWM_GET_PRESENT, "present"},
    {ORV_PWM_GET_LEVEL, "level"},
    {ORV_PWM_GET_PERCENT, "percent"},
    {ORV_PWM_GET_CHARGING, "charging"},
};
}  // namespace orv::pwm
#endif
