// The SIM identity requests over the recording platform: ICCID, IMSI, own number, O2 pay type,
// the APN record, service provider name and language detection. Rows are compact scripted stories
// (answers, expected timeline and log lines as strings with '|' between entries). The kept ICCID
// and IMSI live for the whole process, so every test that reads them establishes them itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "sim_identity/language.h"
#include "sim_identity/sim_identity.h"
#include "sim_identity/spn.h"
#include "tests/fake/fake_platform.h"
#include "tests/fake/story.h"

namespace orv::sim_identity::testing {
namespace {

using fake::expect_story;
using fake::fake;
using fake::Lines;
using fake::Story;

// The EF ICCID answer with `quoted` between the quotes, as this modem writes it.
std::string crsm(std::string_view quoted) {
    return "+CRSM: 144, 0,\"" + std::string(quoted) + "\"";
}

// A 20-digit ICCID as the SIM stores it, and as it is published.
constexpr std::string_view kStoredIccid = "984421436587092143F5";
constexpr std::string_view kIccid = "8944123456789012345F";

// Makes the kept ICCID the swap of `quoted` and the kept IMSI `imsi` (the language not following
// the SIM), then resets the platform.
void keep(std::string_view quoted, std::string_view imsi) {
    fake::reset();
    fake().answers = {fake::info_ok(crsm(quoted)), fake::info_ok(imsi)};
    orv_quorl_mdm_get_iccid(nullptr, 0);
    orv_quorl_mdm_get_imsi(nullptr);
    fake::reset();
}

// Input: the ICCID remembered in the store ("" none); arg: the language flag. The kept ICCID is
// empty before each row and always follows the last "sim_iccid" published.
TEST(Iccid, IsSwappedPublishedAndJudged) {
    const std::string read = "AT AT+CRSM=176,12258,0,0,10|";
    const std::string pub = read + "WRITE sim_iccid=";
    const std::string iccid(kIccid);
    const std::string forty_nine(49, '2');
    const std::string pl = "|AT AT+CRSM=176,12037,0,0,2|";
    const std::string sql = "select Language from language where Country_code like 4412";
    const Story stories[] = {
        {"20 digits: every pair exchanged", crsm(kStoredIccid), pub + iccid,
         "6 sim iccid is 8944123456789012345F\n"},
        {"19: the last swaps with the terminator", crsm("984421436587092143F"),
         pub + "894412345678901234", ""},
        {"22: the tail stays in place", crsm("984421436587092143F5AB"), pub + iccid + "AB", ""},
        {"49 characters fit", crsm(forty_nine), pub + forty_nine, ""},
        {"50 do not", crsm(std::string(50, '1')), read,
         "0 quoted iccid longer than 49 characters\n"},
        {"empty quotes: no language detection", crsm(""), pub, "", iccid, 1},
        {"status pair without data", "+CRSM: 0, 0", pub, "0 sim fail\n", "", 1},
        {"SIM failure, +CRSM elsewhere", "\r\n+CME ERROR: SIM failure\r\n+CRSM\r\n", pub,
         "0 sim fail\n"},
        {"SIM failure without +CRSM", "+CME ERROR: SIM failure", read,
         "0 (char*)mdm_res.aucDataBuf has no +CRSM\n"},
        {"ERROR", "\r\nERROR\r\n+CRSM\r\n", read, "0 (char*)mdm_res.aucDataBuf is ERROR\n"},
        {"OK", "\r\nOK\r\n+CRSM: 144, 0\r\n", read, "0 (char*)mdm_res.aucDataBuf is OK\n"},
        {"status pair without the blank", "+CRSM: 0,0", read, "0 p1 is null\n"},
        {"no closing quote", "+CRSM: 144, 0,\"98442143", read, "0 p2 is null\n"},
        {"TIMEOUT is tested after the echo", "TIMEOUT", read,
         "6 (char*)mdm_res.aucDataBuf is TIMEOUT\n|0 (char*)mdm_res.aucDataBuf is TIMEOUT\n"},
        {"flag off: no comparison", crsm(kStoredIccid), pub + iccid, "", "89000000000000000000"},
        {"flag on, same SIM", crsm(kStoredIccid), pub + iccid, "", iccid, 1},
        {"flag on, new SIM: EF_PL language, ICCID remembered",
         crsm(kStoredIccid) + "|+CRSM: 144, 0,\"656E\"",
         pub + iccid + pl + "WRITE Language=en|SAVE|WRITE iccid=" + iccid + "|SAVE",
         "6 iccid change,auto set language  \n", "89000000000000000000", 1},
        {"flag on, fresh store: country digits after 89 to the database",
         crsm(kStoredIccid) + "|ERROR",
         pub + iccid + pl + "SQL " + sql + "|WRITE Language=de|SAVE|WRITE iccid=" + iccid + "|SAVE",
         "", "", 1},
    };
    for (const Story& s : stories) {
        keep("", "");
        expect_story(s, [&] {
            if (!s.input.empty()) {
                fake().store["iccid"] = s.input;
            }
            fake().db_rows[sql] = {{"de"}};
            orv_quorl_mdm_get_iccid(nullptr, static_cast<std::uint8_t>(s.arg));
        });
        const Lines& t = fake().timeline;
        const auto last = std::find_if(t.rbegin(), t.rend(), [](const std::string& e) {
            return e.starts_with("WRITE sim_iccid=");
        });
        EXPECT_EQ(mdm_sim_iccid_text(), last == t.rend() ? "" : last->substr(16)) << s.name;
        EXPECT_EQ(fake().echoes.size(), 1u) << s.name;
    }
}

// A busy SIM ("ERROR" or "+CME ERROR: SIM busy") gets one more try after 5 s; any other answer is
// the IMSI. The kept IMSI follows the store: the value written, or the one from before.
TEST(Imsi, OneRetryOnABusySim) {
    const std::string cimi = "AT AT+CIMI";
    const std::string retry = cimi + "|SLEEP 5|" + cimi;
    const Story stories[] = {
        {"IMSI", "262011234567890", cimi + "|WRITE sim_imsi=262011234567890", ""},
        {"busy, then the IMSI", "+CME ERROR: SIM busy|262011234567890",
         retry + "|WRITE sim_imsi=262011234567890",
         "0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy\n"},
        {"ERROR, then busy: discarded", "ERROR|+CME ERROR: SIM busy", retry,
         "0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy again,discard it!!!\n"},
        {"another error is published as it is", "+CME ERROR: SIM not inserted",
         cimi + "|WRITE sim_imsi=+CME ERROR: SIM not inserted", ""},
        {"empty first answer: information", "", cimi, "6 (char*)mdm_res.aucDataBuf is NULL\n"},
        {"empty after the wait: error", "ERROR|", retry, "0 (char*)mdm_res.aucDataBuf is NULL\n"},
    };
    for (const Story& s : stories) {
        keep("", "001010000000001");
        expect_story(s, [] { orv_quorl_mdm_get_imsi(nullptr); });
        const std::string& last = fake().timeline.back();
        EXPECT_EQ(mdm_sim_imsi_text(),
                  last.starts_with("WRITE sim_imsi=") ? last.substr(15) : "001010000000001")
            << s.name;
    }
}

// The number between the first two commas, without its quotes. "ERROR", "SIM busy" and
// "operation not allowed" get one more try after 5 s; "unknown" ends the request at once.
TEST(Msisdn, TakesTheFirstNumber) {
    const std::string cnum = "AT AT+CNUM";
    const std::string retry = cnum + "|SLEEP 5|" + cnum;
    const std::string nineteen(19, '9');
    const Story stories[] = {
        {"number with alpha tag", "+CNUM: \"Own\",\"+491701234567\",145",
         cnum + "|WRITE msisdn=+491701234567", "6 msisdn is +491701234567\n"},
        {"19 characters fit", "+CNUM: \"\",\"" + nineteen + "\",129",
         cnum + "|WRITE msisdn=" + nineteen, ""},
        {"20 do not", "+CNUM: \"\",\"" + nineteen + "0\",129", cnum,
         "0 msisdn longer than 19 characters: +CNUM: \"\",\"" + nineteen + "0\",129\n"},
        {"empty number", "+CNUM: \"\",\"\",129", cnum + "|WRITE msisdn=", ""},
        {"unknown: no retry", "+CME ERROR: unknown", cnum, "0 get msisdn is unknown,return\n"},
        {"busy, then the number", "+CME ERROR: SIM busy|+CNUM: \"\",\"+4917011111\",145",
         retry + "|WRITE msisdn=+4917011111",
         "6 (char*)mdm_res.aucDataBuf is ERROR or SIM busy or operation not allowed\n"},
        {"not allowed, then ERROR: discarded", "+CME ERROR: operation not allowed|ERROR", retry,
         "0 (char*)mdm_res.aucDataBuf is ERROR or SIM busy or operation not allowed "
         "again,discard it!!!\n"},
        {"unknown after the wait has no number", "ERROR|+CME ERROR: unknown", retry,
         "0 msisdn line has no number field: +CME ERROR: unknown\n"},
        {"no own number", "OK", cnum, "6 (char*)mdm_res.aucDataBuf is OK\n"},
        {"no second comma", "+CNUM: \"\",\"+4917011111\"", cnum,
         "0 msisdn line has no number field: +CNUM: \"\",\"+4917011111\"\n"},
        {"adjacent commas", "+CNUM: \"\",,145", cnum, ""},
        {"one character between the commas", "+CNUM: \"\",5,145", cnum, ""},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_get_msisdn(nullptr); });
    }
}

