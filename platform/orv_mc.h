// Main-controller notifications (liborvmc). One-way: nothing comes back.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum { ORV_APN_FIELD_SIZE = 32 };

// Home network, IMSI and ICCID of the SIM, for the controller's access-point choice.
typedef struct apn_sim_msg {
    char plmn[ORV_APN_FIELD_SIZE];
    char imsi[ORV_APN_FIELD_SIZE];
    char iccid[ORV_APN_FIELD_SIZE];
} apn_sim_msg;

int orv_mc_state_mdm_return_pin_status(int kind, const char* state);
int orv_mc_state_mdm_return_verify_pinpuk(int result, const char* state);
int orv_mc_state_mdm_return_rpc_status(int status);
int orv_mc_state_mdm_return_imsi_unlock_status(int status);
int orv_mc_relay_quorl_apn_sim_msg(const apn_sim_msg* record);

#ifdef __cplusplus
}
#endif
