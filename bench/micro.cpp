// Micro-benchmarks of the request path's pieces, over the recording platform (no I/O): the AT
// exchange's cutting of an answer, the dispatcher, the answer readers, the handlers that read
// SIM files, and the conversion library.
//
// Handlers run over tests/fake: each iteration resets the fake and scripts one answer, and the
// fake records every call in strings. BM_FakeOnly measures that bookkeeping alone; subtract it
// from a handler's figure to see the handler's own cost.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "core/at_exchange.h"
#include "daemon/dispatch.h"
#include "device/device.h"
#include "sim_identity/language.h"
#include "sim_identity/sim_identity.h"
#include "sim_identity/spn.h"
#include "sim_security/sim_common.h"
#include "sim_security/sim_security.h"
#include "tests/fake/fake_platform.h"
#include "text/orv_convert.h"
#include "wire/mdm_msg.h"

namespace {

using orv::fake::fake;

const std::string kImeiAnswer = orv::fake::info_ok("356938035643809");

void script(const std::string& answer) {
    orv::fake::reset();
    fake().answers.push_back(answer);
}

// --- The fake's own bookkeeping, the floor under every handler figure below.
void BM_FakeOnly(benchmark::State& state) {
    for (auto _ : state) {
        script(kImeiAnswer);
        benchmark::DoNotOptimize(fake().answers.front().data());
    }
}
BENCHMARK(BM_FakeOnly);

// --- The AT exchange: send over the fake, cut the answer into result and first line, judge.
void BM_ExchangeCutAnswer(benchmark::State& state) {
    for (auto _ : state) {
        script(kImeiAnswer);
        orv::core::AtExchange ex;
        const auto outcome = ex.run("AT+CGSN", {.texts = orv::core::kTextsNone});
        benchmark::DoNotOptimize(outcome);
        benchmark::DoNotOptimize(ex.first_line_is("ERROR"));
    }
}
BENCHMARK(BM_ExchangeCutAnswer);

// --- The dispatcher: one message whose identifier has no handler (table walk and its logging).
void BM_Dispatch(benchmark::State& state) {
    unsigned char msg[orv::msg::kRecvBufferSize] = {};
    orv::msg::store_u32(msg, orv::msg::ORV_MDM_GET_SPC);
    for (auto _ : state) {
        orv::fake::reset();
        benchmark::DoNotOptimize(orv::daemon::orv_quorl_mdm_dispatch_msg(msg));
    }
}
BENCHMARK(BM_Dispatch);

// --- Answer readers of the SIM-security handlers.
void BM_ReadEpinc(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(orv::sim_security::read_epinc("+EPINC: 3, 3, 10, 10"));
    }
}
BENCHMARK(BM_ReadEpinc);

constexpr std::string_view kEsmlck = "+ESMLCK: (0,1,5,10),(1,0,3,3),(2,0,3,3),(3,0,3,3),(4,0,3,3)";

void BM_ReadLockGroups(benchmark::State& state) {
    using orv::sim_security::LockGroup;
    for (auto _ : state) {
        const auto net = orv::sim_security::read_lock_group(kEsmlck, LockGroup::Network);
        const auto sub = orv::sim_security::read_lock_group(kEsmlck, LockGroup::NetworkSubset);
        benchmark::DoNotOptimize(net);
        benchmark::DoNotOptimize(sub);
        if (net) {
            benchmark::DoNotOptimize(orv::sim_security::lock_group_is_on(*net));
            benchmark::DoNotOptimize(orv::sim_security::read_lock_group_count(*net));
        }
    }
}
BENCHMARK(BM_ReadLockGroups);

void BM_CpinStateLookup(benchmark::State& state) {
    // The last row of the table: the longest walk.
    const std::string_view line = "+CPIN: PH-FSIM PUK";
    for (auto _ : state) {
        benchmark::DoNotOptimize(orv::lookup(orv::sim_security::cpin_state_table, line));
        benchmark::DoNotOptimize(orv::lookup(orv::sim_security::lock_type_table, line));
    }
}
BENCHMARK(BM_CpinStateLookup);

void BM_CodeFitsCommand(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(orv::sim_security::code_fits_command("12345678", 20, "PIN"));
    }
}
BENCHMARK(BM_CodeFitsCommand);

// --- SIM file readers through their handlers (they are not separate functions).
void BM_ImeiHandler(benchmark::State& state) {
    for (auto _ : state) {
        script(kImeiAnswer);
        benchmark::DoNotOptimize(orv::device::orv_quorl_mdm_get_imei(nullptr));
    }
}
BENCHMARK(BM_ImeiHandler);

void BM_IccidHandler(benchmark::State& state) {
    const std::string answer = orv::fake::info_ok("+CRSM: 144, 0,\"984421436587092143F5\"");
    for (auto _ : state) {
        script(answer);
        benchmark::DoNotOptimize(orv::sim_identity::orv_quorl_mdm_get_iccid(nullptr, 0));
    }
}
BENCHMARK(BM_IccidHandler);

