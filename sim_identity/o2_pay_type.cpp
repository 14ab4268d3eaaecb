// O2 pay type request: one byte of the operator file 0x6F02 (DF 7F43) tells prepaid from
// contract; when it cannot be read, the FDN bits of the SIM service table (EF SST) decide.
#include <string_view>

#include "core/answer.h"
#include "core/at_exchange.h"
#include "core/log.h"
#include "platform/orv_nvram.h"
#include "sim_identity/sim_identity.h"
#include "text/orv_convert.h"

namespace orv::sim_identity {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::o2_pay_type};

constexpr core::AtOptions kByteExchange{.empty_log = core::LogAt::Info, .texts = core::kTextsTight};

// One byte read from a SIM file: the command, its entry line and its failure line.
struct ByteRead {
    std::string_view command;
    const char* entry_line;
    const char* fail_line;
};

constexpr ByteRead kOperatorFile{"AT+CRSM=176,28418,0,0,1,,\"7F43\"",
                                 "enter orv_quorl_mdm_get_o2_sim_pay_type fun\n",
                                 "sim read o2 pay type fail \n"};
constexpr ByteRead kServiceTable{"AT+CRSM=176,28472,0,0,1,,\"7F20\"",
                                 "enter orv_quorl_mdm_get_o2_fdn fun\n", "sim read o2 fdn fail \n"};

// Reads one byte of a SIM file into `pay_flag`; false when the read failed.
//   +CRSM: 144, 0,"01"
bool read_byte(const ByteRead& read, unsigned char& pay_flag) {
    MDM_LOG(kLogInfo, "%s", read.entry_line);
    core::AtExchange ex;
    if (ex.run(read.command, kByteExchange) != core::AtOutcome::Answer) {
        return false;
    }
    if (!ex.first_line_starts(core::kCrsmSuccess)) {
        MDM_LOG(kLogErr, "%s", read.fail_line);
        return false;
    }
    // Two data characters must follow the opening quote, before any closing one.
    const core::QuotedField field = core::quoted_field(ex.first_line_view());
    const std::string_view data = field.text.substr(0, 2);
    if (data.size() < 2) {
        MDM_LOG(kLogErr, "sim byte read has no two characters after the quote: %s\n",
                ex.first_line());
        return false;
    }
    MDM_LOG(kLogInfo, "pay_flag: 0x%x 0x%x", static_cast<unsigned char>(data[0]),
            static_cast<unsigned char>(data[1]));
    // The byte and the two 0xFF filler bytes that the conversion appends.
    unsigned char converted[3] = {};
    text::orv_hex_to_sim_bytes(converted, data.data(), 2);
    pay_flag = converted[0];
    MDM_LOG(kLogInfo, "pay_flag: 0x%x 0x%x", converted[0], converted[1]);
    return true;
}

void publish(std::string_view pay_type) {
    orv_nvconfig_write("sim_pay_type_o2", pay_type.data(), static_cast<int>(pay_type.size()));
}

// Service 3 of EF SST byte 1 (fixed dialling numbers): 0x10 allocated, 0x20 activated.
constexpr unsigned char kFdnBits = 0x30;
constexpr unsigned char kFdnAllocated = 0x10;
constexpr unsigned char kFdnAllocatedActivated = 0x30;

}  // namespace

std::int32_t orv_quorl_mdm_get_o2_fdn() {
    unsigned char pay_flag = 0;
    if (!read_byte(kServiceTable, pay_flag)) {
        return -1;
    }
    switch (pay_flag & kFdnBits) {
        case kFdnAllocated:
            publish("prepay");
            break;
        case kFdnAllocatedActivated:
            publish("postpay");
            break;
        default:  // not allocated: 0x00 or 0x20
            publish("other");
            break;
    }
    return 0;
}

std::int32_t orv_quorl_mdm_get_o2_sim_pay_type(const unsigned char* /*payload*/) {
    unsigned char pay_flag = 0;
    if (!read_byte(kOperatorFile, pay_flag)) {
        return orv_quorl_mdm_get_o2_fdn();
    }
    publish((pay_flag & 0x01) == 0 ? "prepay" : "postpay");
    return 0;
}

}  // namespace orv::sim_identity
