// The AT exchange: one command to the modem, one answer back, judged by its first line.
//
// Every handler runs its exchanges through one AtExchange on its own stack, which owns the
// command buffer, the response record and the two texts cut from the answer for the handler's
// run. Exchanges differ only in a few options, stated next to the command where it is sent:
//
//     AtExchange ex;
//     if (ex.run("AT+CGSN", {.timeout = TimeoutTest::RetryOnce}) != AtOutcome::Answer) return -1;
//     if (ex.ends_on_error()) return -1;
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

#include "core/log.h"
#include "platform/orv_at.h"

namespace orv::core {

enum class AtOutcome {
    Answer,   // an answer to judge (with the TIMEOUT test skipped, "TIMEOUT" too)
    Empty,    // the channel gave no answer at all
    Timeout,  // "TIMEOUT" (after the retry, where the exchange has one)
};

enum class TimeoutTest {
    Ends,       // "TIMEOUT" ends the exchange
    RetryOnce,  // first "TIMEOUT": sleep 3 s and send once more; a second one ends it
    Skipped,    // "TIMEOUT" is judged like any other answer
};

enum class LogAt { Error, Info, Silent };

// One information line of an exchange: text before and after the logged value. A null `before`
// leaves the line out.
struct LineText {
    const char* before;
    const char* after;
};

// The wording of an exchange's four information lines.
struct AtLogTexts {
    LineText command;     // the command sent
    LineText answer;      // the raw answer
    LineText result;      // the answer after its leading CR LF
    LineText first_line;  // its first line
};

inline constexpr LineText kNoLine{nullptr, nullptr};

// "mdm_ATcmd_buf is %s \n" and the like, with a blank before the line feed.
inline constexpr AtLogTexts kTextsBlank{{"mdm_ATcmd_buf is ", " \n"},
                                        {"(char*)mdm_res.aucDataBuf is ", " \n"},
                                        {"mdm_at_result is ", " \n"},
                                        {"mdm_at_result_process is ", " \n"}};
// "mdm_ATcmd_buf is %s\n" and the like, without the blank.
inline constexpr AtLogTexts kTextsTight{{"mdm_ATcmd_buf is ", "\n"},
                                        {"(char*)mdm_res.aucDataBuf is ", "\n"},
                                        {"mdm_at_result is ", "\n"},
                                        {"mdm_at_result_process is ", "\n"}};
// " mdm_ATcmd_buf is %s\n" and the like, with a leading blank.
inline constexpr AtLogTexts kTextsLeadingBlank{{" mdm_ATcmd_buf is ", "\n"},
                                               {" (char*)mdm_res.aucDataBuf is ", "\n"},
                                               {" mdm_at_result is ", "\n"},
                                               {" mdm_at_result_process is ", "\n"}};
inline constexpr AtLogTexts kTextsNone{kNoLine, kNoLine, kNoLine, kNoLine};

inline constexpr const char* kTimeoutLine = "(char*)mdm_res.aucDataBuf is TIMEOUT \n";
inline constexpr const char* kEmptyLine = "(char*)mdm_res.aucDataBuf is NULL\n";
inline constexpr const char* kErrorLine = "(char*)mdm_res.aucDataBuf is ERROR\n";

struct AtOptions {
    int wait = 10000;  // wait value handed to the channel
    TimeoutTest timeout = TimeoutTest::Ends;
    bool echo = true;                // raw answer to standard output
    LogAt empty_log = LogAt::Error;  // level of "(char*)mdm_res.aucDataBuf is NULL\n"
    AtLogTexts texts = kTextsBlank;
    const char* timeout_line = kTimeoutLine;        // logged when "TIMEOUT" ends the exchange
    const char* first_timeout_line = kTimeoutLine;  // logged before the retry
    unsigned retry_sleep_s = 3;
};

// One more try for a SIM that is busy: the first lines that mean busy, what is logged on the way,
// the pause and the options of the second exchange.
struct BusyRetry {
    std::span<const std::string_view> busy;
    int busy_level;          // level of `busy_line`
    const char* busy_line;   // logged when the first answer is busy
    const char* again_line;  // logged at error level when the second one is busy too
    unsigned wait_s;
    AtOptions retry;
};

inline constexpr std::size_t kCmdSize = 128;
inline constexpr std::size_t kResultSize = 250;

class AtExchange {
  public:
    explicit AtExchange(const char* module = kHandlerModule);
    AtExchange(const AtExchange&) = delete;
    AtExchange& operator=(const AtExchange&) = delete;

    // Puts `command` in the command buffer and performs the exchange. A command that does not fit
    // the buffer is refused with an error line and reported as Empty (nothing is sent).
    AtOutcome run(std::string_view command, const AtOptions& options = {});

    // Puts the joined parts in the command buffer; false (buffer cleared) when they do not fit.
    bool compose(std::initializer_list<std::string_view> parts);
    // Performs the exchange with the command already in the buffer.
    AtOutcome send(const AtOptions& options = {});

    // Logs the result and first-line information lines with the given wording (for handlers
    // that judge the raw answer before they look at its lines).
    void log_lines(const AtLogTexts& texts) const;

    std::string_view command() const;
    const char* answer() const { return mdm_res.aucDataBuf; }
    std::string_view answer_view() const;
    const char* result() const { return mdm_at_result; }
    const char* first_line() const { return mdm_at_result_process; }
    std::string_view first_line_view() const;
    bool answer_is_timeout() const;
    bool first_line_is(std::string_view text) const { return first_line_view() == text; }
    bool first_line_starts(std::string_view prefix) const {
        return first_line_view().starts_with(prefix);
    }
    bool first_line_is_one_of(std::span<const std::string_view> texts) const;

    // A first line "ERROR" ends the handler:
    //   \r\nERROR\r\n
    // logs `line` at error level and returns true; false for any other first line.
    bool ends_on_error(const char* line = kErrorLine) const;

    // When the first line is one of `retry.busy`, logs, waits and sends the command once more.
    // True when there is an answer to judge (the first, or the second one); false when the
    // request ends: the second exchange gave no answer, or the SIM is still busy.
    //   \r\n+CME ERROR: SIM busy\r\n
    bool retry_if_busy(const BusyRetry& retry);

  private:
    void log_line(const LineText& text, const char* value) const;
    void cut_answer();

    const char* module_;
    char mdm_ATcmd_buf[kCmdSize];
    orv_at_response mdm_res;
    char mdm_at_result[kResultSize];
    char mdm_at_result_process[kResultSize];
};

}  // namespace orv::core
