#include "sim_security/sim_common.h"

#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"

namespace orv::sim_security {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::sim_common};

// The work buffer a lock group is read into holds 30 bytes with the terminator.
constexpr std::size_t kLockGroupMax = 29;

constexpr std::string_view kGroupSeparator = ",(";

bool breaks_framing(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return c == '"' || byte < 0x20 || byte == 0x7F;
}

}  // namespace

std::optional<PinPukCounters> read_epinc(std::string_view line) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t first = line.find(',', blank + 1);
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t second = line.find(',', first + 1);
    if (second == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t third = line.find(',', second + 1);
    // The PUK counter starts two places after the second comma; a third comma right after the
    // second leaves no room for it.
    if (third == std::string_view::npos || third < second + 2) {
        return std::nullopt;
    }
    const PinPukCounters counters{line.substr(blank + 1, first - blank - 1),
                                  line.substr(second + 2, third - second - 2)};
    if (counters.pin.size() > kCounterMax || counters.puk.size() > kCounterMax) {
        return std::nullopt;
    }
    return counters;
}

std::optional<std::string_view> read_lock_group(std::string_view line, LockGroup which) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t first_end = line.find(kGroupSeparator, blank + 1);
    if (first_end == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view group;
    switch (which) {
        case LockGroup::Network:
            group = line.substr(blank + 1, first_end - blank - 1);
            break;
        case LockGroup::NetworkSubset: {
            const std::size_t start = first_end + 1;  // the "(" of the first ",("
            const std::size_t end = line.find(kGroupSeparator, start);
            if (end == std::string_view::npos) {
                return std::nullopt;
            }
            group = line.substr(start, end - start);
            break;
        }
    }
    if (group.size() > kLockGroupMax) {
        return std::nullopt;
    }
    return group;
}

bool lock_group_is_on(std::string_view group) {
    return group.size() > 3 && group[3] == '1';
}

std::optional<std::string_view> read_lock_group_count(std::string_view group) {
    constexpr std::size_t kCountStart = 5;
    if (group.size() <= kCountStart) {
        return std::nullopt;
    }
    const std::size_t end = group.find(',', kCountStart);
    if (end == std::string_view::npos || end - kCountStart > kCounterMax) {
        return std::nullopt;
    }
    return group.substr(kCountStart, end - kCountStart);
}

bool code_fits_command(std::string_view code, std::size_t frame, const char* what) {
    if (frame + code.size() >= orv::core::kCmdSize) {
        MDM_LOG(kLogErr, "%s refused: %zu characters do not fit the command buffer\n", what,
                code.size());
        return false;
    }
    for (char c : code) {
        if (breaks_framing(c)) {
            MDM_LOG(kLogErr,
                    "%s refused: it holds the character 0x%02x, which would break the command\n",
                    what, static_cast<unsigned>(static_cast<unsigned char>(c)));
            return false;
        }
    }
    return true;
}

PinAnswer judge_pin_answer(const core::AtExchange& ex, int state_log_level,
                           char (&state)[kStateTextSize]) {
    state[0] = '\0';
    if (ex.ends_on_error()) {
        return PinAnswer::Ended;
    }
    if (ex.first_line_is("OK")) {
        copy_text_cut(state, "READY");
        return PinAnswer::Accepted;
    }
    if (!ex.first_line_starts("+CM")) {
        return PinAnswer::Ended;
    }
    // An error the table does not name is still a refusal, reported with an empty text.
    if (const auto text = lookup(cme_state_table, ex.first_line_view())) {
        copy_text_cut(state, *text);
        MDM_LOG(state_log_level, "resPara is %s\n", state);
    }
    return PinAnswer::Refused;
}

}  // namespace orv::sim_security
