// Controller notification datagrams decoded into one line. Datagrams are written out byte by byte
// with the documented layout (call, then int32 and a 32-byte text, or the 96-byte record).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tools/client/orv_client.h"

namespace orv::client {
namespace {

std::string le32(std::int64_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    const char b[4] = {char(u), char(u >> 8), char(u >> 16), char(u >> 24)};
    return std::string(b, 4);
}

std::string padded(std::string text) {
    text.resize(32, '\0');
    return text;
}

TEST(NotificationDecoder, EachCallShortAndUnknownDatagrams) {
    const std::string full(32, 'S');
    const struct {
        std::string datagram;
        std::size_t real_size;  // size before the receive cut it; 0: not cut
        std::string line;
    } rows[] = {
        {le32(1) + le32(1) + padded("SIM failure"), 0, "pin_status kind=1 state=\"SIM failure\""},
        {le32(2) + le32(1) + padded("a\"b\nc"), 0,
         "verify_pinpuk result=1 state=\"a\\x22b\\x0ac\""},
        {le32(1) + le32(0) + full, 0, "pin_status kind=0 state=\"" + full + "\""},
        {le32(3) + le32(-1), 0, "rpc_status status=-1"},
        {le32(4) + le32(1), 0, "imsi_unlock_status status=1"},
        {le32(5) + padded("26201") + padded("262011234567890") + padded("8949123456789012345"), 0,
         "apn_sim_msg plmn=\"26201\" imsi=\"262011234567890\" iccid=\"8949123456789012345\""},
        {le32(3) + le32(7) + "xyzw", 0, "rpc_status status=7 extra_bytes=4"},
        {le32(4) + le32(0) + "zz", 5000, "imsi_unlock_status status=0 extra_bytes=4992"},
        // Unknown calls and datagrams too short for their call.
        {le32(1) + le32(0) + std::string(31, 'R'), 0, "unknown call=1 bytes=39"},
        {le32(3) + "\x01\x02\x03", 0, "unknown call=3 bytes=7"},
        {le32(5) + padded("26201") + padded(""), 0, "unknown call=5 bytes=68"},
        {le32(0) + le32(0), 0, "unknown call=0 bytes=8"},
        {le32(6) + le32(0), 0, "unknown call=6 bytes=8"},
        {std::string("\x01\x00", 2), 0, "unknown call=? bytes=2"},
    };
    for (const auto& r : rows) {
        // An exactly sized copy: reading past the datagram would be caught by the sanitizers.
        auto exact = std::make_unique<char[]>(r.datagram.size());
        std::copy(r.datagram.begin(), r.datagram.end(), exact.get());
        EXPECT_EQ(describe_notification({exact.get(), r.datagram.size()}, r.real_size), r.line);
    }
}

}  // namespace
}  // namespace orv::client
