// The whole way of one request: receive turn, dispatcher, handler, AT exchanges, publication, over
// the recording platform with the modem's answers taken from the input.
//
// Input:
//   bytes 0-1   length n of the request message, little-endian (cut to what the input holds)
//   next n      the request message as it arrives on the socket: identifier, then payload
//   the rest    the modem's answers, one per command in order, separated by a zero byte;
//               once they run out, the channel answers nothing (empty text)
//
// The platform around the request: the factory version record (item 2000) is the message's
// payload and the battery driver's four readings (present, level, percent, charging) are its
// first 16 bytes, little-endian, so the requests that read no payload still get fuzzed platform
// input. The device database knows a few countries; the store remembers one ICCID.
//
// The daemon's module state (counters, lock kind, kept ICCID and IMSI, country, the battery's
// first-query flag) is carried from one input to the next, as in the running daemon; only the
// recording platform is reset.
//
// Checked: the commands sent, and every write to the parameter store (the handshake flags, the
// length of each published text).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/at_exchange.h"
#include "daemon/daemon.h"
#include "fuzz/fuzz_input.h"
#include "platform/orv_cfg.h"
#include "platform/orv_pwm.h"
#include "sim_identity/sim_identity.h"
#include "sim_identity/spn.h"
#include "sim_security/sim_common.h"
#include "tests/fake/fake_platform.h"
#include "wire/mdm_msg.h"

namespace {

using orv::fake::fake;
using orv::fuzz::check;

constexpr int kHandle = 3;

namespace si = orv::sim_identity;

// What the daemon may write to the parameter store: the flags of the requester's handshake only
// the one value it lowers each to, a text at most the characters of the buffer it comes from (a
// text that lost its terminator fills the whole buffer).
struct Written {
    std::string_view name;
    std::string_view only;  // empty: any value of at most `max` characters
    std::size_t max;
};
constexpr Written kWritten[] = {
    {"pin_puk_at_wait", "0", 0},
    {"pin_manage_at_wait", "0", 0},
    {"unlock_at_wait", "-1", 0},
    {"sim_iccid", {}, si::kSimIccidSize - 1},
    {"iccid", {}, si::kSimIccidSize - 1},
    {"sim_imsi", {}, si::kSimImsiSize - 1},
    {"msisdn", {}, 19},
    {"spn_name_data", {}, si::kSpnNameSize - 1},
    {"Language", {}, 19},
    {"pinnumber", {}, orv::sim_security::kCounterMax},
    {"puknumber", {}, orv::sim_security::kCounterMax},
    {"unlock_nck_time", {}, orv::sim_security::kCounterMax},
};

void set_up_platform(std::string_view message) {
    auto& f = fake();
    const std::string_view payload =
        message.size() > orv::msg::kIdSize ? message.substr(orv::msg::kIdSize) : std::string_view{};
    f.cfg_items[ORV_CFG_AUTO_SET_LANGUAGE_ID] = std::string(1, '\1');
    f.cfg_items[ORV_CFG_VERSION_ID] = std::string(payload);
    std::size_t at = 0;
    for (const auto reading :
         {ORV_PWM_GET_PRESENT, ORV_PWM_GET_LEVEL, ORV_PWM_GET_PERCENT, ORV_PWM_GET_CHARGING}) {
        f.pwm_values[reading] = static_cast<std::int32_t>(orv::fuzz::le32(payload, at));
        at += 4;
    }
    f.store["iccid"] = "8944123456789012345F";
    const std::string query = "select Language from language where Country_code like ";
    f.db_rows[query + "44"] = {{std::string("en")}};
    f.db_rows[query + "49"] = {{std::string("de")}, {std::string("en")}};
    f.db_rows[query + "33"] = {{std::nullopt}};
    f.db_rows[query + "34"] = {{std::string("a language name longer than its field")}};
}

// Queues the answers, separated by a zero byte, which no answer can carry (the channel hands the
// daemon zero-terminated text). A text ending in a zero byte ends in an empty answer.
void queue_answers(std::string_view text) {
    for (std::size_t start = 0, end = 0; !text.empty() && end != std::string_view::npos;
         start = end + 1) {
        end = text.find('\0', start);
        fake().answers.emplace_back(text.substr(start, end - start));
    }
}

// Commands go to the modem as one line: only the state query ends in CR LF, no command carries
// another control character, and every quoted text is closed.
void check_commands() {
    for (const std::string& c : fake().commands) {
        check(c.size() < orv::core::kCmdSize, "a command fits the command buffer");
        const std::string_view body = c == "AT+CPIN?\r\n" ? "AT+CPIN?" : std::string_view(c);
        check(std::ranges::none_of(body, [](unsigned char b) { return b < 0x20 || b == 0x7F; }),
              "no control character inside a command, no CR LF but after the state query");
        check(std::ranges::count(body, '"') % 2 == 0, "every quoted text of a command is closed");
    }
}

// Every write of the turn, not only the last value of each name; a broken one is named.
void check_writes() {
    constexpr std::string_view kWrite = "WRITE ";
    for (const std::string_view entry : fake().timeline) {
        const std::size_t equals = entry.find('=');
        if (!entry.starts_with(kWrite) || equals == std::string_view::npos) {
            continue;
        }
        const std::string_view name = entry.substr(kWrite.size(), equals - kWrite.size());
        const std::string_view value = entry.substr(equals + 1);
        for (const Written& w : kWritten) {
            check(name != w.name || (w.only.empty() ? value.size() <= w.max : value == w.only),
                  w.name.data());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    orv::fake::reset();
    set_up_platform({});
    orv::daemon::orv_get_auto_set_language_cfg();
    check(orv::daemon::orv_auto_set_language == 1, "language follows the SIM while fuzzing");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t declared = static_cast<std::size_t>(data[0]) | (std::size_t{data[1]} << 8);
    const std::size_t length = declared < size - 2 ? declared : size - 2;
    const std::string_view input = orv::fuzz::as_text(data, size);
    const std::string_view message = input.substr(2, length);

    orv::fake::reset();
    queue_answers(input.substr(2 + length));
    set_up_platform(message);
    fake().messages.emplace_back(message);

    orv::daemon::orv_quorl_mdm_receive_turn(kHandle);

    check(fake().messages.empty(), "the receive turn takes its message");
    check_commands();
    check_writes();
    return 0;
}
