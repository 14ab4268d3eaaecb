#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "daemon/daemon.h"
#include "daemon/dispatch.h"
#include "tests/fake/fake_platform.h"
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

TEST(MessageTables, NamesFollowTheIdentifiers) {
    for (std::uint32_t id = 0; id < msg::kMsgCount; ++id) {
        EXPECT_EQ(msg::msg_id_by_name(msg::mdm_msg_name_table[id]), id);
    }
    EXPECT_EQ(msg::msg_name(msg::kMsgCount), msg::kUnknownMsgName);
    EXPECT_EQ(msg::msg_name(0xFFFFFFFFu), msg::kUnknownMsgName);
    EXPECT_EQ(msg::msg_id_by_name("get_imei"), msg::ORV_MDM_GET_IMEI);
    EXPECT_EQ(msg::msg_id_by_name("ORV_MDM_NOPE"), std::nullopt);
}

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
        {ORV_MDM_SET_MODEM_MODE, 0x100, ""},
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

struct TurnCase {
    const char* name;
    std::string datagram;
    Lines logs;
};

// Each turn logs the message (except the battery request) and the dispatcher's two lines.
TEST_F(DaemonTest, ReceiveTurnLogsAndDispatches) {
    const TurnCase cases[] = {
        {"inert identifier",
         message(21),
         {"0 msg_id = 21, ORV_MDM_GET_SIM_INIT_COMPLETE_FLAG_MSG\n", "6 MODEM: msg_id=21\n",
          "6 MODEM: num=33\n"}},
        {"battery request has no receive line",
         message(10),
         {"6 MODEM: msg_id=10\n", "6 MODEM: num=33\n"}},
        {"empty datagram reads as identifier 0",
         "",
         {"0 msg_id = 0, ORV_MDM_TEST_RPC_MSG\n", "6 MODEM: msg_id=0\n", "6 MODEM: num=33\n"}},
        {"short identifier is zero-extended",
         std::string("\x1b", 1),
         {"0 msg_id = 27, ORV_MDM_GET_ICCID\n", "6 MODEM: msg_id=27\n", "6 MODEM: num=33\n"}},
        {"identifier above the table",
         message(1000),
         {"0 msg_id = 1000, ORV_MDM_UNKNOWN_MSG\n", "6 MODEM: msg_id=1000\n", "6 MODEM: num=33\n"}},
        {"largest identifier",
         message(0xFFFFFFFFu),
         {"0 msg_id = -1, ORV_MDM_UNKNOWN_MSG\n", "6 MODEM: msg_id=-1\n", "6 MODEM: num=33\n"}},
    };
    for (const TurnCase& c : cases) {
        fake::reset();
        fake().messages = {c.datagram};
        // Identifier 0 and 27 run handlers once those exist; only the loop's lines are checked.
        orv_quorl_mdm_receive_turn(3);
        Lines logs = fake().log_texts();
        Lines loop_lines;
        for (const std::string& l : logs) {
            if (l.find("msg_id") != std::string::npos ||
                l.find("MODEM: num") != std::string::npos) {
                loop_lines.push_back(l);
            }
        }
        EXPECT_EQ(loop_lines, c.logs) << c.name;
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

TEST_F(DaemonTest, LanguageSettingIsReadOnceAtStartUp) {
    struct Case {
        const char* name;
        std::optional<std::string> item;
        std::uint8_t flag;
        const char* log;
    } cases[] = {
        {"missing item", std::nullopt, 0, "0 get ORV_CFG_AUTO_SET_LANGUAGE_ID error!!!\n"},
        {"set", std::string("\x01", 1), 1,
         "6 get auto set language cfg success, auto set language: 1\n"},
        {"cleared", std::string("\x00", 1), 0,
         "6 get auto set language cfg success, auto set language: 0\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        orv_auto_set_language = 0x5a;
        if (c.item) {
            fake().cfg_items[2301] = *c.item;
        }
        orv_get_auto_set_language_cfg();
        EXPECT_EQ(orv_auto_set_language, c.flag) << c.name;
        EXPECT_EQ(fake().log_texts(), (Lines{c.log})) << c.name;
    }
}

TEST_F(DaemonTest, SocketFailureEndsStartUpBeforeTheBringUp) {
    fake().init_msg_result = -1;
    EXPECT_EQ(orv_quorl_mdm_run(), -1);
    EXPECT_TRUE(fake().commands.empty());
    EXPECT_TRUE(fake().logged(0, "[error] mdm module can not create server socket!\n"));
}

struct BringUpCase {
    const char* name;
    std::vector<std::string> answers;
    Lines timeline;
};

TEST_F(DaemonTest, BringUpSendsItsThreeCommandsUntilOneFails) {
    const std::string ok = fake::final_line("OK");
    const std::string error = fake::final_line("ERROR");
    const BringUpCase cases[] = {
        {"all answered", {ok, ok, ok}, {"AT AT+EGTYPE=2", "AT AT+CFUN=1", "AT AT+CMEE=2"}},
        {"ERROR answers do not stop it",
         {error, error, error},
         {"AT AT+EGTYPE=2", "AT AT+CFUN=1", "AT AT+CMEE=2"}},
        {"EGTYPE timeout stops it", {"TIMEOUT"}, {"AT AT+EGTYPE=2"}},
        {"EGTYPE empty stops it", {""}, {"AT AT+EGTYPE=2"}},
        {"CFUN retried once after 3 s",
         {ok, "TIMEOUT", ok, ok},
         {"AT AT+EGTYPE=2", "AT AT+CFUN=1", "SLEEP 3", "AT AT+CFUN=1", "AT AT+CMEE=2"}},
        {"CFUN timing out twice stops it",
         {ok, "TIMEOUT", "TIMEOUT"},
         {"AT AT+EGTYPE=2", "AT AT+CFUN=1", "SLEEP 3", "AT AT+CFUN=1"}},
        {"CMEE timeout is the end anyway",
         {ok, ok, "TIMEOUT"},
         {"AT AT+EGTYPE=2", "AT AT+CFUN=1", "AT AT+CMEE=2"}},
    };
    for (const BringUpCase& c : cases) {
        fake::reset();
        fake().answers.assign(c.answers.begin(), c.answers.end());
        orv_send_cfun();
        EXPECT_EQ(fake().timeline, c.timeline) << c.name;
        EXPECT_EQ(fake().waits, std::vector<int>(fake().waits.size(), 10000)) << c.name;
    }
}

TEST_F(DaemonTest, BringUpLogsItsFirstCfunTimeoutInItsOwnWords) {
    fake().answers = {fake::final_line("OK"), "TIMEOUT", "TIMEOUT"};
    orv_send_cfun();
    const Lines logs = fake().log_texts();
    EXPECT_EQ(logs.front(), "6 entern orv_send_cfun_fun \n");
    EXPECT_TRUE(fake().logged(0, "(char*)mdm_res.aucDataBuf is timeout\n"));
    EXPECT_TRUE(fake().logged(0, "(char*)mdm_res.aucDataBuf is TIMEOUT \n"));
    for (const fake::LogLine& l : fake().logs) {
        EXPECT_EQ(l.module, "orv_quorl_mdm");
    }
}

}  // namespace
}  // namespace orv::daemon
