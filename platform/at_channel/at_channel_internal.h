// Internal parts of the AT channel, for tests, fuzz targets and tools; the daemon uses only
// ClientSendCmd. The line reading and the late-answer bookkeeping are pure (no I/O), so they can
// be driven byte by byte without a port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orv::at_channel {

// Closes the port if open; the next command opens ORV_MODEM afresh.
void reset();

// How a complete answer line reads: not a final result line, a final one that reports success,
// or a final one that reports failure.
enum class LineKind { kInformation, kFinalOk, kFinalError };

// Classifies one answer line (without its line end) against the table of final result lines.
LineKind classify_line(std::string_view line);

// Whether a line is an unsolicited result code when it arrives during `command` (empty: between
// commands): not one, one, or one that announces a data line after it (+CMT, +CDS, +CBM: the
// message PDU or text, which may read like anything, "OK" included). A report is no report for
// the command that asks for it: "+CREG: 0,1" answers "AT+CREG?".
enum class Report { kNone, kLine, kLineAndData };
Report classify_report(std::string_view line, std::string_view command);

// Reads the byte stream of the AT port line by line, across commands. CR LF, bare LF and bare CR
// all end a line (a CR LF pair, and CR CR LF, is one line end); NUL bytes are dropped.
//
// While an answer is collected (begin()), each complete line is judged at once: the echo of the
// command (the first non-empty line, when it is the command), unsolicited reports with the empty
// framing line before them, a report's data line and empty lines before the first text are
// dropped; every other line is kept with a CR LF; a final result line completes the answer. Between
// commands (idle()) lines are only watched: final lines are counted, reports and their data lines
// skipped. A line that was begun before a command was written belongs to nobody's answer and is
// dropped whole.
//
// The answer is assembled in the caller's buffer, bounded by its size: text that does not fit is
// cut, never overrun.
class LineReader {
  public:
    // Starts the answer to `command` (its text as sent), assembled into out[0..size).
    void begin(std::string_view command, char* out, std::size_t size);
    // Stops collecting; from here lines are only watched, and finals() counts from 0.
    void idle();
    // Feeds bytes read from the port. Returns how many were taken: all of them, or, when the
    // answer's final line ends among them, those up to and including the byte that ended it.
    std::size_t feed(std::string_view bytes);
    // The final line of the answer being collected has arrived.
    bool complete() const { return complete_; }
    // Final result lines seen since idle().
    int finals() const { return finals_; }
    // Terminates the answer in the buffer given to begin() and returns its length: the kept
    // lines, each ended by CR LF, after a leading CR LF (the modem's own, or one put in). A line
    // still unfinished is left out; an answer with no line is empty.
    std::size_t finish();
    // Forgets everything, as for a freshly opened port.
    void clear() { *this = LineReader{}; }

  private:
    static constexpr std::size_t kHead = 64;  // longer than every final or report text

    void end_line();
    void add(char c);
    void keep_line(bool final_line);
    void reset_line();
    std::string_view head() const;

    std::string_view command_;
    std::string_view echo_;  // the command without its line end
    char* out_ = nullptr;
    std::size_t cap_ = 0;   // bytes of out_ usable for text (one is left for the terminator)
    std::size_t kept_ = 0;  // end of the kept text; out_[0..2) is kept for the leading CR LF
    bool collecting_ = false;
    bool complete_ = false;
    bool seen_text_ = false;  // a non-empty line was looked at (the echo is the first)
    int kept_lines_ = 0;
    bool text_kept_ = false;        // a non-empty line was kept
    bool last_kept_empty_ = false;  // the framing line a report would take with it
    std::size_t last_empty_at_ = 0;
    int finals_ = 0;

    // The line being read: its first bytes for judging, how many bytes it has, how many of
    // them are stored at out_[kept_..].
    char head_[kHead] = {};
    std::size_t line_len_ = 0;
    std::size_t line_stored_ = 0;
    bool after_cr_ = false;   // a CR ended the last line; an LF now belongs to that line end
    bool drop_line_ = false;  // the line was begun before the command went out
    bool skip_data_ = false;  // the next line is a report's data line
};

// The answer still owed by the modem after a command's wait ran out. The next command is sent all
// the same; before it goes out it waits for the owed answer, and drops it, until half its own
// wait has passed since the timeout. An answer up to that late can so never be taken for the next
// command's. A repeat of the owed command (the exchange's retry, after a pause in which a late
// answer has come and been dropped) is not held back: whichever answer comes first answers it.
// Times are monotonic nanoseconds, given by the caller.
class Debt {
  public:
    void owe(std::string_view command, std::int64_t since_ns);
    void settle() { owed_ = false; }
    bool owed() const { return owed_; }
    // Until when `command`, about to go out at `now_ns` with a wait of `wait_ns`, waits for the
    // owed answer; 0 when it goes out at once: nothing is owed, it repeats the owed command, or
    // the hold is already over (both settle the debt).
    std::int64_t hold_until(std::string_view command, std::int64_t now_ns, std::int64_t wait_ns);

  private:
    bool owed_ = false;
    bool fits_ = false;  // the owed command was short enough to be kept for comparing
    std::size_t len_ = 0;
    std::int64_t since_ns_ = 0;
    char command_[256] = {};
};

}  // namespace orv::at_channel
