// The few operating-system calls the handlers make directly, behind the platform seam so that
// unit tests can record them instead of waiting or printing.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Sleeps whole seconds on the daemon's single thread.
void orv_sleep_s(unsigned int seconds);

// Echoes one raw modem answer to standard output (one line per answer).
void orv_echo_answer(const char* text);

#ifdef __cplusplus
}
#endif
