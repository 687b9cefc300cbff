// The pretty printer: every byte of an output file is decided here.
#include "raw/json_write.h"

#include <array>
#include <charconv>
#include <cmath>
#include <algorithm>
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

// Appends to a string through a raw cursor: capacity is made sure of once per
// piece, so the hot path is plain stores and memcpy.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {
    out_.resize(std::max<std::size_t>(out_.capacity(), 4096));  // reused buffers keep their size
    cursor_ = out_.data();
    end_ = cursor_ + out_.size();
  }

  // Gives the buffer its final length.
  void finish() { out_.resize(static_cast<std::size_t>(cursor_ - out_.data())); }

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  void trace(const JaegerTrace& t) {
    put('{');
    ++level_;
    first_key("data");
    list(std::span<const JaegerItem>(t.data), [&](const JaegerItem& item) { this->item(item); });
    next_key("total");
    integer(t.total);
    next_key("limit");
    integer(t.limit);
    next_key("offset");
    integer(t.offset);
    next_key("errors");
    if (t.errors) {
      list(std::span<const JaegerError>(*t.errors), [&](const JaegerError&) { put("{}"); });
    } else {
      put("null");
    }
    close_record();
  }

 private:
  void item(const JaegerItem& item) {
    open_record();
    first_key("traceID");
    string(item.traceID);
    next_key("spans");
    list(item.spans, [&](const JaegerSpan& s) { span(s); });
    next_key("processes");
    members(item.processes);
    next_key("warnings");
    optional_texts(item.warnings);
    close_record();
  }

  void span(const JaegerSpan& s) {
    open_record();
    first_key("traceID");
    string(s.traceID);
    next_key("spanID");
    string(s.spanID);
    next_key("flags");
    integer(s.flags);
    next_key("operationName");
    string(s.operationName);
    next_key("references");
    list(s.references, [&](const JaegerReference& r) {
      open_record();
      first_key("refType");
      string(r.refType);
      next_key("traceID");
      string(r.traceID);
      next_key("spanID");
      string(r.spanID);
      close_record();
    });
    next_key("startTime");
    integer(s.startTime);
    next_key("duration");
    integer(s.duration);
    next_key("tags");
    tags(s.tags);
    next_key("logs");
    list(s.logs, [&](const JaegerLog& log) {
      open_record();
      first_key("timestamp");
      integer(log.timestamp);
      next_key("fields");
      tags(log.fields);
      close_record();
    });
    next_key("processID");
    string(s.processID);
    next_key("warnings");
    optional_texts(s.warnings);
    close_record();
  }

  void tags(List<JaegerTag> tags) {
    list(tags, [&](const JaegerTag& tag) {
      open_record();
      first_key("key");
      string(tag.key);
      next_key("type");
      string(tag.type);
      next_key("value");
      value(tag.value);
      close_record();
    });
  }

  void optional_texts(const std::optional<List<Text>>& texts) {
    if (!texts) {
      put("null");
      return;
    }
    list(*texts, [&](const Text& t) { string(t); });
  }

  void members(List<JsonMember> members) {
    if (members.empty()) {
      put("{}");
      return;
    }
    put('{');
    ++level_;
    bool first = true;
    for (const JsonMember& m : members) {
      line_break(first);
      first = false;
      string(m.key);
      put(": ");
      value(m.value);
    }
    close_record();
  }

  void value(const JsonValue& v) {
    switch (v.kind) {
      case JsonValue::Kind::Null: put("null"); break;
      case JsonValue::Kind::Bool: v.boolean ? put("true") : put("false"); break;
      case JsonValue::Kind::Unsigned: integer(v.unsigned_number); break;
      case JsonValue::Kind::Signed: integer(v.signed_number); break;
      case JsonValue::Kind::Double:
        if (!std::isfinite(v.double_number)) {
          if (error_.empty()) error_ = "number is not finite";
          put("null");
        } else {
          double_number(v.double_number);
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
    if (elements.empty()) {
      put("[]");
      return;
    }
    put('[');
    ++level_;
    bool first = true;
    for (const T& e : elements) {
      line_break(first);
      first = false;
      write_element(e);
    }
    --level_;
    reserve(1 + 2 * level_ + 1);
    *cursor_++ = '\n';
    indent();
    *cursor_++ = ']';
  }

  // Records always have members: "{" here, the members' line breaks in the keys.
  void open_record() {
    put('{');
    ++level_;
  }
  void close_record() {
    --level_;
    reserve(1 + 2 * level_ + 1);
    *cursor_++ = '\n';
    indent();
    *cursor_++ = '}';
  }

  // Starts an entry on a line of its own: "\n" or ",\n", then the indentation.
  void line_break(bool first) {
    reserve(2 + 2 * level_);
    if (!first) *cursor_++ = ',';
    *cursor_++ = '\n';
    indent();
  }

  template <std::size_t N>
  void first_key(const char (&k)[N]) {
    line_break(true);
    key(k);
  }
  template <std::size_t N>
  void next_key(const char (&k)[N]) {
    line_break(false);
    key(k);
  }
  // A record's key: plain ASCII, so it needs no escaping.
  template <std::size_t N>
  void key(const char (&k)[N]) {
    reserve(N + 3);
    *cursor_++ = '"';
    std::memcpy(cursor_, k, N - 1);
    cursor_ += N - 1;
    std::memcpy(cursor_, "\": ", 3);
    cursor_ += 3;
  }

  // Callers reserve 2 * level_ bytes; kSlack more are always kept free so
  // that shallow indentation is one fixed-size copy.
  void indent() {
    std::size_t n = 2 * level_;
    if (n <= kSlack) {
      std::memcpy(cursor_, kSpaces, kSlack);
      cursor_ += n;
      return;
    }
    for (; n > 0;) {
      std::size_t piece = std::min(n, kSlack);
      std::memcpy(cursor_, kSpaces, piece);
      cursor_ += piece;
      n -= piece;
    }
  }

  void put(char c) {
    reserve(1);
    *cursor_++ = c;
  }
  template <std::size_t N>
  void put(const char (&text)[N]) {
    reserve(N - 1);
    std::memcpy(cursor_, text, N - 1);
    cursor_ += N - 1;
  }

  template <class N>
  void integer(N n) {
    reserve(24);
    cursor_ = std::to_chars(cursor_, cursor_ + 24, n).ptr;
  }

  void double_number(double d) {
    scratch_.clear();
    append_double(scratch_, d);
    reserve(scratch_.size());
    std::memcpy(cursor_, scratch_.data(), scratch_.size());
    cursor_ += scratch_.size();
  }

  void string(std::string_view s) {
    reserve(s.size() * 6 + 2);  // every byte escaped as \u00XX at worst
    *cursor_++ = '"';
    const char* run = s.data();
    const char* end = s.data() + s.size();
    for (const char* p = run; p != end; ++p) {
      unsigned char c = static_cast<unsigned char>(*p);
      if (!kNeedsEscape[c]) continue;
      std::memcpy(cursor_, run, static_cast<std::size_t>(p - run));
      cursor_ += p - run;
      run = p + 1;
      *cursor_++ = '\\';
      switch (c) {
        case '"': *cursor_++ = '"'; break;
        case '\\': *cursor_++ = '\\'; break;
        case '\b': *cursor_++ = 'b'; break;
        case '\f': *cursor_++ = 'f'; break;
        case '\n': *cursor_++ = 'n'; break;
        case '\r': *cursor_++ = 'r'; break;
        case '\t': *cursor_++ = 't'; break;
        default: {
          static constexpr char kHex[] = "0123456789abcdef";
          const char escape[5] = {'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
          std::memcpy(cursor_, escape, 5);
          cursor_ += 5;
        }
      }
    }
    if (end != run) {  // an empty text may have no data pointer at all
      std::memcpy(cursor_, run, static_cast<std::size_t>(end - run));
      cursor_ += end - run;
    }
    *cursor_++ = '"';
  }

  void reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - cursor_) < n + kSlack) [[unlikely]] grow(n + kSlack);
  }

  [[gnu::noinline]] void grow(std::size_t n) {
    std::size_t used = static_cast<std::size_t>(cursor_ - out_.data());
    out_.resize(std::max(out_.size() * 2, used + n));
    cursor_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  static constexpr std::size_t kSlack = 64;
  static constexpr char kSpaces[kSlack + 1] = "                                                                ";

  std::string& out_;
  char* cursor_;
  char* end_;
  std::size_t level_ = 0;
  std::string scratch_;
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
  writer.finish();
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