// One byte of the operator file: odd is contract, even prepaid. When it cannot be read, the FDN
// bits of the service table decide: 0x10 prepaid, 0x30 contract, neither "other".
TEST(O2PayType, FromOperatorFileOrFdnBits) {
    const std::string op = "AT AT+CRSM=176,28418,0,0,1,,\"7F43\"";
    const std::string both = op + "|AT AT+CRSM=176,28472,0,0,1,,\"7F20\"";
    const std::string not_found = "+CRSM: 148, 4|";
    auto fallback = [&](const char* type) { return both + "|WRITE sim_pay_type_o2=" + type; };
    const Story stories[] = {
        {"odd byte: contract", crsm("01"), op + "|WRITE sim_pay_type_o2=postpay", ""},
        {"even byte: prepaid", crsm("00"), op + "|WRITE sim_pay_type_o2=prepay", ""},
        {"fallback 1F: FDN allocated", not_found + crsm("1F"), fallback("prepay"),
         "0 sim read o2 pay type fail \n|6 enter orv_quorl_mdm_get_o2_fdn fun\n"},
        {"fallback 3F: allocated and activated", not_found + crsm("3F"), fallback("postpay"), ""},
        {"fallback 0F", not_found + crsm("0F"), fallback("other"), ""},
        {"both reads fail", not_found + "ERROR", both,
         "0 sim read o2 pay type fail \n|0 sim read o2 fdn fail \n"},
        {"empty answer: fallback", "|" + crsm("1F"), fallback("prepay"),
         "6 (char*)mdm_res.aucDataBuf is NULL\n"},
        {"no blank after the comma is no success", "+CRSM: 144,0,\"01\"", both,
         "0 sim read o2 pay type fail \n"},
        {"no quote: fallback", "+CRSM: 144, 0|" + crsm("3F"), fallback("postpay"),
         "0 sim byte read has no two characters after the quote: +CRSM: 144, 0\n"},
        {"quote at the end, one character", "+CRSM: 144, 0,\"|+CRSM: 144, 0,\"3", both, ""},
    };
    for (const Story& s : stories) {
        expect_story(s, [] { orv_quorl_mdm_get_o2_sim_pay_type(nullptr); });
    }
}

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

