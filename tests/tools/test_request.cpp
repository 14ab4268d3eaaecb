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
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return std::string(b, 4);
}

TEST(RequestBuilder, OptionsLandAtTheirOffsets) {
    const std::string pin9(9, '9');
    const std::string tail(1008, 'n');  // the new PIN runs to the end of a 1019-byte payload
    const std::string code(1018, 'c');
    const struct {
        std::uint32_t id;
        PayloadOptions opts;
        std::string payload;
    } rows[] = {
        {3, {.pin = pin9}, layout(11, {{0, pin9}})},
        {3, {.puk = "12345678", .new_pin = "4321"}, layout(15, {{0, "12345678"}, {10, "4321"}})},
        {3, {.puk = "", .new_pin = "99"}, layout(13, {{10, "99"}})},
        {3, {.puk = "1", .new_pin = tail}, layout(1019, {{0, "1"}, {10, tail}})},
        {4, {.new_pin = "2222", .old_pin = "1111"}, layout(30, {{10, "1111"}, {20, "2222"}})},
        {5, {.pin = "1234", .op = "on"}, layout(26, {{12, le32(1)}, {16, "1234"}})},
        {5, {.pin = "0000", .op = "off"}, layout(26, {{16, "0000"}})},
        {5, {.op = "query"}, layout(16, {{12, le32(2)}})},
        {5, {.op = "7"}, layout(26, {{12, le32(7)}})},
        {5, {.pin = "1", .op = "-1"}, layout(26, {{12, le32(0xFFFFFFFFu)}, {16, "1"}})},
        {13, {.code = code}, layout(1019, {{0, code}})},
        {17, {.mode = "1"}, le32(1)},
        {0xFFFFFFFFu, {}, ""},
        {7, {.raw_hex = "de ad:BE-ef"}, "\xde\xad\xbe\xef"},
    };
    for (const auto& r : rows) {
        std::string payload = "stale";
        std::string error;
        EXPECT_TRUE(build_payload(r.id, r.opts, payload, error)) << r.id << ": " << error;
        EXPECT_EQ(payload, r.payload) << r.id << " " << to_hex(r.payload);
    }
}

TEST(RequestBuilder, RefusesWithAReason) {
    const struct {
        std::uint32_t id;
        PayloadOptions opts;
        const char* error;  // part of the refusal message
    } rows[] = {
        {3, {.pin = "1234567890"}, "10 characters"},
        {3, {.puk = "1", .new_pin = std::string(1009, 'n')}, "holds"},
        {3, {.pin = "1", .puk = "2"}, "give one of them"},
        {3, {.pin = "1", .new_pin = "2"}, "goes with --puk"},
        {3, {.puk = "1"}, "needs --new-pin"},
        {3, {}, "needs --pin"},
        {4, {.new_pin = "1", .old_pin = "0123456789"}, "--old-pin"},
        {4, {.old_pin = "1111"}, "needs --old-pin P and --new-pin"},
        {5, {.pin = "1234", .op = "query"}, "does not go with"},
        {5, {.op = "on"}, "need --pin"},
        {5, {.pin = "1", .op = "sideways"}, "not off, on, query"},
        {5, {.pin = "1"}, "needs --op"},
        {13, {.code = std::string(1019, 'c')}, "1019 characters"},
        {17, {.mode = "x"}, "not a 32-bit number"},
        {7, {.pin = "1"}, "does not belong to ORV_MDM_GET_IMEI"},
        {99, {.mode = "1"}, "does not belong to request 99"},
        {3, {.pin = "1", .raw_hex = "00"}, "replaces the whole"},
        {7, {.raw_hex = "abc"}, "not hex"},
    };
    for (const auto& r : rows) {
        std::string payload;
        std::string error;
        EXPECT_FALSE(build_payload(r.id, r.opts, payload, error)) << r.error;
        EXPECT_NE(error.find(r.error), std::string::npos) << r.error << ": " << error;
    }
}

TEST(RequestBuilder, DatagramAndIdentifiers) {
    EXPECT_EQ(make_datagram(0xdeadbeefu, "ab"), "\xef\xbe\xad\xde" + std::string("ab"));
    const struct {
        const char* text;
        std::uint32_t id;  // 0: refused
    } rows[] = {{"get_imei", 7},
                {"GET_IMEI", 7},
                {"ORV_MDM_GET_IMEI", 7},
                {"0x21", 33},
                {"4294967295", 4294967295},
                {"4294967296", 0},
                {"-1", 0},
                {"imei", 0},
                {"", 0},
                {"7x", 0}};
    for (const auto& r : rows) {
        std::uint32_t id = 0;
        EXPECT_EQ(parse_request_id(r.text, id) ? id : 0, r.id) << r.text;
    }
}

TEST(TextHelpers, EscapeHexAndSeconds) {
    EXPECT_EQ(escape_bytes(std::string("a\0b\\\"\x7f\xff~ ", 9)), "a\\x00b\\x5c\\x22\\x7f\\xff~ ");
    std::string bytes;
    EXPECT_TRUE(from_hex(to_hex("\x80\xff\x01"), bytes) && bytes == "\x80\xff\x01");
    EXPECT_FALSE(from_hex("0", bytes) || from_hex("0g", bytes));
    double s = 0;
    EXPECT_TRUE(parse_seconds("0.25", s) && s == 0.25);
    EXPECT_FALSE(parse_seconds("-1", s) || parse_seconds("1s", s));
}

}  // namespace
}  // namespace orv::client
