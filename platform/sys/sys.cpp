// The operating-system calls the handlers make directly.

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/orv_sys.h"

extern "C" void orv_sleep_s(unsigned int seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    // A signal cuts nanosleep short; the rest of the time is slept after it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

extern "C" void orv_echo_answer(const char* text) {
    std::puts(text != nullptr ? text : "");
}
