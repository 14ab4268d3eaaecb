// orv_mdm: the modem manager daemon. Takes no arguments; paths come from the environment.
#include <cstdio>

#include "core/daemon.h"

int main() {
    // One line of standard output per modem answer, visible as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return orv::core::orv_quorl_mdm_run();
}
