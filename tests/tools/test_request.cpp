// Request payloads built from command-line options. The expected bytes are written out with the
// documented offsets (first code 0, new PIN 10, old PIN 10 / new PIN 20, operation 12, PIN 16),
// not taken from the shared header, so a drifting layout shows up here.
#include <gtest/gtest.h>

#include <string>

#include "tools/client/orv_client.h"

namespace orv::client {
namespace {

struct Put {
    std::size_t offset;
    std::string bytes;
};

// `size` zero bytes with each Put written at its offset.
std::string layout(std::size_t size, std::initializer_list<Put> puts) {
    std::string out(size, '\0');
    for (const Put& p : puts) {
        out.replace(p.offset, p.bytes.size(), p.bytes);
    }
    return out;
}

std::string le32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) {
        s[static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    }
    return s;
}

struct BuildCase {
    const char* name;
    std::uint32_t id;
    PayloadOptions opts;
    std::string payload;  // expected bytes when `error` is null
    const char* error;    // expected part of the refusal message
};

TEST(RequestBuilder, OptionsLandAtTheirOffsetsOrAreRefused) {
    const std::string pin9(9, '9');
    const std::string long_tail(1008, 'n');  // the new PIN runs to the end of a 1019-byte payload
    const std::string long_code(1018, 'c');
    const BuildCase cases[] = {
        // PIN entry and unblocking.
        {"pin entry", 3, {.pin = "1234"}, layout(11, {{0, "1234"}}), nullptr},
        {"pin of 9 fills the field", 3, {.pin = pin9}, layout(11, {{0, pin9}}), nullptr},
        {"pin of 10 leaves no terminator", 3, {.pin = "1234567890"}, "", "10 characters"},
        {"puk and new pin",
         3,
         {.puk = "12345678", .new_pin = "4321"},
         layout(15, {{0, "12345678"}, {10, "4321"}}),
         nullptr},
        {"empty puk keeps the unblocking form",
         3,
         {.puk = "", .new_pin = "99"},
         layout(13, {{10, "99"}}),
         nullptr},
        {"new pin up to the end of the payload",
         3,
         {.puk = "1", .new_pin = long_tail},
         layout(1019, {{0, "1"}, {10, long_tail}}),
         nullptr},
        {"new pin one past the end", 3, {.puk = "1", .new_pin = long_tail + "n"}, "", "holds"},
        {"pin and puk together", 3, {.pin = "1", .puk = "2"}, "", "give one of them"},
        {"new pin without puk", 3, {.pin = "1", .new_pin = "2"}, "", "goes with --puk"},
        {"puk without new pin", 3, {.puk = "1"}, "", "needs --new-pin"},
        {"verify without a code", 3, {}, "", "needs --pin"},
        // PIN change.
        {"change pin",
         4,
         {.new_pin = "2222", .old_pin = "1111"},
         layout(30, {{10, "1111"}, {20, "2222"}}),
         nullptr},
        {"old pin too long", 4, {.new_pin = "1", .old_pin = "0123456789"}, "", "--old-pin"},
        {"new pin too long", 4, {.new_pin = "0123456789", .old_pin = "1"}, "", "--new-pin"},
        {"change pin needs both", 4, {.old_pin = "1111"}, "", "needs --old-pin P and --new-pin"},
        // PIN lock mode.
        {"lock on",
         5,
         {.pin = "1234", .op = "on"},
         layout(26, {{12, le32(1)}, {16, "1234"}}),
         nullptr},
        {"lock off", 5, {.pin = "0000", .op = "off"}, layout(26, {{16, "0000"}}), nullptr},
        {"query", 5, {.op = "query"}, layout(16, {{12, le32(2)}}), nullptr},
        {"numeric query", 5, {.op = "2"}, layout(16, {{12, le32(2)}}), nullptr},
        {"other operation without pin", 5, {.op = "7"}, layout(26, {{12, le32(7)}}), nullptr},
        {"negative operation",
         5,
         {.pin = "1", .op = "-1"},
         layout(26, {{12, le32(0xFFFFFFFFu)}, {16, "1"}}),
         nullptr},
        {"query refuses a pin", 5, {.pin = "1234", .op = "query"}, "", "does not go with"},
        {"lock on needs a pin", 5, {.op = "on"}, "", "need --pin"},
        {"operation word unknown", 5, {.pin = "1", .op = "sideways"}, "", "not off, on, query"},
        {"operation missing", 5, {.pin = "1"}, "", "needs --op"},
        {"lock pin too long", 5, {.pin = "0123456789", .op = "on"}, "", "10 characters"},
        // Network unlock and radio mode.
        {"unlock code", 13, {.code = "12345678"}, layout(9, {{0, "12345678"}}), nullptr},
        {"longest unlock code", 13, {.code = long_code}, layout(1019, {{0, long_code}}), nullptr},
        {"unlock code one too long", 13, {.code = long_code + "c"}, "", "1019 characters"},
        {"unlock without code", 13, {}, "", "needs --code"},
        {"radio off", 17, {.mode = "1"}, le32(1), nullptr},
        {"radio on", 17, {.mode = "0"}, le32(0), nullptr},
        {"mode not a number", 17, {.mode = "x"}, "", "not a 32-bit number"},
        // Options of another request.
        {"pin to a request without payload",
         7,
         {.pin = "1"},
         "",
         "does not belong to ORV_MDM_GET_IMEI"},
        {"code to verify", 3, {.pin = "1", .code = "2"}, "", "--code does not belong"},
        {"pin to change", 4, {.pin = "1", .new_pin = "2", .old_pin = "3"}, "", "--pin does not"},
        {"op to radio mode", 17, {.op = "on", .mode = "1"}, "", "--op does not belong"},
        {"mode to an unknown id", 99, {.mode = "1"}, "", "does not belong to request 99"},
        {"no options, no payload", 7, {}, "", nullptr},
        {"unknown id, no payload", 0xFFFFFFFFu, {}, "", nullptr},
        // Raw payload.
        {"raw hex", 7, {.raw_hex = "de ad:BE-ef"}, "\xde\xad\xbe\xef", nullptr},
        {"raw hex replaces a layout", 3, {.raw_hex = "31"}, "1", nullptr},
        {"raw hex with an option", 3, {.pin = "1", .raw_hex = "00"}, "", "replaces the whole"},
        {"raw hex odd digits", 7, {.raw_hex = "abc"}, "", "not hex"},
    };
    for (const BuildCase& c : cases) {
        std::string payload = "stale";
        std::string error;
        const bool ok = build_payload(c.id, c.opts, payload, error);
        if (c.error == nullptr) {
            EXPECT_TRUE(ok) << c.name << ": " << error;
            EXPECT_EQ(payload, c.payload) << c.name;
        } else {
            EXPECT_FALSE(ok) << c.name;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
        }
    }
}

TEST(RequestBuilder, DatagramAndIdentifiers) {
    EXPECT_EQ(make_datagram(7, ""), std::string("\x07\0\0\0", 4));
    EXPECT_EQ(make_datagram(0xdeadbeefu, "ab"),
              "\xef\xbe\xad\xde"
              "ab");

    struct IdCase {
        const char* text;
        bool ok;
        std::uint32_t id;
    };
    const IdCase ids[] = {
        {"get_imei", true, 7},
        {"GET_IMEI", true, 7},
        {"ORV_MDM_GET_IMEI", true, 7},
        {"orv_mdm_max_msg", true, 32},
        {"32", true, 32},
        {"40", true, 40},
        {"0x21", true, 33},
        {"4294967295", true, 0xFFFFFFFFu},
        {"4294967296", false, 0},
        {"-1", false, 0},
        {"imei", false, 0},
        {"", false, 0},
        {"7x", false, 0},
    };
    for (const IdCase& c : ids) {
        std::uint32_t id = 12345;
        EXPECT_EQ(parse_request_id(c.text, id), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(id, c.id) << c.text;
        }
    }
    // Every identifier the daemon serves has a row in --list; only five take options.
    int with_options = 0;
    for (std::uint32_t id = 0; id < msg::kMsgCount; ++id) {
        with_options += payload_usage(id).empty() ? 0 : 1;
    }
    EXPECT_EQ(with_options, 5);
}

TEST(TextHelpers, EscapeAndHexRoundTrip) {
    const std::string all = [] {
        std::string s;
        for (int c = 0; c < 256; ++c) {
            s.push_back(static_cast<char>(c));
        }
        return s;
    }();
    std::string back;
    ASSERT_TRUE(from_hex(to_hex(all), back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(escape_bytes(std::string("a\0b\\\"\x7f\xff~ ", 9)), "a\\x00b\\x5c\\x22\\x7f\\xff~ ");
    // An escaped line holds only printable characters, and no quote that could end a field.
    for (char c : escape_bytes(all)) {
        EXPECT_TRUE(c >= 0x20 && c < 0x7f && c != '"') << static_cast<int>(c);
    }
    for (const char* bad : {"0", "0g", "a b", "1 2 3"}) {
        EXPECT_FALSE(from_hex(bad, back)) << bad;
    }
    double s = 0;
    EXPECT_TRUE(parse_seconds("0.25", s));
    EXPECT_DOUBLE_EQ(s, 0.25);
    EXPECT_FALSE(parse_seconds("-1", s));
    EXPECT_FALSE(parse_seconds("1s", s));
}

}  // namespace
}  // namespace orv::client
