// Text helpers of the tools: escaping, hex, number and time parsing.
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "core/answer.h"
#include "tools/client/orv_client.h"
#include "wire/version.h"

namespace orv::client {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Appends the two lower-case hex digits of `c`.
void put_hex(std::string& out, unsigned char c) {
    out.push_back(kHexDigits[c >> 4]);
    out.push_back(kHexDigits[c & 0xf]);
}

}  // namespace

std::string version_line(std::string_view tool) {
    return std::string(tool) + " (orv_mdm) " ORV_VERSION "\n";
}

std::string escape_bytes(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c == '\r' || c == '\n' || c == '\t') {
            out.push_back('\\');
            out.push_back(c == '\r' ? 'r' : c == '\n' ? 'n' : 't');
        } else if (c >= 0x20 && c < 0x7f) {
            out.push_back(ch);
        } else {
            out += "\\x";
            put_hex(out, c);
        }
    }
    return out;
}

std::string quote_bytes(std::string_view bytes) {
    return "\"" + escape_bytes(bytes) + "\"";
}

std::string_view field_text(std::string_view bytes, msg::TextField f) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    return bytes.substr(std::min(f.offset, bytes.size()), msg::text_length(p, bytes.size(), f));
}

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    LineSplitter split;
    split.add(text, [&](std::string line) { lines.push_back(std::move(line)); });
    if (std::string rest = split.take_open(); !rest.empty()) {
        lines.push_back(std::move(rest));
    }
    return lines;
}

std::string to_hex(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        put_hex(out, static_cast<unsigned char>(ch));
    }
    return out;
}

bool from_hex(std::string_view hex, std::string& out) {
    if (hex.size() >= 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) {
        hex.remove_prefix(2);
    }
    std::string bytes;
    int high = -1;
    for (char c : hex) {
        if (c == ' ' || c == ':' || c == '-' || c == '\t') {
            if (high >= 0) {
                return false;  // a separator inside a pair
            }
            continue;
        }
        const int d = core::hex_digit_value(c);
        if (d < 0) {
            return false;
        }
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<char>(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        return false;
    }
    out = std::move(bytes);
    return true;
}

bool parse_u32(std::string_view text, std::uint32_t& out) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 20) {
        return false;
    }
    unsigned long long v = 0;
    for (char c : text) {
        const int d = core::hex_digit_value(c);
        if (d < 0 || d >= base) {
            return false;
        }
        v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (v > 0xFFFFFFFFull) {
            return false;
        }
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool parse_int32_bits(std::string_view text, std::uint32_t& out) {
    if (!text.empty() && text[0] == '-') {
        std::uint32_t v = 0;
        if (!parse_u32(text.substr(1), v) || v > 0x80000000u) {
            return false;
        }
        out = static_cast<std::uint32_t>(0x100000000ull - v);
        return true;
    }
    return parse_u32(text, out);
}

bool parse_seconds(std::string_view text, double& out) {
    if (text.empty() || text.size() > 32) {
        return false;
    }
    char buf[40];
    text.copy(buf, text.size());
    buf[text.size()] = '\0';
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(buf, &end);
    if (errno != 0 || end != buf + text.size() || !std::isfinite(v) || v < 0 || buf[0] == ' ') {
        return false;
    }
    out = v;
    return true;
}

std::string timestamp_now() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm tm {};
    const time_t secs = tv.tv_sec;
    localtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(tv.tv_usec / 1000));
    return buf;
}

}  // namespace orv::client
