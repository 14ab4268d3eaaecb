// The field trace: with ORV_TRACE=FILE in the environment, the daemon appends to FILE everything
// it saw and did, one JSON object a line (docs/traces.md). Linked into the daemon's executable
// only, together with its link-time wrappers of the platform calls.
#pragma once

namespace orv::daemon::trace {

// Opens the trace named by ORV_TRACE and writes its head (the store values the daemon reads, as
// found now). Unset or empty: nothing is recorded. A file that cannot be opened is logged once
// and the daemon runs without a trace.
void start();

// Whether records are being written.
bool active();

}  // namespace orv::daemon::trace
