#include <cstring>
#include <string_view>

#include "core/bounded.h"
#include "core/log.h"
#include "device/device.h"
#include "platform/orv_cfg.h"
#include "platform/orv_nvram.h"
#include "wire/mdm_msg.h"

namespace orv::device {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::version};

namespace vr = orv::msg::version_record;
using msg::TextField;

using VersionRecord = unsigned char[vr::kSize];

// The widest field is the manufacturer's; one byte more for the terminator.
constexpr std::size_t kFieldTextSize = vr::kManufacturer.width + 1;

constexpr bool field_fits(TextField f) {
    return f.width != 0 && f.width < kFieldTextSize && f.offset + f.width <= vr::kSize;
}
static_assert(field_fits(vr::kInnerVersion) && field_fits(vr::kModelName) &&
                  field_fits(vr::kHardwareVersion) && field_fits(vr::kManufacturer) &&
                  field_fits(vr::kIntegratedVersion),
              "every version field lies inside the record and fits the field text");

// One field's text, terminated for the log line, with the length that is published.
struct FieldText {
    char text[kFieldTextSize];
    int length;
};

// The field's text up to its terminator. A field that fills its whole width without a
// terminator is taken whole: the factory wrote that many characters, and nothing past the
// field's width is ever read.
FieldText field_text(const VersionRecord& record, TextField f) {
    FieldText t{};
    const std::size_t n = msg::text_length(record, sizeof record, f);
    const std::string_view text(reinterpret_cast<const char*>(record) + f.offset, n);
    t.length = static_cast<int>(copy_text_cut(t.text, text));
    return t;
}

void publish(const char* name, const FieldText& t) {
    orv_nvconfig_write(name, t.text, t.length);
}

// Clears the record and reads factory item 2000 into it; false (logged) when it cannot be read.
bool read_version_record(VersionRecord& record) {
    std::memset(record, 0, sizeof record);
    if (orv_cfg_get_item(ORV_CFG_VERSION_ID, record, static_cast<int>(sizeof record)) < 0) {
        MDM_LOG(kLogErr, "get ORV_CFG_VERSION_ID error \n");
        return false;
    }
    return true;
}

}  // namespace

std::int32_t orv_quorl_mdm_get_pcb(const unsigned char* /*payload*/) {
    VersionRecord record;
    if (!read_version_record(record)) {
        return 0;
    }
    const FieldText hardware = field_text(record, vr::kHardwareVersion);
    MDM_LOG(kLogInfo, "hardware_version is %s \n", hardware.text);
    publish("hardware_version", hardware);
    return 0;
}

// The model name is published twice, as "model_name" and as "device_num".
std::int32_t orv_quorl_mdm_get_ovn(const unsigned char* /*payload*/) {
    VersionRecord record;
    if (!read_version_record(record)) {
        return 0;
    }

    const FieldText inner = field_text(record, vr::kInnerVersion);
    MDM_LOG(kLogInfo, "wa_inner_version is %s \n", inner.text);
    publish("wa_inner_version", inner);

    const FieldText manufacturer = field_text(record, vr::kManufacturer);
    MDM_LOG(kLogInfo, "manufacturer is %s \n", manufacturer.text);
    publish("manufacturer", manufacturer);

    const FieldText model = field_text(record, vr::kModelName);
    MDM_LOG(kLogInfo, "model_name is %s \n", model.text);
    publish("model_name", model);
    publish("device_num", model);

    const FieldText integrated = field_text(record, vr::kIntegratedVersion);
    MDM_LOG(kLogInfo, "integrate_version is %s \n", integrated.text);
    publish("integrate_version", integrated);
    return 0;
}

}  // namespace orv::device
