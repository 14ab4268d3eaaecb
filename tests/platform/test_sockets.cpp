// Request socket and controller notifications over real Unix datagram sockets.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>

#include "platform/orv_mc.h"
#include "platform/orv_socket.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

sockaddr_un address(const std::string& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    return a;
}

// A datagram socket bound at `path` (what a controller or a dead daemon leaves behind).
int bound_socket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = address(path);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_to(const std::string& path, const std::string& bytes) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = address(path);
    const ssize_t n =
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    close(fd);
    return n == static_cast<ssize_t>(bytes.size());
}

class SocketTest : public PlatformTest {
  protected:
    std::string request_path() const { return path("run/orv_mdm_path"); }
    std::string controller_path() const { return path("run/orv_mc_path"); }
};

TEST_F(SocketTest, RequestSocketReceivesDatagramsCutAtTheMaximum) {
    int handle = -1;
    ASSERT_EQ(orv_init_msg("orv_mdm_path", &handle), 0);
    struct stat st {};
    ASSERT_EQ(lstat(request_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(file_mode(path("run")), 0750u);

    struct Row {
        std::string datagram;
        int max_len;
        std::string received;
    };
    const std::string big(1500, 'p');
    const Row rows[] = {
        {std::string("\x02\0\0\0", 4), 1023, std::string("\x02\0\0\0", 4)},
        {std::string("\x03\0\0\0"
                     "1234",
                     8),
         1023,
         std::string("\x03\0\0\0"
                     "1234",
                     8)},
        {big, 1023, big.substr(0, 1023)},
        {"abcdef", 3, "abc"},
        {"", 1023, ""},
    };
    for (const Row& row : rows) {
        ASSERT_TRUE(send_to(request_path(), row.datagram));
    }
    for (const Row& row : rows) {
        char buf[2048];
        std::memset(buf, '#', sizeof buf);
        const int n = orv_recv_msg(handle, buf, row.max_len);
        ASSERT_EQ(n, static_cast<int>(row.received.size()));
        EXPECT_EQ(std::string(buf, n), row.received);
        EXPECT_EQ(buf[n], '#');  // nothing past the message
    }
    EXPECT_EQ(orv_recv_msg(-1, nullptr, 4), -1);
    close(handle);
}

TEST_F(SocketTest, StaleSocketIsReplacedAndALiveDaemonIsNotDisplaced) {
    ASSERT_EQ(mkdir(path("run").c_str(), 0750), 0);
    const int dead = bound_socket(request_path());
    ASSERT_GE(dead, 0);
    close(dead);  // its file stays behind

    int first = -1;
    ASSERT_EQ(orv_init_msg("orv_mdm_path", &first), 0);
    int second = -1;
    EXPECT_EQ(orv_init_msg("orv_mdm_path", &second), -1);
    EXPECT_EQ(second, -1);

    // The first daemon still gets its requests.
    ASSERT_TRUE(send_to(request_path(), "ping"));
    char buf[8];
    EXPECT_EQ(orv_recv_msg(first, buf, sizeof buf), 4);
    close(first);
}

TEST_F(SocketTest, EndpointThatCannotBeCreatedFailsCleanly) {
    ASSERT_EQ(mkdir(path("run").c_str(), 0750), 0);
    write_file(path("run/not_a_socket"), "data");
    const std::string long_dir = path(std::string(120, 'd'));
    struct Row {
        const char* what;
        std::string run_dir;
        const char* name;
    };
    const Row rows[] = {
        {"path too long for a socket address", long_dir, "orv_mdm_path"},
        {"a regular file is in the way", path("run"), "not_a_socket"},
        {"name with a folder in it", path("run"), "../orv_mdm_path"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        setenv("ORV_RUN_DIR", row.run_dir.c_str(), 1);
        int handle = -1;
        EXPECT_EQ(orv_init_msg(row.name, &handle), -1);
    }
    EXPECT_EQ(read_file(path("run/not_a_socket")), "data");
}

std::string le32(int v) {
    const auto u = static_cast<unsigned>(v);
    return {static_cast<char>(u & 0xff), static_cast<char>((u >> 8) & 0xff),
            static_cast<char>((u >> 16) & 0xff), static_cast<char>((u >> 24) & 0xff)};
}

std::string padded(const std::string& text, std::size_t width) {
    std::string out = text.substr(0, width);
    out.resize(width, '\0');
    return out;
}

TEST_F(SocketTest, NotificationsArriveInTheirExactLayout) {
    ASSERT_EQ(mkdir(path("run").c_str(), 0750), 0);
    const int controller = bound_socket(controller_path());
    ASSERT_GE(controller, 0);

    apn_sim_msg record{};
    std::strcpy(record.plmn, "26201");
    std::strcpy(record.imsi, "262011234567890");
    std::strcpy(record.iccid, "8949020000123456789");
    const std::string long_state(40, 'S');

    struct Row {
        const char* what;
        std::function<int()> call;
        std::string datagram;
    };
    const Row rows[] = {
        {"pin status", [] { return orv_mc_state_mdm_return_pin_status(0, "SIM PIN"); },
         le32(1) + le32(0) + padded("SIM PIN", 32)},
        {"pin status from an error",
         [] { return orv_mc_state_mdm_return_pin_status(1, "SIM failure"); },
         le32(1) + le32(1) + padded("SIM failure", 32)},
        {"verify with a long state text",
         [&] { return orv_mc_state_mdm_return_verify_pinpuk(1, long_state.c_str()); },
         le32(2) + le32(1) + std::string(31, 'S') + std::string(1, '\0')},
        {"verify ready", [] { return orv_mc_state_mdm_return_verify_pinpuk(0, "READY"); },
         le32(2) + le32(0) + padded("READY", 32)},
        {"rpc status", [] { return orv_mc_state_mdm_return_rpc_status(1); }, le32(3) + le32(1)},
        {"imsi unlock status, negative",
         [] { return orv_mc_state_mdm_return_imsi_unlock_status(-2); }, le32(4) + le32(-2)},
        {"apn record", [&] { return orv_mc_relay_quorl_apn_sim_msg(&record); },
         le32(5) + padded("26201", 32) + padded("262011234567890", 32) +
             padded("8949020000123456789", 32)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(row.call(), 0);
        char buf[256];
        const ssize_t n = recv(controller, buf, sizeof buf, MSG_DONTWAIT);
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), row.datagram);
    }
    close(controller);
}

TEST_F(SocketTest, NotificationsAreDroppedWithoutBlockingWhenNobodyReads) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    // Nobody listens: no socket file at all.
    EXPECT_EQ(orv_mc_state_mdm_return_rpc_status(0), -1);

    // A controller that never reads: its queue fills up and further notifications are dropped.
    ASSERT_EQ(mkdir(path("run").c_str(), 0750), 0);
    const int controller = bound_socket(controller_path());
    int dropped = 0;
    for (int i = 0; i < 2000; ++i) {
        dropped += orv_mc_state_mdm_return_pin_status(0, "READY") == -1 ? 1 : 0;
    }
    EXPECT_GT(dropped, 0);
    close(controller);
    // A socket file whose owner has gone.
    EXPECT_EQ(orv_mc_state_mdm_return_rpc_status(0), -1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace orv::test
