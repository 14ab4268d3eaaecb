// The counter readers of the SIM-security handlers: "+EPINC" (PIN and PUK attempts left) and
// "+ESMLCK" (network-lock groups and their attempts left).
//
// Input: one answer line, any bytes. The readers get it as a view over exactly the input's bytes,
// so a read one byte past the line is caught; then the two requests that use them get it served
// as the information line of their answer, and their published counters are checked.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "sim_security/sim_common.h"
#include "sim_security/sim_security.h"

namespace {

namespace ss = orv::sim_security;
using orv::fuzz::check;

// A view handed out by a reader lies inside the line it read.
bool inside(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void read_epinc(std::string_view line) {
    const std::optional<ss::PinPukCounters> counters = ss::read_epinc(line);
    if (!counters) {
        return;
    }
    check(inside(counters->pin, line) && inside(counters->puk, line), "+EPINC views in the line");
    check(counters->pin.size() <= ss::kCounterMax && counters->puk.size() <= ss::kCounterMax,
          "+EPINC counters of at most 4 characters");
    // The PIN counter runs from after the first blank to the next comma.
    const std::size_t blank = line.find(' ');
    check(blank != std::string_view::npos && counters->pin.data() == line.data() + blank + 1,
          "the PIN counter starts after the first blank");
    check(counters->pin.data() + counters->pin.size() < line.data() + line.size() &&
              counters->pin.data()[counters->pin.size()] == ',',
          "the PIN counter ends at a comma");
}

void read_esmlck(std::string_view line) {
    for (const ss::LockGroup which : {ss::LockGroup::Network, ss::LockGroup::NetworkSubset}) {
        const std::optional<std::string_view> group = ss::read_lock_group(line, which);
        if (!group) {
            continue;
        }
        check(inside(*group, line), "a lock group lies in the line");
        check(group->size() <= 29, "a lock group of at most 29 characters");
        (void)ss::lock_group_is_on(*group);
        if (const auto count = ss::read_lock_group_count(*group)) {
            check(inside(*count, *group), "a group's count lies in the group");
            check(count->size() <= ss::kCounterMax, "a count of at most 4 characters");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line = orv::fuzz::as_text(data, size);
    read_epinc(line);
    read_esmlck(line);

    // Served to the requests, the line is cut at its first zero byte like any channel text.
    const std::string served(line.substr(0, line.find('\0')));

    orv::fuzz::serve_lines({served});
    ss::orv_quorl_mdm_refresh_pin_puk_numbers();
    orv::fuzz::check_stored_length("pinnumber", ss::kCounterMax, "pinnumber of at most 4");
    orv::fuzz::check_stored_length("puknumber", ss::kCounterMax, "puknumber of at most 4");

    orv::fuzz::serve_lines({served});
    ss::orv_quorl_mdm_get_unlock_retries_times(nullptr);
    orv::fuzz::check_stored_length("unlock_nck_time", ss::kCounterMax, "unlock count of at most 4");
    return 0;
}
