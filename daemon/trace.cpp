// The field trace. The daemon's calls into the platform libraries are bound at link time to the
// wrappers at the end of this file (-Wl,--wrap=NAME sends a call of NAME to __wrap_NAME, and
// __real_NAME to the library), so the same records are written whichever platform libraries are
// linked. The line's raw bytes come from the AT channel's observer, orv_at_observe, when the
// channel library calls it.
//
// Nothing here allocates: a record is formatted in one static buffer and written with one
// write(2) to a file opened with O_APPEND. A byte string that does not fit is cut and the record
// carries "cut":true.
#include "daemon/trace.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/log.h"
#include "platform/orv_at.h"
#include "platform/orv_cfg.h"
#include "platform/orv_led.h"
#include "platform/orv_mc.h"
#include "platform/orv_mdmdb.h"
#include "platform/orv_nvram.h"
#include "platform/orv_pwm.h"
#include "platform/orv_socket.h"
#include "platform/orv_sys.h"
#include "wire/mdm_msg.h"
#include "wire/trace_format.h"
#include "wire/version.h"

// The library functions behind the wrappers.
extern "C" {
int __real_ClientSendCmd(const char* cmd, orv_at_response* res, int wait_ms);
int __real_orv_recv_msg(int handle, void* buf, int max_len);
int __real_orv_nvconfig_write(const char* name, const void* value, int len);
int __real_orv_nvconfig_read(const char* name, void* buf, int size);
int __real_orv_nvconfig_save(void);
int __real_orv_cfg_get_item(int id, void* buf, int size);
int __real_orv_mc_state_mdm_return_pin_status(int kind, const char* state);
int __real_orv_mc_state_mdm_return_verify_pinpuk(int result, const char* state);
int __real_orv_mc_state_mdm_return_rpc_status(int status);
int __real_orv_mc_state_mdm_return_imsi_unlock_status(int status);
int __real_orv_mc_relay_quorl_apn_sim_msg(const apn_sim_msg* record);
int __real_orv_lib_led_power_vol_state(int percentage, int charging);
int __real_orv_libmdm_db_exec_sql(const char* sql, orv_db_row_cb callback, void* context);
int __real_orv_pwm_open(const char* path);
int __real_orv_pwm_ioctl(int handle, unsigned long request, int* value);
void __real_orv_pwm_close(int handle);
void __real_orv_sleep_s(unsigned int seconds);
}

