#include "tools/rig/rig.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "wire/bringup.h"

namespace orv::e2e {

namespace {

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_file, const std::function<void()>& setup = {},
            bool unprivileged = false, int stdout_fd = -1) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setup) {
            setup();
        }
        if (unprivileged && (setgroups(0, nullptr) != 0 || setgid(kUnprivilegedId) != 0 ||
                             setuid(kUnprivilegedId) != 0)) {
            _exit(126);
        }
        const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
            close(out);
        }
        if (stdout_fd >= 0) {
            dup2(stdout_fd, 1);
        }
        for (const std::string& e : env) {
            putenv(const_cast<char*>(e.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());  // a wrapper may be named without its folder
        _exit(127);
    }
    return pid;
}

// Runs a program to its end; its exit status, -1 when it did not exit.
int run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
        const std::string& out_file) {
    int status = 0;
    waitpid(spawn(argv, env, out_file), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void stop(pid_t& pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::string bin_path(const std::string& name) {
    return std::string(ORV_BIN_DIR) + "/" + name;
}

std::size_t count(const Lines& lines, const std::string& s) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), s));
}

std::string le32(std::uint32_t v) {
    return client::make_datagram(v, "");
}

Rig::Rig() {
    char tmpl[] = "/tmp/orv_e2e_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = tmpl;
    mkdir(path("run").c_str(), 0750);
    mkdir(path("factory").c_str(), 0750);
    // The controller's socket, bound before the daemon starts so no notification is lost.
    std::string error;
    mc_fd_ = client::bind_datagram_socket(path("run/") + msg::kControllerSocketName, error);
    if (mc_fd_ < 0) {
        throw std::runtime_error(error);
    }
}

