// The readers of SIM files and identities: ICCID, own number, EF AD, service provider name,
// preferred language (and its country fallback), IMSI and the O2 pay type.
//
// Input:
//   byte 0      bits 0-2 the reader (modulo 6): 0 ICCID, 1 own number, 2 EF AD, 3 SPN,
//               4 language, 5 IMSI and pay type; bit 3 the language follows the SIM;
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
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "sim_identity/language.h"
#include "sim_identity/sim_identity.h"
#include "sim_identity/spn.h"

namespace {

namespace si = orv::sim_identity;
using orv::fake::fake;
using orv::fuzz::check;
using orv::fuzz::check_stored_length;

// A heap copy of exactly `text`'s bytes, with a terminator only when asked for.
std::unique_ptr<char[]> exact_copy(std::string_view text, bool terminated) {
    auto out = std::make_unique<char[]>(text.size() + (terminated ? 1 : 0));
    if (!text.empty()) {
        std::memcpy(out.get(), text.data(), text.size());
    }
    if (terminated) {
        out[text.size()] = '\0';
    }
    return out;
}

void iccid(const std::vector<std::string>& lines, std::uint8_t auto_set_language) {
    orv::fuzz::serve_lines(lines);
    si::orv_quorl_mdm_get_iccid(nullptr, auto_set_language);
    check(si::mdm_sim_iccid_text().size() < si::kSimIccidSize, "kept ICCID fits its buffer");
    check_stored_length("sim_iccid", si::kSimIccidSize - 1, "sim_iccid fits its buffer");
    check_stored_length("iccid", si::kSimIccidSize - 1, "iccid fits its buffer");
    check_stored_length("Language", 19, "Language from EF PL fits its field");
}

void own_number(const std::vector<std::string>& lines) {
    orv::fuzz::serve_lines(lines);
    si::orv_quorl_mdm_get_msisdn(nullptr);
    check_stored_length("msisdn", 19, "msisdn fits its buffer");
}

void efad(const std::vector<std::string>& lines, unsigned field) {
    const std::string_view line = lines.front();
    const auto exact = exact_copy(line, false);
    (void)si::has_multiple_commas(exact.get(), line.size());
    (void)si::orv_quorl_mdm_apn_parse_efad(exact.get(), line.size());

    // The field reader's output: zeroed, exactly one byte more than the widest field.
    constexpr std::size_t kFieldOut = 17;
    auto out = std::make_unique<char[]>(kFieldOut);
    const int r = si::get_field_from_end(exact.get(), line.size(), field,
                                         std::span<char>(out.get(), kFieldOut), ',');
    check(r == 0 || r == 1 || r == 2, "field reader result is 0, 1 or 2");
    // A field begins with its delimiter; a delimiter that is the text's last character gives an
    // empty field.
    check(r != 0 || out[0] == ',' || out[0] == '\0', "a field begins with its delimiter");

    constexpr std::size_t kDigits = 8;
    auto digits = std::make_unique<char[]>(kDigits + 1);
    si::filter_hex_digits(exact.get(), line.size(), std::span<char>(digits.get(), kDigits + 1),
                          kDigits);

    orv::fuzz::serve_lines(lines);
    si::orv_quorl_mdm_apn_read_sim_info(nullptr);
    std::int32_t mnc_len = 0;
    orv::fuzz::serve_lines(lines);
    if (si::orv_quorl_mdm_apn_read_efad(&mnc_len) == 1) {
        check(mnc_len == 2 || mnc_len == 3, "MNC of 2 or 3 digits");
    }
}

void spn(const std::vector<std::string>& lines) {
    // The name widening alone, on the line's first characters as scanned digits.
    char digits[si::kSpnDigitsSize] = {};
    const std::string_view line = lines.front();
    std::memcpy(digits, line.data(), std::min(line.size(), sizeof digits - 1));
    char name[si::kSpnNameSize] = {};
    si::orv_spn_asc_to_ucs2(digits, name);
    check(std::memchr(name, '\0', sizeof name) != nullptr, "widened name is terminated");

    orv::fuzz::serve_lines(lines);
    si::orv_quorl_mdm_get_spn(nullptr);
    check_stored_length("spn_name_data", si::kSpnNameSize - 1, "spn name fits its buffer");
    for (const char* flag : {"spn_b1_flag", "spn_b2_flag"}) {
        if (const std::string* v = orv::fuzz::stored(flag)) {
            check(*v == "0" || *v == "1", "spn flags are 0 or 1");
        }
    }
}

void language(const std::vector<std::string>& lines) {
    // The country digits: the first four characters of the second line.
    const std::string_view country = lines.size() > 1 ? std::string_view(lines[1]) : "";
    char orv_country[si::kCountrySize] = {};
    std::memcpy(orv_country, country.data(), std::min(country.size(), sizeof orv_country - 1));

    orv::fuzz::serve_lines(lines);
    si::orv_quorl_mdm_auto_set_language(orv_country);
    check_stored_length("Language", 19, "Language from EF PL fits its field");

    // The lookup by a country text of any bytes, and one database row of any text.
    fake().store.clear();
    const auto text = exact_copy(lines.front(), true);
    si::orv_set_language_by_country(text.get());
    si::LanguageQuery query{text.get(), {}};
    char* values[] = {text.get()};
    char column[] = "Language";
    char* names[] = {column};
    si::orv_language_record_cb(&query, 1, values, names);
    check_stored_length("Language", sizeof query.language - 1, "Language from the database fits");
}

void imsi_and_pay_type(const std::vector<std::string>& lines) {
    orv::fuzz::serve_lines(lines);
    si::orv_quorl_mdm_get_imsi(nullptr);
    check(si::mdm_sim_imsi_text().size() < si::kSimImsiSize, "kept IMSI fits its buffer");
    check_stored_length("sim_imsi", si::kSimImsiSize - 1, "sim_imsi fits its buffer");

    orv::fuzz::serve_lines(lines);
    si::orv_quorl_mdm_get_o2_sim_pay_type(nullptr);
    if (const std::string* v = orv::fuzz::stored("sim_pay_type_o2")) {
        check(*v == "prepay" || *v == "postpay" || *v == "other", "pay type is one of three");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t bits = data[0];
    std::vector<std::string> lines =
        orv::fuzz::split_answers(orv::fuzz::as_text(data + 1, size - 1));
    if (lines.empty()) {
        lines.emplace_back();
    }
    const std::uint8_t auto_set_language = (bits & 0x08U) != 0 ? 1 : 0;

    switch ((bits & 0x07U) % 6) {
        case 0:
            iccid(lines, auto_set_language);
            break;
        case 1:
            own_number(lines);
            break;
        case 2:
            efad(lines, 1U + ((bits >> 4) & 0x03U));
            break;
        case 3:
            spn(lines);
            break;
        case 4:
            language(lines);
            break;
        case 5:
            imsi_and_pay_type(lines);
            break;
    }
    return 0;
}
