// The request path's guards end to end: the modes of what the daemon creates, whatever umask it
// is started with, and codes from requests that would break the command they are put into,
// refused before the modem sees anything.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace orv::e2e {
namespace {

// Mode bits and type of a path; 0 when it does not exist.
mode_t mode_of(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(Security, WhatTheDaemonCreatesHasItsModeWhateverTheUmask) {
    for (const mode_t mask : {0000, 0022, 0077}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        Rig rig;
        rig.start_modem();
        // The run folder is the daemon's to create here (the controller's socket goes with it).
        unlink(rig.path("run/orv_mc_path").c_str());
        ASSERT_EQ(rmdir(rig.path("run").c_str()), 0);
        rig.set_child_setup([mask] { umask(mask); });
        rig.start_daemon({"ORV_NVRAM=" + rig.path("lib/nvram.db")});
        rig.send(msg::ORV_MDM_GET_ICCID);  // it writes to the store
        ASSERT_TRUE(rig.wait_for([&] { return mode_of(rig.path("lib/nvram.db-shm")) != 0; }));
        for (const char* dir : {"run", "log", "lib"}) {
            EXPECT_EQ(mode_of(rig.path(dir)), S_IFDIR | 0750) << dir;
        }
        EXPECT_EQ(mode_of(rig.path("run/orv_mdm_path")), S_IFSOCK | 0660);
        for (const char* file :
             {"log/orv_mdm.log", "lib/nvram.db", "lib/nvram.db-wal", "lib/nvram.db-shm"}) {
            EXPECT_EQ(mode_of(rig.path(file)), S_IFREG | 0640) << file;
        }
    }
}

// Each request that carries a code, with a code holding a character that would end or extend the
// command (a quote, CR, LF, Ctrl-Z, a second command), or one that does not fit the command
// buffer. Nothing of them may reach the modem; the daemon goes on serving.
TEST(Security, CodesThatWouldBreakTheirCommandNeverReachTheModem) {
    const std::vector<Lines> requests = {
        {"VERIFY_PIN", "--pin", "12\"4"},
        {"VERIFY_PIN", "--puk", "12345678", "--new-pin",
         "12\x1a"
         "4"},
        {"VERIFY_PIN", "--puk", "12345678", "--new-pin", std::string(200, '7')},
        {"CHANGE_PIN", "--old-pin", "1234", "--new-pin", "56\r8"},
        {"PIN_MODE", "--op", "off", "--pin", "12\r\n34"},
        {"NET_UNLOCK", "--code", "1234\rAT+CFUN=0"}};
    Rig rig;
    rig.start();
    for (const Lines& args : requests) {
        ASSERT_EQ(rig.send_tool(args), 0) << args[0] << " " << args[2];
    }
    ASSERT_EQ(rig.send_tool({"GET_PIN_STATUS"}), 0);
    ASSERT_EQ(rig.wait_notes(1).size(), 1u);
    // The notification comes between the state query and the counters' read.
    ASSERT_TRUE(rig.wait_for([&] { return rig.journal().size() >= 5; }));
    EXPECT_EQ(rig.commands(), (Lines{"AT+CPIN?", "AT+EPINC"}));
    const Lines log = rig.log_messages();
    EXPECT_EQ(std::count_if(
                  log.begin(), log.end(),
                  [](const std::string& m) { return m.find(" refused: ") != std::string::npos; }),
              static_cast<std::ptrdiff_t>(requests.size()));
}

}  // namespace
}  // namespace orv::e2e
