// The AT channel against a modem played by the test on the master side of a pty pair. (A TCP
// modem that goes away and comes back on its port: the end-to-end tests.)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/at_channel/at_channel_internal.h"
#include "platform/orv_at.h"
#include "tests/platform/platform_fixture.h"

namespace orv::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Reads exactly `n` bytes from `fd` (never more), giving up after `timeout_ms`.
std::string read_exactly(int fd, std::size_t n, int timeout_ms = 3000) {
    std::string got;
    const auto end = Clock::now() + milliseconds(timeout_ms);
    for (char buf[4096]; got.size() < n && Clock::now() < end;) {
        pollfd p{fd, POLLIN, 0};
        const ssize_t r = poll(&p, 1, 50) == 1 && (p.revents & POLLIN) != 0
                              ? read(fd, buf, std::min(sizeof buf, n - got.size()))
                              : 0;
        got.append(buf, static_cast<std::size_t>(std::max<ssize_t>(r, 0)));
    }
    return got;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    while (times-- > 0) {
        out += text;
    }
    return out;
}

// Writes `bytes`, `chunk` bytes at a time with a short pause between (0: all at once), as a
// serial port delivers them.
void write_chunked(int fd, const std::string& bytes, std::size_t chunk = 0) {
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t w =
            write(fd, bytes.data() + at, std::min(chunk ? chunk : bytes.size(), bytes.size() - at));
        if (w <= 0) {
            return;
        }
        at += static_cast<std::size_t>(w);
        std::this_thread::sleep_for(std::chrono::microseconds(chunk == 0 ? 0 : 1000));
    }
}

// The address of a TCP port on 127.0.0.1 that nobody listens on (bound, then closed again).
std::string closed_tcp_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return "tcp:127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

// A modem on the master side of a pty pair. The pair starts with the terminal defaults (echo,
// canonical input, CR turned into LF): only the channel's own line settings make it a raw line.
// The slave side stays open here too, so the test can tell when bytes have reached its queue.
class PtyModem {
  public:
    PtyModem() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            setenv("ORV_MODEM", name, 1);
        }
    }
    ~PtyModem() {
        hang_up();
        close(slave_);
    }
    int master() const { return master_; }
    void hang_up() { close(std::exchange(master_, -1)); }
    bool slave_readable() const {
        pollfd p{slave_, POLLIN, 0};
        return poll(&p, 1, 2000) == 1;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
};

// The response record with guard bytes behind it, to catch any write past its end.
struct GuardedResponse {
    orv_at_response res;
    unsigned char guard[64];
    std::string text() const { return std::string(res.aucDataBuf); }
    std::int32_t head(int at) const {  // 0: text length, 4: outcome
        std::int32_t v;
        std::memcpy(&v, res.aucHead + at, sizeof v);
        return v;
    }
};

int send(const char* cmd, GuardedResponse& r, int wait_ms = 10000) {
    std::memset(&r, 0x5a, sizeof r);
    return ClientSendCmd(cmd, &r.res, wait_ms);
}

// One command to `modem`, which checks that exactly the command and one line end came, then
// answers `answer`: the outcome, the head and the guard checked.
std::string exchange(PtyModem& modem, const char* cmd, const std::string& answer,
                     int expect = ORV_AT_OUTCOME_ANSWER, std::size_t chunk = 0,
                     int wait_ms = 10000) {
    GuardedResponse r;
    std::string line(cmd);
    line += line.back() == '\r' || line.back() == '\n' ? "" : "\r";
    std::thread t([&] {
        EXPECT_EQ(read_exactly(modem.master(), line.size()), line);
        write_chunked(modem.master(), answer, chunk);
    });
    EXPECT_EQ(send(cmd, r, wait_ms), expect) << cmd;
    t.join();
    EXPECT_EQ(std::count(r.guard, r.guard + 64, 0x5a), 64);
    EXPECT_EQ(r.head(0), static_cast<std::int32_t>(r.text().size()));
    EXPECT_EQ(r.head(4), expect);
    return r.text();
}

using AtChannelTest = PlatformTest;

