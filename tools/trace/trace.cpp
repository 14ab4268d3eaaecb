// Trace reader and writer. The parser is a small strict one written for this flat format rather
// than a general JSON library: a trace string is a byte string (\u00XX is one byte, anything
// above 00FF is refused), which a Unicode-decoding library would turn into UTF-8 and back, and
// each error has to name its line and say what is wrong in the trace's own terms.
#include "tools/trace/trace.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/answer.h"

namespace orv::trace {

namespace {

using trace_format::FieldSpec;
using trace_format::KindSpec;
using trace_format::Want;

constexpr unsigned bit(Value::Type type) {
    return 1u << static_cast<unsigned>(type);
}

// What each Want accepts, and how an error names it; in the order of enum Want.
struct WantRow {
    unsigned types;
    std::string_view text;
};
constexpr WantRow kWants[] = {
    {bit(Value::Type::kString), "a string"},
    {bit(Value::Type::kString) | bit(Value::Type::kNull), "a string or null"},
    {bit(Value::Type::kInt), "an integer"},
    {bit(Value::Type::kInt) | bit(Value::Type::kNumber), "a number"},
    {bit(Value::Type::kRow), "an array of strings and nulls"},
    {bit(Value::Type::kBool), "true or false"},
};
static_assert(std::size(kWants) == static_cast<std::size_t>(Want::kBool) + 1);

bool matches(const Value& v, Want want) {
    return (kWants[static_cast<std::size_t>(want)].types & bit(v.type)) != 0;
}

// The JSON subset of a trace line: one object of scalars and arrays of strings and nulls.
class LineParser {
  public:
    LineParser(std::string_view text, std::string& error) : s_(text), error_(error) {}

    bool object(std::vector<Field>& fields) {
        skip_blanks();
        if (!take("{")) {
            return fail("not a JSON object");
        }
        skip_blanks();
        if (take("}")) {
            return finish();
        }
        for (;;) {
            Field f;
            skip_blanks();
            if (!expect('"') || !string_body(f.name)) {
                return false;
            }
            for (const Field& other : fields) {
                if (other.name == f.name) {
                    return fail("field '" + f.name + "' given twice");
                }
            }
            skip_blanks();
            if (!expect(':') || !value(f.value)) {
                return false;
            }
            fields.push_back(std::move(f));
            skip_blanks();
            if (at_end()) {
                return cut();
            }
            const char c = s_[pos_++];
            if (c == '}') {
                return finish();
            }
            if (c != ',') {
                return fail_at("expected ',' or '}'", pos_ - 1);
            }
        }
    }

  private:
    bool at_end() const { return pos_ >= s_.size(); }
    void skip_blanks() {
        while (!at_end() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }
    bool fail_at(std::string_view what, std::size_t at) {
        return fail("column " + std::to_string(at + 1) + ": " + std::string(what));
    }
    bool cut() { return fail("the record ends before its closing brace (line cut short)"); }
    bool finish() {
        skip_blanks();
        return at_end() || fail_at("text after the closing brace", pos_);
    }
    // Steps over the next character when it is one of `any`.
    bool take(std::string_view any) {
        if (at_end() || any.find(s_[pos_]) == std::string_view::npos) {
            return false;
        }
        ++pos_;
        return true;
    }
    bool expect(char c) {
        if (take(std::string_view(&c, 1))) {
            return true;
        }
        return at_end() ? cut() : fail_at(std::string("expected '") + c + "'", pos_);
    }

    // After the opening quote: the bytes up to the closing one.
    bool string_body(std::string& out) {
        for (;;) {
            if (at_end()) {
                return cut();
            }
            const auto c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return fail_at("control byte in a string (write it as \\u00XX)", pos_ - 1);
            }
            if (c != '\\') {
                out.push_back(static_cast<char>(c));
                continue;
            }
            if (at_end()) {
                return cut();
            }
            const char e = s_[pos_++];
            static constexpr std::string_view kEscapes = "\"\\/bfnrt", kBytes = "\"\\/\b\f\n\r\t";
            if (const std::size_t at = kEscapes.find(e); at != std::string_view::npos) {
                out.push_back(kBytes[at]);
                continue;
            }
            if (e != 'u') {
                return fail_at(std::string("unknown escape \\") + e, pos_ - 2);
            }
            if (s_.size() - pos_ < 4) {
                return cut();
            }
            int v = 0;
            for (int i = 0; i < 4; ++i) {
                const int d = core::hex_digit_value(s_[pos_ + i]);
                if (d < 0) {
                    return fail_at("\\u needs four hex digits", pos_ - 2);
                }
                v = v * 16 + d;
            }
            if (v > 0xff) {
                return fail_at("\\u escape above 00FF (a trace string holds bytes)", pos_ - 2);
            }
            pos_ += 4;
            out.push_back(static_cast<char>(v));
        }
    }

