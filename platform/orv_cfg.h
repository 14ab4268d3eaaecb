// Factory configuration (liborvcfg).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ORV_CFG_VERSION_ID = 2000,            // 352-byte version record
    ORV_CFG_AUTO_SET_LANGUAGE_ID = 2301,  // one byte: non-zero = language follows the SIM
};

// Fills `buf` with the first `size` bytes of item `id` (zeroing the rest when the item is
// shorter). Returns the number of bytes read from the item, or -1 when it cannot be read.
int orv_cfg_get_item(int id, void* buf, int size);

#ifdef __cplusplus
}
#endif
