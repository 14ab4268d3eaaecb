// The real orv_modem_sim program on a pseudo-terminal, driven through its control socket.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct Answer {
    std::string bytes;
    int reads = 0;
    bool hung_up = false;
};

// Writes a command and collects the answer up to its final result line.
Answer exchange(int fd, const std::string& command) {
    static const std::regex final_line("\r\n(OK|ERROR|\\+CME ERROR:[^\r]*)\r\n$");
    Answer a;
    const std::string out = command + "\r";
    a.hung_up = ::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size());
    pollfd p{fd, POLLIN, 0};
    char buf[256];
    while (!a.hung_up && !std::regex_search(a.bytes, final_line) && ::poll(&p, 1, 5000) == 1) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        a.hung_up = n <= 0;
        a.bytes.append(buf, static_cast<std::size_t>(n > 0 ? n : 0));
        ++a.reads;
    }
    return a;
}

int open_raw(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

class ModemSimProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orv_modem_sim_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }

    // Starts the program with its standard output in the file "out".
    void start(std::vector<std::string> args) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(::open((dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            std::vector<char*> argv{const_cast<char*>(ORV_MODEM_SIM_BIN)};
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    // The ptys the program has announced, once there are `n` of them (waiting up to 5 s).
    std::vector<std::string> ptys(std::size_t n) {
        static const std::regex pty("pty: (/dev/pts/\\d+)\n");
        std::vector<std::string> found;
        for (int i = 0; i < 500 && found.size() < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::string text = read_file(dir_ / "out");
            found.clear();
            for (std::sregex_iterator it(text.begin(), text.end(), pty), end; it != end; ++it) {
                found.push_back((*it)[1]);
            }
        }
        return found;
    }
    // `orv_modem_sim ctl SOCKET WORDS...`: exit status and output.
    std::pair<int, std::string> ctl(const std::vector<std::string>& words) {
        std::string cmd = "'" ORV_MODEM_SIM_BIN "' ctl '" + (dir_ / "control").string() + "'";
        for (const std::string& w : words) {
            cmd += " '" + w + "'";
        }
        const int status = std::system((cmd + " >" + (dir_ / "ctl.out").string()).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir_ / "ctl.out")};
    }

    fs::path dir_;
    pid_t pid_ = -1;
};

TEST_F(ModemSimProgram, PtyWithChunksHangupAndRelink) {
    const std::string link = dir_ / "modem";
    const std::string control = dir_ / "control";
    start({"--pty", "--link", link, "--chunk", "3", "--control", control, "--journal",
           dir_ / "journal", "--profile", ORV_SOURCE_DIR "/tools/modem_sim/profiles/locked.toml"});
    ASSERT_EQ(ptys(1).size(), 1u);
    EXPECT_EQ(fs::read_symlink(link).string(), ptys(1)[0]);

    int fd = open_raw(link);
    ASSERT_GE(fd, 0);
    const Answer cpin = exchange(fd, "AT+CPIN?");
    EXPECT_EQ(cpin.bytes, "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    EXPECT_GT(cpin.reads, 3) << "answer should arrive in 3-byte pieces";
    EXPECT_EQ(exchange(fd, "AT+CPIN=\"4321\"").bytes, "\r\nOK\r\n");

    // A hangup scripted at run time drops the line; the link then leads to a fresh pty.
    EXPECT_EQ(ctl({"script", "AT+CIMI", "hangup", "1"}), std::make_pair(0, std::string("ok\n")));
    EXPECT_TRUE(exchange(fd, "AT+CIMI").hung_up);
    const std::vector<std::string> both = ptys(2);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(fs::read_symlink(link).string(), both[1]);
    ::close(fd);
    fd = open_raw(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(exchange(fd, "AT+CIMI").bytes, "\r\n262011234567890\r\n\r\nOK\r\n");

    // Unsolicited line on request, then the second SIM with its network lock.
    EXPECT_EQ(ctl({"urc", "+CREG: 1"}).first, 0);
    EXPECT_EQ(exchange(fd, "AT").bytes, "\r\n+CREG: 1\r\n\r\nOK\r\n");
    EXPECT_EQ(ctl({"swap", "second"}).first, 0);
    EXPECT_EQ(exchange(fd, "AT+CMEE=2").bytes, "\r\nOK\r\n");
    EXPECT_EQ(exchange(fd, "AT+CPIN?").bytes, "\r\n+CME ERROR: SIM busy\r\n");
    const auto [state_rc, state] = ctl({"state"});
    EXPECT_EQ(state_rc, 0);
    EXPECT_NE(state.find("sim: second\ncpin: PH-NET PIN\n"), std::string::npos) << state;
    EXPECT_EQ(ctl({"swap", "nobody"}).first, 1);
    ::close(fd);

    EXPECT_EQ(read_file(dir_ / "journal"),
              "AT+CPIN?\nAT+CPIN=\"4321\"\nAT+CIMI\nAT+CIMI\nAT\nAT+CMEE=2\nAT+CPIN?\n");
    // SIGTERM: a clean exit (status 0) that removes the link and the control socket.
    ::kill(pid_, SIGTERM);
    int status = -1;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_FALSE(fs::exists(control));
}

}  // namespace
