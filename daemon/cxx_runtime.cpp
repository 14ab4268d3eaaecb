// The one piece of the C++ runtime library the daemon needs, so that it links without
// libstdc++ (smaller, faster to load, less resident memory; see docs/performance.md).
//
// Built without exceptions, the standard library's inline code still calls its out-of-line
// "throw" helper when a precondition is broken (std::string_view::substr past the end). With
// exceptions off nothing could catch that throw and the process would end; here it ends at once.
// Only the daemon's executable carries this file: tests and tools link the real library.
#include <cstdlib>

namespace std {

[[noreturn]] void __throw_out_of_range_fmt(const char* /*format*/, ...) {
    std::abort();
}

}  // namespace std