// A success answer with `field` quoted; `pad` fills it with FF bytes to the 34 digits of 17 bytes.
std::string spn(std::string field, bool pad = true) {
    while (pad && field.size() < 34) {
        field += "FF";
    }
    return fake::info_ok("+CRSM: 144, 0,\"" + field + "\"");
}

// The read, then, when a name is given, the name and the two display flags ("10": b1 1, b2 0).
Lines timeline(const char* name, const char* flags) {
    Lines out{"AT AT+CRSM=176,28486,0,0,17"};
    if (name != nullptr) {
        out.insert(out.end(), {std::string("WRITE spn_name_data=") + name,
                               std::string("WRITE spn_b1_flag=") + flags[0],
                               std::string("WRITE spn_b2_flag=") + flags[1]});
    }
    return out;
}

TEST(ServiceProviderName, PublishesNameAndFlags) {
    const std::string no_quote = "0 sim spn answer without a quoted field \n";
    const struct {
        const char* name;
        std::string answer;
        const char* spn;  // null: nothing published
        const char* flags;
        std::string logs;  // '|' between lines that must be logged
    } cases[] = {
        {"GSM name", spn("014142"), "00410042", "10",
         "6 spn decode  is_usc2_flag  false!|6 spn decode break!!!i=6"},
        {"UCS-2 form 80", spn("028000410042"), "00410042", "01",
         "6 spn decode  is_usc2_flag  true!!!"},
        {"UCS-2 form 81 kept as it stands", spn("0381059E00414243"), "059E00414243", "11", ""},
        {"8 in second place of a GSM byte", spn("004858"), "00480058", "00", ""},
        {"all FF", spn(""), "", "11", "6 spn decode break!!!i=2"},
        {"UCS-2 U+00FF ends the name", spn("0080004100FF0042"), "004100", "00", ""},
        {"FF across a byte boundary", spn("00800FF1"), "0FF1", "00", ""},
        {"marker as the last digit", spn("038", false), "", "11", ""},
        {"lower-case display digit", spn("0b41"), "0041", "11", ""},
        {"39 digits: lone last dropped", spn("01" + std::string(37, '4'), false),
         "004400440044004400440044004400440044004400440044004400440044004400440044", "10", ""},
        {"40 digits do not fit", spn("01" + std::string(38, '4'), false), nullptr, "",
         "0 sim spn field of 40 digits does not fit \n"},
        {"file not found", fake::info_ok("+CRSM: 148, 4"), nullptr, "", "0 sim read spn fail \n"},
        {"empty answer", "", nullptr, "", "6 (char*)mdm_res.aucDataBuf is NULL\n"},
        {"TIMEOUT", "TIMEOUT", nullptr, "", "0 (char*)mdm_res.aucDataBuf is TIMEOUT \n"},
        {"no quote", fake::info_ok("+CRSM: 144, 0,014142"), nullptr, "", no_quote},
    };
    for (const auto& c : cases) {
        fake::reset();
        fake().answers = {c.answer};
        EXPECT_EQ(orv_quorl_mdm_get_spn(nullptr), c.spn != nullptr ? 0 : -1) << c.name;
        EXPECT_EQ(fake().timeline, timeline(c.spn, c.flags)) << c.name;
        EXPECT_EQ(fake().log_texts().front(), "6 enter orv_quorl_mdm_get_spn fun\n") << c.name;
        fake::expect_logged(c.logs, c.name);
    }
}

