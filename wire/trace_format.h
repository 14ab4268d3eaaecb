// The field trace's format (docs/traces.md): one flat JSON object a line, "k" its kind, "t" its
// time in seconds since the trace began, then the fields of its kind. Every string is a byte
// string. The daemon's recorder writes it; orv_trace and the virtual modem's replay read it with
// one reader (tools/trace/trace.h). Kinds, their names and their fields are spelled here once.
// Header only, constexpr, no allocation: the recorder formats records into a static buffer.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace orv::trace_format {

enum class Kind {
    kTrace,
    kPreset,
    kCfg,
    kReq,
    kCmd,
    kTx,
    kRx,
    kAns,
    kRead,
    kWrite,
    kSave,
    kNotify,
    kLed,
    kPwm,
    kRow,
    kSql,
    kSleep,
    kIdle,
};
inline constexpr std::size_t kKindCount = static_cast<std::size_t>(Kind::kIdle) + 1;

// The field names, as the records spell them.
namespace field {
inline constexpr std::string_view kKind = "k";
inline constexpr std::string_view kTime = "t";
inline constexpr std::string_view kVersion = "v";            // trace: the format's version
inline constexpr std::string_view kProgram = "ver";          // trace: the daemon's version
inline constexpr std::string_view kWall = "wall";            // trace
inline constexpr std::string_view kPid = "pid";              // trace
inline constexpr std::string_view kContinued = "continued";  // trace, a file begun at a rotation
inline constexpr std::string_view kName = "n";               // preset, read, write
inline constexpr std::string_view kValue = "v";              // preset, cfg, read, write, pwm, row
inline constexpr std::string_view kId = "id";                // cfg, req
inline constexpr std::string_view kResult = "rc";            // cfg, read, pwm, sql
inline constexpr std::string_view kMessage = "m";            // req
inline constexpr std::string_view kCommand = "c";            // cmd
inline constexpr std::string_view kWait = "w";               // cmd
inline constexpr std::string_view kBytes = "b";              // tx, rx, notify
inline constexpr std::string_view kOutcome = "o";            // ans
inline constexpr std::string_view kAnswer = "a";             // ans
inline constexpr std::string_view kPercent = "p";            // led
inline constexpr std::string_view kCharging = "c";           // led
inline constexpr std::string_view kRequest = "r";            // pwm
inline constexpr std::string_view kQuery = "q";              // sql
inline constexpr std::string_view kSeconds = "s";            // sleep
inline constexpr std::string_view kCut = "cut";              // any: a byte string did not fit
}  // namespace field

// What a field holds.
enum class Want { kString, kStringOrNull, kInt, kNumber, kRow, kBool };

struct FieldSpec {
    std::string_view name;
    Want want = Want::kString;
    bool optional = false;
};

struct KindSpec {
    Kind kind;
    std::string_view name;
    std::array<FieldSpec, 5> fields;
    std::size_t count;  // fields in use
};

// Each kind's name and fields, in the order the recorder writes them and a rewritten trace keeps.
inline constexpr std::array<KindSpec, kKindCount> kKinds{{
    {Kind::kTrace,
     "trace",
     {{{field::kVersion, Want::kInt},
       {field::kProgram, Want::kString, true},  // traces of earlier daemons lack it
       {field::kWall, Want::kString},
       {field::kPid, Want::kInt},
       {field::kContinued, Want::kBool, true}}},
     5},
    {Kind::kPreset, "preset", {{{field::kName}, {field::kValue, Want::kStringOrNull}}}, 2},
    {Kind::kCfg,
     "cfg",
     {{{field::kId, Want::kInt}, {field::kResult, Want::kInt}, {field::kValue}}},
     3},
    {Kind::kReq, "req", {{{field::kId, Want::kInt}, {field::kMessage}}}, 2},
    {Kind::kCmd, "cmd", {{{field::kCommand}, {field::kWait, Want::kInt}}}, 2},
    {Kind::kTx, "tx", {{{field::kBytes}}}, 1},
    {Kind::kRx, "rx", {{{field::kBytes}}}, 1},
    {Kind::kAns, "ans", {{{field::kOutcome, Want::kInt}, {field::kAnswer}}}, 2},
    {Kind::kRead, "read", {{{field::kName}, {field::kResult, Want::kInt}, {field::kValue}}}, 3},
    {Kind::kWrite, "write", {{{field::kName}, {field::kValue}}}, 2},
    {Kind::kSave, "save", {}, 0},
    {Kind::kNotify, "notify", {{{field::kBytes}}}, 1},
    {Kind::kLed, "led", {{{field::kPercent, Want::kInt}, {field::kCharging, Want::kInt}}}, 2},
    // "close" has no result; an ioctl's value is there only when it succeeded.
    {Kind::kPwm,
     "pwm",
     {{{field::kRequest}, {field::kResult, Want::kInt, true}, {field::kValue, Want::kInt, true}}},
     3},
    {Kind::kRow, "row", {{{field::kValue, Want::kRow}}}, 1},
    {Kind::kSql, "sql", {{{field::kQuery}, {field::kResult, Want::kInt}}}, 2},
    {Kind::kSleep, "sleep", {{{field::kSeconds, Want::kNumber}}}, 1},
    {Kind::kIdle, "idle", {}, 0},
}};

// The table is in the enum's order: kKinds[k] describes Kind k.
constexpr bool kinds_in_order() {
    for (std::size_t i = 0; i < kKinds.size(); ++i) {
        if (static_cast<std::size_t>(kKinds[i].kind) != i) {
            return false;
        }
    }
    return true;
}
static_assert(kinds_in_order(), "kKinds must list the kinds in the order of enum Kind");

constexpr const KindSpec& spec(Kind kind) {
    return kKinds[static_cast<std::size_t>(kind)];
}
constexpr std::string_view kind_name(Kind kind) {
    return spec(kind).name;
}

// The byte escape of a trace string: printable ASCII as itself but '"' and '\', CR, LF and tab
// as \r \n \t, every other byte as \u00xx (lower-case hex). Writes at most 6 characters to `out`
// and returns how many.
constexpr std::size_t escape_byte(unsigned char c, char* out) {
    constexpr char kHex[] = "0123456789abcdef";
    if (c == '"' || c == '\\') {
        out[0] = '\\';
        out[1] = static_cast<char>(c);
        return 2;
    }
    if (c == '\r' || c == '\n' || c == '\t') {
        out[0] = '\\';
        out[1] = c == '\r' ? 'r' : c == '\n' ? 'n' : 't';
        return 2;
    }
    if (c >= 0x20 && c < 0x7f) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    const char head[] = "\\u00";
    for (int i = 0; i < 4; ++i) {
        out[i] = head[i];
    }
    out[4] = kHex[c >> 4];
    out[5] = kHex[c & 0x0f];
    return 6;
}
inline constexpr std::size_t kMaxEscape = 6;

}  // namespace orv::trace_format
