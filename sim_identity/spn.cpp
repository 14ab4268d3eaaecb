#include "sim_identity/spn.h"

#include <cstring>
#include <string_view>

#include "core/answer.h"
#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "platform/orv_nvram.h"

namespace orv::sim_identity {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::spn};

// Reading EF_SPN (0x6F46), all 17 bytes; an empty answer is logged at information level.
// Sample answer: "\r\n+CRSM: 144, 0,\"014142FFFFFFFFFFFFFFFFFFFFFFFFFFFF\"\r\n\r\nOK\r\n".
constexpr const char* kReadSpnCommand = "AT+CRSM=176,28486,0,0,17";
constexpr orv::core::AtOptions kReadSpnOptions{.empty_log = orv::core::LogAt::Info};

// Position of the first name digit in the quoted field (after the display-condition byte).
constexpr std::size_t kNameStart = 2;

unsigned code_of(char c) {
    return static_cast<unsigned char>(c);
}

}  // namespace

void orv_spn_asc_to_ucs2(const char (&digits)[kSpnDigitsSize], char (&name)[kSpnNameSize]) {
    MDM_LOG(kLogInfo, "spn decode  asc  =%s ", digits);
    const std::size_t count = text_len(digits);
    std::size_t at = text_len(name);
    for (std::size_t i = 0; i + 1 < count && at + 4 < kSpnNameSize; i += 2) {
        name[at++] = '0';
        name[at++] = '0';
        name[at++] = digits[i];
        name[at++] = digits[i + 1];
    }
    name[at] = '\0';
    MDM_LOG(kLogInfo, "spn decode  ucs2  =%s ", name);
}

void orv_set_sim_spn_display_flag(char display_digit) {
    MDM_LOG(kLogInfo, "orv_set_sim_spn_display_flag");
    const int digit = core::hex_digit_value(display_digit);
    const int value = digit < 0 ? 0 : digit;  // not a hexadecimal digit: 0
    const char* b1 = (value & 1) != 0 ? "1" : "0";
    const char* b2 = (value & 2) != 0 ? "1" : "0";
    MDM_LOG(kLogInfo, "spn decode   spn_b1_flag:%s spn_b2_flag=%s", b1, b2);
    orv_nvconfig_write("spn_b1_flag", b1, 1);
    orv_nvconfig_write("spn_b2_flag", b2, 1);
}

std::int32_t orv_quorl_mdm_get_spn(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_get_spn fun\n");
    orv::core::AtExchange ex;
    if (ex.run(kReadSpnCommand, kReadSpnOptions) != orv::core::AtOutcome::Answer) {
        return -1;
    }
    if (!ex.first_line_starts(core::kCrsmSuccess)) {
        MDM_LOG(kLogErr, "sim read spn fail \n");
        return -1;
    }

    // The quoted field: 34 digits for the 17 bytes read. A success line without a quoted field,
    // or with one that does not fit the 40-byte field, ends the request.
    const core::QuotedField field = core::quoted_field(ex.first_line_view());
    if (field.status != core::Quoted::Found) {
        MDM_LOG(kLogErr, "sim spn answer without a quoted field \n");
        return -1;
    }
    char hex_spn[40] = {};
    if (!copy_text_whole(hex_spn, field.text)) {
        MDM_LOG(kLogErr, "sim spn field of %d digits does not fit \n",
                static_cast<int>(field.text.size()));
        return -1;
    }
    const std::size_t field_length = text_len(hex_spn);

    const char display_digit = hex_spn[1];
    MDM_LOG(kLogInfo, "spn   orv_sim_spn_flag:%x", code_of(display_digit));

    char name_digits[kSpnDigitsSize] = {};
    std::size_t digit_count = 0;
    bool is_ucs2 = false;
    for (std::size_t i = kNameStart; i < field_length; ++i) {
        MDM_LOG(kLogInfo, "spn hex_spn[%d]   :%x", static_cast<int>(i), code_of(hex_spn[i]));
        if (i == kNameStart && hex_spn[i] == '8') {
            // A first name byte 0x80 to 0x8F marks a UCS-2 name; its low digit is read as '0'
            // and kept as the first name digit, which the UCS-2 path drops.
            is_ucs2 = true;
            if (i + 1 < field_length) {
                hex_spn[i + 1] = '0';
            }
            continue;
        }
        if (i % 2 == 0 && hex_spn[i] == 'F' && hex_spn[i + 1] == 'F') {
            MDM_LOG(kLogInfo, "spn decode break!!!i=%d", static_cast<int>(i));
            break;
        }
        name_digits[digit_count++] = hex_spn[i];
    }
    MDM_LOG(kLogInfo, "spn decode  1  %x,%x,%x!!!", code_of(name_digits[0]),
            code_of(name_digits[1]), code_of(name_digits[2]));

    char name[kSpnNameSize] = {};
    if (is_ucs2) {
        MDM_LOG(kLogInfo, "spn decode  is_usc2_flag  true!!!");
        if (digit_count > 0) {
            copy_text_cut(name, std::string_view(name_digits + 1, digit_count - 1));
        }
    } else {
        MDM_LOG(kLogInfo, "spn decode  is_usc2_flag  false!");
        orv_spn_asc_to_ucs2(name_digits, name);
    }
    MDM_LOG(kLogInfo, "spn decode   spn_flag:%d", static_cast<int>(display_digit));
    MDM_LOG(kLogInfo, "spn decode  orv_sim_spn_name  =%s ", name);

    orv_nvconfig_write("spn_name_data", name, static_cast<int>(text_len(name)));
    orv_set_sim_spn_display_flag(display_digit);
    return 0;
}

}  // namespace orv::sim_identity
