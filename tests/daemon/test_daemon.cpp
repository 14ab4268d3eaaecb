#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "daemon/daemon.h"
#include "daemon/dispatch.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"
#include "wire/mdm_msg.h"

namespace orv::daemon {
namespace {

using fake::fake;
using fake::Lines;

std::string message(std::uint32_t id, std::string_view payload = {}) {
    std::string m(4, '\0');
    msg::store_u32(reinterpret_cast<unsigned char*>(m.data()), id);
    m.append(payload);
    return m;
}

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::reset(); }
};

// Every identifier reaches its own handler: a step only that handler takes shows which (identifiers
// 2 and 11 share the PIN status handler). An identifier without a handler, or an inert one, logs
// nothing beyond the dispatcher's two lines. The radio mode is the payload's first word, read
// as signed: 1 radio off, 0 on, any other nothing.
TEST_F(DaemonTest, EachIdentifierReachesItsHandler) {
    using namespace msg;
    const struct {
        std::uint32_t id, word;  // word: the payload's first
        const char* step;        // a timeline entry only its handler makes; "": nothing
    } rows[] = {
        {ORV_MDM_TEST_RPC_MSG, 0, "AT AT+CMEE=2"},
        {ORV_MDM_SIM_STATE_MSG, 0, "AT AT+CPIN?\r\n"},
        {ORV_MDM_GET_PIN_STATUS, 0, "AT AT+CPIN?"},
        {ORV_MDM_VERIFY_PIN, 0, ""},
        {ORV_MDM_CHANGE_PIN, 0, R"(AT AT+CPWD="SC","","")"},
        {ORV_MDM_PIN_MODE, 0, R"(AT AT+CLCK="SC",0,"")"},
        {ORV_MDM_PIN_PUK_TIMES, 0, "AT AT+EPINC"},
        {ORV_MDM_GET_IMEI, 0, "AT AT+CGSN"},
        {ORV_MDM_GET_PCB, 0, "WRITE hardware_version=P"},
        {ORV_MDM_GET_OVN, 0, "WRITE wa_inner_version="},
        {ORV_MDM_GET_BATT_INFO, 0, "PWM open"},
        {ORV_MDM_GET_OSEC, 0, "AT AT+CPIN?"},
        {ORV_MDM_NET_UNLOCK_TIMES, 0, "AT AT+ESMLCK?"},
        {ORV_MDM_NET_UNLOCK, 0, R"(AT AT+CPIN="")"},
        {ORV_MDM_GET_SIM_SPN, 0, "AT AT+CRSM=176,28486,0,0,17"},
        {ORV_MDM_SLEEP_WAKEUP, 1, ""},
        {ORV_MDM_GET_MODEM_MODE, 1, ""},
        {ORV_MDM_SET_MODEM_MODE, 1, "AT AT+CFUN=0"},
        {ORV_MDM_SET_MODEM_MODE, 0, "AT AT+CFUN=1"},
        {ORV_MDM_SET_MODEM_MODE, 2, ""},
        {ORV_MDM_SET_MODEM_MODE, 0xFFFFFFFF, ""},
        {ORV_MDM_GET_ICCID, 0, "AT AT+CRSM=176,12258,0,0,10"},
        {ORV_MDM_GET_IMSI, 0, "AT AT+CIMI"},
        {ORV_MDM_GET_MSISDN, 0, "AT AT+CNUM"},
        {ORV_MDM_CLEAR_WISPR_PWD, 1, ""},
        {ORV_MDM_APN_GET_SIM_INFO, 0, "AT AT+CRSM=176,28589,0,0,4"},
        {ORV_MDM_MAX_MSG, 0, R"(AT AT+CRSM=176,28418,0,0,1,,"7F43")"},
    };
    for (std::uint32_t id = ORV_MDM_GET_MEID_and_ESN; id <= ORV_MDM_SPRINT_MODEM_LOCK_PROC_MSG;
         ++id) {
        EXPECT_EQ(mdm_msg_handler_table[id].handler, nullptr) << id;
    }
    for (const auto& r : rows) {
        fake::reset();
        fake().answers = {fake::info_ok("+CPIN: SIM PIN")};
        fake().cfg_items[2000] = std::string(64, '\0') + "P" + std::string(287, '\0');
        std::array<unsigned char, msg::kRecvBufferSize> buf{};
        msg::store_u32(buf.data(), r.id);
        msg::store_u32(buf.data() + msg::kIdSize, r.word);
        EXPECT_EQ(orv_quorl_mdm_dispatch_msg(buf.data()), 0);
        Lines seen = fake().timeline;
        std::erase(seen, "SLEEP 7");  // the battery's first query waits
        const std::string label = std::to_string(r.id) + " " + std::to_string(r.word);
        if (*r.step == '\0') {
            EXPECT_EQ(seen, Lines{}) << label;
        } else {
            EXPECT_NE(std::find(seen.begin(), seen.end(), r.step), seen.end()) << label;
        }
        if (*r.step == '\0' && r.id != ORV_MDM_SET_MODEM_MODE && r.id != ORV_MDM_VERIFY_PIN) {
            EXPECT_EQ(fake().log_texts(), (Lines{"6 MODEM: msg_id=" + std::to_string(r.id) + "\n",
                                                 "6 MODEM: num=33\n"}))
                << label;
        }
    }
}

