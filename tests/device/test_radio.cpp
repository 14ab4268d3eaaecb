#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "core/dispatch.h"
#include "core/mdm_msg.h"
#include "device/device.h"
#include "tests/fake/fake_platform.h"

namespace orv::device {
namespace {

using fake::fake;
using fake::Lines;

// A zeroed payload as the receive buffer hands it over, with the mode in its first word.
std::array<unsigned char, msg::kMaxPayload + 1> mode_payload(std::uint32_t mode) {
    std::array<unsigned char, msg::kMaxPayload + 1> p{};
    msg::store_u32(p.data(), mode);
    return p;
}

struct ModeCase {
    const char* name;
    std::uint32_t mode;
    std::string answer;
    Lines timeline;
    const char* mode_log;
};

TEST(Radio, ModeOneSwitchesTheRadioOffModeZeroOn) {
    const ModeCase cases[] = {
        {"off", 1, fake::final_line("OK"), {"AT AT+CFUN=0"}, "6 mode is 1\n"},
        {"on", 0, fake::final_line("OK"), {"AT AT+CFUN=1"}, "6 mode is 0\n"},
        {"refused answer is only logged",
         0,
         fake::final_line("+CME ERROR: operation not allowed"),
         {"AT AT+CFUN=1"},
         "6 mode is 0\n"},
        {"no answer", 1, "", {"AT AT+CFUN=0"}, "6 mode is 1\n"},
        {"other mode sends nothing", 2, "", {}, "6 mode is 2\n"},
        {"negative mode sends nothing", 0xFFFFFFFFu, "", {}, "6 mode is -1\n"},
        {"high bytes count", 0x100u, "", {}, "6 mode is 256\n"},
    };
    for (const ModeCase& c : cases) {
        fake::reset();
        fake().answers = {c.answer};
        const auto payload = mode_payload(c.mode);
        EXPECT_EQ(orv_quorl_mdm_set_modem_mode(payload.data()), 0) << c.name;
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        EXPECT_EQ(fake().log_texts().front(), c.mode_log) << c.name;
        EXPECT_TRUE(fake().echoes.empty()) << c.name;
        if (!c.timeline.empty()) {
            EXPECT_EQ(fake().waits, std::vector<int>{10000}) << c.name;
        } else {
            EXPECT_EQ(fake().logs.size(), 1u) << c.name;
        }
    }
}

// Each of this subsystem's identifiers reaches its handler through the dispatch table; the
// inert ones do nothing beyond the dispatcher's own two lines.
TEST(DeviceDispatch, IdentifiersReachTheirHandlers) {
    struct Case {
        std::uint32_t id;
        std::uint32_t word;  // first payload word
        Lines timeline;
    } cases[] = {
        {0, 0, {"AT AT+CMEE=2"}},
        {7, 0, {"AT AT+CGSN"}},
        {8, 0, {"WRITE hardware_version=P"}},
        {9,
         0,
         {"WRITE wa_inner_version=", "WRITE manufacturer=", "WRITE model_name=",
          "WRITE device_num=", "WRITE integrate_version="}},
        {10, 0, {"PWM open"}},
        {15, 1, {}},
        {16, 1, {}},
        {17, 1, {"AT AT+CFUN=0"}},
        {30, 1, {}},
    };
    for (const Case& c : cases) {
        fake::reset();
        std::string item(352, '\0');
        item[64] = 'P';
        fake().cfg_items[2000] = item;
        fake().pwm_opens = false;
        orv_batt_rearm_first_query();
        std::array<unsigned char, msg::kRecvBufferSize> buf{};
        msg::store_u32(buf.data(), c.id);
        msg::store_u32(buf.data() + msg::kIdSize, c.word);
        core::orv_quorl_mdm_dispatch_msg(buf.data());
        Lines timeline = fake().timeline;
        std::erase(timeline, "SLEEP 7");
        EXPECT_EQ(timeline, c.timeline) << c.id;
        if (c.timeline.empty()) {
            EXPECT_EQ(fake().log_texts(), (Lines{"6 MODEM: msg_id=" + std::to_string(c.id) + "\n",
                                                 "6 MODEM: num=33\n"}))
                << c.id;
        }
    }
}

TEST(Inert, RequestsReturnAtOnceWithoutEffect) {
    const auto payload = mode_payload(1);
    for (auto handler : {orv_quorl_mdm_sleep_wakeup, orv_quorl_mdm_get_modem_mode,
                         orv_quorl_mdm_clear_wispr_pwd}) {
        fake::reset();
        EXPECT_EQ(handler(payload.data()), 0);
        EXPECT_EQ(handler(nullptr), 0);
        EXPECT_TRUE(fake().timeline.empty());
        EXPECT_TRUE(fake().logs.empty());
    }
}

}  // namespace
}  // namespace orv::device
