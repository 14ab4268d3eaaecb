// The AT exchange with arbitrary channel answers: the TIMEOUT test and its retry, and the cutting
// of the answer into the result (after its leading two characters) and the first line.
//
// Input:
//   byte 0      options: bits 0-1 the TIMEOUT test (0 ends, 1 retry once, 2 and 3 skipped),
//               bit 2 echo, bit 3 wait 0 instead of 10000
//   the rest    the command, then the channel's answers, separated by a zero byte
//
// Checked against the exchange's promises: a command that does not fit is never sent; the
// outcome follows from the answer served; the result is the answer from its third character on
// and the first line the result up to its first CR LF, both cut to 249 characters.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/at_exchange.h"
#include "fuzz/fuzz_input.h"
#include "platform/orv_at.h"

namespace {

using orv::core::AtExchange;
using orv::core::AtOptions;
using orv::core::AtOutcome;
using orv::core::TimeoutTest;
using orv::fake::fake;
using orv::fuzz::check;

constexpr std::size_t kTextMax = orv::core::kResultSize - 1;

constexpr TimeoutTest kTimeouts[] = {TimeoutTest::Ends, TimeoutTest::RetryOnce,
                                     TimeoutTest::Skipped, TimeoutTest::Skipped};

// The text the exchange holds after the channel delivered `answer`: cut to the record and up to
// its first zero byte.
std::string_view delivered(const std::string& answer) {
    const std::string_view a = answer;
    return a.substr(0, std::min(a.size(), sizeof(orv_at_response::aucDataBuf) - 1));
}

std::string_view cut(std::string_view text) {
    return text.substr(0, std::min(text.size(), kTextMax));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t bits = data[0];
    std::vector<std::string> parts =
        orv::fuzz::split_answers(orv::fuzz::as_text(data + 1, size - 1));
    const std::string command = parts.empty() ? std::string("AT") : parts.front();
    const std::vector<std::string> answers(parts.empty() ? parts.end() : parts.begin() + 1,
                                           parts.end());
    orv::fuzz::serve(answers);

    const AtOptions options{.wait = (bits & 8U) != 0 ? 0 : 10000,
                            .timeout = kTimeouts[bits & 3U],
                            .echo = (bits & 4U) != 0};
    AtExchange ex;
    const AtOutcome outcome = ex.run(command, options);

    const auto& sent = fake().commands;
    if (command.size() >= orv::core::kCmdSize) {
        check(outcome == AtOutcome::Empty && sent.empty(), "a command too long is never sent");
        return 0;
    }
    check(!sent.empty() && sent.front() == command, "the command goes out as given");

    const std::string first = answers.empty() ? std::string() : answers.front();
    const bool retried = options.timeout == TimeoutTest::RetryOnce && delivered(first) == "TIMEOUT";
    check(sent.size() == (retried ? 2U : 1U), "one command, two only for the timeout retry");
    const std::string last = retried && answers.size() > 1 ? answers[1] : (retried ? "" : first);
    const std::string_view answer = delivered(last);

    if (answer.empty()) {
        check(outcome == AtOutcome::Empty, "an empty answer is no answer");
        return 0;
    }
    if (answer == "TIMEOUT" && options.timeout != TimeoutTest::Skipped) {
        check(outcome == AtOutcome::Timeout, "TIMEOUT ends the exchange");
        return 0;
    }
    check(outcome == AtOutcome::Answer, "any other text is an answer");
    check(ex.answer_view() == answer, "the raw answer is kept as delivered");
    check(fake().echoes.size() == (options.echo ? 1U : 0U), "echoed only when asked");

    const std::string_view rest = answer.size() < 2 ? std::string_view{} : answer.substr(2);
    const std::string_view result = ex.result();
    const std::string_view line = ex.first_line_view();
    check(result == cut(rest), "the result is the answer after its first two characters");
    check(line == cut(rest.substr(0, rest.find("\r\n"))), "the first line ends at CR LF");
    check(line.find("\r\n") == std::string_view::npos, "no line end inside the first line");
    return 0;
}
