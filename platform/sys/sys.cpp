// The operating-system calls the handlers make directly.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/orv_sys.h"

extern "C" void orv_sleep_s(unsigned int seconds) {
    timespec left{static_cast<time_t>(seconds), 0};
    // A signal cuts nanosleep short; the rest of the time is slept after it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

extern "C" void orv_echo_answer(const char* text) {
    // The answer and its line feed handed to stdio as one piece: on a line-buffered stream that
    // is one write() instead of two. A long answer goes as puts() would.
    const char* shown = text != nullptr ? text : "";
    char line[1024];
    const std::size_t len = strnlen(shown, sizeof line);
    if (len < sizeof line) {
        std::memcpy(line, shown, len);
        line[len] = '\n';
        std::fwrite(line, 1, len + 1, stdout);
    } else {
        std::puts(shown);
    }
}
