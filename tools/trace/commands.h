// The commands of orv_trace over a parsed trace: the readable timeline and the redaction, and the
// command line that runs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "tools/trace/trace.h"

namespace orv::trace {

struct ShowOptions {
    std::optional<std::uint32_t> id;  // only the requests with this identifier
    double from = 0;                  // only the parts of the trace that reach into [from, to]
    double to = std::numeric_limits<double>::infinity();
};

// The session as a timeline: one heading per start-up, request or time between requests, and
// under it what the daemon did, each command with its response time and answer.
std::string show(const std::vector<Record>& records, const ShowOptions& options);

// How many different private values of each sort were replaced.
struct RedactCounts {
    std::size_t codes = 0;
    std::size_t iccids = 0;
    std::size_t imsis = 0;
    std::size_t numbers = 0;
    std::size_t imeis = 0;
};
std::string describe(const RedactCounts& counts);

// Replaces the PIN, PUK and unlock codes, ICCID, IMSI, own number and IMEI (its type allocation
// code kept) everywhere in `records`.
RedactCounts redact(std::vector<Record>& records);

// orv_trace replay with its arguments (after the command word); the exit status.
int cmd_replay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// orv_trace with its arguments (without the program name); the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace orv::trace
