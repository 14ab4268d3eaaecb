// APN SIM information request: the home network (PLMN), IMSI and ICCID relayed to the controller
// in one record. The IMSI and ICCID are the ones the IMSI and ICCID requests kept; the only
// command reads EF AD (0x6FAD), whose 4th byte gives the number of MNC digits in the IMSI.
#include <cstring>
#include <string_view>

#include "core/answer.h"
#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "platform/orv_mc.h"
#include "sim_identity/sim_identity.h"

namespace orv::sim_identity {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::apn_sim_info};

static_assert(sizeof(apn_sim_msg::plmn) == kApnTextSize);
static_assert(sizeof(apn_sim_msg::imsi) == kApnTextSize);
static_assert(sizeof(apn_sim_msg::iccid) == kApnTextSize);

// Read 4 bytes of EF AD from offset 0 with the channel's default wait; nothing of the exchange is
// logged or echoed and "TIMEOUT" is not told apart from an answer.
constexpr std::string_view kReadEfad = "AT+CRSM=176,28589,0,0,4";
constexpr core::AtOptions kEfadExchange{
    .wait = 0,
    .timeout = core::TimeoutTest::Skipped,
    .echo = false,
    .empty_log = core::LogAt::Silent,
    .texts = core::kTextsNone,
};

constexpr std::int32_t kMncShort = 2;
constexpr std::int32_t kMncLong = 3;
constexpr std::size_t kPlmnShort = 5;  // MCC and a 2-digit MNC
constexpr std::size_t kPlmnLong = 6;   // MCC and a 3-digit MNC

// Field of the EF AD line that carries the data, and the digits kept from it.
constexpr std::size_t kMaxField = 16;
constexpr std::size_t kEfadDigits = 8;  // 4 bytes
constexpr char kMncThreeDigits = '3';

enum EfadError {
    kEfadOk = 0,
    kEfadNoPointer = 1,
    kEfadEmpty = 2,
    kEfadError = 3,
};

// Copies a kept text into an APN field, cut to what fits; 0 when there is nothing to copy.
int copy_kept(std::string_view kept, char (&out)[kApnTextSize], const char* what) {
    if (kept.empty()) {
        return 0;
    }
    if (copy_text_cut(out, kept) < kept.size()) {
        MDM_LOG(kLogErr, "apn, %s of %d characters cut to %d\n", what,
                static_cast<int>(kept.size()), static_cast<int>(kApnTextSize - 1));
    }
    return 1;
}

// Sends the EF AD read and judges the answer: kEfadOk with a first line to parse, kEfadEmpty
// when there is no answer or no line after its leading two characters ("TIMEOUT" is such an
// answer), kEfadError for a first line "ERROR".
int send_efad_read(core::AtExchange& ex) {
    if (ex.run(kReadEfad, kEfadExchange) != core::AtOutcome::Answer) {
        return kEfadEmpty;
    }
    const std::string_view answer = ex.answer_view();
    if (answer.size() < 2 || answer.substr(2).find("\r\n") == std::string_view::npos) {
        return kEfadEmpty;
    }
    return ex.first_line_is("ERROR") ? kEfadError : kEfadOk;
}

}  // namespace

int orv_quorl_mdm_apn_get_iccid(char (&out)[kApnTextSize]) {
    if (copy_kept(mdm_sim_iccid_text(), out, "iccid") == 0) {
        return 0;
    }
    MDM_LOG(kLogInfo, "iccid get success for apn");
    return 1;
}

int orv_quorl_mdm_apn_get_imsi(char (&out)[kApnTextSize]) {
    if (copy_kept(mdm_sim_imsi_text(), out, "imsi") == 0) {
        return 0;
    }
    MDM_LOG(kLogInfo, "get imsi success");
    return 1;
}

int has_multiple_commas(const char* text, std::size_t length) {
    if (text == nullptr) {
        return 0;
    }
    std::size_t commas = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == ',') {
            ++commas;
        }
    }
    return commas > 1 ? 1 : 0;
}

void filter_hex_digits(const char* in, std::size_t length, std::span<char> out, std::size_t size) {
    if (out.empty()) {
        return;
    }
    // Room for the terminator that follows the digits.
    const std::size_t limit = size < out.size() ? size : out.size() - 1;
    std::memset(out.data(), 0, limit);
    if (in == nullptr) {
        return;
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < length && kept < limit; ++i) {
        if (core::hex_digit_value(in[i]) >= 0) {
            out[kept++] = in[i];
        }
    }
}