TEST_F(AtChannelTest, AnswersArriveCleanedUpToTheirFinalLine) {
    struct Row {
        const char* command;
        std::string answer;  // what the modem sends back, echo included
        std::size_t chunk;   // 0: all at once
        std::string expected;
    };
    const std::string ready = "\r\n+CPIN: READY\r\n\r\nOK\r\n";
    const Row rows[] = {
        {"AT+CPIN?", "AT+CPIN?\r" + ready, 2, ready},  // echo ending in CR CR LF
        {"AT", "AT\rOK\r\n", 0, "\r\nOK\r\n"},         // answer without its own line start
        {"AT+CIMI", "\n0010\n\nOK\n", 0, "\r\n0010\r\n\r\nOK\r\n"},  // bare LF
        {"AT+CPIN?", "\r\n+CME ERROR: 10\r\n", 4, "\r\n+CME ERROR: 10\r\n"},
        {"AT+COPS?", "\r\nOKAY\r\n\r\nERROR 5\r\n\r\n+CME ERROR\r\n\r\nOK\r\n", 1,
         "\r\nOKAY\r\n\r\nERROR 5\r\n\r\n+CME ERROR\r\n\r\nOK\r\n"},  // look like finals
        {"AT", "\r\nOK\r\n\r\n+CREG: 1\r\n", 0, "\r\nOK\r\n"},        // unsolicited after final
        // unsolicited reports before and inside the answer, echo or not
        {"AT+CPIN?", "AT+CPIN?\r\r\n+CGEV: ME PDN ACT 1\r\n" + ready, 3, ready},
        {"AT+CIMI", "\r\n0010\r\n\r\nRING\r\n\r\n+CTZV: +08,0\r\n\r\nOK\r\n", 2,
         "\r\n0010\r\n\r\nOK\r\n"},
        {"AT+CIMI", "\r\n+CMT: ,24\r\nOK\r\n\r\n0010\r\n\r\nOK\r\n", 1,
         "\r\n0010\r\n\r\nOK\r\n"},  // a message whose text reads OK
        {"at+creg?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n", 0,
         "\r\n+CREG: 0,1\r\n\r\nOK\r\n"},                        // asked for, in lower case
        {"AT+CGSN", "\r4901\r\rOK\r", 0, "\r\n4901\r\nOK\r\n"},  // CR alone, done at the CR
        {"AT+CGSN",
         std::string("\r\n49\0"
                     "01\r\n\0\r\nOK\r\n",
                     16),
         3, "\r\n4901\r\n\r\nOK\r\n"},  // NUL noise
        // A modem finishing its SIM set-up talks inside the answers: start-up captures of a
        // SIM7600 (Xinyuan-LilyGO/T-SIM7600X pull request 41), a SIM800L
        // (Seeed-Studio/GPRS_SIM900 issue 39), a MediaTek module's *ATREADY (espressif/
        // esp-protocols issue 304). Reports go by their shape, the words by the table.
        {"AT+CIMI", "\r\nRDY\r\n\r\n+CPIN: READY\r\n\r\n0010\r\n\r\nSMS DONE\r\n\r\nOK\r\n", 2,
         "\r\n0010\r\n\r\nOK\r\n"},
        {"AT+CGSN", "\r\nCall Ready\r\n\r\n+CGSN: 4901\r\n\r\nSMS Ready\r\n\r\nOK\r\n", 0,
         "\r\n+CGSN: 4901\r\n\r\nOK\r\n"},  // its own report kept
        {"AT+EPINC", "\r\n*ATREADY: 1\r\n\r\n+EPINC: 3, 10\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n", 1,
         "\r\n+EPINC: 3, 10\r\n\r\nOK\r\n"},
        // A set command without an information response asks for no report, its own name's
        // neither; one with a response keeps it.
        {"AT+CPIN=\"1234\"", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n\r\n+CPIN: READY\r\n", 0,
         "\r\nOK\r\n"},
        {"AT+CRSM=176,12258,0,0,10",
         "\r\n+QUSIM: 1\r\n\r\n+CRSM: 144,0,\"98\"\r\n\r\n^SIMST: 1\r\n\r\nOK\r\n", 0,
         "\r\n+CRSM: 144,0,\"98\"\r\n\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+PACSP0\r\n\r\n#QSS: 1\r\n" + ready, 0, ready},  // asked for: kept
        {"AT+CPIN?\r\n", ready, 0, ready},  // a command's own line end is kept
        {"AT+CPIN?\r", "AT+CPIN?\r" + ready, 0, ready}};
    PtyModem modem;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.answer);
        EXPECT_EQ(exchange(modem, row.command, row.answer, ORV_AT_OUTCOME_ANSWER, row.chunk),
                  row.expected);
        EXPECT_EQ(read_exactly(modem.master(), 1, 30), "");  // no doubled line end went out
    }
}

