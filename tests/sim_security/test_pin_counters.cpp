#include "sim_security/sim_common.h"
#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

// PIN1 and PUK1 as "pin|puk", or "" when the line cannot be read.
TEST(Epinc, ReadsPin1AndPuk1OrNothing) {
    const std::pair<const char*, const char*> rows[] = {
        {"+EPINC: 3, 3, 10, 10", "3|10"},
        {"+EPINC: 1234, 3, 1234, 10", "1234|1234"},
        {"+EPINC: 3,3,10,10", "3|0"},  // bare commas: the PUK counter loses its first character
        {"+EPINC:3,3,10,10", ""},
        {"+EPINC: 3", ""},
        {"+EPINC: 3, 3", ""},
        {"+EPINC: 3, 3, 10", ""},
        {"+EPINC: 3, 3,,10", ""},
        {"+EPINC: 12345, 3, 10, 10", ""},
        {"+EPINC: 3, 3, 12345, 10", ""},
    };
    for (const auto& [line, want] : rows) {
        const auto c = read_epinc(line);
        EXPECT_EQ(c ? std::string(c->pin) + "|" + std::string(c->puk) : "", want) << line;
    }
}

// Request 6 changes only the in-memory counters (3 and 10 before each row); the refresh publishes
// them, those of the last good answer when the new one is no good.
TEST(PinPukTimes, KeepsTheCountersOfTheLastGoodAnswer) {
    const struct {
        const char* name;
        const char* answer;
        const char* kept;  // "WRITE pinnumber=..|WRITE puknumber=.."
        const char* log;
    } rows[] = {
        {"good", "+EPINC: 2, 3, 8, 10", "pinnumber=2|WRITE puknumber=8",
         "6 pin time is 2,puk time is 8 \n"},
        {"ERROR", "ERROR", "pinnumber=3|WRITE puknumber=10", "0 get pin puk times error \n"},
        {"other answer", "+CME ERROR: SIM not inserted", "pinnumber=3|WRITE puknumber=10", ""},
        {"timeout", "TIMEOUT", "pinnumber=3|WRITE puknumber=10",
         "0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"},
        {"out of shape", "+EPINC: 3, 3, 123456789, 10", "pinnumber=3|WRITE puknumber=10",
         "0 +EPINC answer out of shape, pin and puk times kept\n"},
    };
    for (const auto& r : rows) {
        expect_story({r.name, kCounters + "|" + r.answer,
                      "AT AT+EPINC|AT AT+EPINC|WRITE " + std::string(r.kept), r.log},
                     [] {
                         orv_quorl_mdm_get_pin_puk_times(nullptr);
                         orv_quorl_mdm_refresh_pin_puk_numbers();
                     });
        EXPECT_FALSE(has_log_starting("6 mdm_ATcmd_buf")) << "the command line is not logged";
    }
}

}  // namespace
}  // namespace orv::sim_security::test