Rig::~Rig() {
    stop(daemon_pid_);
    stop(modem_pid_);
    if (mc_fd_ >= 0) {
        close(mc_fd_);
    }
    if (std::getenv("ORV_E2E_KEEP") == nullptr) {
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
}

void Rig::write_factory_item(int id, const std::string& bytes) {
    std::string error;
    if (!client::write_item(path("factory"), static_cast<unsigned>(id), bytes, error)) {
        throw std::runtime_error(error);
    }
    // An item is 0640, as orv_factory writes it: the daemon's user owns it as in service.
    if (unprivileged_ && chown(path("factory/" + std::to_string(id)).c_str(), kUnprivilegedId,
                               kUnprivilegedId) != 0) {
        throw std::runtime_error("cannot hand factory item " + std::to_string(id) + " over");
    }
}

void Rig::start_modem(const ModemOptions& options) {
    std::vector<std::string> argv = {bin_path("orv_modem_sim"), "--journal", path("journal"),
                                     "--control", path("modem.ctl")};
    if (options.tcp_port >= 0) {
        argv.insert(argv.end(), {"--listen", "tcp:127.0.0.1:" + std::to_string(options.tcp_port)});
    } else {
        argv.insert(argv.end(), {"--pty", "--link", path("modem")});
    }
    if (!options.profile.empty()) {
        std::ofstream(path("profile.toml")) << options.profile;
        argv.insert(argv.end(), {"--profile", path("profile.toml")});
    }
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    // A fresh output file, so that the port printed is this modem's.
    unlink(path("modem.out").c_str());
    modem_pid_ = spawn(argv, {}, path("modem.out"), child_setup_, unprivileged_);
    modem_port_ = -1;
    const bool up = wait_for([&] {
        if (!exists(path("modem.ctl")) || options.tcp_port < 0) {
            return exists(path("modem.ctl")) && exists(path("modem"));
        }
        for (const std::string& line : read_lines(path("modem.out"))) {
            if (line.rfind("tcp: ", 0) == 0) {  // "tcp: 127.0.0.1:PORT"
                modem_port_ = std::atoi(line.c_str() + line.rfind(':') + 1);
                return true;
            }
        }
        return false;
    });
    if (!up) {
        throw std::runtime_error("the virtual modem did not come up");
    }
}

void Rig::stop_modem() {
    stop(modem_pid_);
}

std::string Rig::modem_address() const {
    return modem_port_ >= 0 ? "tcp:127.0.0.1:" + std::to_string(modem_port_) : path("modem");
}

void Rig::run_unprivileged() {
    if (geteuid() != 0) {
        return;
    }
    unprivileged_ = true;
    std::system(("chown -R " + std::to_string(kUnprivilegedId) + ":" +
                 std::to_string(kUnprivilegedId) + " '" + dir_ + "'")
                    .c_str());
}

std::vector<std::string> Rig::daemon_env(const std::vector<std::string>& extra) const {
    std::vector<std::string> env = {
        "ORV_RUN_DIR=" + path("run"),    "ORV_MODEM=" + modem_address(),
        "ORV_NVRAM=" + path("nvram.db"), "ORV_FACTORY_DIR=" + path("factory"),
        "ORV_LOG_DIR=" + path("log"),    "ORV_DEVICE_DB=" + bin_path("device.db"),
        "ORV_AT_WAIT_SCALE=0.05"};
    env.insert(env.end(), extra.begin(), extra.end());  // later entries win with putenv
    return env;
}

void Rig::start(const ModemOptions& modem, const std::vector<std::string>& env) {
    start_modem(modem);
    start_daemon(env);
    if (!wait_for([&] { return journal().size() >= msg::kBringUpCommands.size(); })) {
        throw std::runtime_error("the bring-up did not finish");
    }
}

Lines Rig::commands() {
    const Lines j = journal();
    const std::size_t n = msg::kBringUpCommands.size();
    return j.size() > n ? Lines(j.begin() + static_cast<std::ptrdiff_t>(n), j.end()) : Lines{};
}

void Rig::start_daemon(const std::vector<std::string>& env) {
    const std::vector<std::string> full = daemon_env(env);
    Lines argv = daemon_wrapper_;
    argv.push_back(bin_path(daemon_binary_));
    daemon_pid_ = spawn(argv, full, path("daemon.out"), child_setup_, unprivileged_, stdout_fd_);
    // A socket file left by a killed daemon exists before the new one binds: wait for a receiver.
    // Asked often, so that the time this call takes is the daemon's start-up time.
    const std::string socket = path("run/") + msg::kRequestSocketName;
    std::string error;
    const auto accepts = [&] {
        return client::probe_receiver(socket, error) == client::Receiver::kLive;
    };
    if (!wait_for([&] { return accepts() || !daemon_running(); }, 10s, 200us) ||
        !daemon_running()) {
        throw std::runtime_error(
            unprivileged_ ? "the daemon, run as uid " + std::to_string(kUnprivilegedId) +
                                ", did not create its socket (can that user reach " +
                                bin_path(daemon_binary_) +
                                "? a checkout in a 0700 folder such as mktemp -d's is not)"
                          : std::string("the daemon did not create its socket"));
    }
}

int Rig::run_second_daemon() {
    return run({bin_path("orv_mdm")}, daemon_env({"ORV_LOG_DIR=" + path("log2")}),
               path("daemon2.out"));
}

void Rig::stop_daemon() {
    stop(daemon_pid_);
}

void Rig::kill_daemon(int sig) {
    if (daemon_pid_ > 0) {
        kill(daemon_pid_, sig);
        waitpid(daemon_pid_, nullptr, 0);
        daemon_pid_ = -1;
    }
}

long proc_field(pid_t pid, const std::string& file, const std::string& key) {
    if (pid <= 0) {
        return -1;
    }
    for (const std::string& line : read_lines("/proc/" + std::to_string(pid) + "/" + file)) {
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
            line[key.size()] == ':') {
            return std::atol(line.c_str() + key.size() + 1);
        }
    }
    return -1;
}

bool Rig::daemon_running() {
    return daemon_pid_ > 0 && waitpid(daemon_pid_, nullptr, WNOHANG) == 0;
}

void Rig::send(std::uint32_t id, const std::string& payload) {
    send_raw(client::make_datagram(id, payload));
}

void Rig::send_raw(const std::string& datagram) {
    std::string error;
    if (client::send_datagram(path("run/") + msg::kRequestSocketName, datagram, error) !=
        client::SendResult::kSent) {
        throw std::runtime_error("request not sent: " + error);
    }
}

