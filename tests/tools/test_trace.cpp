// orv_trace over hand-written traces: the reader's refusals, the byte-string escaping, the
// timeline of one session and its redaction.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/trace/commands.h"

namespace {

using namespace orv::trace;

std::string zeros(int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += "\\u0000";
    }
    return out;
}

// A start-up, an ICCID request with an unsolicited line, a PIN entry that times out and is
// answered late, an IMSI and own number request, an IMEI read from a modem that prefixes it, the
// PIN lock switched on (its bytes on the line too) and the IMEI without its check digit.
const std::string kTrace =
    R"({"k":"trace","t":0,"v":1,"ver":"0.1.0","wall":"2026-12-06T10:00:00Z","pid":1234}
{"k":"preset","t":0.0001,"n":"iccid","v":"8944123456789012345F"}
{"k":"req","t":3.1204,"id":27,"m":"\u001B\u0000\u0000\u0000"}
{"k":"cmd","t":3.1205,"c":"AT+CRSM=176,12258,0,0,10","w":3000}
{"k":"tx","t":3.1206,"b":"AT+CRSM=176,12258,0,0,10\r"}
{"k":"rx","t":3.13,"b":"\r\n+CREG: 1\r\n"}
{"k":"rx","t":3.1556,"b":"\r\n+CRSM: 144, 0,\"984421436587092143F5\"\r\n\r\nOK\r\n"}
{"k":"ans","t":3.17,"o":0,"a":"+CRSM: 144, 0,\"984421436587092143F5\"\r\nOK"}
{"k":"write","t":3.157,"n":"sim_iccid","v":"8944123456789012345F"}
{"k":"notify","t":3.159,"b":"\u0001)" +
    zeros(7) + "READY" + zeros(27) + R"("}
{"k":"idle","t":3.1614}
{"k":"req","t":5,"id":3,"m":"\u0003\u0000\u0000\u00001234)" +
    zeros(6) + R"("}
{"k":"cmd","t":5.001,"c":"AT+CPIN=\"1234\"","w":5000}
{"k":"ans","t":8.001,"o":1,"a":""}
{"k":"rx","t":8.5,"b":"\r\nOK\r\n"}
{"k":"write","t":8.6,"n":"pin_code","v":"1234"}
{"k":"idle","t":8.7}
{"k":"req","t":10,"id":28,"m":"\u001C\u0000\u0000\u0000"}
{"k":"cmd","t":10.001,"c":"AT+CIMI","w":3000}
{"k":"ans","t":10.02,"o":0,"a":"262011234567890\r\nOK"}
{"k":"cmd","t":10.04,"c":"AT+CNUM","w":3000}
{"k":"ans","t":10.05,"o":0,"a":"+CNUM: \"Own\",\"+491701234567\",145\r\nOK"}
{"k":"write","t":10.06,"n":"msisdn","v":"+491701234567"}
{"k":"req","t":11,"id":7,"m":"\u0007\u0000\u0000\u0000"}
{"k":"cmd","t":11.001,"c":"AT+CGSN","w":3000}
{"k":"ans","t":11.01,"o":0,"a":"+CGSN: \"356938035643809\"\r\nOK"}
{"k":"write","t":11.02,"n":"imei","v":"+CGSN: \"356938035643809\""}
{"k":"req","t":12,"id":5,"m":"\u0005\u0000\u0000\u0000)" +
    zeros(12) + R"(\u0001\u0000\u0000\u00001234)" + zeros(6) + R"("}
{"k":"cmd","t":12.001,"c":"AT+CLCK=\"SC\",1,\"1234\"","w":3000}
{"k":"tx","t":12.002,"b":"AT+CLCK=\"SC\",1,\"1234\"\r"}
{"k":"ans","t":12.03,"o":0,"a":"OK"}
{"k":"idle","t":12.04}
{"k":"req","t":13,"id":7,"m":"\u0007\u0000\u0000\u0000"}
{"k":"cmd","t":13.001,"c":"AT+CGSN","w":3000}
{"k":"ans","t":13.01,"o":0,"a":"35693803564380\r\nOK"}
)";

