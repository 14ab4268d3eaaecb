// The readers of SIM files, identities and counters: ICCID, own number, EF AD, service provider
// name, preferred language (and its country fallback), IMSI and the O2 pay type, and the
// "+EPINC" (PIN and PUK attempts left) and "+ESMLCK" (network-lock groups) counters.
//
// Input:
//   byte 0      bits 0-2 the reader (modulo 7): 0 ICCID, 1 own number, 2 EF AD, 3 SPN,
//               4 language, 5 IMSI and pay type, 6 counters; bit 3 the language follows the SIM;
//               bits 4-5 which field from the end the EF AD field reader takes (1 to 4)
//   the rest    answer lines separated by a zero byte; each is served as the information line of
//               an answer (CR LF line CR LF CR LF OK CR LF) to the next command
//
// Where the reader is a function of its own, it first gets the first line over exactly its bytes
// (so one byte too many is caught); then the handler runs with the lines served. The published
// values are checked against the sizes of the buffers they come from.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "sim_identity/language.h"
#include "sim_identity/sim_identity.h"
#include "sim_identity/spn.h"
#include "sim_security/sim_common.h"
#include "sim_security/sim_security.h"

namespace {

namespace si = orv::sim_identity;
namespace ss = orv::sim_security;
using orv::fake::fake;
using orv::fuzz::check;
using orv::fuzz::check_stored_length;
using orv::fuzz::exact;
using orv::fuzz::serve;
using Lines = std::vector<std::string>;

void iccid(const Lines& lines, std::uint8_t bits) {
    serve(lines, true);
    si::orv_quorl_mdm_get_iccid(nullptr, (bits & 0x08U) != 0 ? 1 : 0);
    check(si::mdm_sim_iccid_text().size() < si::kSimIccidSize, "kept ICCID fits its buffer");
    check_stored_length("sim_iccid", si::kSimIccidSize - 1, "sim_iccid fits its buffer");
    check_stored_length("iccid", si::kSimIccidSize - 1, "iccid fits its buffer");
    check_stored_length("Language", 19, "Language from EF PL fits its field");
}

void own_number(const Lines& lines, std::uint8_t /*bits*/) {
    serve(lines, true);
    si::orv_quorl_mdm_get_msisdn(nullptr);
    check_stored_length("msisdn", 19, "msisdn fits its buffer");
}

void efad(const Lines& lines, std::uint8_t bits) {
    const unsigned field = 1U + ((bits >> 4) & 0x03U);
    const std::string_view line = lines.front();
    const auto copy = exact(line, line.size());
    (void)si::has_multiple_commas(copy.get(), line.size());
    (void)si::orv_quorl_mdm_apn_parse_efad(copy.get(), line.size());

    // The field reader's output: zeroed, exactly one byte more than the widest field.
    constexpr std::size_t kFieldOut = 17;
    const auto out = exact({}, kFieldOut);
    const int r = si::get_field_from_end(copy.get(), line.size(), field,
                                         std::span<char>(out.get(), kFieldOut), ',');
    check(r == 0 || r == 1 || r == 2, "field reader result is 0, 1 or 2");
    // A field begins with its delimiter; a delimiter that is the text's last character gives an
    // empty field.
    check(r != 0 || out[0] == ',' || out[0] == '\0', "a field begins with its delimiter");
    constexpr std::size_t kDigits = 8;
    const auto digits = exact({}, kDigits + 1);
    si::filter_hex_digits(copy.get(), line.size(), std::span<char>(digits.get(), kDigits + 1),
                          kDigits);

    serve(lines, true);
    si::orv_quorl_mdm_apn_read_sim_info(nullptr);
    std::int32_t mnc_len = 0;
    serve(lines, true);
    if (si::orv_quorl_mdm_apn_read_efad(&mnc_len) == 1) {
        check(mnc_len == 2 || mnc_len == 3, "MNC of 2 or 3 digits");
    }
}

void spn(const Lines& lines, std::uint8_t /*bits*/) {
    // The name widening alone, on the line's first characters as scanned digits.
    char digits[si::kSpnDigitsSize] = {};
    const std::string_view line = lines.front();
    std::memcpy(digits, line.data(), std::min(line.size(), sizeof digits - 1));
    char name[si::kSpnNameSize] = {};
    si::orv_spn_asc_to_ucs2(digits, name);
    check(std::memchr(name, '\0', sizeof name) != nullptr, "widened name is terminated");

    serve(lines, true);
    si::orv_quorl_mdm_get_spn(nullptr);
    check_stored_length("spn_name_data", si::kSpnNameSize - 1, "spn name fits its buffer");
    for (const char* flag : {"spn_b1_flag", "spn_b2_flag"}) {
        const std::string* v = orv::fuzz::stored(flag);
        check(v == nullptr || *v == "0" || *v == "1", "spn flags are 0 or 1");
    }
}

void language(const Lines& lines, std::uint8_t /*bits*/) {
    // The country digits: the first four characters of the second line.
    const std::string_view country = lines.size() > 1 ? std::string_view(lines[1]) : "";
    char digits[si::kCountrySize] = {};
    std::memcpy(digits, country.data(), std::min(country.size(), sizeof digits - 1));
    serve(lines, true);
    si::orv_quorl_mdm_auto_set_language(digits);
    check_stored_length("Language", 19, "Language from EF PL fits its field");

    // The lookup by a country text of any bytes, and one database row of any text.
    fake().store.clear();
    const auto text = exact(lines.front(), lines.front().size() + 1);
    si::orv_set_language_by_country(text.get());
    si::LanguageQuery query{text.get(), {}};
    char* values[] = {text.get()};
    char column[] = "Language";
    char* names[] = {column};
    si::orv_language_record_cb(&query, 1, values, names);
    check_stored_length("Language", sizeof query.language - 1, "Language from the database fits");
}

void imsi_and_pay_type(const Lines& lines, std::uint8_t /*bits*/) {
    serve(lines, true);
    si::orv_quorl_mdm_get_imsi(nullptr);
    check(si::mdm_sim_imsi_text().size() < si::kSimImsiSize, "kept IMSI fits its buffer");
    check_stored_length("sim_imsi", si::kSimImsiSize - 1, "sim_imsi fits its buffer");

    serve(lines, true);
    si::orv_quorl_mdm_get_o2_sim_pay_type(nullptr);
    const std::string* v = orv::fuzz::stored("sim_pay_type_o2");
    check(v == nullptr || *v == "prepay" || *v == "postpay" || *v == "other",
          "pay type is one of three");
}

// A view handed out by a reader lies inside the text it read.
bool inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void counters(const Lines& lines, std::uint8_t /*bits*/) {
    const auto copy = exact(lines.front(), lines.front().size());
    const std::string_view line(copy.get(), lines.front().size());
    if (const std::optional<ss::PinPukCounters> c = ss::read_epinc(line)) {
        check(inside(c->pin, line) && inside(c->puk, line), "+EPINC views in the line");
        check(c->pin.size() <= ss::kCounterMax && c->puk.size() <= ss::kCounterMax,
              "+EPINC counters of at most 4 characters");
        // The PIN counter runs from after the first blank to the next comma.
        const std::size_t blank = line.find(' ');
        check(blank != std::string_view::npos && c->pin.data() == line.data() + blank + 1,
              "the PIN counter starts after the first blank");
        check(c->pin.data() + c->pin.size() < line.data() + line.size() &&
                  c->pin.data()[c->pin.size()] == ',',
              "the PIN counter ends at a comma");
    }
    for (const ss::LockGroup which : {ss::LockGroup::Network, ss::LockGroup::NetworkSubset}) {
        const std::optional<std::string_view> group = ss::read_lock_group(line, which);
        if (!group) {
            continue;
        }
        check(inside(*group, line) && group->size() <= 29,
              "a lock group of at most 29 in the line");
        (void)ss::lock_group_is_on(*group);
        if (const auto count = ss::read_lock_group_count(*group)) {
            check(inside(*count, *group) && count->size() <= ss::kCounterMax,
                  "a group's count of at most 4 characters in the group");
        }
    }
    serve(lines, true);
    ss::orv_quorl_mdm_refresh_pin_puk_numbers();
    check_stored_length("pinnumber", ss::kCounterMax, "pinnumber of at most 4");
    check_stored_length("puknumber", ss::kCounterMax, "puknumber of at most 4");
    serve(lines, true);
    ss::orv_quorl_mdm_get_unlock_retries_times(nullptr);
    check_stored_length("unlock_nck_time", ss::kCounterMax, "unlock count of at most 4");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t bits = data[0];
    Lines lines = orv::fuzz::split_answers(orv::fuzz::as_text(data + 1, size - 1));
    if (lines.empty()) {
        lines.emplace_back();
    }
    using Reader = void (*)(const Lines&, std::uint8_t);
    constexpr Reader kReaders[] = {iccid,    own_number,        efad,    spn,
                                   language, imsi_and_pay_type, counters};
    kReaders[(bits & 0x07U) % 7](lines, bits);
    return 0;
}