namespace orv::daemon::trace {
namespace {

using trace_format::Kind;
namespace field = trace_format::field;

constexpr core::LogSite kLogSite{core::kCoreModule, core::LogFile::trace};

// An answer of 10240 bytes, each escaped to at most 6, fits with room to spare.
constexpr std::size_t kRecordSize = 64 * 1024;
// Room always kept at the end of a record: a closing bracket, one null value, ',"cut":true' and
// "}\n".
constexpr std::size_t kTailRoom = 32;
constexpr off_t kRotateBytes = 4 * 1024 * 1024;
off_t g_rotate_bytes = kRotateBytes;  // ORV_TRACE_LIMIT moves it, for tests and diagnostics
// The store values the daemon reads, recorded at the head of each file.
constexpr const char* kPresetNames[] = {"iccid"};

char g_path[PATH_MAX];
int g_fd = -1;
bool g_continued = false;  // the file began at a rotation, after the start-up
// The language setting is read once, at start-up; a rotated file repeats it in its head.
struct {
    bool read = false;
    int rc = 0;
    unsigned char value = 0;
} g_language_cfg;
std::int64_t g_start_ns = 0;
bool g_busy = false;  // something was recorded since the last "idle"

char g_record[kRecordSize];
std::size_t g_length = 0;
bool g_cut = false;

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void put(const char* text, std::size_t n) {
    if (g_length + n + kTailRoom > kRecordSize) {
        g_cut = true;
        return;
    }
    std::memcpy(g_record + g_length, text, n);
    g_length += n;
}

void put(const char* text) {
    put(text, std::strlen(text));
}

void put_number(long long value) {
    char digits[24];
    const int n = std::snprintf(digits, sizeof digits, "%lld", value);
    put(digits, static_cast<std::size_t>(n));
}

// A byte string, escaped as the format escapes bytes (wire/trace_format.h). Cut where the record
// runs out of room; the closing quote always fits.
void put_bytes(const void* bytes, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    if (g_length + 2 + kTailRoom > kRecordSize) {
        g_cut = true;  // not even the quotes fit: the value is null, from the room kept
        std::memcpy(g_record + g_length, "null", 4);
        g_length += 4;
        return;
    }
    g_record[g_length++] = '"';
    for (std::size_t i = 0; i < n; ++i) {
        char escaped[trace_format::kMaxEscape];
        const std::size_t len = trace_format::escape_byte(p[i], escaped);
        if (g_length + len + 1 + kTailRoom > kRecordSize) {  // 1: the closing quote
            g_cut = true;
            break;
        }
        std::memcpy(g_record + g_length, escaped, len);
        g_length += len;
    }
    g_record[g_length++] = '"';
}

void put_text(const char* text) {
    if (text == nullptr) {
        put("null");
    } else {
        put_bytes(text, strnlen(text, kRecordSize));
    }
}

void put(std::string_view text) {
    put(text.data(), text.size());
}

void key(std::string_view name) {
    put(",\"");
    put(name);
    put("\":");
}

// Opens a record of kind `kind` stamped with the time since the trace began.
void begin(Kind kind) {
    g_length = 0;
    g_cut = false;
    put("{\"");
    put(field::kKind);
    put("\":\"");
    put(trace_format::kind_name(kind));
    put("\",\"");
    put(field::kTime);
    put("\":");
    const std::int64_t us = (now_ns() - g_start_ns) / 1000;
    char stamp[32];
    const int n =
        std::snprintf(stamp, sizeof stamp, "%lld.%06lld", static_cast<long long>(us / 1000000),
                      static_cast<long long>(us % 1000000));
    put(stamp, static_cast<std::size_t>(n));
}

void stop(const char* what, int error) {
    MDM_LOG(kLogErr, "trace %s not written: %s %s\n", g_path, what, std::strerror(error));
    if (g_fd >= 0) {
        close(g_fd);
    }
    g_fd = -1;
}

// Closes the record and writes it in one piece.
void end() {
    if (g_fd < 0) {
        return;  // stopped while the record was made
    }
    if (g_cut) {
        key(field::kCut);
        put("true");
    }
    std::memcpy(g_record + g_length, "}\n", 2);
    g_length += 2;
    const ssize_t n = write(g_fd, g_record, g_length);
    if (n != static_cast<ssize_t>(g_length)) {
        stop("write", n < 0 ? errno : ENOSPC);
    }
}

void record(Kind kind) {
    begin(kind);
    end();
}

// The head of a file: the format, the wall-clock start, the process, the store values read.
void write_head() {
    begin(Kind::kTrace);
    key(field::kVersion);
    put_number(1);
    key(field::kProgram);
    put_text(ORV_VERSION);
    key(field::kWall);
    char wall[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc) != nullptr) {
        std::strftime(wall, sizeof wall, "%Y-%m-%dT%H:%M:%SZ", &utc);
    }
    put_text(wall);
    key(field::kPid);
    put_number(getpid());
    if (g_continued) {
        key(field::kContinued);
        put("true");
    }
    end();
    for (const char* name : kPresetNames) {
        char value[256];
        const int n = __real_orv_nvconfig_read(name, value, sizeof value);
        begin(Kind::kPreset);
        key(field::kName);
        put_text(name);
        key(field::kValue);
        if (n >= 0) {
            put_bytes(value, static_cast<std::size_t>(n));
        } else {
            put("null");
        }
        end();
    }
    if (g_continued && g_language_cfg.read) {
        begin(Kind::kCfg);
        key(field::kId);
        put_number(ORV_CFG_AUTO_SET_LANGUAGE_ID);
        key(field::kResult);
        put_number(g_language_cfg.rc);
        key(field::kValue);
        put_bytes(&g_language_cfg.value, g_language_cfg.rc > 0 ? 1 : 0);
        end();
    }
}

bool open_file() {
    g_fd = open(g_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (g_fd < 0) {
        stop("open", errno);
        return false;
    }
    write_head();
    return active();
}

// Past the size limit, the file becomes FILE.1 and a new one begins with its own head. Called
// between requests only, so that a request never spans two files.
void rotate_if_full() {
    struct stat st {};
    if (fstat(g_fd, &st) != 0 || st.st_size < g_rotate_bytes) {
        return;
    }
    char old_path[PATH_MAX + 2];
    std::snprintf(old_path, sizeof old_path, "%s.1", g_path);
    close(g_fd);
    g_fd = -1;
    g_continued = true;
    if (rename(g_path, old_path) != 0) {
        MDM_LOG(kLogErr, "trace %s not rotated: %s\n", g_path, std::strerror(errno));
    }
    open_file();
}

}  // namespace

bool active() {
    return g_fd >= 0;
}

void start() {
    const char* path = std::getenv("ORV_TRACE");
    if (path == nullptr || *path == '\0') {
        return;
    }
    const std::size_t n = std::strlen(path);
    if (n >= sizeof g_path) {
        MDM_LOG(kLogErr, "trace path of %zu characters is too long, no trace\n", n);
        return;
    }
    std::memcpy(g_path, path, n + 1);
    const char* limit = std::getenv("ORV_TRACE_LIMIT");
    if (limit != nullptr && std::atoll(limit) > 0) {
        g_rotate_bytes = static_cast<off_t>(std::atoll(limit));
    }
    g_start_ns = now_ns();
    open_file();
}

}  // namespace orv::daemon::trace