TEST_F(AtChannelTest, UnsolicitedBytesWaitingBeforeTheCommandAreDiscarded) {
    PtyModem modem;
    exchange(modem, "AT", "\r\nOK\r\n");  // the port is open from here on
    // More than one read's worth waits before the command.
    write_chunked(modem.master(), repeat("\r\n+CREG: 1\r\n\r\nRING\r\n\r\nOK\r\n", 100));
    ASSERT_TRUE(modem.slave_readable());
    std::this_thread::sleep_for(milliseconds(50));  // all of it is queued
    EXPECT_EQ(exchange(modem, "AT+CGSN", "\r\n4901\r\n\r\nOK\r\n"), "\r\n4901\r\n\r\nOK\r\n");
}

// The wait is 500 ms here. An answer 200 ms late (within half a wait) is waited for and dropped
// before the next command goes out; after one that never comes the next command is held for half
// a wait and then sent all the same; the same command sent again after its timeout is not held.
TEST_F(AtChannelTest, ALateAnswerNeverPassesForTheNextCommandsAnswerAndCostsItNothing) {
    setenv("ORV_AT_WAIT_SCALE", "0.05", 1);
    PtyModem modem;
    const std::string imsi = "\r\n001010123456789\r\n\r\nOK\r\n";
    const std::string imei = "\r\n4901\r\n\r\nOK\r\n";
    std::thread t([&] {
        EXPECT_EQ(read_exactly(modem.master(), 8), "AT+CIMI\r");
        std::this_thread::sleep_for(milliseconds(700));
        write_chunked(modem.master(), imsi);
        EXPECT_EQ(read_exactly(modem.master(), 8), "AT+CGSN\r");
        write_chunked(modem.master(), imei);
        EXPECT_EQ(read_exactly(modem.master(), 8), "AT+CIMI\r");  // never answered
        EXPECT_EQ(read_exactly(modem.master(), 8), "AT+CGSN\r");  // sent after the hold
        write_chunked(modem.master(), imei);
        EXPECT_EQ(read_exactly(modem.master(), 16), "AT+CGSN\rAT+CGSN\r");  // timeout, repeat
        write_chunked(modem.master(), imei);
    });
    GuardedResponse r;
    const std::pair<const char*, int> steps[] = {
        {"AT+CIMI", ORV_AT_OUTCOME_TIMEOUT}, {"AT+CGSN", ORV_AT_OUTCOME_ANSWER},
        {"AT+CIMI", ORV_AT_OUTCOME_TIMEOUT}, {"AT+CGSN", ORV_AT_OUTCOME_ANSWER},
        {"AT+CGSN", ORV_AT_OUTCOME_TIMEOUT}, {"AT+CGSN", ORV_AT_OUTCOME_ANSWER}};
    int step = 0;
    for (const auto& [cmd, outcome] : steps) {
        EXPECT_EQ(send(cmd, r), outcome) << "step " << step;
        if (outcome == ORV_AT_OUTCOME_ANSWER) {
            EXPECT_EQ(r.text(), imei) << "step " << step;
        }
        ++step;
    }
    t.join();
}

// An answer without a final line within the scaled wait (wait 0 is the default 5000 ms), one
// past the record, and an endless one: the record stays in bounds and the next command in step.
TEST_F(AtChannelTest, SilentOversizedOrEndlessAnswersEndInTimeoutOrAreCut) {
    PtyModem modem;
    const std::tuple<int, const char*, std::string, int> silent[] = {
        {10000, "0.02", "\r\n+CPIN: READY\r\n", 190}, {0, "0.06", "", 290}};
    for (const auto& [wait_ms, scale, partial, min_ms] : silent) {
        setenv("ORV_AT_WAIT_SCALE", scale, 1);
        const auto start = Clock::now();
        EXPECT_EQ(exchange(modem, "AT+CPIN?", partial, ORV_AT_OUTCOME_TIMEOUT, 0, wait_ms),
                  "TIMEOUT");
        EXPECT_GE(Clock::now() - start, milliseconds(min_ms)) << scale;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << scale << ": the wait ran on";
    }
    at_channel::reset();  // nothing owed from here
    setenv("ORV_AT_WAIT_SCALE", "0.2", 1);
    const std::string cut =
        exchange(modem, "AT+CRSM=176", "\r\n" + std::string(20000, 'A') + "\r\n\r\nOK\r\n",
                 ORV_AT_OUTCOME_ANSWER, 4096);
    EXPECT_EQ(cut, "\r\n" + std::string(ORV_AT_DATA_SIZE - 3, 'A'));
    // A command longer than the port takes at once goes out in pieces as the modem reads it.
    const std::string huge = "AT+CRSM=214,28486,0,0,\"" + std::string(200000, '4') + "\"";
    EXPECT_EQ(exchange(modem, huge.c_str(), "\r\nOK\r\n"), "\r\nOK\r\n");
    setenv("ORV_AT_WAIT_SCALE", "0.03", 1);
    const std::string flood = repeat("+CREG: 1,\"00C3\",\"0000ABCD\"\r\n", 4000);  // no final
    EXPECT_EQ(exchange(modem, "AT+CREG?", flood, ORV_AT_OUTCOME_TIMEOUT, 8192), "TIMEOUT");
}

