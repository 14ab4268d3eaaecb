// A recording stand-in for every platform library, for unit tests only.
//
// AT answers are served from a script in order; what the code under test does is recorded in one
// timeline of readable entries, so a test states the whole story it expects:
//
//     fake().answers = {"\r\n+CPIN: READY\r\n\r\nOK\r\n", "\r\n+EPINC: 3, 3, 10, 10\r\n"};
//     orv_quorl_mdm_get_pin_status(nullptr);
//     EXPECT_EQ(fake().timeline, (Lines{"AT AT+CPIN?", "NOTIFY pin_status 0 READY",
//                                       "AT AT+EPINC", "WRITE pinnumber=3", "WRITE
//                                       puknumber=10"}));
//
// Entries: "AT <command>", "WRITE <name>=<value>", "SAVE", "SLEEP <s>",
// "NOTIFY pin_status <kind> <text>", "NOTIFY verify_pinpuk <result> <text>",
// "NOTIFY rpc_status <n>", "NOTIFY imsi_unlock_status <n>",
// "NOTIFY apn_sim_msg <plmn>|<imsi>|<iccid>", "LED <percentage> <charging>", "SQL <query>",
// "PWM open", "PWM close", "PWM query <request hex>".
#pragma once

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orv::fake {

using Lines = std::vector<std::string>;

struct LogLine {
    int level;
    std::string module;
    std::string text;  // formatted, as passed (line feed kept)
};

struct Platform {
    // Scripted inputs.
    std::deque<std::string> answers;           // one per ClientSendCmd; empty text when exhausted
    std::map<std::string, std::string> store;  // the parameter store as orv_nvconfig_read sees it
    std::map<int, std::string> cfg_items;      // factory items; a missing item reads as -1
    std::map<std::string, std::vector<std::vector<std::optional<std::string>>>> db_rows;
    bool pwm_opens = true;
    std::map<unsigned long, int> pwm_values;  // a missing request fails like a failing ioctl
    std::deque<std::string> messages;         // datagrams for orv_recv_msg; -1 when exhausted
    int init_msg_result = 0;

    // Records.
    Lines timeline;
    Lines commands;  // the AT commands alone, as sent
    Lines echoes;    // raw answers echoed to standard output
    std::vector<LogLine> logs;
    std::vector<int> waits;  // wait argument of each ClientSendCmd

    // Log lines as "LEVEL text" with the text as logged ("6 enter ... fun\n").
    Lines log_texts() const;
    bool logged(int level, std::string_view text) const;
};

// The one instance every platform call uses; reset before each test.
Platform& fake();
void reset();

// A modem answer with one information line and a final OK: CR LF line CR LF CR LF OK CR LF.
std::string info_ok(std::string_view line);
// A modem answer that is a bare final line: CR LF line CR LF.
std::string final_line(std::string_view line);

}  // namespace orv::fake
