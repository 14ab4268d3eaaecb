// One whole working life of the daemon, run under the command given on the command line (a
// tracer: check_syscalls.sh gives strace), so that every system call the daemon makes in service
// is recorded: bring-up on a serial line (a pty), every request, a line that hangs up, the log
// rotated by size and moved away by someone else, the field trace on, then on a TCP modem a store
// that is not a database and is removed, and the modem going away and coming back on its port.
// Each step is checked to have had its effect, so that a recording that misses one says so.
// Runs the daemon as an unprivileged user when started as root, as in service.
//
// Usage: orv_syscall_session WRAPPER [ARG...]; exits 0 when every step had its effect.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/rig/rig.h"
#include "wire/mdm_msg.h"

namespace {

using namespace orv::e2e;
using namespace orv::msg;

constexpr const char* kIccid = "8944123456789012345F";

// A step without its effect ends the session (the rig stops the daemon and the modem).
void check(bool ok, const std::string& what) {
    if (!ok) {
        throw std::runtime_error(what);
    }
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Sends a request and waits for its last log line in the current log file.
void serve(Rig& rig, std::uint32_t id, const std::string& payload = {}) {
    check(rig.serve(id, payload, 20s), std::string(msg_name(id)) + " was not served");
}

// The ICCID request, asked until it is published again (a line that came back may take one).
bool served_again(Rig& rig) {
    for (int i = 0; i < 5; ++i) {
        rig.unset("sim_iccid");
        rig.send(ORV_MDM_GET_ICCID);
        if (rig.wait_store("sim_iccid", kIccid, 3s)) {
            return true;
        }
    }
    return false;
}

std::string text_field(const std::string& text, std::size_t width) {
    std::string field = text;
    field.resize(width, '\0');
    return field;
}

void run(const Lines& wrapper) {
    Rig rig;
    rig.run_unprivileged();
    rig.set_daemon_wrapper(wrapper);
    std::string version(version_record::kSize, '\0');
    version.replace(version_record::kHardwareVersion.offset, 4, "HW.2");
    version.replace(version_record::kModelName.offset, 6, "ORV-M1");
    rig.write_factory_item(2000, version);
    rig.write_factory_item(2301, "\x01");  // the language follows the SIM: the device database
    std::ofstream(rig.path("pwm")) << "present=1\nlevel=3\npercent=80\ncharging=1\n";
    const std::vector<std::string> env = {"ORV_AT_WAIT_SCALE=0.02",
                                          "ORV_PWM_SIM=" + rig.path("pwm"),
                                          "ORV_TRACE=" + rig.path("trace.jsonl")};

    // Bring-up on a serial line; every request, then those that take a payload with one (PIN lock
    // on and off, PIN changed and back, PIN entry, network unlock, radio off and on) and one the
    // daemon does not know.
    rig.start({}, env);
    const std::string pin = text_field("1234", 10);
    const struct {
        std::uint32_t id;
        std::string payload;
    } requests[] = {
        {ORV_MDM_PIN_MODE, std::string(12, '\0') + le32(pin_mode::kLockOn) + pin},
        {ORV_MDM_PIN_MODE, std::string(12, '\0') + le32(pin_mode::kQuery) + pin},
        {ORV_MDM_CHANGE_PIN, std::string(10, '\0') + pin + text_field("4321", 10)},
        {ORV_MDM_CHANGE_PIN, std::string(10, '\0') + text_field("4321", 10) + pin},
        {ORV_MDM_PIN_MODE, std::string(12, '\0') + le32(pin_mode::kLockOff) + pin},
        {ORV_MDM_VERIFY_PIN, "1234"},
        {ORV_MDM_NET_UNLOCK, "12345678"},
        {ORV_MDM_SET_MODEM_MODE, le32(1)},  // radio off
        {ORV_MDM_SET_MODEM_MODE, le32(0)},  // and on
        {99, ""},
    };
    for (std::uint32_t id = 0; id < kMsgCount; ++id) {
        serve(rig, id);
    }
    for (const auto& r : requests) {
        serve(rig, r.id, r.payload);
    }
    const struct {
        const char* name;
        const char* value;  // nullptr: any
    } published[] = {
        {"imei", "356938035643809"},     {"sim_iccid", kIccid},
        {"sim_imsi", "234150123456789"}, {"msisdn", nullptr},
        {"hardware_version", "HW.2"},    {"model_name", "ORV-M1"},
        {"battery_vol_percent", "80"},   {"battery_charging", "1"},
    };
    for (const auto& p : published) {
        const auto stored = rig.store(p.name);
        check(stored && (p.value == nullptr || *stored == p.value),
              std::string(p.name) + " is not published as it should be");
    }

    // The line hangs up (the modem opens a new pty behind the same link).
    rig.modem_ctl({"hangup"});
    check(served_again(rig), "not served after the line hung up");

    // The log passes its size limit and is rotated; then someone moves it away.
    const std::string log = rig.path("log/orv_mdm.log");
    std::ofstream(log, std::ios::app) << std::string(1100 * 1024, 'x') << '\n';
    // The log looks at its file again within a second of its last look: IMEI requests until
    // one of them has met the change.
    const auto requests_until = [&](const std::function<bool()>& met) {
        for (int i = 0; i < 100; ++i) {
            rig.send(ORV_MDM_GET_IMEI);
            if (rig.wait_for(met, 100ms)) {
                return true;
            }
        }
        return false;
    };
    check(requests_until([&] { return exists(log + ".1"); }) &&
              rig.wait_for([&] { return count(rig.log_messages(), kRequestDone) > 0; }),
          "the log was not rotated");
    check(rename(log.c_str(), (log + ".moved").c_str()) == 0, "cannot move the log");
    check(requests_until([&] { return count(rig.log_messages(), kRequestDone) > 0; }),
          "no new log after it was moved away");

    // On TCP from here (a pty stays exclusive while the modem holds it, so a daemon started again
    // could not open it): a store that is not a database when the daemon starts, then removed.
    rig.stop_daemon();
    rig.stop_modem();
    rig.start_modem({.tcp_port = 0});
    const int port = rig.modem_port();
    for (const char* file : {"nvram.db-wal", "nvram.db-shm"}) {
        unlink(rig.path(file).c_str());
    }
    std::ofstream(rig.path("nvram.db")) << std::string(8192, 'z');
    rig.start_daemon(env);
    serve(rig, ORV_MDM_GET_PIN_STATUS);
    check(rig.wait_for([&] { return exists(rig.path("log/orv_nvram.log")); }),
          "the store's failure was not logged");
    unlink(rig.path("nvram.db").c_str());
    check(served_again(rig), "not served after the store was removed");

    // The modem goes away and comes back on the same port.
    rig.stop_modem();
    serve(rig, ORV_MDM_GET_ICCID);  // ends with the empty answer
    rig.start_modem({.tcp_port = port});
    check(served_again(rig), "not served after the TCP modem came back");
    rig.stop_daemon();

    std::ifstream trace(rig.path("trace.jsonl"));
    check(trace.peek() != std::char_traits<char>::eof(), "the field trace is empty");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: orv_syscall_session WRAPPER [ARG...]\n", stderr);
        return 2;
    }
    try {
        run(Lines(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "session: %s\n", e.what());
        return 1;
    }
    std::puts("session: every step had its effect");
    return 0;
}
