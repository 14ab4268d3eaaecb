#include "tests/fake/fake_platform.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/orv_at.h"
#include "platform/orv_cfg.h"
#include "platform/orv_led.h"
#include "platform/orv_log.h"
#include "platform/orv_mc.h"
#include "platform/orv_mdmdb.h"
#include "platform/orv_nvram.h"
#include "platform/orv_pwm.h"
#include "platform/orv_socket.h"
#include "platform/orv_sys.h"
#include "wire/mdm_msg.h"

namespace orv::fake {

Platform& fake() {
    static Platform instance;
    return instance;
}

void reset() {
    fake() = Platform{};
}

Lines Platform::log_texts() const {
    Lines out;
    for (const LogLine& l : logs) {
        out.push_back(std::to_string(l.level) + " " + l.text);
    }
    return out;
}

bool Platform::logged(int level, std::string_view text) const {
    for (const LogLine& l : logs) {
        if (l.level == level && l.text == text) {
            return true;
        }
    }
    return false;
}

std::string info_ok(std::string_view line) {
    return "\r\n" + std::string(line) + "\r\n\r\nOK\r\n";
}

std::string final_line(std::string_view line) {
    return "\r\n" + std::string(line) + "\r\n";
}

namespace {
std::string bounded(const char* text, std::size_t size) {
    return std::string(text, strnlen(text, size));
}
}  // namespace

}  // namespace orv::fake

using orv::fake::fake;

namespace {
// Records one timeline entry; the platform call's result.
int note(std::string entry) {
    fake().timeline.push_back(std::move(entry));
    return 0;
}
}  // namespace

extern "C" {

int ClientSendCmd(const char* cmd, orv_at_response* res, int wait_ms) {
    auto& f = fake();
    f.commands.emplace_back(cmd);
    f.timeline.push_back("AT " + std::string(cmd));
    f.waits.push_back(wait_ms);
    std::string answer;
    if (!f.answers.empty()) {
        answer = f.answers.front();
        f.answers.pop_front();
    }
    const std::size_t n = std::min(answer.size(), sizeof res->aucDataBuf - 1);
    std::memcpy(res->aucDataBuf, answer.data(), n);
    res->aucDataBuf[n] = '\0';
    return answer.empty() ? ORV_AT_OUTCOME_NO_PORT
                          : (answer == "TIMEOUT" ? ORV_AT_OUTCOME_TIMEOUT : ORV_AT_OUTCOME_ANSWER);
}

int orv_init_msg(const char*, int* handle) {
    *handle = 3;
    return fake().init_msg_result;
}

int orv_recv_msg(int, void* buf, int max_len) {
    auto& f = fake();
    if (f.messages.empty()) {
        return -1;
    }
    const std::string m = f.messages.front();
    f.messages.pop_front();
    const std::size_t n = std::min(m.size(), static_cast<std::size_t>(max_len));
    std::memcpy(buf, m.data(), n);
    return static_cast<int>(n);
}

int orv_syslog_append(int level, const char*, const char* module, int, const char* format, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    fake().logs.push_back({level, module, text});
    return 0;
}

int orv_nvconfig_write(const char* name, const void* value, int len) {
    const std::string v(static_cast<const char*>(value), static_cast<std::size_t>(len));
    fake().store[name] = v;
    fake().timeline.push_back("WRITE " + std::string(name) + "=" + v);
    return 0;
}

int orv_nvconfig_read(const char* name, void* buf, int size) {
    auto& f = fake();
    auto it = f.store.find(name);
    if (it == f.store.end()) {
        return -1;
    }
    const std::size_t n = std::min(it->second.size(), static_cast<std::size_t>(size));
    std::memcpy(buf, it->second.data(), n);
    return static_cast<int>(n);
}

int orv_nvconfig_save(void) {
    return note("SAVE");
}

int orv_cfg_get_item(int id, void* buf, int size) {
    auto& f = fake();
    auto it = f.cfg_items.find(id);
    if (it == f.cfg_items.end()) {
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buf);
    std::memset(out, 0, static_cast<std::size_t>(size));
    const std::size_t n = std::min(it->second.size(), static_cast<std::size_t>(size));
    std::memcpy(out, it->second.data(), n);
    return static_cast<int>(n);
}

int orv_mc_state_mdm_return_pin_status(int kind, const char* state) {
    return note("NOTIFY pin_status " + std::to_string(kind) + " " + state);
}

int orv_mc_state_mdm_return_verify_pinpuk(int result, const char* state) {
    return note("NOTIFY verify_pinpuk " + std::to_string(result) + " " + state);
}

int orv_mc_state_mdm_return_rpc_status(int status) {
    return note("NOTIFY rpc_status " + std::to_string(status));
}

int orv_mc_state_mdm_return_imsi_unlock_status(int status) {
    return note("NOTIFY imsi_unlock_status " + std::to_string(status));
}

int orv_mc_relay_quorl_apn_sim_msg(const apn_sim_msg* record) {
    using orv::fake::bounded;
    return note("NOTIFY apn_sim_msg " + bounded(record->plmn, sizeof record->plmn) + "|" +
                bounded(record->imsi, sizeof record->imsi) + "|" +
                bounded(record->iccid, sizeof record->iccid));
}

int orv_lib_led_power_vol_state(int percentage, int charging) {
    return note("LED " + std::to_string(percentage) + " " + std::to_string(charging));
}

int orv_libmdm_db_exec_sql(const char* sql, orv_db_row_cb callback, void* context) {
    auto& f = fake();
    f.timeline.push_back("SQL " + std::string(sql));
    auto it = f.db_rows.find(sql);
    if (it == f.db_rows.end()) {
        return 0;
    }
    for (const auto& row : it->second) {
        std::vector<char*> values;
        std::vector<char*> names;
        static char column_name[] = "Language";
        for (const auto& v : row) {
            values.push_back(v ? const_cast<char*>(v->c_str()) : nullptr);
            names.push_back(column_name);
        }
        callback(context, static_cast<int>(row.size()), values.data(), names.data());
    }
    return 0;
}

int orv_pwm_open(const char*) {
    fake().timeline.push_back("PWM open");
    return fake().pwm_opens ? 7 : -1;
}

int orv_pwm_ioctl(int, unsigned long request, int* value) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%lx", request);
    fake().timeline.push_back("PWM query " + std::string(hex));
    auto it = fake().pwm_values.find(request);
    if (it == fake().pwm_values.end()) {
        return -1;
    }
    *value = it->second;
    return 0;
}

void orv_pwm_close(int) {
    fake().timeline.push_back("PWM close");
}

void orv_sleep_s(unsigned int seconds) {
    fake().timeline.push_back("SLEEP " + std::to_string(seconds));
}

void orv_echo_answer(const char* text) {
    fake().echoes.emplace_back(text);
}

}  // extern "C"
