// The real orv_modem_sim program on a pseudo-terminal and on a TCP port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 5000;

int ms_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Runs the program with its standard output on a pipe.
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::vector<char*> argv;
            args.insert(args.begin(), ORV_MODEM_SIM_BIN);
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }

    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }

    // The next line of standard output, or "" when none came in time.
    std::string line() {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (buf_.find('\n') == std::string::npos) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, ms_left(deadline)) <= 0) {
                return {};
            }
            char tmp[256];
            const ssize_t n = ::read(out_, tmp, sizeof tmp);
            if (n <= 0) {
                return {};
            }
            buf_.append(tmp, static_cast<std::size_t>(n));
        }
        const std::size_t nl = buf_.find('\n');
        std::string l = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return l;
    }

    // Sends a signal and returns the exit status, or -1.
    int stop(int sig) {
        ::kill(pid_, sig);
        int status = 0;
        const pid_t pid = pid_;
        pid_ = -1;
        if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
            return -1;
        }
        return WEXITSTATUS(status);
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buf_;
};

// `orv_modem_sim ctl ...`: exit status and output.
std::pair<int, std::string> ctl(const std::string& socket, std::vector<std::string> words) {
    std::string cmd = std::string(ORV_MODEM_SIM_BIN) + " ctl '" + socket + "'";
    for (const std::string& w : words) {
        cmd += " '" + w + "'";
    }
    std::FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    const int status = ::pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

struct Answer {
    std::string bytes;
    int reads = 0;
    bool hung_up = false;
};

// True when the text ends with a complete final result line.
bool final_line_done(const std::string& text) {
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) {
        return false;
    }
    const std::size_t start = text.rfind("\r\n", text.size() - 3);
    const std::string last =
        text.substr(start == std::string::npos ? 0 : start + 2, std::string::npos);
    return last == "OK\r\n" || last == "ERROR\r\n" || last.rfind("+CME ERROR:", 0) == 0;
}

// Writes a command and collects the answer up to its final line.
Answer exchange(int fd, const std::string& command) {
    Answer a;
    const std::string out = command + "\r";
    if (::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
        a.hung_up = true;
        return a;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    while (true) {
        if (final_line_done(a.bytes)) {
            return a;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms_left(deadline)) <= 0) {
            return a;
        }
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            a.hung_up = true;
            return a;
        }
        a.bytes.append(buf, static_cast<std::size_t>(n));
        ++a.reads;
    }
}

int open_raw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd >= 0) {
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

class ModemSimProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orv_modem_sim_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(ModemSimProgram, PtyWithChunksHangupAndRelink) {
    const std::string link = dir_ / "modem";
    const std::string control = dir_ / "control";
    const std::string journal = dir_ / "journal";
    Program sim({"--pty", "--link", link, "--chunk", "3", "--control", control, "--journal",
                 journal, "--profile", ORV_SOURCE_DIR "/tools/modem_sim/profiles/locked.toml"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("pty: /dev/pts/", 0), 0u) << first;
    EXPECT_EQ(fs::read_symlink(link).string(), first.substr(5));

    int fd = open_raw(link);
    ASSERT_GE(fd, 0);
    const Answer cpin = exchange(fd, "AT+CPIN?");
    EXPECT_EQ(cpin.bytes, "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_GT(cpin.reads, 3) << "answer should arrive in 3-byte pieces";
    EXPECT_EQ(exchange(fd, "AT+CPIN=\"4321\"").bytes, "\r\nOK\r\n");

    // A hangup scripted at run time drops the line; the link then leads to a fresh pty.
    const auto [rc, reply] = ctl(control, {"script", "AT+CIMI", "hangup", "1"});
    EXPECT_EQ(rc, 0) << reply;
    EXPECT_EQ(reply, "ok\n");
    EXPECT_TRUE(exchange(fd, "AT+CIMI").hung_up);
    const std::string second = sim.line();
    ASSERT_EQ(second.rfind("pty: /dev/pts/", 0), 0u) << second;
    EXPECT_EQ(fs::read_symlink(link).string(), second.substr(5));
    ::close(fd);

    fd = open_raw(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, "AT+CIMI").bytes, "\r\n262011234567890\r\n\r\nOK\r\n");

    // Unsolicited line on request, then the second SIM with its network lock.
    EXPECT_EQ(ctl(control, {"urc", "+CREG: 1"}).first, 0);
    EXPECT_EQ(exchange(fd, "AT").bytes, "\r\n+CREG: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(ctl(control, {"swap", "second"}).first, 0);
    EXPECT_EQ(exchange(fd, "AT+CMEE=2").bytes, "\r\nOK\r\n");
    EXPECT_EQ(exchange(fd, "AT+CPIN?").bytes, "\r\n+CME ERROR: SIM busy\r\n");
    const auto [state_rc, state] = ctl(control, {"state"});
    EXPECT_EQ(state_rc, 0);
    EXPECT_NE(state.find("sim: second\ncpin: PH-NET PIN\n"), std::string::npos) << state;
    EXPECT_EQ(ctl(control, {"swap", "nobody"}).first, 1);
    ::close(fd);

    std::ifstream in(journal);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), "AT+CPIN?\nAT+CPIN=\"4321\"\nAT+CIMI\nAT+CIMI\nAT\nAT+CMEE=2\nAT+CPIN?\n");

    EXPECT_EQ(sim.stop(SIGTERM), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_FALSE(fs::exists(control));
}

TEST_F(ModemSimProgram, TcpOneClientAtATime) {
    Program sim({"--listen", "tcp:127.0.0.1:0"});
    const std::string first = sim.line();
    ASSERT_EQ(first.rfind("tcp: 127.0.0.1:", 0), 0u) << first;
    const int port = std::atoi(first.c_str() + std::string("tcp: 127.0.0.1:").size());
    ASSERT_GT(port, 0);
    for (int round = 0; round < 2; ++round) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(exchange(fd, "AT+CGSN").bytes, "\r\n356938035643809\r\n\r\nOK\r\n");
        ::close(fd);
    }
    EXPECT_EQ(sim.stop(SIGINT), 0);
}

}  // namespace
