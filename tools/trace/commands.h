// The commands of orv_trace over a parsed trace: the readable timeline, the redaction and the
// replay, and the command line that runs them.
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

struct ReplayOptions {
    std::string file;                  // the trace's file: the virtual modem replays its line
    bool fast = false;                 // no pauses between requests and in the modem's answers
    std::optional<double> wait_scale;  // the daemon's AT wait scale; none: the recording's
};

// Plays `records` (read from options.file) against a fresh daemon and the virtual modem and
// compares what each request published with the recording; the exit status, with a summary line
// on `out` or the first difference on `err`.
int replay(const std::vector<Record>& records, const ReplayOptions& options, std::ostream& out,
           std::ostream& err);

// orv_trace with its arguments (without the program name); the exit status.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace orv::trace
