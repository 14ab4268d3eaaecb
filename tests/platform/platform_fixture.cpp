#include "tests/platform/platform_fixture.h"

#include <ftw.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/at_channel/at_channel_internal.h"
#include "platform/nvram/nvram_internal.h"

namespace orv::test {

void PlatformTest::SetUp() {
    char tmpl[] = "/tmp/orv_plat_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    umask(077);  // the modes checked below hold whatever the umask
    const char* const vars[][2] = {{"ORV_RUN_DIR", "run"},         {"ORV_LOG_DIR", "log"},
                                   {"ORV_NVRAM", "lib/nvram.db"},  {"ORV_FACTORY_DIR", "factory"},
                                   {"ORV_DEVICE_DB", "device.db"}, {"ORV_MODEM", "no-modem"}};
    for (const auto& [name, where] : vars) {
        setenv(name, path(where).c_str(), 1);
    }
    setenv("ORV_AT_WAIT_SCALE", "0.2", 1);
    unsetenv("ORV_MODEM_BAUD");
    unsetenv("ORV_PWM_SIM");
    at_channel::reset();
    nvram::reset();
}

void PlatformTest::TearDown() {
    at_channel::reset();
    nvram::reset();
    nftw(
        dir_.c_str(), [](const char* p, const struct stat*, int, FTW*) { return std::remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
}

void PlatformTest::write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string PlatformTest::read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

unsigned PlatformTest::file_mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : ~0u;
}

}  // namespace orv::test
