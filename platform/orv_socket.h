// Message sockets (liborvsocket): the daemon's request endpoint.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Creates the server endpoint `name` (a Unix datagram socket in ORV_RUN_DIR, mode 0660) and
// stores its handle. A stale socket of a dead daemon is replaced; a live one makes this fail.
// Returns -1 on failure.
int orv_init_msg(const char* name, int* handle);

// Blocks until one datagram arrives and copies at most `max_len` bytes of it into `buf`.
// Returns the number of bytes copied, or -1 on failure.
int orv_recv_msg(int handle, void* buf, int max_len);

#ifdef __cplusplus
}
#endif
