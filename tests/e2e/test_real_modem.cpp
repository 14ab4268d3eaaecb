// What real modems do that a test bench's rarely does, end to end: unsolicited reports before,
// inside and after answers, line ends of CR alone, NUL noise. (Answers that come after their
// wait: tests/platform/test_at_channel.cpp; standard output nobody reads: test_faults.cpp.)
#include <gtest/gtest.h>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

TEST(RealModem, ReportsNoiseAndLineEndsLeaveTheAnswerIntact) {
    struct Row {
        const char* what;
        Lines modem;  // one control command before the request
        std::uint32_t request;
        const char* name;
        const char* value;
    };
    const char* imei = "356938035643809";
    const char* imsi = "234150123456789";
    const std::vector<Row> rows = {
        {"registration before, time zone inside, packet domain right after the final line",
         {"script", "AT+CGSN", "report", "before", "+CREG: 1", "report", "inside", "+CTZV: +08,0",
          "report", "after", "+CGEV: ME PDN ACT 1", "1"},
         msg::ORV_MDM_GET_IMEI,
         "imei",
         imei},
        {"a message whose text reads OK before, a ring inside",
         {"script", "AT+CIMI", "report", "before",
          "+CMT: \"+447700900123\",,\"26/12/06,10:00:00+04\"\\r\\nOK", "report", "inside", "RING",
          "1"},
         msg::ORV_MDM_GET_IMSI,
         "sim_imsi",
         imsi},
        {"lines ended by CR alone", {"lineend", "cr"}, msg::ORV_MDM_GET_IMEI, "imei", imei},
        {"a NUL byte after every second byte",
         {"noise", "2"},
         msg::ORV_MDM_GET_IMSI,
         "sim_imsi",
         imsi},
    };
    Rig rig;
    rig.start();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        rig.unset(row.name);
        rig.modem_ctl(row.modem);
        rig.send(row.request);
        EXPECT_TRUE(rig.wait_store(row.name, row.value));
        rig.modem_ctl({"lineend", "crlf"});
        rig.modem_ctl({"noise", "0"});
    }
    EXPECT_EQ(count(rig.log_messages(), "(char*)mdm_res.aucDataBuf is TIMEOUT "), 0u);
}

}  // namespace
}  // namespace orv::e2e
