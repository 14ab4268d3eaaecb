// Every platform test runs in a fresh temporary folder: the path variables point into it, and
// the libraries that keep state (AT port, store connection) start from nothing.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/at_channel/at_channel_internal.h"
#include "platform/nvram/nvram_internal.h"

namespace orv::test {

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string read_file(const std::string& path) {
    std::ostringstream all;
    all << std::ifstream(path, std::ios::binary).rdbuf();
    return all.str();
}

// The permission bits, or ~0u when the file is missing.
inline unsigned file_mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : ~0u;
}

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orv_plat_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        umask(077);  // the modes checked hold whatever the umask
        for (const char* var : {"RUN_DIR=run", "LOG_DIR=log", "NVRAM=lib/nvram.db",
                                "FACTORY_DIR=factory", "DEVICE_DB=device.db", "MODEM=no-modem"}) {
            const std::string v(var);
            setenv(("ORV_" + v.substr(0, v.find('='))).c_str(),
                   path(v.substr(v.find('=') + 1)).c_str(), 1);
        }
        setenv("ORV_AT_WAIT_SCALE", "0.2", 1);
        unsetenv("ORV_MODEM_BAUD");
        unsetenv("ORV_PWM_SIM");
        at_channel::reset();
        nvram::reset();
    }
    void TearDown() override {
        at_channel::reset();
        nvram::reset();
        std::filesystem::remove_all(dir_);
    }
    // "<temp folder>/<name>"
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
};

}  // namespace orv::test
