// The AT channel against a modem played by the test: on the master side of a pty pair, or
// behind a TCP listener on 127.0.0.1.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "platform/at_channel/at_channel_internal.h"
#include "platform/orv_at.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads exactly `n` bytes from `fd`, giving up after `timeout_ms`.
std::string read_exactly(int fd, std::size_t n, int timeout_ms = 3000) {
    std::string got;
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < n && Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) == 1 && (p.revents & POLLIN) != 0) {
            char c;
            if (read(fd, &c, 1) == 1) {
                got += c;
            }
        }
    }
    return got;
}

// Accepts one connection, giving up (-1) after `timeout_ms`.
int accept_within(int listener, int timeout_ms = 3000) {
    pollfd p{listener, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1 ? accept(listener, nullptr, nullptr) : -1;
}

// Writes `bytes`, `chunk` bytes at a time with a short pause between (0: all at once), as a
// serial port delivers them.
void write_chunked(int fd, const std::string& bytes, std::size_t chunk = 0) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t n = chunk == 0 ? bytes.size() - at : std::min(chunk, bytes.size() - at);
        const ssize_t w = write(fd, bytes.data() + at, n);
        if (w <= 0) {
            return;
        }
        at += static_cast<std::size_t>(w);
        if (chunk != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

// A modem on the master side of a pty pair. The slave side stays open here too, so the test
// can tell when bytes have reached the slave's input queue.
class PtyModem {
  public:
    PtyModem() {
        termios raw{};
        cfmakeraw(&raw);
        char name[256] = {};
        if (openpty(&master_, &slave_, name, &raw, nullptr) == 0) {
            path_ = name;
        }
    }
    ~PtyModem() {
        hang_up();
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    void use() const { setenv("ORV_MODEM", path_.c_str(), 1); }
    void hang_up() {
        if (master_ >= 0) {
            close(master_);
        }
        master_ = -1;
    }
    // Waits until what the modem wrote can be read on the slave side.
    bool slave_readable() const {
        pollfd p{slave_, POLLIN, 0};
        return poll(&p, 1, 2000) == 1;
    }
    // Reads the command the channel sent, exactly `sent.size()` bytes, then answers.
    std::thread serve(std::string sent, std::string answer, std::size_t chunk = 0,
                      std::string* received = nullptr) {
        return std::thread([this, sent, answer, chunk, received] {
            const std::string got = read_exactly(master_, sent.size());
            if (received != nullptr) {
                *received = got;
            }
            write_chunked(master_, answer, chunk);
        });
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// The response record with guard bytes behind it, to catch any write past its end.
struct GuardedResponse {
    orv_at_response res;
    unsigned char guard[64];

    GuardedResponse() { clear(); }
    void clear() {
        std::memset(&res, 0, sizeof res);
        std::memset(guard, 0x5a, sizeof guard);
    }
    bool guard_intact() const {
        for (unsigned char g : guard) {
            if (g != 0x5a) {
                return false;
            }
        }
        return true;
    }
    std::uint32_t head_length() const {
        std::uint32_t v;
        std::memcpy(&v, res.aucHead, sizeof v);
        return v;
    }
    std::int32_t head_outcome() const {
        std::int32_t v;
        std::memcpy(&v, res.aucHead + 4, sizeof v);
        return v;
    }
    std::string text() const { return std::string(res.aucDataBuf); }
};

int send(const char* cmd, GuardedResponse& r, int wait_ms = 10000) {
    r.clear();
    return ClientSendCmd(cmd, &r.res, wait_ms);
}

class AtChannelTest : public PlatformTest {};

struct AnswerRow {
    const char* what;
    const char* command;
    std::string sent;      // bytes the modem must receive
    std::string answer;    // bytes the modem sends back (echo included)
    std::size_t chunk;     // 0: all at once
    std::string expected;  // aucDataBuf
};

const AnswerRow kAnswerRows[] = {
    {"plain", "AT+CGSN", "AT+CGSN\r", "\r\n490154203237518\r\n\r\nOK\r\n", 0,
     "\r\n490154203237518\r\n\r\nOK\r\n"},
    {"a few bytes at a time", "AT+CPIN?", "AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n", 3,
     "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
    {"byte by byte", "AT+CPIN?", "AT+CPIN?\r", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", 1,
     "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"},
    {"echo ending in CR CR LF", "AT+CPIN?", "AT+CPIN?\r",
     "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n", 0, "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
    {"echo in pieces", "AT+EPINC", "AT+EPINC\r", "AT+EPINC\r\r\n+EPINC: 3, 10, 0, 0\r\n\r\nOK\r\n",
     2, "\r\n+EPINC: 3, 10, 0, 0\r\n\r\nOK\r\n"},
    {"echo then answer without its own line start", "AT", "AT\r", "AT\rOK\r\n", 0, "\r\nOK\r\n"},
    {"echo ending in CR LF", "AT+CIMI", "AT+CIMI\r", "AT+CIMI\r\n\r\n001010123456789\r\n\r\nOK\r\n",
     0, "\r\n001010123456789\r\n\r\nOK\r\n"},
    {"bare LF lines", "AT+CIMI", "AT+CIMI\r", "\n001010123456789\n\nOK\n", 0,
     "\r\n001010123456789\r\n\r\nOK\r\n"},
    {"bare final line", "AT", "AT\r", "OK\n", 0, "\r\nOK\r\n"},
    {"+CME ERROR final", "AT+CPIN?", "AT+CPIN?\r", "\r\n+CME ERROR: SIM not inserted\r\n", 4,
     "\r\n+CME ERROR: SIM not inserted\r\n"},
    {"+CMS ERROR final", "AT+CMGS=1", "AT+CMGS=1\r", "\r\n+CMS ERROR: 500\r\n", 0,
     "\r\n+CMS ERROR: 500\r\n"},
    {"ERROR final", "AT+CRSM=176,28486,0,0,17", "AT+CRSM=176,28486,0,0,17\r", "\r\nERROR\r\n", 0,
     "\r\nERROR\r\n"},
    {"NO CARRIER final", "ATD123;", "ATD123;\r", "\r\nNO CARRIER\r\n", 0, "\r\nNO CARRIER\r\n"},
    {"lines that only look like finals", "AT+COPS?", "AT+COPS?\r",
     "\r\nOKAY\r\n\r\nERROR 5\r\n\r\n+CME ERROR\r\n\r\nOK\r\n", 1,
     "\r\nOKAY\r\n\r\nERROR 5\r\n\r\n+CME ERROR\r\n\r\nOK\r\n"},
    {"unsolicited line after the final is not part of the answer", "AT", "AT\r",
     "\r\nOK\r\n\r\n+CREG: 1\r\n", 0, "\r\nOK\r\n"},
    {"command that ends in CR LF gets no second CR", "AT+CPIN?\r\n", "AT+CPIN?\r\n",
     "\r\n+CPIN: READY\r\n\r\nOK\r\n", 0, "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
    {"command that ends in CR gets no second CR", "AT+CPIN?\r", "AT+CPIN?\r",
     "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n", 0, "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
};

TEST_F(AtChannelTest, AnswersArriveCleanedUpToTheirFinalLine) {
    PtyModem modem;
    ASSERT_FALSE(modem.path().empty());
    modem.use();
    for (const AnswerRow& row : kAnswerRows) {
        SCOPED_TRACE(row.what);
        std::string received;
        std::thread t = modem.serve(row.sent, row.answer, row.chunk, &received);
        GuardedResponse r;
        const int outcome = send(row.command, r);
        t.join();
        EXPECT_EQ(received, row.sent);
        EXPECT_EQ(outcome, ORV_AT_OUTCOME_ANSWER);
        EXPECT_EQ(r.text(), row.expected);
        EXPECT_EQ(r.head_length(), row.expected.size());
        EXPECT_EQ(r.head_outcome(), ORV_AT_OUTCOME_ANSWER);
        // Nothing more than the command went out (no doubled line end).
        EXPECT_EQ(read_exactly(modem.master(), 1, 30), "");
    }
}

TEST_F(AtChannelTest, UnsolicitedBytesWaitingBeforeTheCommandAreDiscarded) {
    PtyModem modem;
    modem.use();
    GuardedResponse r;
    std::thread first = modem.serve("AT\r", "\r\nOK\r\n");
    send("AT", r);  // the port is open from here on
    first.join();

    write_chunked(modem.master(), "\r\n+CREG: 1\r\n\r\nRING\r\n\r\nOK\r\n");
    ASSERT_TRUE(modem.slave_readable());
    std::thread t = modem.serve("AT+CGSN\r", "\r\n490154203237518\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CGSN", r), ORV_AT_OUTCOME_ANSWER);
    t.join();
    EXPECT_EQ(r.text(), "\r\n490154203237518\r\n\r\nOK\r\n");
}

struct TimeoutRow {
    const char* what;
    int wait_ms;
    const char* scale;
    std::string partial;  // what the modem says before falling silent
    int min_ms;
};

TEST_F(AtChannelTest, NoFinalLineWithinTheScaledWaitGivesTimeout) {
    const TimeoutRow rows[] = {
        {"silent modem", 10000, "0.02", "", 190},
        {"answer without a final line", 10000, "0.02", "\r\n+CPIN: READY\r\n", 190},
        {"wait 0 is the default 5000 ms, scaled", 0, "0.06", "", 290},
    };
    PtyModem modem;
    modem.use();
    for (const TimeoutRow& row : rows) {
        SCOPED_TRACE(row.what);
        setenv("ORV_AT_WAIT_SCALE", row.scale, 1);
        std::thread t = modem.serve("AT+CPIN?\r", row.partial);
        GuardedResponse r;
        const auto start = Clock::now();
        EXPECT_EQ(send("AT+CPIN?", r, row.wait_ms), ORV_AT_OUTCOME_TIMEOUT);
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        t.join();
        EXPECT_EQ(r.text(), "TIMEOUT");
        EXPECT_EQ(r.head_outcome(), ORV_AT_OUTCOME_TIMEOUT);
        EXPECT_GE(ms, row.min_ms);
        EXPECT_LT(ms, 3000);
    }
}

TEST_F(AtChannelTest, AnswerLargerThanTheBufferIsCutAndTheChannelStaysInStep) {
    PtyModem modem;
    modem.use();
    const std::string huge = "\r\n" + std::string(20000, 'A') + "\r\n\r\nOK\r\n";
    std::thread t = modem.serve("AT+CRSM=176\r", huge, 4096);
    GuardedResponse r;
    EXPECT_EQ(send("AT+CRSM=176", r), ORV_AT_OUTCOME_ANSWER);
    t.join();
    EXPECT_EQ(std::strlen(r.res.aucDataBuf), std::size_t{ORV_AT_DATA_SIZE - 1});
    EXPECT_EQ(r.text().substr(0, 5), "\r\nAAA");
    EXPECT_EQ(r.head_length(), std::uint32_t{ORV_AT_DATA_SIZE - 1});
    EXPECT_TRUE(r.guard_intact());

    std::thread next = modem.serve("AT\r", "\r\nOK\r\n");
    EXPECT_EQ(send("AT", r), ORV_AT_OUTCOME_ANSWER);
    next.join();
    EXPECT_EQ(r.text(), "\r\nOK\r\n");
}

TEST_F(AtChannelTest, AnswerThatNeverEndsTimesOutWithoutOverrun) {
    setenv("ORV_AT_WAIT_SCALE", "0.03", 1);
    PtyModem modem;
    modem.use();
    std::string flood;
    for (int i = 0; i < 4000; ++i) {
        flood += "+CREG: 1,\"00C3\",\"0000ABCD\"\r\n";  // no final line ever
    }
    std::thread t = modem.serve("AT+CREG?\r", flood, 8192);
    GuardedResponse r;
    EXPECT_EQ(send("AT+CREG?", r), ORV_AT_OUTCOME_TIMEOUT);
    t.join();
    EXPECT_EQ(r.text(), "TIMEOUT");
    EXPECT_TRUE(r.guard_intact());
}

TEST_F(AtChannelTest, HangUpGivesEmptyAndTheNextCommandOpensThePortAgain) {
    GuardedResponse r;
    {
        PtyModem modem;
        modem.use();
        std::thread t([&] {
            read_exactly(modem.master(), 9);
            write_chunked(modem.master(), "\r\n+CPIN");
            modem.hang_up();  // gone in the middle of the answer
        });
        EXPECT_EQ(send("AT+CPIN?", r), ORV_AT_OUTCOME_NO_PORT);
        t.join();
        EXPECT_EQ(r.text(), "");
        EXPECT_EQ(r.head_outcome(), ORV_AT_OUTCOME_NO_PORT);
    }
    // The modem comes back (as a re-enumerated USB modem would, possibly at another path).
    PtyModem back;
    back.use();
    std::thread t = back.serve("AT+CPIN?\r", "\r\n+CPIN: READY\r\n\r\nOK\r\n");
    EXPECT_EQ(send("AT+CPIN?", r), ORV_AT_OUTCOME_ANSWER);
    t.join();
    EXPECT_EQ(r.text(), "\r\n+CPIN: READY\r\n\r\nOK\r\n");

    // A hang-up while idle is found before the next command is written, which then goes to the
    // port that is there now.
    back.hang_up();
    PtyModem again;
    again.use();
    std::thread u = again.serve("AT\r", "\r\nOK\r\n");
    EXPECT_EQ(send("AT", r), ORV_AT_OUTCOME_ANSWER);
    u.join();
    EXPECT_EQ(r.text(), "\r\nOK\r\n");
}

TEST_F(AtChannelTest, PortThatCannotBeOpenedGivesEmpty) {
    const std::string closed_port = [] {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        close(s);  // nobody listens on this port now
        return "tcp:127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }();
    const std::string missing = path("no-such-tty");
    const char* ports[] = {missing.c_str(), closed_port.c_str(), "tcp:127.0.0.1", "tcp::5000"};
    for (const char* port : ports) {
        SCOPED_TRACE(port);
        setenv("ORV_MODEM", port, 1);
        GuardedResponse r;
        std::strcpy(r.res.aucDataBuf, "stale");
        EXPECT_EQ(ClientSendCmd("AT", &r.res, 10000), ORV_AT_OUTCOME_NO_PORT);
        EXPECT_EQ(r.text(), "");
    }
}

TEST_F(AtChannelTest, TcpModemAnswersAndIsReconnectedAfterItCloses) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    setenv("ORV_MODEM", ("tcp:127.0.0.1:" + std::to_string(ntohs(a.sin_port))).c_str(), 1);

    std::string first;
    std::string second;
    std::promise<void> dropped;
    std::thread server([&] {
        // One connection per command: the modem drops the link after each answer.
        int c = accept_within(listener);
        first = read_exactly(c, 8);
        write_chunked(c, "AT+CGSN\r\r\n490154203237518\r\n\r\nOK\r\n", 5);
        close(c);
        dropped.set_value();
        c = accept_within(listener);
        second = read_exactly(c, 9);
        write_chunked(c, "\r\n+CME ERROR: SIM busy\r\n");
        close(c);
    });
    GuardedResponse r;
    EXPECT_EQ(send("AT+CGSN", r), ORV_AT_OUTCOME_ANSWER);
    EXPECT_EQ(r.text(), "\r\n490154203237518\r\n\r\nOK\r\n");
    dropped.get_future().wait();
    EXPECT_EQ(send("AT+CPIN?", r), ORV_AT_OUTCOME_ANSWER);
    EXPECT_EQ(r.text(), "\r\n+CME ERROR: SIM busy\r\n");
    server.join();
    close(listener);
    EXPECT_EQ(first, "AT+CGSN\r");
    EXPECT_EQ(second, "AT+CPIN?\r");
}

TEST(AtAnswerText, NormalisationIsBoundedByTheOutputSize) {
    struct Row {
        std::size_t size;
        std::string expected;
    };
    const Row rows[] = {{1, ""}, {3, "\r\n"}, {6, "\r\nOK\r"}, {64, "\r\nOK\r\n"}};
    for (const Row& row : rows) {
        char out[80];
        std::memset(out, 'x', sizeof out);
        const std::size_t n = at_channel::normalise_answer("AT\r\r\nOK\r\n", "AT", out, row.size);
        EXPECT_EQ(std::string(out, n), row.expected);
        EXPECT_EQ(out[n], '\0');
        EXPECT_EQ(out[row.size], 'x');  // nothing written past the given size
    }
}

}  // namespace
}  // namespace orv::test