// Each turn logs the message (except the battery request) by identifier and name, then
// dispatches it. A datagram shorter than an identifier reads as the zero-extended bytes it holds.
TEST_F(DaemonTest, ReceiveTurnLogsAndDispatches) {
    const struct {
        std::string datagram;
        const char* id;
        const char* name;  // "": no receive line
    } rows[] = {
        {message(21), "21", "ORV_MDM_GET_SIM_INIT_COMPLETE_FLAG_MSG"},
        {message(10), "10", ""},
        {"", "0", "ORV_MDM_TEST_RPC_MSG"},
        {std::string("\x1b", 1), "27", "ORV_MDM_GET_ICCID"},
        {message(1000), "1000", "ORV_MDM_UNKNOWN_MSG"},
        {message(0xFFFFFFFFu), "-1", "ORV_MDM_UNKNOWN_MSG"},
    };
    for (const auto& r : rows) {
        fake::reset();
        fake().messages = {r.datagram};
        orv_quorl_mdm_receive_turn(3);
        Lines want = {std::string("6 MODEM: msg_id=") + r.id + "\n"};
        if (*r.name != '\0') {
            want.insert(want.begin(), std::string("0 msg_id = ") + r.id + ", " + r.name + "\n");
        }
        Lines logs = fake().log_texts();
        logs.resize(std::min(logs.size(), want.size()));
        EXPECT_EQ(logs, want) << r.id;
    }
}

TEST_F(DaemonTest, ReceiveFailureIsLoggedAndTheTurnEnds) {
    orv_quorl_mdm_receive_turn(3);
    EXPECT_EQ(fake().log_texts(), (Lines{"0 [error] receive data error \n"}));
    EXPECT_TRUE(fake().timeline.empty());
}

TEST_F(DaemonTest, NullMessageIsRefusedByTheDispatcher) {
    EXPECT_EQ(orv_quorl_mdm_dispatch_msg(nullptr), -1);
    EXPECT_EQ(fake().log_texts(), (Lines{"0 [error] input ptr is null!\n"}));
}

// The language setting is factory item 2301, read once at start-up; a missing item leaves the
// language where it is.
TEST_F(DaemonTest, LanguageSettingIsReadOnceAtStartUp) {
    const std::string ok = "6 get auto set language cfg success, auto set language: ";
    const std::pair<const char*, std::string> rows[] = {
        {nullptr, "0 get ORV_CFG_AUTO_SET_LANGUAGE_ID error!!!\n"},
        {"\x01", ok + "1\n"},
        {"", ok + "0\n"},
    };
    for (const auto& [item, log] : rows) {
        fake::reset();
        orv_auto_set_language = 0x5a;
        if (item != nullptr) {
            fake().cfg_items[2301] = std::string(item, 1);
        }
        orv_get_auto_set_language_cfg();
        EXPECT_EQ(orv_auto_set_language, item != nullptr ? item[0] : 0) << log;
        EXPECT_EQ(fake().log_texts(), (Lines{log}));
    }
}

TEST_F(DaemonTest, SocketFailureEndsStartUpBeforeTheBringUp) {
    fake().init_msg_result = -1;
    EXPECT_EQ(orv_quorl_mdm_run(), -1);
    EXPECT_TRUE(fake().commands.empty());
    EXPECT_TRUE(fake().logged(0, "[error] mdm module can not create server socket!\n"));
}

// The bring-up goes on past ERROR answers and stops at the first command left unanswered; the
// CFUN command alone gets one more try after 3 s, logged in its own words.
TEST_F(DaemonTest, BringUpSendsItsThreeCommandsUntilOneIsUnanswered) {
    const struct {
        const char* answers;
        const char* timeline;
    } rows[] = {
        {"OK|OK|OK", "EGTYPE=2|CFUN=1|CMEE=2"},
        {"ERROR|ERROR|ERROR", "EGTYPE=2|CFUN=1|CMEE=2"},
        {"TIMEOUT", "EGTYPE=2"},
        {"-", "EGTYPE=2"},
        {"OK|TIMEOUT|OK|OK", "EGTYPE=2|CFUN=1|SLEEP 3|CFUN=1|CMEE=2"},
        {"OK|OK|TIMEOUT", "EGTYPE=2|CFUN=1|CMEE=2"},
        {"OK|TIMEOUT|TIMEOUT", "EGTYPE=2|CFUN=1|SLEEP 3|CFUN=1"},  // its logs checked below
    };
    for (const auto& r : rows) {
        fake::script(r.answers);
        orv_send_cfun();
        Lines want = fake::split(r.timeline);
        for (std::string& e : want) {
            e = e.starts_with("SLEEP") ? e : "AT AT+" + e;
        }
        EXPECT_EQ(fake().timeline, want) << r.answers;
        EXPECT_EQ(fake().waits, std::vector<int>(fake().waits.size(), 10000)) << r.answers;
    }
    EXPECT_EQ(fake().log_texts().front(), "6 entern orv_send_cfun_fun \n");
    EXPECT_TRUE(fake().logged(0, "(char*)mdm_res.aucDataBuf is timeout\n"));
    EXPECT_TRUE(fake().logged(0, "(char*)mdm_res.aucDataBuf is TIMEOUT \n"));
    for (const fake::LogLine& l : fake().logs) {
        EXPECT_EQ(l.module, "orv_quorl_mdm");
    }
}

}  // namespace
}  // namespace orv::daemon