namespace tr = orv::daemon::trace;

namespace {

using namespace orv::daemon::trace;
using orv::trace_format::Kind;
namespace field = orv::trace_format::field;

// One record with one byte-string field.
void record_bytes(Kind kind, std::string_view name, const void* bytes, std::size_t n) {
    begin(kind);
    key(name);
    put_bytes(bytes, n);
    end();
}

// The controller's datagram, as the notification library sends it.
void record_notification(orv::msg::notify::Call call, int value, const char* state,
                         const void* fields = nullptr) {
    unsigned char datagram[orv::msg::notify::kMaxSize];
    const std::size_t n = orv::msg::notify::compose(datagram, call, value, state, fields);
    record_bytes(Kind::kNotify, field::kBytes, datagram, n);
}

// A read from the platform: what was asked (field `key`, written by `put_key`), the result and
// the bytes it gave.
template <typename PutKey>
void record_got(Kind kind, std::string_view key_name, PutKey put_key, int n, const void* buf,
                int size) {
    begin(kind);
    key(key_name);
    put_key();
    key(field::kResult);
    put_number(n);
    key(field::kValue);
    put_bytes(buf, buf != nullptr && n > 0 && n <= size ? static_cast<std::size_t>(n) : 0);
    end();
}

struct RowTap {
    orv_db_row_cb callback;
    void* context;
};

// Records each row the device database gives, then hands it to the daemon's callback.
int tap_row(void* context, int count, char** values, char** names) {
    const auto* tap = static_cast<const RowTap*>(context);
    if (tr::active()) {
        begin(Kind::kRow);
        key(field::kValue);
        put("[");
        for (int i = 0; i < count && values != nullptr && !g_cut; ++i) {
            if (i > 0) {
                put(",");
            }
            put_text(values[i]);
        }
        put("]");
        end();
    }
    return tap->callback != nullptr ? tap->callback(tap->context, count, values, names) : 0;
}

}  // namespace