// The channel's own log: the message of each line, after "orv_at:LINE ".
std::vector<std::string> channel_log(const std::string& path) {
    std::vector<std::string> messages;
    std::istringstream lines(read_file(path));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t module = line.find(" orv_at:");
        const std::size_t text = module == std::string::npos ? module : line.find(' ', module + 1);
        messages.push_back(text == std::string::npos ? line : line.substr(text + 1));
    }
    return messages;
}

// Each port that cannot be used gives the empty answer, and its log line names the port and the
// system's reason once, however many commands meet it; the port's return is logged once.
TEST_F(AtChannelTest, APortThatHangsUpOrCannotBeOpenedGivesEmptyAndSaysWhyUntilOneIsThere) {
    std::vector<std::string> expected;
    {
        PtyModem modem;
        std::thread t([&] {
            read_exactly(modem.master(), 9);
            write_chunked(modem.master(), "\r\n+CPIN");
            modem.hang_up();  // gone in the middle of the answer
        });
        GuardedResponse r;
        EXPECT_EQ(send("AT+CPIN?", r), ORV_AT_OUTCOME_NO_PORT);
        t.join();
        EXPECT_EQ(r.text(), "");
        EXPECT_EQ(r.head(4), ORV_AT_OUTCOME_NO_PORT);
    }
    const std::string closed_port = closed_tcp_port();
    const std::string missing = path("no-such-tty");
    const std::pair<std::string, std::string> ports[] = {
        {missing, "cannot open " + missing + ": No such file or directory"},
        {closed_port, "cannot connect to " + closed_port + ": Connection refused"},
        {"tcp:127.0.0.1", "cannot use tcp:127.0.0.1: not tcp:HOST:PORT"},
        {"tcp::5000", "cannot use tcp::5000: not tcp:HOST:PORT"}};
    for (const auto& [port, line] : ports) {
        setenv("ORV_MODEM", port.c_str(), 1);
        for (int i = 0; i < 2; ++i) {
            GuardedResponse r;
            EXPECT_EQ(send("AT", r), ORV_AT_OUTCOME_NO_PORT) << port;
            EXPECT_EQ(r.text(), "") << port;
        }
        expected.push_back(line);
    }
    // The modem comes back (as a re-enumerated USB modem would, possibly at another path).
    PtyModem back;
    EXPECT_EQ(exchange(back, "AT", "\r\nOK\r\n"), "\r\nOK\r\n");
    expected.push_back(std::string(getenv("ORV_MODEM")) + " works again");
    // A hang-up while idle is found before the next command is written, which then goes to the
    // port that is there now.
    back.hang_up();
    PtyModem again;
    EXPECT_EQ(exchange(again, "AT", "\r\nOK\r\n"), "\r\nOK\r\n");
    expected.push_back(std::string(getenv("ORV_MODEM")) + " works again");
    // Another program holds the port's lock: the channel keeps off it until it is released.
    at_channel::reset();
    const int other = open(getenv("ORV_MODEM"), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    GuardedResponse r;
    EXPECT_EQ(send("AT", r), ORV_AT_OUTCOME_NO_PORT);
    expected.push_back(std::string("cannot lock ") + getenv("ORV_MODEM") +
                       ": in use by another program");
    close(other);
    EXPECT_EQ(exchange(again, "AT", "\r\nOK\r\n"), "\r\nOK\r\n");
    expected.push_back(std::string(getenv("ORV_MODEM")) + " works again");
    std::vector<std::string> logged = channel_log(path("log/orv_at.log"));
    // The hang-ups are logged with whichever pty path the variable named then.
    logged.erase(std::remove_if(logged.begin(), logged.end(),
                                [](const std::string& m) {
                                    return m.starts_with("cannot read") && m.ends_with("hung up");
                                }),
                 logged.end());
    EXPECT_EQ(logged, expected);
}

}  // namespace
}  // namespace orv::test