using Row = std::vector<std::optional<std::string>>;

std::string pl(const std::string& field) {
    return fake::info_ok("+CRSM: 144, 0,\"" + field + "\"");
}
std::string query(const std::string& digits) {
    return "select Language from language where Country_code like " + digits;
}

// The read of EF_PL, then the story's entries: "?44" a lookup by those digits, "=en" a language
// written and committed.
Lines timeline(const std::string& story) {
    Lines out{"AT AT+CRSM=176,12037,0,0,2"};
    for (const std::string& e : fake::split(story)) {
        if (e[0] == '?') {
            out.push_back("SQL " + query(e.substr(1)));
        } else {
            out.insert(out.end(), {"WRITE Language" + e, "SAVE"});
        }
    }
    return out;
}

// Device database rows of one lookup: "4411:fr|de" two rows for the digits 4411, "(null)" a row
// whose column is null, "()" a row without columns.
void add_rows(const std::string& db) {
    if (db.empty()) {
        return;
    }
    const std::size_t colon = db.find(':');
    auto& rows = fake().db_rows[query(db.substr(0, colon))];
    for (const std::string& v : fake::split(db.substr(colon + 1))) {
        rows.push_back(v == "()" ? Row{} : v == "(null)" ? Row{std::nullopt} : Row{v});
    }
}

