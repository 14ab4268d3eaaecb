// End-to-end rig of the e2e tests and the load benchmark: runs the real daemon (or another program
// in its place) against the real virtual modem on a pty or TCP, in a temporary run folder, and
// looks at what a user would: the store through a second SQLite connection, the controller
// notifications on a real socket, the log file and the commands the modem received.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/client/orv_client.h"

namespace orv::e2e {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

struct ModemOptions {
    std::string profile;            // TOML text; empty: the modem's built-in default
    std::vector<std::string> args;  // further command-line options
    // Listen on this TCP port of 127.0.0.1 instead of a pty (0: a free port); -1: a pty.
    int tcp_port = -1;
};

class Rig {
  public:
    Rig();
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Factory items before the daemon starts (client::write_item, as orv_factory writes them).
    void write_factory_item(int id, const std::string& bytes);

    void start_modem(const ModemOptions& options = {});
    // Ends the virtual modem (its --link and control socket go away with it).
    void stop_modem();
    // The TCP port of a modem started with tcp_port, else -1.
    int modem_port() const { return modem_port_; }
    // What the daemon is given as ORV_MODEM: the pty link or "tcp:127.0.0.1:PORT".
    std::string modem_address() const;

    // The daemon's executable in the build folder ("orv_mdm" unless changed).
    void set_daemon_binary(const std::string& name) { daemon_binary_ = name; }
    // Starts the daemon under this command (a tracer such as strace, its program by full path),
    // which is given the daemon's path as its last argument. Set before starting it.
    void set_daemon_wrapper(Lines command) { daemon_wrapper_ = std::move(command); }
    // Runs `fn` in the daemon's and the modem's processes just before they exec (limits,
    // signal dispositions). Set before starting them.
    void set_child_setup(std::function<void()> fn) { child_setup_ = std::move(fn); }
    // When the tests run as root: hands the rig's folder to an unprivileged user and runs the
    // daemon and the modem as that user, so that file modes bind them as they bind a daemon in
    // service. No effect for a test run as an ordinary user. Call before starting them.
    void run_unprivileged();
    // Starts the daemon with this descriptor as its standard output (the caller keeps it open
    // until then), instead of the rig's output file. Call before starting it.
    void daemon_stdout(int fd) { stdout_fd_ = fd; }
    // Starts the modem and the daemon and waits until the bring-up's commands are sent.
    void start(const ModemOptions& modem = {}, const std::vector<std::string>& env = {});
    // Starts the daemon and waits until its request socket exists. Extra environment as NAME=VALUE.
    void start_daemon(const std::vector<std::string>& env = {});
    // Runs a second daemon in the same folders and returns its exit status.
    int run_second_daemon();
    void stop_daemon();
    bool daemon_running();
    pid_t daemon_pid() const { return daemon_pid_; }
    // Kills the daemon with `sig` (SIGKILL by default) and reaps it.
    void kill_daemon(int sig = 9);

    // Sends one request datagram (identifier then payload) to the daemon.
    void send(std::uint32_t id, const std::string& payload = {});
    void send_raw(const std::string& datagram);
    // Sends one request and waits until the daemon has served it (its closing log line,
    // kRequestDone); false when it did not end in time.
    bool serve(std::uint32_t id, const std::string& payload = {},
               std::chrono::milliseconds timeout = 10s);

    // One control command to the virtual modem, word by word; throws when it fails.
    void modem_ctl(const std::vector<std::string>& words);

    // The store is reached as the tools reach it (client::Store). From now on store() and
    // unset() go through one kept connection that writes without waiting for the disk (for
    // measurements: a fresh connection per call costs more than a request). Not for a test that
    // replaces or damages the store file.
    void keep_store_open();
    // Value of a store entry as another process sees it; nullopt when never written.
    std::optional<std::string> store(const std::string& name);
    // Every entry of the store; empty when there is none.
    std::map<std::string, std::string> store_values();
    // Removes a store entry, as another process may.
    void unset(const std::string& name);
    // Waits until `pred` holds (asked every `every`) or `timeout` passes; returns whether it held.
    bool wait_for(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s,
                  std::chrono::microseconds every = 5ms);
    bool wait_store(const std::string& name, const std::string& value,
                    std::chrono::milliseconds timeout = 10s);

    // Commands the modem received, in order; commands(): those after the bring-up's
    // (msg::kBringUpCommands).
    Lines journal();
    Lines commands();
    // Log messages (the text after "MODULE:LINE "), in order.
    Lines log_messages();
    bool wait_log(const std::string& message, std::chrono::milliseconds timeout = 10s);

    // Controller notifications received so far, as raw datagrams.
    std::vector<std::string> notifications();
    // Waits until `count` notifications have arrived; returns all received, one readable line
    // each ("pin_status kind=0 state=\"READY\"").
    Lines wait_notes(std::size_t count, std::chrono::milliseconds timeout = 10s);

  private:
    std::vector<std::string> daemon_env(const std::vector<std::string>& extra) const;
    // The kept connection, or `fresh` opened on the store; null when the store cannot be opened.
    client::Store* store_connection(client::Store& fresh);
    std::string dir_;
    int modem_port_ = -1;
    bool unprivileged_ = false;
    int stdout_fd_ = -1;
    std::string daemon_binary_ = "orv_mdm";
    Lines daemon_wrapper_;
    std::function<void()> child_setup_;
    pid_t modem_pid_ = -1;
    pid_t daemon_pid_ = -1;
    int mc_fd_ = -1;
    std::vector<std::string> received_;
    client::Store kept_store_;
};

// What the daemon logs as each request ends.
inline constexpr const char* kRequestDone = "MODEM: num=33";

std::string bin_path(const std::string& name);
// The number after "KEY:" in /proc/PID/FILE ("VmRSS" in "status", "Pss" in "smaps_rollup",
// "write_bytes" in "io"); -1 when there is none.
long proc_field(pid_t pid, const std::string& file, const std::string& key);
// The user and group that run_unprivileged() hands the rig to.
inline constexpr unsigned kUnprivilegedId = 65534;
std::string le32(std::uint32_t v);
// How often `s` occurs in `lines`.
std::size_t count(const Lines& lines, const std::string& s);

}  // namespace orv::e2e
