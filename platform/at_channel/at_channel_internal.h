// Internal controls of the AT channel, for tests and tools; the daemon uses only ClientSendCmd.
#pragma once

#include <cstddef>
#include <string_view>

namespace orv::at_channel {

// Closes the port if open; the next command opens ORV_MODEM afresh.
void reset();

// How a complete answer line reads: not a final result line, a final one that reports success,
// or a final one that reports failure.
enum class LineKind { kInformation, kFinalOk, kFinalError };

// Classifies one answer line (without its line end) against the table of final result lines.
LineKind classify_line(std::string_view line);

// Turns the raw bytes read from the port into the delivered answer: the echo of `command` (when
// the first non-empty line is the command itself) removed, every line ended by CR LF (bare LF
// and CR CR LF ends included), and a leading CR LF when the modem sent none. Writes at most
// out_size - 1 characters and a terminator; returns the number of characters written.
std::size_t normalise_answer(std::string_view raw, std::string_view command, char* out,
                             std::size_t out_size);

}  // namespace orv::at_channel