TEST(LanguageDetection, FromEfPlOrTheDeviceDatabase) {
    const std::string ff = pl("FFFF");
    const std::string not_found = fake::info_ok("+CRSM: 148, 4");
    const std::string no_quote = "0 sim EFpl answer without a quoted field \n";
    const std::string no_row = "0 orv_mdm:0 record find 44 use default nv value";
    const struct {
        const char* name;
        const char* country;
        std::string answer;
        std::string db;
        std::string story;
        std::string logs;  // '|' between lines that must be logged
        const char* country_after;
    } cases[] = {
        {"EF_PL language", "4411", pl("656E"), "", "=en",
         "6 check_hex_value sim_pl_hex[0]:65  sim_pl_hex[1]:6e|6 sim_pl_unicode: en len:2 ",
         "4411"},
        {"slot 65FF: lookup", "4411", pl("65FF"), "4411:cy", "?4411|=cy",
         "0 sim EFPL is not exist!i=0", "4411"},
        {"slot FF6E: lookup", "852", pl("FF6E"), "852:zh", "?852|=zh", "", "852"},
        {"byte outside GSM", "4411", pl("8E6E"), "", "", "6 convert gsm7 to bit8 fail!", "4411"},
        {"zero first byte: empty text", "4411", pl("006E"), "", "=", "", "4411"},
        {"file not found: lookup", "4411", not_found, "441:en", "?4411|?441|=en",
         "0 sim read EFpl fail \n", "441"},
        {"TIMEOUT is an answer", "4411", "TIMEOUT", "4411:en", "?4411|=en", "", "4411"},
        {"empty answer", "4411", "", "", "", "0 (char*)mdm_res.aucDataBuf is NULL\n", "4411"},
        {"no row: 4, 3, 2 digits", "4411", ff, "", "?4411|?441|?44", no_row, "44"},
        {"two rows: both stored", "4411", ff, "4411:fr|de", "?4411|=fr|=de", "", "4411"},
        {"null column", "4411", ff, "4411:(null)", "?4411|?441|?44",
         "0 orv_mdm:record no data.|" + no_row, "44"},
        {"row without columns", "49", ff, "49:()", "?49",
         "0 orv_mdm:record no data.|0 orv_mdm:0 record find 49 use default nv value", "49"},
        {"over-long value cut", "4411", ff, "4411:abcdefghijklmn", "?4411|=abcdefghi", "", "4411"},
        {"field of six digits", "4411", pl("656E00"), "", "",
         "0 sim EFpl field of 6 digits does not fit \n", "4411"},
        {"no quote", "4411", fake::info_ok("+CRSM: 144, 0,656E"), "", "", no_quote, "4411"},
        {"country not digits", "4'1;", ff, "", "",
         "0 orv_mdm:country 4'1; is not a digit text, no lookup\n", "4'1;"},
        {"empty country", "", not_found, "", "", "", ""},
    };
    for (const auto& c : cases) {
        fake::reset();
        char orv_country[kCountrySize] = {};
        std::strncpy(orv_country, c.country, 4);
        fake().answers = {c.answer};
        add_rows(c.db);
        orv_quorl_mdm_auto_set_language(orv_country);
        EXPECT_EQ(fake().timeline, timeline(c.story)) << c.name;
        fake::expect_logged(c.logs, c.name);
        EXPECT_STREQ(orv_country, c.country_after) << c.name;
        EXPECT_EQ(fake().waits, std::vector<int>{10000}) << c.name;
        EXPECT_TRUE(fake().echoes.empty()) << c.name << ": the answer is not echoed";
    }
}

// The row callback cuts to 9 characters and a terminator inside the caller's 10 bytes.
TEST(LanguageDetection, CallbackAndLookupRefuseMissingInput) {
    fake::reset();
    LanguageQuery query{"4412", {}};
    std::memset(query.language, 'x', sizeof query.language);
    char value[] = "abcdefghijklmn";
    char* values[] = {value};
    EXPECT_EQ(orv_language_record_cb(&query, 1, values, nullptr), 0);
    EXPECT_EQ(std::string(query.language, sizeof query.language), std::string("abcdefghi\0", 10));
    EXPECT_EQ(orv_language_record_cb(&query, 0, values, nullptr), -1);
    EXPECT_EQ(orv_language_record_cb(&query, 1, nullptr, nullptr), -1);
    EXPECT_EQ(orv_set_language_by_country(nullptr), -1);
    EXPECT_EQ(fake().timeline, (Lines{"WRITE Language=abcdefghi", "SAVE"}));
}

}  // namespace
}  // namespace orv::sim_identity::testing
