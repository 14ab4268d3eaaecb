// Field traces read and written back: one JSON object a line (docs/traces.md, the kinds and their
// fields in wire/trace_format.h), every string a byte string. The one reader of the format, for
// orv_trace and the virtual modem's replay: it checks each record's kind and the type of each of
// its fields. The writer puts the fields of a kind in their fixed order and escapes bytes as the
// daemon's recorder does, so that a rewritten trace diffs cleanly against its original.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/trace_format.h"

namespace orv::trace {

using Kind = trace_format::Kind;
using trace_format::kind_name;

using Row = std::vector<std::optional<std::string>>;

// One field value. Numbers keep the text they were written with when they are not integers.
struct Value {
    enum class Type { kNull, kBool, kInt, kNumber, kString, kRow };
    Type type = Type::kNull;
    bool flag = false;
    std::int64_t integer = 0;
    std::string text;  // kString: the decoded bytes; kNumber: the number as written
    Row row;
};

struct Field {
    std::string name;
    Value value;
};

struct Record {
    Kind kind = Kind::kIdle;
    double t = 0;
    // The fields of the kind in their fixed order, then any field the kind does not define, in
    // the order of the line (kept, so that a rewritten trace loses nothing).
    std::vector<Field> fields;
    std::size_t line = 0;  // 1-based line of the file

    const Value* find(std::string_view name) const;
    // The field's bytes or number; "" and 0 when the record has no such field (the reader
    // makes sure that the fields of its kind are there).
    const std::string& str(std::string_view name) const;
    std::int64_t num(std::string_view name) const;
};

// Parses one line (without its line feed) into `out`; false with what is wrong in `error`.
bool parse_record(std::string_view line, Record& out, std::string& error);

// Parses a whole trace; `name` starts each error message ("trace.jsonl:17: ...").
bool parse_trace(std::string_view text, std::string_view name, std::vector<Record>& out,
                 std::string& error);
// A file that is missing, unreadable, no regular file, or holds no record fails too, naming the
// path and why. When a line fails, `out` keeps the whole records before it.
bool read_trace(const std::string& path, std::vector<Record>& out, std::string& error);

// A byte string as the format writes it, without the quotes.
std::string escape(std::string_view bytes);
// One record as a line, without the line feed.
std::string format_record(const Record& record);

// A part of the trace: the start-up (records before the first request), a request (its `req`
// up to the `idle` that ends it, or up to the next `req` or the end) or what came between an
// `idle` and the next request.
struct Group {
    enum class Type { kStartup, kRequest, kBetween };
    Type type = Type::kStartup;
    std::size_t begin = 0;  // index of the first record
    std::size_t end = 0;    // one past the last record
};
std::vector<Group> group_requests(const std::vector<Record>& records);

}  // namespace orv::trace
