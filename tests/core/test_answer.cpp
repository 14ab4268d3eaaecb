#include <gtest/gtest.h>

#include <string_view>

#include "core/answer.h"

namespace orv::core {
namespace {

TEST(AnswerReaders, QuotedField) {
    const struct {
        std::string_view line;
        Quoted status;
        std::string_view text;
    } rows[] = {
        {R"(+CRSM: 144, 0,"98F5")", Quoted::Found, "98F5"},
        {R"(+CNUM: "","123",129)", Quoted::Found, ""},
        {"+CRSM: 144, 0", Quoted::NoQuote, ""},
        {R"(+CRSM: 144, 0,"01)", Quoted::Unclosed, "01"},
        {"\"", Quoted::Unclosed, ""},
    };
    for (const auto& r : rows) {
        const QuotedField f = quoted_field(r.line);
        EXPECT_EQ(f.status, r.status) << r.line;
        EXPECT_EQ(f.text, r.text) << r.line;
    }
}

TEST(AnswerReaders, HexDigitValueOfEveryCharacter) {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    for (int c = 0; c < 256; ++c) {
        const char ch = static_cast<char>(c);
        const std::size_t upper =
            kDigits.find(static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c));
        const int want = upper == std::string_view::npos ? -1 : static_cast<int>(upper);
        EXPECT_EQ(hex_digit_value(ch), want) << c;
    }
}

}  // namespace
}  // namespace orv::core
