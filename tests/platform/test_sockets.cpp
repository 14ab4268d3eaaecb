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

using SocketTest = PlatformTest;

TEST_F(SocketTest, RequestSocketReceivesDatagramsCutAtTheMaximum) {
    const std::string requests = path("run/orv_mdm_path");
    int handle = -1;
    ASSERT_EQ(orv_init_msg("orv_mdm_path", &handle), 0);  // the folder made on the way
    struct stat st {};
    ASSERT_EQ(lstat(requests.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(file_mode(path("run")), 0750u);

    const std::string big(1500, 'p'), zeros("\x03\0\0\0", 4);
    const std::tuple<std::string, int, std::string> rows[] = {
        {zeros, 1023, zeros}, {big, 1023, big.substr(0, 1023)}, {"abcdef", 3, "abc"}, {"", 9, ""}};
    for (const auto& [sent, max_len, received] : rows) {
        ASSERT_EQ(datagram({}, requests, sent), 0);
    }
    for (const auto& [sent, max_len, received] : rows) {
        char buf[2048];
        std::memset(buf, '#', sizeof buf);
        const int n = orv_recv_msg(handle, buf, max_len);
        ASSERT_EQ(n, static_cast<int>(received.size()));
        EXPECT_EQ(std::string(buf, n + 1), received + "#");  // nothing past the message
    }
    EXPECT_EQ(orv_recv_msg(-1, nullptr, 4), -1);

    // A second daemon does not displace the live one, which still gets its requests.
    int second = -1;
    EXPECT_EQ(orv_init_msg("orv_mdm_path", &second), -1);
    EXPECT_EQ(second, -1);
    ASSERT_EQ(datagram({}, requests, "ping"), 0);
    char buf[8];
    EXPECT_EQ(orv_recv_msg(handle, buf, sizeof buf), 4);
    close(handle);
    // The socket file a dead daemon left behind is replaced.
    EXPECT_EQ(orv_init_msg("orv_mdm_path", &handle), 0);
    close(handle);
}

TEST_F(SocketTest, EndpointThatCannotBeCreatedFailsCleanly) {
    std::filesystem::create_directories(path("run"));
    write_file(path("run/not_a_socket"), "data");
    const std::pair<std::string, const char*> rows[] = {
        {path(std::string(120, 'd')), "orv_mdm_path"},  // too long for a socket address
        {path("run"), "not_a_socket"},                  // a regular file is in the way
        {path("run"), "../orv_mdm_path"},               // a name with a folder in it
        {path("run"), ""}};
    for (const auto& [run_dir, name] : rows) {
        setenv("ORV_RUN_DIR", run_dir.c_str(), 1);
        int handle = -1;
        EXPECT_EQ(orv_init_msg(name, &handle), -1) << name;
    }
    int handle = -1;
    EXPECT_EQ(orv_init_msg(nullptr, &handle), -1);
    EXPECT_EQ(read_file(path("run/not_a_socket")), "data");
}

std::string le32(std::int32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);  // the device is little-endian
}

std::string padded(std::string text) {
    text.resize(32, '\0');
    return text;
}

TEST_F(SocketTest, NotificationsArriveInTheirExactLayoutOrAreDroppedWithoutBlocking) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(orv_mc_state_mdm_return_rpc_status(0), -1);  // no socket file at all
    std::filesystem::create_directories(path("run"));
    const int controller = datagram(path("run/orv_mc_path"));
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
        EXPECT_EQ(call(), 0);
        char buf[256];
        const ssize_t n = recv(controller, buf, sizeof buf, MSG_DONTWAIT);
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), expected);
    }
    // A controller that never reads: its queue fills up and further notifications are dropped.
    int dropped = 0;
    for (int i = 0; i < 2000; ++i) {
        dropped += orv_mc_state_mdm_return_pin_status(0, "READY") == -1 ? 1 : 0;
    }
    EXPECT_GT(dropped, 0);
    close(controller);
    EXPECT_EQ(orv_mc_state_mdm_return_rpc_status(0), -1);  // a socket file whose owner has gone
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "a notification to a full or gone controller blocked";
}

}  // namespace
}  // namespace orv::test
