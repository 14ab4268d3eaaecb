// What real modems do that a test bench's rarely does, end to end: unsolicited reports before,
// inside and after answers, line ends of CR alone, NUL noise, answers that come after their wait
// ran out or never; and a daemon whose standard output nobody reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

constexpr const char* kImei = "356938035643809";
constexpr const char* kImsi = "234150123456789";

TEST(RealModem, ReportsNoiseAndLineEndsLeaveTheAnswerIntact) {
    struct Row {
        const char* what;
        std::vector<std::vector<std::string>> modem;  // control commands before the request
        std::uint32_t request;
        const char* name;
        const char* value;
    };
    const std::vector<Row> rows = {
        {"registration before the IMEI",
         {{"script", "AT+CGSN", "report", "before", "+CREG: 1", "1"}},
         msg::ORV_MDM_GET_IMEI,
         "imei",
         kImei},
        {"ring and a packet-domain event around the IMSI",
         {{"script", "AT+CIMI", "report", "before", "RING", "report", "inside",
           "+CGEV: ME PDN ACT 1", "1"}},
         msg::ORV_MDM_GET_IMSI,
         "sim_imsi",
         kImsi},
        {"a message whose text reads OK",
         {{"script", "AT+CIMI", "report", "before",
           "+CMT: \"+447700900123\",,\"26/12/06,10:00:00+04\"\\r\\nOK", "1"}},
         msg::ORV_MDM_GET_IMSI,
         "sim_imsi",
         kImsi},
        {"time zone inside, registration right after the final line",
         {{"script", "AT+CGSN", "report", "inside", "+CTZV: +08,0", "report", "after", "+CGREG: 1",
           "1"}},
         msg::ORV_MDM_GET_IMEI,
         "imei",
         kImei},
        {"lines ended by CR alone", {{"lineend", "cr"}}, msg::ORV_MDM_GET_IMEI, "imei", kImei},
        {"a NUL byte after every second byte",
         {{"noise", "2"}},
         msg::ORV_MDM_GET_IMSI,
         "sim_imsi",
         kImsi},
    };
    Rig rig;
    rig.start();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        rig.unset(row.name);
        for (const auto& words : row.modem) {
            rig.modem_ctl(words);
        }
        rig.send(row.request);
        EXPECT_TRUE(rig.wait_store(row.name, row.value));
        for (const auto& words : {std::vector<std::string>{"lineend", "crlf"},
                                  std::vector<std::string>{"noise", "0"}}) {
            rig.modem_ctl(words);
        }
    }
    EXPECT_EQ(count(rig.log_messages(), "(char*)mdm_res.aucDataBuf is TIMEOUT "), 0u);
    // The home network the controller gets comes from that IMSI, past a report before EF AD.
    rig.modem_ctl({"script", "AT+CRSM=*", "report", "before", "+CGREG: 1", "1"});
    rig.send(msg::ORV_MDM_APN_GET_SIM_INFO);
    EXPECT_EQ(rig.wait_notes(1).back(),
              R"(apn_sim_msg plmn="23415" imsi="234150123456789" iccid="")");
}

// SIMs without a preferred language: the language of their country, from the ICCID, whatever
// form the issuer gave its country digits.
TEST(RealModem, ASimWithoutAPreferredLanguageGetsItsCountrysLanguage) {
    const std::pair<const char*, const char*> sims[] = {
        {"8970101234567890123", "ru"}, {"8930272123456789012", "en"},
        {"8924301234567890123", "fr"}, {"8923301234567890123", "en"},
        {"8959501234567890123", "es"}, {"8914800000123456789", "en"}};
    std::string profile;
    for (const auto& [iccid, language] : sims) {
        profile += std::string("[sim.s") + iccid + "]\niccid = \"" + iccid + "\"\nlanguages = []\n";
    }
    Rig rig;
    rig.write_factory_item(2301, std::string("\x01", 1));
    rig.start({.profile = profile});
    for (const auto& [iccid, language] : sims) {
        SCOPED_TRACE(iccid);
        rig.modem_ctl({"swap", std::string("s") + iccid});
        rig.unset("Language");
        rig.send(msg::ORV_MDM_GET_ICCID);
        EXPECT_TRUE(rig.wait_store("Language", language));
    }
}

// The IMSI's wait is 500 ms here. Its answer 200 ms late is dropped, not published as the IMEI;
// an answer that never comes costs the next exchange only (the IMEI's first try, whose retry
// then goes out), and no extra command reaches the modem.
TEST(RealModem, ALateAnswerIsNeverTakenForTheNextCommands) {
    Rig rig;
    rig.start();
    for (const char* late : {"delay 700", "silent"}) {
        SCOPED_TRACE(late);
        rig.unset("imei");
        const std::string how = late;
        rig.modem_ctl(how == "silent"
                          ? std::vector<std::string>{"script", "AT+CIMI", "silent", "1"}
                          : std::vector<std::string>{"script", "AT+CIMI", "delay", "700", "1"});
        rig.send(msg::ORV_MDM_GET_IMSI);
        rig.send(msg::ORV_MDM_GET_IMEI);
        EXPECT_TRUE(rig.wait_store("imei", kImei, 15s));
        EXPECT_EQ(rig.store("sim_imsi"), std::nullopt);
    }
    EXPECT_EQ(rig.commands(), (Lines{"AT+CIMI", "AT+CGSN", "AT+CIMI", "AT+CGSN"}));
}

// Standard output on a pipe whose reader has gone (a logger that died), or whose reader reads
// nothing (a logger that hangs; the pipe is full before the daemon starts): requests are served
// as before, the echo dropped.
TEST(RealModem, AnOutputNobodyReadsNeverStopsTheDaemonAndItsFoldersAreMade) {
    for (const bool reader_gone : {true, false}) {
        SCOPED_TRACE(reader_gone ? "reader gone" : "pipe full");
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
        if (reader_gone) {
            close(ends[0]);
        } else {
            const std::string block(4096, 'x');
            while (write(ends[1], block.data(), block.size()) > 0) {
            }
            fcntl(ends[1], F_SETFL, 0);  // the daemon gets it blocking, as a logger would give it
        }
        Rig rig;
        rig.daemon_stdout(ends[1]);
        rig.start({}, {"ORV_NVRAM=" + rig.path("state/nvram.db")});
        close(ends[1]);
        struct stat st {};
        ASSERT_EQ(stat(rig.path("state").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0750u);
        for (std::size_t n = 1; n <= 2; ++n) {  // the link test echoes every answer
            rig.send(msg::ORV_MDM_TEST_RPC_MSG);
            EXPECT_EQ(rig.wait_notes(n, 5s).size(), n);
        }
        EXPECT_TRUE(rig.daemon_running());
        if (!reader_gone) {
            close(ends[0]);
        }
    }
}

}  // namespace
}  // namespace orv::e2e
