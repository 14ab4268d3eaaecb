// orv_trace: reads a field trace of the modem manager as a timeline and redacts its private
// values (docs/tools.md).
#include <iostream>

#include "tools/trace/commands.h"

int main(int argc, char** argv) {
    return orv::trace::run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
