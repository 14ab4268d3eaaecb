// IMSI and own number (MSISDN) requests. A busy SIM gets exactly one more try after 5 seconds.
#include <array>
#include <string_view>

#include "core/at_exchange.h"
#include "core/bounded.h"
#include "core/log.h"
#include "platform/orv_nvram.h"
#include "sim_identity/sim_identity.h"

namespace orv::sim_identity {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::imsi_msisdn};

// First answer line of the last IMSI request that stored one, for the life of the process.
char mdm_sim_imsi[kSimImsiSize] = {};

constexpr unsigned kBusyWaitS = 5;

// ---- IMSI ----

constexpr std::string_view kCimi = "AT+CIMI";
constexpr std::array<std::string_view, 2> kImsiBusy = {"ERROR", "+CME ERROR: SIM busy"};

// Neither the command nor the raw answer is logged, only the first line. An empty first answer
// is logged at information level, an empty answer after the wait at error level.
constexpr core::AtLogTexts kImsiTexts{core::kNoLine, core::kNoLine, core::kNoLine,
                                      core::kTextsTight.first_line};
constexpr core::AtOptions kImsiFirstTry{.empty_log = core::LogAt::Info, .texts = kImsiTexts};
constexpr core::BusyRetry kImsiBusyRetry{
    .busy = kImsiBusy,
    .busy_level = kLogErr,
    .busy_line = "(char*)mdm_res.aucDataBuf is ERROR or SIM busy\n",
    .again_line = "(char*)mdm_res.aucDataBuf is ERROR or SIM busy again,discard it!!!\n",
    .wait_s = kBusyWaitS,
    .retry = {.empty_log = core::LogAt::Error, .texts = kImsiTexts},
};

// ---- MSISDN ----

constexpr std::string_view kCnum = "AT+CNUM";
constexpr std::array<std::string_view, 3> kMsisdnBusy = {"ERROR", "+CME ERROR: SIM busy",
                                                         "+CME ERROR: operation not allowed"};
constexpr std::string_view kMsisdnUnknown = "+CME ERROR: unknown";

// The command is not logged; the raw answer and the first line are.
constexpr core::AtOptions kMsisdnExchange{
    .texts = {core::kNoLine, core::kTextsTight.answer, core::kNoLine, core::kTextsTight.first_line},
};

constexpr core::BusyRetry kMsisdnBusyRetry{
    .busy = kMsisdnBusy,
    .busy_level = kLogInfo,
    .busy_line = "(char*)mdm_res.aucDataBuf is ERROR or SIM busy or operation not allowed\n",
    .again_line =
        "(char*)mdm_res.aucDataBuf is ERROR or SIM busy or operation not allowed "
        "again,discard it!!!\n",
    .wait_s = kBusyWaitS,
    .retry = kMsisdnExchange,
};

constexpr std::size_t kMsisdnSize = 20;

enum class Number { Taken, NoField, TooLong };

// The number of an AT+CNUM answer line: the text between the first comma and the next one,
// without its first and last characters (the double quotes).
//   +CNUM: "Own","+491701234567",145
Number take_number(std::string_view line, char (&out)[kMsisdnSize]) {
    const std::size_t first = line.find(',');
    if (first == std::string_view::npos) {
        return Number::NoField;
    }
    const std::size_t a = first + 1;
    const std::size_t b = line.find(',', a);
    // Adjacent commas, or a single character between them, leave no quoted field.
    if (b == std::string_view::npos || b < a + 2) {
        return Number::NoField;
    }
    if (!copy_text_whole(out, line.substr(a + 1, b - a - 2))) {
        return Number::TooLong;
    }
    return Number::Taken;
}

}  // namespace

std::string_view mdm_sim_imsi_text() {
    return text_view(mdm_sim_imsi);
}

std::int32_t orv_quorl_mdm_get_imsi(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_get_imsi fun\n");

    core::AtExchange ex;
    if (ex.run(kCimi, kImsiFirstTry) != core::AtOutcome::Answer) {
        return -1;
    }
    if (!ex.retry_if_busy(kImsiBusyRetry)) {
        return -1;
    }

    // Whatever else the SIM answered is its IMSI; the first line always fits the buffer.
    const std::string_view imsi = ex.first_line_view();
    copy_text_cut(mdm_sim_imsi, imsi);
    orv_nvconfig_write("sim_imsi", imsi.data(), static_cast<int>(imsi.size()));
    return 0;
}

std::int32_t orv_quorl_mdm_get_msisdn(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "enter orv_quorl_mdm_get_msisdn fun\n");

    core::AtExchange ex;
    if (ex.run(kCnum, kMsisdnExchange) != core::AtOutcome::Answer) {
        return -1;
    }
    if (ex.first_line_is(kMsisdnUnknown)) {
        MDM_LOG(kLogErr, "get msisdn is unknown,return\n");
        return -1;
    }
    if (!ex.retry_if_busy(kMsisdnBusyRetry)) {
        return -1;
    }
    if (ex.first_line_is("OK")) {
        MDM_LOG(kLogInfo, "(char*)mdm_res.aucDataBuf is OK\n");
        return -1;
    }

    char msisdn[kMsisdnSize] = {};
    switch (take_number(ex.first_line_view(), msisdn)) {
        case Number::Taken:
            break;
        case Number::NoField:
            MDM_LOG(kLogErr, "msisdn line has no number field: %s\n", ex.first_line());
            return -1;
        case Number::TooLong:
            MDM_LOG(kLogErr, "msisdn longer than %d characters: %s\n",
                    static_cast<int>(kMsisdnSize - 1), ex.first_line());
            return -1;
    }
    MDM_LOG(kLogInfo, "msisdn is %s\n", msisdn);
    const std::string_view number = text_view(msisdn);
    orv_nvconfig_write("msisdn", number.data(), static_cast<int>(number.size()));
    return 0;
}

}  // namespace orv::sim_identity
