// Internal controls of the parameter store, for tests and tools.
#pragma once

namespace orv::nvram {

// Closes the connection and its prepared statements; the next call opens ORV_NVRAM afresh.
void reset();

}  // namespace orv::nvram
