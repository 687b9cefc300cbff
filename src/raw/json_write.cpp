// The pretty printer: every byte of an output file is decided here.
#include "raw/json_write.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace spansift {

namespace {

// Bytes that can't stand in a JSON string as they are.
constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  void trace(const JaegerTrace& t) {
    open('{');
    key("data");
    list(std::span<const JaegerItem>(t.data), [&](const JaegerItem& item) { this->item(item); });
    key("total");
    integer(t.total);
    key("limit");
    integer(t.limit);
    key("offset");
    integer(t.offset);
    key("errors");
    if (t.errors) {
      list(std::span<const JaegerError>(*t.errors), [&](const JaegerError&) { out_ += "{}"; });
    } else {
      out_ += "null";
    }
    close('}');
  }

 private:
  void item(const JaegerItem& item) {
    open('{');
    key("traceID");
    string(item.traceID);
    key("spans");
    list(item.spans, [&](const JaegerSpan& s) { span(s); });
    key("processes");
    members(item.processes);
    key("warnings");
    optional_texts(item.warnings);
    close('}');
  }

  void span(const JaegerSpan& s) {
    open('{');
    key("traceID");
    string(s.traceID);
    key("spanID");
    string(s.spanID);
    key("flags");
    integer(s.flags);
    key("operationName");
    string(s.operationName);
    key("references");
    list(s.references, [&](const JaegerReference& r) {
      open('{');
      key("refType");
      string(r.refType);
      key("traceID");
      string(r.traceID);
      key("spanID");
      string(r.spanID);
      close('}');
    });
    key("startTime");
    integer(s.startTime);
    key("duration");
    integer(s.duration);
    key("tags");
    tags(s.tags);
    key("logs");
    list(s.logs, [&](const JaegerLog& log) {
      open('{');
      key("timestamp");
      integer(log.timestamp);
      key("fields");
      tags(log.fields);
      close('}');
    });
    key("processID");
    string(s.processID);
    key("warnings");
    optional_texts(s.warnings);
    close('}');
  }

  void tags(List<JaegerTag> tags) {
    list(tags, [&](const JaegerTag& tag) {
      open('{');
      key("key");
      string(tag.key);
      key("type");
      string(tag.type);
      key("value");
      value(tag.value);
      close('}');
    });
  }

  void optional_texts(const std::optional<List<Text>>& texts) {
    if (!texts) {
      out_ += "null";
      return;
    }
    list(*texts, [&](const Text& t) { string(t); });
  }

  void members(List<JsonMember> members) {
    open('{');
    for (const JsonMember& m : members) {
      entry();
      string(m.key);
      out_ += ": ";
      value(m.value);
    }
    close('}');
  }

  void value(const JsonValue& v) {
    switch (v.kind) {
      case JsonValue::Kind::Null: out_ += "null"; break;
      case JsonValue::Kind::Bool: out_ += v.boolean ? "true" : "false"; break;
      case JsonValue::Kind::Unsigned: integer(v.unsigned_number); break;
      case JsonValue::Kind::Signed: integer(v.signed_number); break;
      case JsonValue::Kind::Double:
        if (!std::isfinite(v.double_number)) {
          if (error_.empty()) error_ = "number is not finite";
          out_ += "null";
        } else {
          append_double(out_, v.double_number);
        }
        break;
      case JsonValue::Kind::String: string(v.string()); break;
      case JsonValue::Kind::Array:
        list(v.array(), [&](const JsonValue& e) { value(e); });
        break;
      case JsonValue::Kind::Object: members(v.object()); break;
    }
  }

  template <class T, class F>
  void list(List<T> elements, F&& write_element) {
    open('[');
    for (const T& e : elements) {
      entry();
      write_element(e);
    }
    close(']');
  }

  void open(char bracket) {
    out_ += bracket;
    ++level_;
    first_.push_back(true);
  }

  // Starts an entry of the innermost container: a line of its own.
  void entry() {
    if (first_.back()) {
      first_.back() = false;
      out_ += '\n';
    } else {
      out_ += ",\n";
    }
    indent();
  }

  void key(std::string_view k) {
    entry();
    string(k);
    out_ += ": ";
  }

  void close(char bracket) {
    --level_;
    bool had_entries = !first_.back();
    first_.pop_back();
    if (had_entries) {
      out_ += '\n';
      indent();
    }
    out_ += bracket;
  }

  void indent() { out_.append(2 * level_, ' '); }

  template <class N>
  void integer(N n) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, n);
    out_.append(buffer, end);
  }

  void string(std::string_view s) {
    out_ += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      if (!kNeedsEscape[c]) continue;
      out_.append(s.data() + run, i - run);
      run = i + 1;
      switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '\b': out_ += "\\b"; break;
        case '\f': out_ += "\\f"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        default: {
          static constexpr char kHex[] = "0123456789abcdef";
          char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
          out_.append(escape, 6);
        }
      }
    }
    out_.append(s.data() + run, s.size() - run);
    out_ += '"';
  }

  std::string& out_;
  std::size_t level_ = 0;
  std::vector<bool> first_;  // per open container: no entry written yet
  std::string error_;
};

}  // namespace

void append_double(std::string& out, double value) {
  if (value == 0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits, in scientific form: d[.ddd]e[-]x.
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  std::size_t e = sci.find('e');
  std::string digits;
  digits += sci[0];
  if (e > 1) digits.append(sci.substr(2, e - 2));
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
  // value = 0.d1d2...dn * 10^p
  const int n = static_cast<int>(digits.size());
  const int p = exponent + 1;
  if (n <= p && p <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(p - n), '0');
    out += ".0";
  } else if (1 <= p && p <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(p));
    out += '.';
    out.append(digits, static_cast<std::size_t>(p));
  } else if (-4 <= p && p <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-p), '0');
    out += digits;
  } else {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    char exp_buffer[8];
    auto [exp_end, exp_ec] = std::to_chars(exp_buffer, exp_buffer + sizeof exp_buffer, p - 1);
    out.append(exp_buffer, exp_end);
  }
}

bool to_pretty_json(const JaegerTrace& trace, std::string& out, std::string& error) {
  out.clear();
  Writer writer(out);
  writer.trace(trace);
  if (writer.failed()) {
    error = writer.error();
    return false;
  }
  return true;
}

std::string to_pretty_json(const JaegerTrace& trace) {
  std::string out;
  std::string error;
  to_pretty_json(trace, out, error);
  return out;
}

}  // namespace spansift