    bool number(Value& v) {
        const std::size_t start = pos_;
        auto digits = [&] {
            const std::size_t from = pos_;
            while (!at_end() && s_[pos_] >= '0' && s_[pos_] <= '9') {
                ++pos_;
            }
            return pos_ > from;
        };
        take("-");
        const std::size_t int_start = pos_;
        if (!digits()) {
            return at_end() ? cut() : fail_at("expected a value", start);
        }
        if (pos_ - int_start > 1 && s_[int_start] == '0') {
            return fail_at("number with a leading zero", start);
        }
        bool whole = true;
        if (take(".")) {
            whole = false;
            if (!digits()) {
                return fail_at("expected digits after '.'", pos_);
            }
        }
        if (take("eE")) {
            whole = false;
            take("+-");
            if (!digits()) {
                return fail_at("expected an exponent", pos_);
            }
        }
        const std::string text(s_.substr(start, pos_ - start));
        if (whole) {
            errno = 0;
            const long long n = std::strtoll(text.c_str(), nullptr, 10);
            if (errno == ERANGE) {
                return fail_at("integer out of range", start);
            }
            v.type = Value::Type::kInt;
            v.integer = n;
        } else {
            v.type = Value::Type::kNumber;
            v.text = text;
        }
        return true;
    }

    bool value(Value& v) {
        skip_blanks();
        if (at_end()) {
            return cut();
        }
        const char c = s_[pos_];
        if (take("\"")) {
            v.type = Value::Type::kString;
            return string_body(v.text);
        }
        if (take("[")) {
            v.type = Value::Type::kRow;
            return array(v.row);
        }
        static constexpr std::pair<std::string_view, Value::Type> kWords[] = {
            {"null", Value::Type::kNull},
            {"true", Value::Type::kBool},
            {"false", Value::Type::kBool}};
        for (const auto& [w, type] : kWords) {
            if (s_.substr(pos_, w.size()) == w) {
                pos_ += w.size();
                v.type = type;
                v.flag = w == "true";
                return true;
            }
        }
        if (c == '{') {
            return fail_at("nested object (a trace record is flat)", pos_);
        }
        return number(v);
    }

    bool array(Row& row) {
        skip_blanks();
        if (take("]")) {
            return true;
        }
        for (;;) {
            Value element;
            const std::size_t at = pos_;
            if (!value(element)) {
                return false;
            }
            if (element.type == Value::Type::kString) {
                row.push_back(std::move(element.text));
            } else if (element.type == Value::Type::kNull) {
                row.push_back(std::nullopt);
            } else {
                return fail_at("an array holds only strings and null", at);
            }
            skip_blanks();
            if (at_end()) {
                return cut();
            }
            const char c = s_[pos_++];
            if (c == ']') {
                return true;
            }
            if (c != ',') {
                return fail_at("expected ',' or ']'", pos_ - 1);
            }
        }
    }

