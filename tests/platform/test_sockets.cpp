// Request socket and controller notifications over real Unix datagram sockets.

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>

#include "platform/orv_mc.h"
#include "platform/orv_socket.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

// A datagram socket, bound at `path` when given (what a controller or a dead daemon leaves),
// else sending `bytes` to `to` and closed again.
int datagram(const std::string& path, const std::string& to = {}, const std::string& bytes = {}) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, (path.empty() ? to : path).c_str(), sizeof a.sun_path - 1);
    const auto* sa = reinterpret_cast<const sockaddr*>(&a);
    if (!path.empty()) {
        return bind(fd, sa, sizeof a) == 0 ? fd : (close(fd), -1);
    }
    const ssize_t n = sendto(fd, bytes.data(), bytes.size(), 0, sa, sizeof a);
    close(fd);
    return n == static_cast<ssize_t>(bytes.size()) ? 0 : -1;
}

class SocketTest : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        mkdir(path("run").c_str(), 0750);
    }
    std::string request_path() const { return path("run/orv_mdm_path"); }
    std::string controller_path() const { return path("run/orv_mc_path"); }
};

TEST_F(SocketTest, RequestSocketReceivesDatagramsCutAtTheMaximum) {
    rmdir(path("run").c_str());  // made by the library itself
    int handle = -1;
    ASSERT_EQ(orv_init_msg("orv_mdm_path", &handle), 0);
    struct stat st {};
    ASSERT_EQ(lstat(request_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(file_mode(path("run")), 0750u);

    const std::string big(1500, 'p'), zeros("\x03\0\0\0", 4);
    const std::tuple<std::string, int, std::string> rows[] = {{zeros, 1023, zeros},
                                                              {big, 1023, big.substr(0, 1023)},
                                                              {"abcdef", 3, "abc"},
                                                              {"", 1023, ""}};
    for (const auto& [sent, max_len, received] : rows) {
        ASSERT_EQ(datagram({}, request_path(), sent), 0);
    }
    for (const auto& [sent, max_len, received] : rows) {
        char buf[2048];
        std::memset(buf, '#', sizeof buf);
        const int n = orv_recv_msg(handle, buf, max_len);
        ASSERT_EQ(n, static_cast<int>(received.size()));
        EXPECT_EQ(std::string(buf, n + 1), received + "#");  // nothing past the message
    }
    EXPECT_EQ(orv_recv_msg(-1, nullptr, 4), -1);
    close(handle);
}

TEST_F(SocketTest, StaleSocketIsReplacedAndALiveDaemonIsNotDisplaced) {
    close(datagram(request_path()));  // its file stays behind
    int first = -1, second = -1;
    ASSERT_EQ(orv_init_msg("orv_mdm_path", &first), 0);
    EXPECT_EQ(orv_init_msg("orv_mdm_path", &second), -1);
    EXPECT_EQ(second, -1);
    // The first daemon still gets its requests.
    ASSERT_EQ(datagram({}, request_path(), "ping"), 0);
    char buf[8];
    EXPECT_EQ(orv_recv_msg(first, buf, sizeof buf), 4);
    close(first);
}

TEST_F(SocketTest, EndpointThatCannotBeCreatedFailsCleanly) {
    write_file(path("run/not_a_socket"), "data");
    const std::pair<std::string, const char*> rows[] = {
        {path(std::string(120, 'd')), "orv_mdm_path"},  // too long for a socket address
        {path("run"), "not_a_socket"},                  // a regular file is in the way
        {path("run"), "../orv_mdm_path"}};              // a name with a folder in it
    for (const auto& [run_dir, name] : rows) {
        SCOPED_TRACE(name);
        setenv("ORV_RUN_DIR", run_dir.c_str(), 1);
        int handle = -1;
        EXPECT_EQ(orv_init_msg(name, &handle), -1);
    }
    EXPECT_EQ(read_file(path("run/not_a_socket")), "data");
}

std::string le32(int v) {
    const auto u = static_cast<unsigned>(v);
    return {static_cast<char>(u & 0xff), static_cast<char>((u >> 8) & 0xff),
            static_cast<char>((u >> 16) & 0xff), static_cast<char>((u >> 24) & 0xff)};
}

std::string padded(const std::string& text, std::size_t width = 32) {
    std::string out = text.substr(0, width);
    out.resize(width, '\0');
    return out;
}

TEST_F(SocketTest, NotificationsArriveInTheirExactLayout) {
    const int controller = datagram(controller_path());
    ASSERT_GE(controller, 0);
    apn_sim_msg record{};
    std::strcpy(record.plmn, "26201");
    std::strcpy(record.imsi, "262011234567890");
    std::strcpy(record.iccid, "8949020000123456789");
    const std::pair<std::function<int()>, std::string> rows[] = {
        {[] { return orv_mc_state_mdm_return_pin_status(1, "SIM PIN"); },
         le32(1) + le32(1) + padded("SIM PIN")},
        {[] { return orv_mc_state_mdm_return_verify_pinpuk(1, std::string(40, 'S').c_str()); },
         le32(2) + le32(1) + std::string(31, 'S') + std::string(1, '\0')},  // long state text
        {[] { return orv_mc_state_mdm_return_rpc_status(1); }, le32(3) + le32(1)},
        {[&] { return orv_mc_relay_quorl_apn_sim_msg(&record); },
         le32(5) + padded("26201") + padded("262011234567890") + padded("8949020000123456789")},
    };
    for (const auto& [call, expected] : rows) {
        SCOPED_TRACE(expected.substr(0, 1));
        EXPECT_EQ(call(), 0);
        char buf[256];
        const ssize_t n = recv(controller, buf, sizeof buf, MSG_DONTWAIT);
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), expected);
    }
    close(controller);
}

TEST_F(SocketTest, NotificationsAreDroppedWithoutBlockingWhenNobodyReads) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(orv_mc_state_mdm_return_rpc_status(0), -1);  // no socket file at all
    // A controller that never reads: its queue fills up and further notifications are dropped.
    const int controller = datagram(controller_path());
    int dropped = 0;
    for (int i = 0; i < 2000; ++i) {
        dropped += orv_mc_state_mdm_return_pin_status(0, "READY") == -1 ? 1 : 0;
    }
    EXPECT_GT(dropped, 0);
    close(controller);
    EXPECT_EQ(orv_mc_state_mdm_return_rpc_status(0), -1);  // a socket file whose owner has gone
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace orv::test
