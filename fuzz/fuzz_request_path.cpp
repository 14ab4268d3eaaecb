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
#include "wire/mdm_msg.h"

namespace {

using orv::fake::fake;
using orv::fuzz::check;

constexpr int kHandle = 3;

// The flags of the requester's handshake, which the daemon only ever lowers, with the one
// value it lowers each to.
struct LoweredFlag {
    std::string_view name;
    std::string_view lowered;
};
constexpr LoweredFlag kLoweredFlags[] = {
    {"pin_puk_at_wait", "0"},
    {"pin_manage_at_wait", "0"},
    {"unlock_at_wait", "-1"},
};

std::int32_t load_le32(std::string_view bytes, std::size_t at) {
    return static_cast<std::int32_t>(orv::fuzz::le32(bytes, at));
}

void set_up_platform(std::string_view message) {
    auto& f = fake();
    const std::string_view payload =
        message.size() > orv::msg::kIdSize ? message.substr(orv::msg::kIdSize) : std::string_view{};
    f.cfg_items[ORV_CFG_AUTO_SET_LANGUAGE_ID] = std::string(1, '\1');
    f.cfg_items[ORV_CFG_VERSION_ID] = std::string(payload);
    f.pwm_values[ORV_PWM_GET_PRESENT] = load_le32(payload, 0);
    f.pwm_values[ORV_PWM_GET_LEVEL] = load_le32(payload, 4);
    f.pwm_values[ORV_PWM_GET_PERCENT] = load_le32(payload, 8);
    f.pwm_values[ORV_PWM_GET_CHARGING] = load_le32(payload, 12);
    f.store["iccid"] = "8944123456789012345F";
    const std::string query = "select Language from language where Country_code like ";
    f.db_rows[query + "4412"] = {};
    f.db_rows[query + "441"] = {};
    f.db_rows[query + "44"] = {{std::string("en")}};
    f.db_rows[query + "49"] = {{std::string("de")}, {std::string("en")}};
    f.db_rows[query + "33"] = {{std::nullopt}};
    f.db_rows[query + "34"] = {{std::string("a language name longer than its field")}};
}

// Commands go to the modem as one line: only the state query ends in CR LF, no command carries
// another control character, and every quoted text is closed.
void check_commands() {
    for (const std::string& c : fake().commands) {
        check(c.size() < orv::core::kCmdSize, "a command fits the command buffer");
        std::string_view body = c;
        if (body.ends_with("\r\n")) {
            check(body == "AT+CPIN?\r\n", "only the state query ends in CR LF");
            body.remove_suffix(2);
        }
        std::size_t quotes = 0;
        for (char ch : body) {
            const auto byte = static_cast<unsigned char>(ch);
            check(byte >= 0x20 && byte != 0x7F, "no control character inside a command");
            quotes += ch == '"' ? 1 : 0;
        }
        check(quotes % 2 == 0, "every quoted text of a command is closed");
    }
}

void check_flags_only_lowered() {
    constexpr std::string_view kWrite = "WRITE ";
    for (const std::string& entry : fake().timeline) {
        for (const LoweredFlag& flag : kLoweredFlags) {
            const std::string written = std::string(kWrite) + std::string(flag.name) + "=";
            check(!entry.starts_with(written) || entry.substr(written.size()) == flag.lowered,
                  "handshake flags are only lowered");
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

    orv::fuzz::serve(orv::fuzz::split_answers(input.substr(2 + length)));
    set_up_platform(message);
    fake().messages.emplace_back(message);

    orv::daemon::orv_quorl_mdm_receive_turn(kHandle);

    check(fake().messages.empty(), "the receive turn takes its message");
    check_commands();
    check_flags_only_lowered();
    return 0;
}