bool Rig::serve(std::uint32_t id, const std::string& payload, std::chrono::milliseconds timeout) {
    const std::size_t before = count(log_messages(), kRequestDone);
    send(id, payload);
    return wait_for([&] { return count(log_messages(), kRequestDone) > before; }, timeout);
}

void Rig::modem_ctl(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {bin_path("orv_modem_sim"), "ctl", path("modem.ctl")};
    argv.insert(argv.end(), words.begin(), words.end());
    if (run(argv, {}, path("ctl.out")) != 0) {
        throw std::runtime_error("modem control command failed: " + words.front());
    }
}
void Rig::keep_store_open() {
    std::string error, value;
    // A first read, so that the connection holds the WAL and shared-memory files from here on.
    if (!kept_store_.open(path("nvram.db"), false, error) ||
        !kept_store_.write_without_sync(error) ||
        kept_store_.get("", value, error) == client::Store::Found::kError) {
        throw std::runtime_error(error);
    }
}

client::Store* Rig::store_connection(client::Store& fresh) {
    std::string error;
    if (kept_store_.is_open()) {
        return &kept_store_;
    }
    return fresh.open(path("nvram.db"), false, error) ? &fresh : nullptr;
}

std::optional<std::string> Rig::store(const std::string& name) {
    client::Store fresh;
    client::Store* db = store_connection(fresh);
    std::string value, error;
    if (db == nullptr || db->get(name, value, error) != client::Store::Found::kYes) {
        return std::nullopt;
    }
    return value;
}

std::map<std::string, std::string> Rig::store_values() {
    client::Store fresh;
    client::Store* db = store_connection(fresh);
    std::vector<std::pair<std::string, std::string>> rows;
    std::string error;
    if (db == nullptr || !db->list(rows, error)) {
        return {};
    }
    return {rows.begin(), rows.end()};
}

void Rig::unset(const std::string& name) {
    client::Store fresh;
    client::Store* db = store_connection(fresh);
    std::string error;
    if (db != nullptr) {
        db->unset(name, error);
    }
}

bool Rig::wait_for(const std::function<bool()>& pred, std::chrono::milliseconds timeout,
                   std::chrono::microseconds every) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(every);
    }
    return true;
}

bool Rig::wait_store(const std::string& name, const std::string& value,
                     std::chrono::milliseconds timeout) {
    return wait_for([&] { return store(name) == value; }, timeout);
}

Lines Rig::journal() {
    Lines lines = read_lines(path("journal"));
    for (std::string& l : lines) {
        l.erase(l.find_last_not_of("\r\n") + 1);
    }
    return lines;
}

Lines Rig::log_messages() {
    Lines messages;
    for (const std::string& line : read_lines(path("log/orv_mdm.log"))) {
        // "YYYY-MM-DD HH:MM:SS.mmm LEVEL MODULE:LINE MESSAGE"
        std::size_t at = 0;
        for (int field = 0; field < 4 && at != std::string::npos; ++field) {
            at = line.find(' ', at);
            at += at == std::string::npos ? 0 : 1;
        }
        messages.push_back(at == std::string::npos ? line : line.substr(at));
    }
    return messages;
}

bool Rig::wait_log(const std::string& message, std::chrono::milliseconds timeout) {
    return wait_for([&] { return count(log_messages(), message) > 0; }, timeout);
}

std::vector<std::string> Rig::notifications() {
    char buf[256];
    for (ssize_t n; (n = recv(mc_fd_, buf, sizeof buf, MSG_DONTWAIT)) >= 0;) {
        received_.emplace_back(buf, static_cast<std::size_t>(n));
    }
    return received_;
}

Lines Rig::wait_notes(std::size_t count, std::chrono::milliseconds timeout) {
    wait_for([&] { return notifications().size() >= count; }, timeout);
    Lines lines;
    for (const std::string& d : received_) {
        lines.push_back(client::describe_notification(d));
    }
    return lines;
}

}  // namespace orv::e2e
