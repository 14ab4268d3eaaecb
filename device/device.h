// Device information and modem control: link test, IMEI, version texts, battery state, radio
// power, and the requests that are accepted and do nothing.
//
// Each handler takes a pointer to the request payload (valid only during the call) and returns a
// status that the dispatcher discards.
#pragma once

#include <cstdint>

namespace orv::device {

// ORV_MDM_TEST_RPC_MSG: "AT+CMEE=2", then "AT" twice; tells the controller 0 when "AT+CMEE=2" and
// the second "AT" both answered "OK", 1 otherwise, nothing when an exchange got no answer.
// Returns the status told, or -1 when nothing was told.
std::int32_t orv_quorl_mdm_proc_rpc_test(const unsigned char* payload);

// ORV_MDM_GET_IMEI: "AT+CGSN"; writes "imei" with the answer's first line. Returns 0 when
// written, -1 otherwise.
std::int32_t orv_quorl_mdm_get_imei(const unsigned char* payload);

// ORV_MDM_GET_PCB: writes "hardware_version" from factory item 2000. Returns 0.
std::int32_t orv_quorl_mdm_get_pcb(const unsigned char* payload);

// ORV_MDM_GET_OVN: writes "wa_inner_version", "manufacturer", "model_name", "device_num" and
// "integrate_version" from factory item 2000. Returns 0.
std::int32_t orv_quorl_mdm_get_ovn(const unsigned char* payload);

// ORV_MDM_GET_BATT_INFO: reads the battery driver, writes "battery_pers", "battery_value",
// "battery_vol_percent", "battery_charging" and updates the battery indicator. The first request
// after start waits 7 s for the driver's first reading. Returns 0 when the state was read, -1
// otherwise (no battery included).
std::int32_t orv_quorl_mdm_get_batt_info(const unsigned char* payload);

// Puts the battery module back in its start-of-process state, so that the next battery request
// waits again. The daemon never calls it; tests do.
void orv_batt_rearm_first_query();

// ORV_MDM_SET_MODEM_MODE: mode 1 switches the radio off ("AT+CFUN=0"), mode 0 on ("AT+CFUN=1"),
// any other mode does nothing. Returns 0.
std::int32_t orv_quorl_mdm_set_modem_mode(const unsigned char* payload);

// ORV_MDM_SLEEP_WAKEUP, ORV_MDM_GET_MODEM_MODE, ORV_MDM_CLEAR_WISPR_PWD: accepted, no effect.
// Return 0.
std::int32_t orv_quorl_mdm_sleep_wakeup(const unsigned char* payload);
std::int32_t orv_quorl_mdm_get_modem_mode(const unsigned char* payload);
std::int32_t orv_quorl_mdm_clear_wispr_pwd(const unsigned char* payload);

}  // namespace orv::device