TEST(TraceReader, RefusesBadLinesNamingTheLine) {
    const std::string ok = "{\"k\":\"idle\",\"t\":1}\n";
    const std::pair<std::string, std::string> cases[] = {
        {ok + "{\"k\":\"req\",\"t\":2,\"m\":\"\"}", "x.jsonl:2: 'req' record without 'id'"},
        {"[1]", "x.jsonl:1: not a JSON object"},
        {"{\"t\":1}", "record without 'k'"},
        {"{\"k\":\"idle\"}", "'idle' record without 't'"},
        {"{\"k\":\"beep\",\"t\":1}", "unknown kind 'beep'"},
        {"{\"k\":\"cmd\",\"t\":1,\"c\":\"AT\",\"w\":\"5\"}", "'cmd' record: 'w' is not an integer"},
        {"{\"k\":\"preset\",\"t\":1,\"n\":\"a\",\"v\":3}", "'v' is not a string or null"},
        {"{\"k\":\"row\",\"t\":1,\"v\":[\"a\",1]}", "an array holds only strings and null"},
        {"{\"k\":\"trace\",\"t\":0,\"v\":1,\"wall\":\"w\",\"pid\":1,\"continued\":1}",
         "'continued' is not true or false"},
        {"{\"k\":\"trace\",\"t\":0,\"v\":1,\"wall\":\"w\",\"pid\":1,\"continued\":true}", ""},
        {"{\"k\":\"idle\",\"t\":1,\"t\":2}", "field 't' given twice"},
        {"{\"k\":\"rx\",\"t\":1,\"b\":\"\\u0100\"}", "\\u escape above 00FF"},
        {"{\"k\":\"rx\",\"t\":1,\"b\":\"\x01\"}", "control byte in a string"},
        {ok + "\n" + ok, "x.jsonl:2: empty line"},
        {ok + "{\"k\":\"rx\",\"t\":2,\"b\":\"AT+C", "x.jsonl:2: the record ends before"},
        {ok + "\n\n", ""},  // empty trailing lines are fine
    };
    for (const auto& [text, expected] : cases) {
        std::vector<Record> records;
        std::string error;
        EXPECT_EQ(parse_trace(text, "x.jsonl", records, error), expected.empty()) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << text << " -> " << error;
    }
}

TEST(TraceReader, EveryByteSurvivesWriterAndReader) {
    Record rx{Kind::kRx, 1.5, {{"b", {}}}};
    rx.fields[0].value.type = Value::Type::kString;
    for (int c = 0; c < 256; ++c) {
        rx.fields[0].value.text.push_back(static_cast<char>(c));
    }
    const std::string line = format_record(rx);
    EXPECT_NE(line.find(R"(\u001f !\"#)"), std::string::npos);
    EXPECT_NE(line.find(R"([\\]^)"), std::string::npos);
    EXPECT_NE(line.find(R"(\t\n\u000b\u000c\r)"), std::string::npos);
    EXPECT_NE(line.find(R"(~\u007f\u0080)"), std::string::npos);
    Record back;
    std::string error;
    ASSERT_TRUE(parse_record(line, back, error)) << error;
    EXPECT_EQ(back.str("b"), rx.str("b"));
    EXPECT_EQ(format_record(back), line);
}

// The daemon's recorder and this writer escape alike: every line of the recorded sessions in
// tests/traces is written back exactly as the daemon wrote it.
TEST(TraceReader, RecordedTracesRewriteToThemselves) {
    for (const char* name :
         {"late_answer", "modem_gone", "network_unlock", "pin_to_puk", "sim_swap", "unsolicited"}) {
        std::ifstream in(std::string(ORV_TRACES_DIR) + "/" + name + ".jsonl");
        ASSERT_TRUE(in) << name;
        int number = 0;
        for (std::string line; std::getline(in, line);) {
            ++number;
            Record r;
            std::string error;
            ASSERT_TRUE(parse_record(line, r, error)) << name << ":" << number << ": " << error;
            EXPECT_EQ(format_record(r), line) << name << ":" << number;
        }
    }
}

// FILE is the trace above, CUT the same cut inside its 14th line, EMPTY an empty file, DIR a
// folder, OUT where a command may write: all in a folder of the test's own.
class TraceTool : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orv_trace_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::ofstream(at("FILE"), std::ios::binary) << kTrace;
        std::size_t cut = 0;
        for (int i = 0; i < 13; ++i) {
            cut = kTrace.find('\n', cut) + 1;
        }
        std::ofstream(at("CUT"), std::ios::binary) << kTrace.substr(0, cut + 20);
        std::ofstream(at("EMPTY"), std::ios::binary);
        std::filesystem::create_directory(at("DIR"));
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string at(const std::string& name) const { return dir_ + "/" + name; }
    int run_tool(std::vector<std::string> args, std::string& out, std::string& err) {
        for (std::string& a : args) {
            a = a == "FILE" || a == "CUT" || a == "EMPTY" || a == "DIR" || a == "OUT" ? at(a) : a;
        }
        std::ostringstream o, e;
        const int status = run(args, o, e);
        out = o.str();
        err = e.str();
        return status;
    }
    std::string dir_;
};

