// Controller notification datagrams decoded into one line. Datagrams are written out byte by byte
// with the documented layout (call, then int32 and a 32-byte text, or the 96-byte record).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tools/client/orv_client.h"

namespace orv::client {
namespace {

std::string le32(std::int64_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) {
        s[static_cast<std::size_t>(i)] =
            static_cast<char>(static_cast<std::uint64_t>(v) >> (8 * i));
    }
    return s;
}

std::string padded(std::string text, std::size_t width = 32) {
    text.resize(width, '\0');
    return text;
}

struct DecodeCase {
    const char* name;
    std::string datagram;
    std::size_t real_size;
    std::string line;
};

TEST(NotificationDecoder, EachCallShortAndUnknownDatagrams) {
    const std::string full_state(32, 'S');
    const DecodeCase cases[] = {
        {"pin status", le32(1) + le32(0) + padded("READY"), 0, "pin_status kind=0 state=\"READY\""},
        {"pin status from a CME answer", le32(1) + le32(1) + padded("SIM failure"), 0,
         "pin_status kind=1 state=\"SIM failure\""},
        {"verify result", le32(2) + le32(1) + padded("incorrect password"), 0,
         "verify_pinpuk result=1 state=\"incorrect password\""},
        {"verify success", le32(2) + le32(0) + padded("READY"), 0,
         "verify_pinpuk result=0 state=\"READY\""},
        {"empty state text", le32(2) + le32(1) + padded(""), 0,
         "verify_pinpuk result=1 state=\"\""},
        {"state text without terminator stops at its field", le32(1) + le32(0) + full_state, 0,
         "pin_status kind=0 state=\"" + full_state + "\""},
        {"control bytes and quotes escaped", le32(1) + le32(0) + padded("a\"b\nc"), 0,
         "pin_status kind=0 state=\"a\\x22b\\x0ac\""},
        {"rpc status", le32(3) + le32(0), 0, "rpc_status status=0"},
        {"signed status", le32(3) + le32(-1), 0, "rpc_status status=-1"},
        {"unlock status", le32(4) + le32(1), 0, "imsi_unlock_status status=1"},
        {"apn record",
         le32(5) + padded("26201") + padded("262011234567890") + padded("8949123456789012345"), 0,
         "apn_sim_msg plmn=\"26201\" imsi=\"262011234567890\" iccid=\"8949123456789012345\""},
        {"apn record with empty fields", le32(5) + padded("") + padded("") + padded(""), 0,
         "apn_sim_msg plmn=\"\" imsi=\"\" iccid=\"\""},
        {"longer than its call", le32(3) + le32(7) + "xyzw", 0,
         "rpc_status status=7 extra_bytes=4"},
        {"cut at receive", le32(4) + le32(0) + "zz", 5000,
         "imsi_unlock_status status=0 extra_bytes=4992"},
        // Unknown calls and datagrams too short for their call.
        {"pin status one byte short", le32(1) + le32(0) + std::string(31, 'R'), 0,
         "unknown call=1 bytes=39"},
        {"status without its int", le32(3) + "\x01\x02\x03", 0, "unknown call=3 bytes=7"},
        {"apn record short", le32(5) + padded("26201") + padded(""), 0, "unknown call=5 bytes=68"},
        {"call number alone", le32(2), 0, "unknown call=2 bytes=4"},
        {"call zero", le32(0) + le32(0), 0, "unknown call=0 bytes=8"},
        {"call six", le32(6) + le32(0), 0, "unknown call=6 bytes=8"},
        {"huge call", le32(0xFFFFFFFF), 0, "unknown call=4294967295 bytes=4"},
        {"shorter than a call number", std::string("\x01\x00", 2), 0, "unknown call=? bytes=2"},
        {"empty datagram", "", 0, "unknown call=? bytes=0"},
    };
    for (const DecodeCase& c : cases) {
        // An exactly sized copy: reading past the datagram would be caught by the sanitizers.
        auto exact = std::make_unique<char[]>(c.datagram.size());
        std::copy(c.datagram.begin(), c.datagram.end(), exact.get());
        const std::string line =
            describe_notification(std::string_view(exact.get(), c.datagram.size()), c.real_size);
        EXPECT_EQ(line, c.line) << c.name;
        EXPECT_EQ(line.find('\n'), std::string::npos) << c.name;
    }
}

}  // namespace
}  // namespace orv::client
