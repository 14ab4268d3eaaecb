#include <array>

#include "tests/sim_identity/sim_identity_fixture.h"

namespace orv::sim_identity::testing {
namespace {

constexpr const char* kReadEfad = "AT AT+CRSM=176,28589,0,0,4";

std::string efad_answer(std::string_view data) {
    return fake::info_ok("+CRSM: 144, 0,\"" + std::string(data) + "\"");
}

struct ApnCase {
    const char* name;
    std::string iccid_quoted;  // what the ICCID request kept (its SIM form)
    std::string imsi;          // what the IMSI request kept
    std::string efad;          // the EF AD answer
    std::string notify;        // the relayed record
    Lines logs;                // among the logged lines
};

TEST_F(SimIdentityTest, ApnRecordFromKeptTextsAndEfad) {
    const std::string imsi = "310410123456789";
    const std::string iccid = "|8944123456789012345F";
    const std::string s = std::string(kStoredIccid);
    const ApnCase cases[] = {
        {"3-digit MNC",
         s,
         imsi,
         efad_answer("00000003"),
         "NOTIFY apn_sim_msg 310410|" + imsi + iccid,
         {"6 apn, parse efad[,\"00000003],efad4bytes[00000003],efad4th[3]",
          "6 apn, read efad, err_code[0], mdm_at_result_process [+CRSM: 144, 0,\"00000003\"]",
          "6 iccid get success for apn", "6 get imsi success"}},
        {"2-digit MNC",
         s,
         imsi,
         efad_answer("00000002"),
         "NOTIFY apn_sim_msg 31041|" + imsi + iccid,
         {}},
        {"lower-case data with a 3",
         s,
         imsi,
         efad_answer("ff00ff03"),
         "NOTIFY apn_sim_msg 310410|" + imsi + iccid,
         {}},
        {"data without quotes loses its last digit",
         s,
         imsi,
         fake::info_ok("+CRSM: 144, 0,00000003"),
         "NOTIFY apn_sim_msg 31041|" + imsi + iccid,
         {}},
        {"one comma only: 2 digits",
         s,
         imsi,
         fake::final_line("+CME ERROR: 3,x"),
         "NOTIFY apn_sim_msg 31041|" + imsi + iccid,
         {}},
        {"ERROR: no PLMN",
         s,
         imsi,
         fake::final_line("ERROR"),
         "NOTIFY apn_sim_msg |" + imsi + iccid,
         {"6 apn, read efad, err_code[3], mdm_at_result_process [ERROR]"}},
        {"empty answer: no PLMN",
         s,
         imsi,
         "",
         "NOTIFY apn_sim_msg |" + imsi + iccid,
         {"6 apn, read efad, err_code[2], mdm_at_result_process []"}},
        {"TIMEOUT holds no line: like an empty answer",
         s,
         imsi,
         "TIMEOUT",
         "NOTIFY apn_sim_msg |" + imsi + iccid,
         {"6 apn, read efad, err_code[2], mdm_at_result_process []"}},
        {"short IMSI: the whole of it",
         s,
         "2620",
         efad_answer("00000003"),
         "NOTIFY apn_sim_msg 2620|2620" + iccid,
         {}},
        {"no IMSI known: no PLMN either",
         s,
         "",
         efad_answer("00000003"),
         "NOTIFY apn_sim_msg ||8944123456789012345F",
         {}},
        {"nothing known", "", "", efad_answer("00000002"), "NOTIFY apn_sim_msg ||", {}},
        {"long texts cut to 31 characters",
         std::string(45, '1'),
         std::string(40, '2'),
         efad_answer("00000003"),
         "NOTIFY apn_sim_msg 222222|" + std::string(31, '2') + "|" + std::string(31, '1'),
         {"0 apn, iccid of 45 characters cut to 31\n", "0 apn, imsi of 40 characters cut to 31\n"}},
    };
    for (const ApnCase& c : cases) {
        keep_iccid(c.iccid_quoted);
        keep_imsi(c.imsi);
        fake().answers = {c.efad};
        orv_quorl_mdm_apn_read_sim_info(nullptr);
        EXPECT_EQ(fake().timeline, (Lines{kReadEfad, c.notify})) << c.name;
        expect_logged(c.logs, c.name);
        EXPECT_TRUE(fake().echoes.empty()) << c.name;
        EXPECT_EQ(fake().waits, (std::vector<int>{0})) << c.name;
        const Lines logs = fake().log_texts();
        EXPECT_EQ(logs.front(), "6 enter orv_quorl_mdm_apn_read_sim_info fun") << c.name;
        EXPECT_EQ(logs.back(), "6 enter orv_quorl_mdm_apn_read_sim_info fun return") << c.name;
    }
}

TEST(ApnEfadRead, NullPointerSendsNothing) {
    fake::reset();
    EXPECT_EQ(orv_quorl_mdm_apn_read_efad(nullptr), 0);
    EXPECT_TRUE(fake().commands.empty());
    EXPECT_EQ(fake().log_texts(),
              (Lines{"6 apn, read efad, err_code[1], mdm_at_result_process []"}));
}

struct FieldCase {
    const char* name;
    std::string text;
    unsigned n;
    int result;
    std::string field;
};

TEST(ApnEfadPieces, FieldFromTheEnd) {
    const FieldCase cases[] = {
        {"last field: delimiter kept, last character left out", "+CRSM: 144, 0,\"00000003\"", 1, 0,
         ",\"00000003"},
        {"second field from the end", "a,bc,de,f", 2, 0, ",de"},
        {"third field from the end", "a,bc,de,f", 3, 0, ",bc"},
        {"fewer delimiters than asked", "a,bc", 2, 2, ""},
        {"first character is never examined", ",abc", 1, 2, ""},
        {"one character", ",", 1, 2, ""},
        {"field longer than 16 is cut to 16", "x," + std::string(30, '7'), 1, 0,
         "," + std::string(15, '7')},
        {"n of 0", "a,b", 0, 1, ""},
        {"length 0", "", 1, 1, ""},
    };
    for (const FieldCase& c : cases) {
        std::array<char, kApnTextSize> out{};
        EXPECT_EQ(get_field_from_end(c.text.data(), c.text.size(), c.n, out, ','), c.result)
            << c.name;
        EXPECT_EQ(std::string(out.data()), c.field) << c.name;
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
    EXPECT_EQ(std::string(small.data(), 3), "0a1");
    EXPECT_EQ(small[3], '\0');

    EXPECT_EQ(has_multiple_commas("a,b,c", 5), 1);
    EXPECT_EQ(has_multiple_commas("a,b,c", 3), 0);  // only the first length characters count
    EXPECT_EQ(has_multiple_commas("a,b", 3), 0);
    EXPECT_EQ(has_multiple_commas("", 0), 0);

    EXPECT_EQ(orv_quorl_mdm_apn_parse_efad("+CRSM: 144, 0,\"00000003\"", 24), 1);
    EXPECT_EQ(orv_quorl_mdm_apn_parse_efad("+CRSM: 144, 0,\"0003\"", 20), 0);  // no 8th digit
}

}  // namespace
}  // namespace orv::sim_identity::testing