    std::string_view s_;
    std::string& error_;
    std::size_t pos_ = 0;
};

void append_string(std::string& out, std::string_view bytes) {
    out.push_back('"');
    out += escape(bytes);
    out.push_back('"');
}

void append_value(std::string& out, const Value& v) {
    switch (v.type) {
        case Value::Type::kNull:
            out += "null";
            break;
        case Value::Type::kBool:
            out += v.flag ? "true" : "false";
            break;
        case Value::Type::kInt:
            out += std::to_string(v.integer);
            break;
        case Value::Type::kNumber:
            out += v.text;
            break;
        case Value::Type::kString:
            append_string(out, v.text);
            break;
        case Value::Type::kRow: {
            out.push_back('[');
            for (std::size_t i = 0; i < v.row.size(); ++i) {
                if (i > 0) {
                    out.push_back(',');
                }
                if (v.row[i]) {
                    append_string(out, *v.row[i]);
                } else {
                    out += "null";
                }
            }
            out.push_back(']');
            break;
        }
    }
}

}  // namespace

const Value* Record::find(std::string_view name) const {
    for (const Field& f : fields) {
        if (f.name == name) {
            return &f.value;
        }
    }
    return nullptr;
}

const std::string& Record::str(std::string_view name) const {
    static const std::string kNone;
    const Value* v = find(name);
    return v != nullptr && v->type == Value::Type::kString ? v->text : kNone;
}

std::int64_t Record::num(std::string_view name) const {
    const Value* v = find(name);
    if (v == nullptr) {
        return 0;
    }
    if (v->type == Value::Type::kNumber) {
        return static_cast<std::int64_t>(std::strtod(v->text.c_str(), nullptr));
    }
    return v->integer;
}

bool parse_record(std::string_view line, Record& out, std::string& error) {
    std::vector<Field> fields;
    LineParser parser(line, error);
    if (!parser.object(fields)) {
        return false;
    }
    auto take = [&fields](std::string_view name) -> std::optional<Value> {
        for (auto it = fields.begin(); it != fields.end(); ++it) {
            if (it->name == name) {
                Value v = std::move(it->value);
                fields.erase(it);
                return v;
            }
        }
        return std::nullopt;
    };
    const std::optional<Value> k = take(trace_format::field::kKind);
    if (!k) {
        error = "record without 'k'";
        return false;
    }
    if (k->type != Value::Type::kString) {
        error = "'k' is not a string";
        return false;
    }
    const auto& kinds = trace_format::kKinds;
    const auto spec = std::find_if(kinds.begin(), kinds.end(),
                                   [&](const KindSpec& s) { return s.name == k->text; });
    if (spec == kinds.end()) {
        error = "unknown kind '" + escape(k->text) + "'";
        return false;
    }
    const std::string kind = "'" + std::string(spec->name) + "' record";
    const std::optional<Value> t = take(trace_format::field::kTime);
    if (!t) {
        error = kind + " without 't'";
        return false;
    }
    if (!matches(*t, Want::kNumber)) {
        error = kind + ": 't' is not a number";
        return false;
    }
    out.kind = spec->kind;
    out.t = t->type == Value::Type::kInt ? static_cast<double>(t->integer)
                                         : std::strtod(t->text.c_str(), nullptr);
    out.fields.clear();
    for (std::size_t i = 0; i < spec->count; ++i) {
        const FieldSpec& f = spec->fields[i];
        std::optional<Value> v = take(f.name);
        if (!v && f.optional) {
            continue;
        }
        if (!v) {
            error = kind + " without '" + std::string(f.name) + "'";
            return false;
        }
        if (!matches(*v, f.want)) {
            error = kind + ": '" + std::string(f.name) + "' is not " +
                    std::string(kWants[static_cast<std::size_t>(f.want)].text);
            return false;
        }
        out.fields.push_back({std::string(f.name), std::move(*v)});
    }
    for (Field& extra : fields) {
        out.fields.push_back(std::move(extra));
    }
    return true;
}

bool parse_trace(std::string_view text, std::string_view name, std::vector<Record>& out,
                 std::string& error) {
    out.clear();
    std::size_t number = 0;
    std::size_t pos = 0;
    std::size_t blank_line = 0;  // the first blank line, an error when a record follows it
    while (pos < text.size()) {
        ++number;
        const std::size_t nl = text.find('\n', pos);
        const std::size_t end = nl == std::string_view::npos ? text.size() : nl;
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
            if (blank_line == 0) {
                blank_line = number;
            }
            continue;
        }
        if (blank_line != 0) {
            error = std::string(name) + ":" + std::to_string(blank_line) + ": empty line";
            return false;
        }
        Record record;
        std::string what;
        if (!parse_record(line, record, what)) {
            error = std::string(name) + ":" + std::to_string(number) + ": " + what;
            return false;
        }
        record.line = number;
        out.push_back(std::move(record));
    }
    return true;
}

bool read_trace(const std::string& path, std::vector<Record>& out, std::string& error) {
    out.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = path + ": cannot be opened: " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": is no regular file (a folder?), so no trace";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be opened: " + std::strerror(errno);
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad()) {
        error = path + ": cannot be read: " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    if (!parse_trace(all.str(), path, out, error)) {
        return false;
    }
    if (out.empty()) {
        error = path + ": empty, no record (a copy that failed?)";
        return false;
    }
    return true;
}

std::string escape(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        char piece[trace_format::kMaxEscape];
        out.append(piece, trace_format::escape_byte(static_cast<unsigned char>(ch), piece));
    }
    return out;
}

std::string format_record(const Record& record) {
    std::array<char, 32> t{};
    std::snprintf(t.data(), t.size(), "%.6f", record.t);
    std::string out = "{\"k\":";
    append_string(out, kind_name(record.kind));
    out += ",\"t\":";
    out += t.data();
    for (const Field& f : record.fields) {
        out.push_back(',');
        append_string(out, f.name);
        out.push_back(':');
        append_value(out, f.value);
    }
    out.push_back('}');
    return out;
}

std::vector<Group> group_requests(const std::vector<Record>& records) {
    std::vector<Group> groups;
    const std::size_t n = records.size();
    auto next_req = [&](std::size_t from) {
        while (from < n && records[from].kind != Kind::kReq) {
            ++from;
        }
        return from;
    };
    std::size_t i = next_req(0);
    if (i > 0) {
        groups.push_back({Group::Type::kStartup, 0, i});
    }
    while (i < n) {
        std::size_t end = i + 1;
        while (end < n && records[end].kind != Kind::kReq && records[end].kind != Kind::kIdle) {
            ++end;
        }
        if (end < n && records[end].kind == Kind::kIdle) {
            ++end;
        }
        groups.push_back({Group::Type::kRequest, i, end});
        i = next_req(end);
        if (i > end) {
            groups.push_back({Group::Type::kBetween, end, i});
        }
    }
    return groups;
}

}  // namespace orv::trace