int get_field_from_end(const char* text, std::size_t length, unsigned n, std::span<char> out,
                       char delimiter) {
    if (length == 0 || text == nullptr || out.data() == nullptr || n == 0 ||
        out.size() <= kMaxField) {
        return 1;
    }
    std::size_t start = 0;
    std::size_t stop = 0;
    bool found = false;
    unsigned count = 0;
    for (std::size_t i = length - 1; i > 0; --i) {
        if (text[i] != delimiter) {
            continue;
        }
        if (!found) {
            start = i;
            stop = length - 1;
            found = true;
        } else {
            stop = start;
            start = i;
        }
        if (++count == n) {
            break;
        }
    }
    if (count < n) {
        return 2;
    }
    std::size_t width = stop - start;
    if (width > kMaxField) {
        width = kMaxField;
    }
    // Like strncpy: zero bytes after an earlier end of the text, no terminator of its own.
    std::size_t i = 0;
    for (; i < width && text[start + i] != '\0'; ++i) {
        out[i] = text[start + i];
    }
    for (; i < width; ++i) {
        out[i] = '\0';
    }
    return 0;
}

// The last comma field of the EF AD line holds the four data bytes; the low digit of the 4th byte
// is the number of MNC digits.
//   +CRSM: 144, 0,"00000003"   ->  efad ,"00000003   efad4bytes 00000003   efad4th 3
int orv_quorl_mdm_apn_parse_efad(const char* line, std::size_t length) {
    char efad[kApnTextSize] = {};
    char efad4bytes[kApnTextSize] = {};
    if (get_field_from_end(line, length, 1, efad, ',') != 0) {
        return 0;
    }
    filter_hex_digits(efad, text_len(efad), efad4bytes, kEfadDigits);
    const char efad4th = efad4bytes[kEfadDigits - 1];
    MDM_LOG(kLogInfo, "apn, parse efad[%s],efad4bytes[%s],efad4th[%c]", efad, efad4bytes, efad4th);
    return efad4th == kMncThreeDigits ? 1 : 0;
}

int orv_quorl_mdm_apn_read_efad(std::int32_t* mnc_len) {
    core::AtExchange ex;
    const int err_code = mnc_len == nullptr ? kEfadNoPointer : send_efad_read(ex);
    // The first line is logged only when one was taken from the answer.
    const bool have_line = err_code == kEfadOk || err_code == kEfadError;
    int result = 0;
    if (err_code == kEfadOk) {
        const std::string_view line = ex.first_line_view();
        *mnc_len = kMncShort;
        if (has_multiple_commas(line.data(), line.size()) == 1 &&
            orv_quorl_mdm_apn_parse_efad(line.data(), line.size()) == 1) {
            *mnc_len = kMncLong;
        }
        result = 1;
    }
    MDM_LOG(kLogInfo, "apn, read efad, err_code[%d], mdm_at_result_process [%s]", err_code,
            have_line ? ex.first_line() : "");
    return result;
}

std::int32_t orv_quorl_mdm_apn_read_sim_info(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_apn_read_sim_info fun");

    char plmn[kApnTextSize] = {};
    char imsi[kApnTextSize] = {};
    char iccid[kApnTextSize] = {};
    apn_sim_msg record{};
    std::int32_t mnc_len = 0;

    if (orv_quorl_mdm_apn_get_iccid(iccid) == 1) {
        std::memcpy(record.iccid, iccid, sizeof record.iccid);
    }
    if (orv_quorl_mdm_apn_get_imsi(imsi) == 1) {
        std::memcpy(record.imsi, imsi, sizeof record.imsi);
    }
    if (orv_quorl_mdm_apn_read_efad(&mnc_len) == 1) {
        const std::size_t digits = mnc_len == kMncLong ? kPlmnLong : kPlmnShort;
        copy_text_cut(plmn, text_view(imsi).substr(0, digits));
        std::memcpy(record.plmn, plmn, sizeof record.plmn);
    }
    orv_mc_relay_quorl_apn_sim_msg(&record);

    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_apn_read_sim_info fun return");
    return 0;
}

}  // namespace orv::sim_identity
