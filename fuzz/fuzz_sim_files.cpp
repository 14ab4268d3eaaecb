// The readers of SIM answer lines that are functions of their own, each given the line in a heap
// block of exactly its size, so that one byte read past it is caught: the EF AD field readers,
// the language lookup by country and its database row, and the "+EPINC" (PIN and PUK attempts
// left) and "+ESMLCK" (network-lock groups) counter readers. The handlers around them run in
// request_path.
//
// Input:
//   byte 0      bits 1-2 the reader: 1 EF AD, 2 language, 0 and 3 counters; bits 4-5 which field
//               from the end the EF AD field reader takes (1 to 4)
//   the rest    the line, up to the first zero byte
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "sim_identity/language.h"
#include "sim_identity/sim_identity.h"
#include "sim_security/sim_common.h"
#include "tests/fake/fake_platform.h"

namespace {

namespace si = orv::sim_identity;
namespace ss = orv::sim_security;
using orv::fuzz::check;
using orv::fuzz::exact;

void efad(std::string_view line, std::uint8_t bits) {
    const auto copy = exact(line, line.size());
    (void)si::has_multiple_commas(copy.get(), line.size());
    (void)si::orv_quorl_mdm_apn_parse_efad(copy.get(), line.size());

    // The field reader's output: zeroed, exactly one byte more than the widest field.
    constexpr std::size_t kFieldOut = 17;
    const auto out = exact({}, kFieldOut);
    const unsigned field = 1U + ((bits >> 4) & 0x03U);
    const int r = si::get_field_from_end(copy.get(), line.size(), field,
                                         std::span<char>(out.get(), kFieldOut), ',');
    // A field begins with its delimiter; a delimiter that is the text's last character gives an
    // empty field.
    check(r != 0 || out[0] == ',' || out[0] == '\0', "a field begins with its delimiter");
    constexpr std::size_t kDigits = 8;
    const auto digits = exact({}, kDigits + 1);
    si::filter_hex_digits(copy.get(), line.size(), std::span<char>(digits.get(), kDigits + 1),
                          kDigits);
}

// The lookup by a country text of any bytes, and one database row of any text.
void language(std::string_view line, std::uint8_t /*bits*/) {
    const auto text = exact(line, line.size() + 1);
    si::orv_set_language_by_country(text.get());
    si::LanguageQuery query{text.get(), {}};
    char* values[] = {text.get()};
    si::orv_language_record_cb(&query, 1, values, nullptr);
    check(orv::fake::fake().store["Language"].size() < sizeof query.language,
          "Language from the database fits");
}

// A view handed out by a reader lies inside the text it read.
bool inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void counters(std::string_view text, std::uint8_t /*bits*/) {
    const auto copy = exact(text, text.size());
    const std::string_view line(copy.get(), text.size());
    if (const std::optional<ss::PinPukCounters> c = ss::read_epinc(line)) {
        check(inside(c->pin, line) && inside(c->puk, line), "+EPINC views in the line");
        check(c->pin.size() <= ss::kCounterMax && c->puk.size() <= ss::kCounterMax,
              "+EPINC counters of at most 4 characters");
    }
    for (const ss::LockGroup which : {ss::LockGroup::Network, ss::LockGroup::NetworkSubset}) {
        const std::optional<std::string_view> group = ss::read_lock_group(line, which);
        check(!group || (inside(*group, line) && group->size() <= 29),
              "a lock group of at most 29 in the line");
        if (const auto count = group ? ss::read_lock_group_count(*group) : std::nullopt) {
            check(inside(*count, *group) && count->size() <= ss::kCounterMax,
                  "a group's count of at most 4 characters in the group");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string_view rest = orv::fuzz::as_text(data + 1, size - 1);
    using Reader = void (*)(std::string_view, std::uint8_t);
    constexpr Reader kReaders[] = {counters, efad, language, counters};
    orv::fake::reset();
    kReaders[(data[0] >> 1) & 0x03U](rest.substr(0, rest.find('\0')), data[0]);
    return 0;
}
