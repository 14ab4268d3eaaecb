// Battery indicator (liborvled).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

int orv_lib_led_power_vol_state(int percentage, int charging);

#ifdef __cplusplus
}
#endif
