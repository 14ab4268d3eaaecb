#include <array>
#include <tuple>

#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

// Input: the ICCID (SIM form) and IMSI the other requests kept ("" for the usual pair); the answer
// is EF AD's; the timeline after the read is the relayed record "PLMN|IMSI|ICCID". The PLMN is
// the first 5 characters of the IMSI, 6 when the 4th data byte of EF AD ends in 3.
TEST(ApnSimInfo, RecordFromKeptTextsAndEfad) {
    const std::string tail = "310410123456789|" + std::string(kIccid);
    const Story stories[] = {
        {"3-digit MNC", crsm("00000003"), "310410|" + tail,
         "6 apn, parse efad[,\"00000003],efad4bytes[00000003],efad4th[3]|"
         "6 apn, read efad, err_code[0], mdm_at_result_process [+CRSM: 144, 0,\"00000003\"]|"
         "6 iccid get success for apn|6 get imsi success"},
        {"2-digit MNC", crsm("00000002"), "31041|" + tail, ""},
        {"lower-case data with a 3", crsm("ff00ff03"), "310410|" + tail, ""},
        {"data without quotes loses its last digit", "+CRSM: 144, 0,00000003", "31041|" + tail, ""},
        {"one comma only: 2 digits", "+CME ERROR: 3,x", "31041|" + tail, ""},
        {"ERROR: no PLMN", "ERROR", "|" + tail,
         "6 apn, read efad, err_code[3], mdm_at_result_process [ERROR]"},
        {"TIMEOUT holds no line", "TIMEOUT", "|" + tail,
         "6 apn, read efad, err_code[2], mdm_at_result_process []"},
        {"short IMSI: the whole of it", crsm("00000003"), "2620|2620|" + std::string(kIccid), "",
         std::string(kStoredIccid) + "|2620"},
        {"no IMSI known: no PLMN either", crsm("00000003"), "||" + std::string(kIccid), "",
         std::string(kStoredIccid) + "|"},
        {"long texts cut to 31 characters", crsm("00000003"),
         "222222|" + std::string(31, '2') + "|" + std::string(31, '1'),
         "0 apn, iccid of 45 characters cut to 31\n|0 apn, imsi of 40 characters cut to 31\n",
         std::string(45, '1') + "|" + std::string(40, '2')},
    };
    for (const Story& s : stories) {
        const bool usual = s.input.empty();
        keep(usual ? kStoredIccid : s.field(0), usual ? "310410123456789" : s.field(1));
        expect_story({s.name, s.answers,
                      "AT AT+CRSM=176,28589,0,0,4|NOTIFY apn_sim_msg " + s.timeline, s.logs},
                     [] { orv_quorl_mdm_apn_read_sim_info(nullptr); });
        EXPECT_TRUE(fake().echoes.empty()) << s.name;
        EXPECT_EQ(fake().waits, (std::vector<int>{0})) << s.name;
    }
    fake::reset();
    EXPECT_EQ(orv_quorl_mdm_apn_read_efad(nullptr), 0);
    EXPECT_EQ(fake().log_texts(),
              (Lines{"6 apn, read efad, err_code[1], mdm_at_result_process []"}));
}

// The n-th comma field from the end as "result|field": it begins with its comma, the text's
// first character is never examined and its last never part of a field.
TEST(ApnEfadPieces, FieldFromTheEnd) {
    const std::tuple<std::string, unsigned, std::string> rows[] = {
        {"+CRSM: 144, 0,\"00000003\"", 1, "0|,\"00000003"},
        {"a,bc,de,f", 2, "0|,de"},
        {"a,bc", 2, "2|"},
        {",abc", 1, "2|"},
        {"x," + std::string(30, '7'), 1, "0|," + std::string(15, '7')},  // cut to 16
        {"a,b", 0, "1|"},
        {"", 1, "1|"},
    };
    for (const auto& [text, n, want] : rows) {
        std::array<char, kApnTextSize> out{};
        const int result = get_field_from_end(text.data(), text.size(), n, out, ',');
        EXPECT_EQ(std::to_string(result) + "|" + out.data(), want) << text;
    }
    std::array<char, 16> too_small{};
    EXPECT_EQ(get_field_from_end("a,b", 3, 1, too_small, ','), 1);
    std::array<char, kApnTextSize> out{};
    EXPECT_EQ(get_field_from_end(nullptr, 3, 1, out, ','), 1);
}

TEST(ApnEfadPieces, HexDigitsAndCommas) {
    std::array<char, kApnTextSize> out{};
    out.fill('z');
    const std::string in = ",\"0a1B2c3D4e5F\"";
    filter_hex_digits(in.data(), in.size(), out, 8);
    EXPECT_EQ(std::string(out.data(), 9), std::string("0a1B2c3D") + 'z');  // first 8 kept
    std::array<char, 4> small{};
    filter_hex_digits(in.data(), in.size(), small, 8);  // never past the room it has
    EXPECT_EQ(std::string(small.data(), 4), std::string("0a1") + '\0');

    EXPECT_EQ(has_multiple_commas("a,b,c", 5), 1);
    EXPECT_EQ(has_multiple_commas("a,b,c", 3), 0);  // only the first length characters count
    EXPECT_EQ(orv_quorl_mdm_apn_parse_efad("+CRSM: 144, 0,\"0003\"", 20), 0);  // no 8th digit
}

}  // namespace
}  // namespace orv::sim_identity::testing
