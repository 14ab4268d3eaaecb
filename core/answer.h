// Readers of a modem answer's first line, shared by every handler. Each reads one thing and
// leaves the judging to the handler.
#pragma once

#include <string_view>

namespace orv::core {

// A SIM file read the card completed normally: status words 144 and 0 (0x90 0x00), as this
// modem writes them, before the data.
//   +CRSM: 144, 0,"984421436587092143F5"
inline constexpr std::string_view kCrsmSuccess = "+CRSM: 144, 0";

enum class Quoted {
    Found,     // `text` is the field between the two quotes
    NoQuote,   // no double quote at all
    Unclosed,  // an opening quote only: `text` is the rest of the line after it
};

struct QuotedField {
    Quoted status;
    std::string_view text;
};

// The text between the first double quote of `line` and the next one.
//   +CRSM: 144, 0,"984421436587092143F5"  ->  Found, 984421436587092143F5
//   +CRSM: 144, 0,"01                     ->  Unclosed, 01
constexpr QuotedField quoted_field(std::string_view line) {
    const std::size_t open = line.find('"');
    if (open == std::string_view::npos) {
        return {Quoted::NoQuote, {}};
    }
    const std::string_view rest = line.substr(open + 1);
    const std::size_t close = rest.find('"');
    if (close == std::string_view::npos) {
        return {Quoted::Unclosed, rest};
    }
    return {Quoted::Found, rest.substr(0, close)};
}

// The value of a hexadecimal digit character, either case; -1 for any other character.
//   'F' -> 15, '7' -> 7, 'g' -> -1
constexpr int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace orv::core
