// Parameter store (liborvnvram).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Sets parameter `name` to exactly `len` bytes of `value` (no terminator). Visible to other
// processes when it returns and never lost by a crash of the caller. Returns 0, or -1.
int orv_nvconfig_write(const char* name, const void* value, int len);

// Copies at most `size` bytes of the stored value into `buf`; a name never written leaves `buf`
// untouched. Returns the number of bytes copied, or -1 when there is no such value.
int orv_nvconfig_read(const char* name, void* buf, int size);

// Returns once every value written so far is on stable storage. Returns 0, or -1.
int orv_nvconfig_save(void);

#ifdef __cplusplus
}
#endif
