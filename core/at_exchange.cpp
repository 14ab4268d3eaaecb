#include "core/at_exchange.h"

#include <cstring>

#include "core/bounded.h"
#include "platform/orv_at.h"
#include "platform/orv_sys.h"

namespace orv::core {

namespace {

constexpr std::string_view kTimeoutText = ORV_AT_TIMEOUT_TEXT;
constexpr std::string_view kLineEnd = "\r\n";

int level_of(LogAt at) {
    return at == LogAt::Error ? kLogErr : kLogInfo;
}

}  // namespace

// The response record is cleared whole before every command (send), so here only its text is
// made empty; the other buffers are small and start cleared.
AtExchange::AtExchange(const char* module) : module_(module) {
    std::memset(mdm_ATcmd_buf, 0, sizeof mdm_ATcmd_buf);
    std::memset(mdm_res.aucHead, 0, sizeof mdm_res.aucHead);
    mdm_res.aucDataBuf[0] = '\0';
    std::memset(mdm_at_result, 0, sizeof mdm_at_result);
    std::memset(mdm_at_result_process, 0, sizeof mdm_at_result_process);
}

bool AtExchange::compose(std::initializer_list<std::string_view> parts) {
    return join_text(mdm_ATcmd_buf, parts);
}

AtOutcome AtExchange::run(std::string_view command, const AtOptions& options) {
    const LogSite kLogSite{module_, LogFile::at_exchange};
    if (!compose({command})) {
        MDM_LOG(kLogErr, "command of %zu characters does not fit the command buffer\n",
                command.size());
        return AtOutcome::Empty;
    }
    return send(options);
}

AtOutcome AtExchange::send(const AtOptions& options) {
    const LogSite kLogSite{module_, LogFile::at_exchange};
    std::memset(mdm_at_result, 0, sizeof mdm_at_result);
    std::memset(mdm_at_result_process, 0, sizeof mdm_at_result_process);
    log_line(options.texts.command, mdm_ATcmd_buf);

    std::memset(&mdm_res, 0, sizeof mdm_res);
    ClientSendCmd(mdm_ATcmd_buf, &mdm_res, options.wait);
    // The channel terminates its text; make sure of it whatever channel is linked.
    mdm_res.aucDataBuf[sizeof mdm_res.aucDataBuf - 1] = '\0';

    if (options.timeout == TimeoutTest::RetryOnce && answer_is_timeout()) {
        MDM_LOG(kLogErr, "%s", options.first_timeout_line);
        orv_sleep_s(options.retry_sleep_s);
        std::memset(&mdm_res, 0, sizeof mdm_res);
        ClientSendCmd(mdm_ATcmd_buf, &mdm_res, options.wait);
        mdm_res.aucDataBuf[sizeof mdm_res.aucDataBuf - 1] = '\0';
    }

    if (mdm_res.aucDataBuf[0] == '\0') {
        if (options.empty_log != LogAt::Silent) {
            MDM_LOG(level_of(options.empty_log), "%s", kEmptyLine);
        }
        return AtOutcome::Empty;
    }
    if (options.timeout != TimeoutTest::Skipped && answer_is_timeout()) {
        MDM_LOG(kLogErr, "%s", options.timeout_line);
        return AtOutcome::Timeout;
    }

    if (options.echo) {
        orv_echo_answer(mdm_res.aucDataBuf);
    }
    log_line(options.texts.answer, mdm_res.aucDataBuf);
    cut_answer();
    log_lines(options.texts);
    return AtOutcome::Answer;
}

// The modem puts CR LF before its answer: the result is the answer from its third character on
// and the first line is the result up to its first CR LF. Both are cut to their 249 characters;
// a result without any CR LF is its own first line. An answer shorter than two characters leaves
// both empty.
void AtExchange::cut_answer() {
    const std::string_view whole = answer_view();
    if (whole.size() < 2) {
        return;
    }
    const std::string_view rest = whole.substr(2);
    copy_text_cut(mdm_at_result, rest);
    const std::size_t end = rest.find(kLineEnd);
    copy_text_cut(mdm_at_result_process, rest.substr(0, end));
}

void AtExchange::log_lines(const AtLogTexts& texts) const {
    log_line(texts.result, mdm_at_result);
    log_line(texts.first_line, mdm_at_result_process);
}

void AtExchange::log_line(const LineText& text, const char* value) const {
    const LogSite kLogSite{module_, LogFile::at_exchange};
    if (text.before == nullptr) {
        return;
    }
    MDM_LOG(kLogInfo, "%s%s%s", text.before, value, text.after);
}

std::string_view AtExchange::command() const {
    return text_view(mdm_ATcmd_buf);
}
std::string_view AtExchange::answer_view() const {
    return text_view(mdm_res.aucDataBuf);
}
std::string_view AtExchange::first_line_view() const {
    return text_view(mdm_at_result_process);
}
bool AtExchange::first_line_is_one_of(std::span<const std::string_view> texts) const {
    for (std::string_view t : texts) {
        if (first_line_is(t)) {
            return true;
        }
    }
    return false;
}

bool AtExchange::ends_on_error(const char* line) const {
    if (!first_line_is("ERROR")) {
        return false;
    }
    const LogSite kLogSite{module_, LogFile::at_exchange};
    MDM_LOG(kLogErr, "%s", line);
    return true;
}

bool AtExchange::retry_if_busy(const BusyRetry& retry) {
    if (!first_line_is_one_of(retry.busy)) {
        return true;
    }
    const LogSite kLogSite{module_, LogFile::at_exchange};
    MDM_LOG(retry.busy_level, "%s", retry.busy_line);
    orv_sleep_s(retry.wait_s);
    if (send(retry.retry) != AtOutcome::Answer) {
        return false;
    }
    if (first_line_is_one_of(retry.busy)) {
        MDM_LOG(kLogErr, "%s", retry.again_line);
        return false;
    }
    return true;
}

bool AtExchange::answer_is_timeout() const {
    return answer_view() == kTimeoutText;
}

}  // namespace orv::core