extern "C" {

void orv_at_observe(int direction, const char* bytes, int length) {
    if (tr::active() && bytes != nullptr && length > 0) {
        g_busy = true;
        record_bytes(direction == ORV_AT_WRITTEN ? Kind::kTx : Kind::kRx, field::kBytes, bytes,
                     static_cast<std::size_t>(length));
    }
}

int __wrap_orv_recv_msg(int handle, void* buf, int max_len) {
    if (tr::active() && g_busy) {
        g_busy = false;
        record(Kind::kIdle);
    }
    const int n = __real_orv_recv_msg(handle, buf, max_len);
    if (tr::active() && n >= 0 && buf != nullptr) {
        rotate_if_full();
    }
    if (tr::active() && n >= 0 && buf != nullptr) {
        g_busy = true;
        // The identifier as the daemon reads it: a shorter datagram's bytes, zero-extended.
        unsigned char id[orv::msg::kIdSize] = {};
        std::memcpy(id, buf, n < 4 ? static_cast<std::size_t>(n) : sizeof id);
        begin(Kind::kReq);
        key(field::kId);
        put_number(orv::msg::load_u32(id));
        key(field::kMessage);
        put_bytes(buf, static_cast<std::size_t>(n));
        end();
    }
    return n;
}

int __wrap_ClientSendCmd(const char* cmd, orv_at_response* res, int wait_ms) {
    if (tr::active()) {
        g_busy = true;
        begin(Kind::kCmd);
        key(field::kCommand);
        put_text(cmd);
        key(field::kWait);
        put_number(wait_ms);
        end();
    }
    const int outcome = __real_ClientSendCmd(cmd, res, wait_ms);
    if (tr::active() && res != nullptr) {
        // The outcome as the daemon sees it in the text, whatever the library returns.
        const std::size_t n = strnlen(res->aucDataBuf, sizeof res->aucDataBuf);
        constexpr std::size_t kTimeoutLength = sizeof ORV_AT_TIMEOUT_TEXT - 1;
        const bool timeout =
            n == kTimeoutLength && std::memcmp(res->aucDataBuf, ORV_AT_TIMEOUT_TEXT, n) == 0;
        begin(Kind::kAns);
        key(field::kOutcome);
        put_number(n == 0    ? ORV_AT_OUTCOME_NO_PORT
                   : timeout ? ORV_AT_OUTCOME_TIMEOUT
                             : ORV_AT_OUTCOME_ANSWER);
        key(field::kAnswer);
        put_bytes(res->aucDataBuf, n);
        end();
    }
    return outcome;
}

int __wrap_orv_nvconfig_write(const char* name, const void* value, int len) {
    if (tr::active()) {
        begin(Kind::kWrite);
        key(field::kName);
        put_text(name);
        key(field::kValue);
        put_bytes(value, value != nullptr && len > 0 ? static_cast<std::size_t>(len) : 0);
        end();
    }
    return __real_orv_nvconfig_write(name, value, len);
}

int __wrap_orv_nvconfig_read(const char* name, void* buf, int size) {
    const int n = __real_orv_nvconfig_read(name, buf, size);
    if (tr::active()) {
        record_got(
            Kind::kRead, field::kName, [&] { put_text(name); }, n, buf, size);
    }
    return n;
}

int __wrap_orv_nvconfig_save(void) {
    if (tr::active()) {
        record(Kind::kSave);
    }
    return __real_orv_nvconfig_save();
}

int __wrap_orv_cfg_get_item(int id, void* buf, int size) {
    const int n = __real_orv_cfg_get_item(id, buf, size);
    if (id == ORV_CFG_AUTO_SET_LANGUAGE_ID && buf != nullptr && size >= 1) {
        g_language_cfg = {true, n, *static_cast<const unsigned char*>(buf)};
    }
    if (tr::active()) {
        record_got(
            Kind::kCfg, field::kId, [&] { put_number(id); }, n, buf, size);
    }
    return n;
}

int __wrap_orv_mc_state_mdm_return_pin_status(int kind, const char* state) {
    if (tr::active()) {
        record_notification(orv::msg::notify::kPinStatus, kind, state);
    }
    return __real_orv_mc_state_mdm_return_pin_status(kind, state);
}

int __wrap_orv_mc_state_mdm_return_verify_pinpuk(int result, const char* state) {
    if (tr::active()) {
        record_notification(orv::msg::notify::kVerifyPinPuk, result, state);
    }
    return __real_orv_mc_state_mdm_return_verify_pinpuk(result, state);
}

int __wrap_orv_mc_state_mdm_return_rpc_status(int status) {
    if (tr::active()) {
        record_notification(orv::msg::notify::kRpcStatus, status, nullptr);
    }
    return __real_orv_mc_state_mdm_return_rpc_status(status);
}

int __wrap_orv_mc_state_mdm_return_imsi_unlock_status(int status) {
    if (tr::active()) {
        record_notification(orv::msg::notify::kImsiUnlockStatus, status, nullptr);
    }
    return __real_orv_mc_state_mdm_return_imsi_unlock_status(status);
}

int __wrap_orv_mc_relay_quorl_apn_sim_msg(const apn_sim_msg* record) {
    if (tr::active()) {
        record_notification(orv::msg::notify::kApnSimMsg, 0, nullptr, record);
    }
    return __real_orv_mc_relay_quorl_apn_sim_msg(record);
}

int __wrap_orv_lib_led_power_vol_state(int percentage, int charging) {
    if (tr::active()) {
        begin(Kind::kLed);
        key(field::kPercent);
        put_number(percentage);
        key(field::kCharging);
        put_number(charging);
        end();
    }
    return __real_orv_lib_led_power_vol_state(percentage, charging);
}

int __wrap_orv_libmdm_db_exec_sql(const char* sql, orv_db_row_cb callback, void* context) {
    if (!tr::active()) {
        return __real_orv_libmdm_db_exec_sql(sql, callback, context);
    }
    RowTap tap{callback, context};
    const int rc = __real_orv_libmdm_db_exec_sql(sql, tap_row, &tap);
    if (tr::active()) {
        begin(Kind::kSql);
        key(field::kQuery);
        put_text(sql);
        key(field::kResult);
        put_number(rc);
        end();
    }
    return rc;
}

int __wrap_orv_pwm_open(const char* path) {
    const int handle = __real_orv_pwm_open(path);
    if (tr::active()) {
        begin(Kind::kPwm);
        key(field::kRequest);
        put_text("open");
        key(field::kResult);
        put_number(handle);
        end();
    }
    return handle;
}

int __wrap_orv_pwm_ioctl(int handle, unsigned long request, int* value) {
    const int rc = __real_orv_pwm_ioctl(handle, request, value);
    if (tr::active()) {
        char hex[24];
        std::snprintf(hex, sizeof hex, "%lx", request);
        begin(Kind::kPwm);
        key(field::kRequest);
        put_text(hex);
        key(field::kResult);
        put_number(rc);
        if (rc == 0 && value != nullptr) {
            key(field::kValue);
            put_number(*value);
        }
        end();
    }
    return rc;
}

void __wrap_orv_pwm_close(int handle) {
    if (tr::active()) {
        begin(Kind::kPwm);
        key(field::kRequest);
        put_text("close");
        end();
    }
    __real_orv_pwm_close(handle);
}

void __wrap_orv_sleep_s(unsigned int seconds) {
    if (tr::active()) {
        begin(Kind::kSleep);
        key(field::kSeconds);
        put_number(seconds);
        end();
    }
    __real_orv_sleep_s(seconds);
}

}  // extern "C"