TEST_F(TraceTool, ShowsTheSessionAndFiltersIt) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> present, absent;
    };
    const Case cases[] = {
        {{"show", "FILE"},
         0,
         {"start-up (orv_mdm 0.1.0, pid 1234, 2026-12-06T10:00:00Z)",
          "request 27 ORV_MDM_GET_ICCID",
          "AT+CRSM=176,12258,0,0,10  -> 35 ms  +CRSM: 144, 0,\"984421436587092143F5\" | OK",
          "(unsolicited before the answer: +CREG: 1)", "notify pin_status kind=0 state=\"READY\"",
          "done after 41 ms", "AT+CPIN=\"1234\"  -> timeout after 3000 ms (wait 5000 ms)",
          "(late, after the answer: OK)", "AT+CIMI  -> 19 ms  262011234567890 | OK",
          "(not finished in the trace"},
         {}},
        {{"show", "FILE", "--id", "verify_pin"},
         0,
         {"request 3 ORV_MDM_VERIFY_PIN"},
         {"GET_ICCID", "start-up"}},
        {{"show", "FILE", "--from", "4", "--to", "6"},
         0,
         {"VERIFY_PIN"},
         {"GET_ICCID", "GET_IMSI"}},
        {{"show", "FILE", "--id", "nope"}, 2, {"--id nope is not a request"}, {}},
        {{"show", "EMPTY"}, 2, {"EMPTY: empty, no record"}, {}},
        {{"show", "DIR"}, 2, {"DIR: is no regular file"}, {}},
        {{"replay", "EMPTY"}, 2, {"EMPTY: empty, no record"}, {}},
        // A cut trace: its whole records, then where it was cut (on standard error).
        {{"show", "CUT"}, 2, {"CUT:14: the record ends before its closing brace"}, {}},
        {{"replay", "FILE", "--wait-scale", "0"},
         2,
         {"--wait-scale 0 is not a positive number"},
         {}},
        {{"replay", "--fast=yes", "FILE"}, 2, {"--fast takes no value"}, {}},
        {{"redact", "FILE", "--version"}, 2, {"unknown option --version"}, {}},  // the tool's
    };
    for (const Case& c : cases) {
        std::string out, err;
        EXPECT_EQ(run_tool(c.args, out, err), c.status) << c.args[0] << " " << c.args.back();
        const std::string& text = c.status == 0 ? out : err;
        for (const std::string& p : c.present) {
            EXPECT_NE(text.find(p), std::string::npos) << p << " not in\n" << text;
        }
        for (const std::string& a : c.absent) {
            EXPECT_EQ(text.find(a), std::string::npos) << a << " in\n" << text;
        }
    }
    std::string out, err;
    run_tool({"show", "CUT"}, out, err);
    EXPECT_NE(out.find("request 3 ORV_MDM_VERIFY_PIN"), std::string::npos)
        << "a cut trace shows its whole records:\n"
        << out;
}

TEST_F(TraceTool, RedactsConsistentlyKeepingLengthsAndPrefixes) {
    std::string out, err;
    umask(022);
    ASSERT_EQ(run_tool({"redact", "FILE", "-o", "OUT"}, out, err), 0);
    struct stat st {};
    ASSERT_EQ(stat(at("OUT").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a redacted trace is private like the recording";
    std::ifstream written(at("OUT"));
    out.assign(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>());
    EXPECT_EQ(err, "redacted: 1 code, 1 ICCID, 1 IMSI, 1 number, 2 IMEIs\n");
    for (const char* secret : {"1234\\u0000", "\\\"1234\\\"", "89441234567890", "436587092143",
                               "262011234567890", "491701234567", "5643809", "564380\\r"}) {
        EXPECT_EQ(out.find(secret), std::string::npos) << secret;
    }
    std::vector<Record> before, r;
    std::string error;
    ASSERT_TRUE(parse_trace(kTrace, "t", before, error) && parse_trace(out, "r", r, error));
    ASSERT_EQ(r.size(), before.size());
    for (std::size_t i = 0; i < r.size(); ++i) {  // every value keeps its length
        EXPECT_EQ(format_record(r[i]).size(), format_record(before[i]).size()) << i;
    }
    const std::string iccid = r[8].str("v");  // write sim_iccid
    EXPECT_EQ(iccid.substr(0, 6), "894412");
    EXPECT_EQ(iccid.back(), 'F');
    EXPECT_EQ(r[1].str("v"), iccid);  // preset iccid
    std::string swapped = iccid;
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) {
        std::swap(swapped[i], swapped[i + 1]);
    }
    EXPECT_EQ(r[7].str("a"), "+CRSM: 144, 0,\"" + swapped + "\"\r\nOK");
    const std::string pin = r[15].str("v");  // write pin_code
    EXPECT_EQ(r[11].str("m").substr(4, 4), pin);
    EXPECT_EQ(r[12].str("c"), "AT+CPIN=\"" + pin + "\"");
    const std::string imsi = r[19].str("a");
    EXPECT_EQ(imsi.substr(0, 6), "262011");  // MCC and MNC, not a digit more
    EXPECT_NE(imsi[6], '2') << imsi;
    const std::string number = r[22].str("v");
    EXPECT_EQ(r[21].str("a"), "+CNUM: \"Own\",\"" + number + "\",145\r\nOK");
    EXPECT_EQ(number[0], '+');
    const std::string imei = r[26].str("v");  // write imei, its type allocation code kept
    EXPECT_EQ(imei.substr(0, 16), "+CGSN: \"35693803");
    EXPECT_EQ(r[25].str("a"), imei + "\r\nOK");
    EXPECT_EQ(r[29].str("b"), r[28].str("c") + "\r") << "the code on the line is the command's";
}

}  // namespace
