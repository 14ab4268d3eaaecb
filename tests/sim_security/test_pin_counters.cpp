#include "sim_security/sim_common.h"
#include "tests/sim_security/sim_security_test.h"

namespace orv::sim_security::test {
namespace {

struct EpincCase {
    const char* line;
    bool readable;
    const char* pin;
    const char* puk;
};

TEST(Epinc, ReadsPin1AndPuk1OrNothing) {
    const EpincCase cases[] = {
        {"+EPINC: 3, 3, 10, 10", true, "3", "10"},
        {"+EPINC: 0, 3, 9, 10", true, "0", "9"},
        {"+EPINC: 1234, 3, 1234, 10", true, "1234", "1234"},
        // Bare commas: the PUK counter loses its first character, as the layout defines.
        {"+EPINC: 3,3,10,10", true, "3", "0"},
        {"+EPINC:3,3,10,10", false, "", ""},
        {"+EPINC: 3, 3, 10", false, "", ""},
        {"+EPINC: 3, 3", false, "", ""},
        {"+EPINC: 3", false, "", ""},
        {"+EPINC: ", false, "", ""},
        {"+EPINC: 12345, 3, 10, 10", false, "", ""},
        {"+EPINC: 3, 3, 12345, 10", false, "", ""},
        {"+EPINC: 3, 3,,10", false, "", ""},
    };
    for (const EpincCase& c : cases) {
        const auto counters = read_epinc(c.line);
        ASSERT_EQ(counters.has_value(), c.readable) << c.line;
        if (counters) {
            EXPECT_EQ(counters->pin, c.pin) << c.line;
            EXPECT_EQ(counters->puk, c.puk) << c.line;
        }
    }
}

struct CounterCase {
    const char* name;
    std::string answer;
    const char* pin_after;  // starting from 3 and 10
    const char* puk_after;
    Lines logs;
};

// Request 6 changes only the in-memory counters; the next refresh publishes them.
TEST(PinPukTimes, KeepsTheCountersOfTheLastGoodAnswer) {
    const CounterCase cases[] = {
        {"good answer", epinc("0, 3, 9, 10"), "0", "9", {"6 pin time is 0,puk time is 9 \n"}},
        {"shorter replaces longer", epinc("2, 3, 8, 10"), "2", "8", {}},
        {"ERROR", kError, "3", "10", {"0 get pin puk times error \n"}},
        {"other answer", fake::final_line("+CME ERROR: SIM not inserted"), "3", "10", {}},
        {"empty", "", "3", "10", {"0 (char*)mdm_res.aucDataBuf is NULL\n"}},
        {"timeout", "TIMEOUT", "3", "10", {"0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"}},
        {"counter too long",
         epinc("3, 3, 123456789, 10"),
         "3",
         "10",
         {"0 +EPINC answer out of shape, pin and puk times kept\n"}},
        {"commas missing", epinc("2"), "3", "10", {}},
    };
    for (const CounterCase& c : cases) {
        prime_counters("3", "10");
        fake().answers = {c.answer};
        orv_quorl_mdm_get_pin_puk_times(nullptr);
        EXPECT_EQ(fake().timeline, (Lines{"AT AT+EPINC"})) << c.name;
        expect_logged(c.logs, c.name);
        for (const auto& line : fake().logs) {
            EXPECT_EQ(line.text.find("mdm_ATcmd_buf"), std::string::npos)
                << c.name << ": the command line is not logged";
        }
        fake::reset();
        orv_quorl_mdm_refresh_pin_puk_numbers();  // no answer: republishes what is kept
        EXPECT_EQ(fake().timeline,
                  (Lines{"AT AT+EPINC", std::string("WRITE pinnumber=") + c.pin_after,
                         std::string("WRITE puknumber=") + c.puk_after}))
            << c.name;
    }
}

TEST(PinPukTimes, RefreshPublishesTheNewCounters) {
    prime_counters("3", "10");
    fake().answers = {epinc("1, 3, 10, 10")};
    orv_quorl_mdm_refresh_pin_puk_numbers();
    EXPECT_EQ(fake().timeline, (Lines{"AT AT+EPINC", "WRITE pinnumber=1", "WRITE puknumber=10"}));
    EXPECT_EQ(fake().store["pinnumber"], "1");
}

}  // namespace
}  // namespace orv::sim_security::test