void BM_OwnNumberHandler(benchmark::State& state) {
    const std::string answer = orv::fake::info_ok("+CNUM: \"Own\",\"+491701234567\",145");
    for (auto _ : state) {
        script(answer);
        benchmark::DoNotOptimize(orv::sim_identity::orv_quorl_mdm_get_msisdn(nullptr));
    }
}
BENCHMARK(BM_OwnNumberHandler);

void BM_SpnHandler(benchmark::State& state) {
    const std::string answer =
        orv::fake::info_ok("+CRSM: 144, 0,\"014F7276696FFFFFFFFFFFFFFFFFFFFFFF\"");
    for (auto _ : state) {
        script(answer);
        benchmark::DoNotOptimize(orv::sim_identity::orv_quorl_mdm_get_spn(nullptr));
    }
}
BENCHMARK(BM_SpnHandler);

void BM_LanguageHandler(benchmark::State& state) {
    const std::string answer = orv::fake::info_ok("+CRSM: 144, 0,\"656E\"");
    for (auto _ : state) {
        script(answer);
        char country[orv::sim_identity::kCountrySize] = "4412";
        orv::sim_identity::orv_quorl_mdm_auto_set_language(country);
    }
}
BENCHMARK(BM_LanguageHandler);

// EF AD has a reader of its own.
void BM_EfAdReader(benchmark::State& state) {
    const char* line = "+CRSM: 144, 0,\"00000003\"";
    const std::size_t len = std::strlen(line);
    for (auto _ : state) {
        orv::fake::reset();
        benchmark::DoNotOptimize(orv::sim_identity::orv_quorl_mdm_apn_parse_efad(line, len));
    }
}
BENCHMARK(BM_EfAdReader);

// --- The conversion library.
void BM_Utoa(benchmark::State& state) {
    char out[40];
    std::uint32_t v = 4000000000u;
    for (auto _ : state) {
        benchmark::DoNotOptimize(orv::text::orv_utoa(v, out, 10));
        ++v;
    }
}
BENCHMARK(BM_Utoa);

void BM_HexToBytes(benchmark::State& state) {
    unsigned char out[40];
    for (auto _ : state) {
        orv::text::orv_hex_to_bytes("984421436587092143F5", out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_HexToBytes);

void BM_HexToSimBytes(benchmark::State& state) {
    unsigned char out[40];
    for (auto _ : state) {
        orv::text::orv_hex_to_sim_bytes(out, "984421436587092143F5", 20);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_HexToSimBytes);

void BM_Gsm7ToHex(benchmark::State& state) {
    const auto* src = reinterpret_cast<const unsigned char*>("Orvio Mobile");
    char out[128];
    for (auto _ : state) {
        benchmark::DoNotOptimize(orv::text::orv_convert_charset(
            src, orv::text::ORV_CHARSET_GSM7, out, orv::text::ORV_CHARSET_HEX, 100));
    }
}
BENCHMARK(BM_Gsm7ToHex);

void BM_Gsm7ToUcs2(benchmark::State& state) {
    const auto* src = reinterpret_cast<const unsigned char*>("Orvio Mobile");
    char out[128];
    for (auto _ : state) {
        benchmark::DoNotOptimize(orv::text::orv_gsm7_to_ucs2(src, orv::text::ORV_CHARSET_GSM7, out,
                                                             orv::text::ORV_CHARSET_HEX, 100));
    }
}
BENCHMARK(BM_Gsm7ToUcs2);

void BM_Bit8ToUcs2(benchmark::State& state) {
    // The converter takes exactly (limit - 1) / 4 source bytes: 12 here, the text's length.
    static constexpr char kText[] = "Orvio Mobile";
    const auto* src = reinterpret_cast<const unsigned char*>(kText);
    constexpr std::uint16_t kLimit = 4 * (sizeof kText - 1) + 1;
    char out[kLimit];
    for (auto _ : state) {
        benchmark::DoNotOptimize(orv::text::orv_bit8_to_ucs2(src, orv::text::ORV_CHARSET_BIT8, out,
                                                             orv::text::ORV_CHARSET_HEX, kLimit));
    }
}
BENCHMARK(BM_Bit8ToUcs2);

void BM_SpnAscToUcs2(benchmark::State& state) {
    char digits[orv::sim_identity::kSpnDigitsSize] = {};
    std::strncpy(digits, "014F7276696FFFFFFFFFFFFFFFFFFFFFFF", sizeof digits - 1);
    char name[orv::sim_identity::kSpnNameSize];
    for (auto _ : state) {
        orv::sim_identity::orv_spn_asc_to_ucs2(digits, name);
        benchmark::DoNotOptimize(name);
    }
}
BENCHMARK(BM_SpnAscToUcs2);

}  // namespace

BENCHMARK_MAIN();
