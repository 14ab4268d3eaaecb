#include <string_view>

#include "core/at_exchange.h"
#include "core/log.h"
#include "device/device.h"
#include "platform/orv_nvram.h"

namespace orv::device {

namespace {

constexpr core::LogSite kLogSite{core::kHandlerModule, core::LogFile::imei};

using core::AtExchange;
using core::AtLogTexts;
using core::AtOptions;
using core::AtOutcome;
using core::kNoLine;
using core::TimeoutTest;

// Of the exchange's information lines only the first line is logged.
constexpr AtLogTexts kImeiTexts{kNoLine, kNoLine, kNoLine, {"mdm_at_result_process is ", " \n"}};
constexpr AtOptions kCgsn{.timeout = TimeoutTest::RetryOnce, .texts = kImeiTexts};

}  // namespace

// "AT+CGSN" answers "\r\n356938035643809\r\n\r\nOK\r\n". The first line is published as it
// is: neither a prefix is removed nor the digits checked, so a "+CME ERROR: ..." line is
// published too; only a bare "ERROR" or "OK" (no IMEI line) leaves "imei" as it was.
std::int32_t orv_quorl_mdm_get_imei(const unsigned char* /*payload*/) {
    MDM_LOG(kLogInfo, "entern orv_quorl_mdm_get_imei \n");

    AtExchange ex;
    if (ex.run("AT+CGSN", kCgsn) != AtOutcome::Answer) {
        return -1;
    }
    if (ex.ends_on_error()) {
        return -1;
    }
    if (ex.first_line_is("OK")) {
        MDM_LOG(kLogInfo, "(char*)mdm_res.aucDataBuf is OK\n");
        return -1;
    }

    const std::string_view imei = ex.first_line_view();
    orv_nvconfig_write("imei", imei.data(), static_cast<int>(imei.size()));
    return 0;
}

}  // namespace orv::device
