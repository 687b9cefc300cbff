// The pretty printer: every byte of an output file is decided here.
#include "raw/json_write.h"

#include <algorithm>
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

constexpr std::size_t kSlack = 64;
constexpr char kSpaces[kSlack + 1] = "                                                                ";

// Room that a text needs at most: every byte escaped as \u00XX, and the quotes.
constexpr std::size_t text_bound(std::string_view s) { return 6 * s.size() + 2; }

// Writes through a raw cursor that is passed along and returned, so that it
// stays in a register: stores through char* would otherwise force it back to
// memory after every byte. Room is made sure of once per line or record, and
// kSlack more bytes are always kept free for fixed-size copies.
class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {
    out_.resize(std::max<std::size_t>(out_.capacity(), 4096));  // reused buffers keep their size
    end_ = out_.data() + out_.size();
  }

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  void trace(const JaegerTrace& t) {
    char* p = ensure(out_.data(), 16);
    *p++ = '{';
    level_ = 1;
    p = key(p, true, "data");
    p = list(p, std::span<const JaegerItem>(t.data),
             [&](char* q, const JaegerItem& item) { return this->item(q, item); });
    p = ensure(p, 4 * 40);
    p = key(p, false, "total");
    p = integer(p, t.total);
    p = key(p, false, "limit");
    p = integer(p, t.limit);
    p = key(p, false, "offset");
    p = integer(p, t.offset);
    p = key(p, false, "errors");
    if (t.errors) {
      p = list(p, std::span<const JaegerError>(*t.errors), [](char* q, const JaegerError&) { return put(q, "{}"); });
    } else {
      p = put(p, "null");
    }
    p = close(ensure(p, line()), '}');
    out_.resize(static_cast<std::size_t>(p - out_.data()));
  }

 private:
  // Room for a line break, the indentation and a key at the current level.
  std::size_t line() const { return 2 * level_ + 24; }

  char* item(char* p, const JaegerItem& item) {
    p = ensure(p, line() + text_bound(item.traceID));
    p = open(p, '{');
    p = key(p, true, "traceID");
    p = string(p, item.traceID);
    p = ensure(p, line());
    p = key(p, false, "spans");
    p = list(p, item.spans, [&](char* q, const JaegerSpan& s) { return span(q, s); });
    p = ensure(p, line());
    p = key(p, false, "processes");
    p = members(p, item.processes);
    p = ensure(p, line());
    p = key(p, false, "warnings");
    p = optional_texts(p, item.warnings);
    return close(ensure(p, line()), '}');
  }

  char* span(char* p, const JaegerSpan& s) {
    p = ensure(p, 7 * line() + 3 * 24 + text_bound(s.traceID) + text_bound(s.spanID) + text_bound(s.operationName));
    p = open(p, '{');
    p = key(p, true, "traceID");
    p = string(p, s.traceID);
    p = key(p, false, "spanID");
    p = string(p, s.spanID);
    p = key(p, false, "flags");
    p = integer(p, s.flags);
    p = key(p, false, "operationName");
    p = string(p, s.operationName);
    p = key(p, false, "references");
    p = list(p, s.references, [&](char* q, const JaegerReference& r) {
      q = ensure(q, 4 * line() + text_bound(r.refType) + text_bound(r.traceID) + text_bound(r.spanID));
      q = open(q, '{');
      q = key(q, true, "refType");
      q = string(q, r.refType);
      q = key(q, false, "traceID");
      q = string(q, r.traceID);
      q = key(q, false, "spanID");
      q = string(q, r.spanID);
      return close(q, '}');
    });
    p = ensure(p, 3 * line() + 2 * 24);
    p = key(p, false, "startTime");
    p = integer(p, s.startTime);
    p = key(p, false, "duration");
    p = integer(p, s.duration);
    p = key(p, false, "tags");
    p = tags(p, s.tags);
    p = ensure(p, line());
    p = key(p, false, "logs");
    p = list(p, s.logs, [&](char* q, const JaegerLog& log) {
      q = ensure(q, 3 * line() + 24);
      q = open(q, '{');
      q = key(q, true, "timestamp");
      q = integer(q, log.timestamp);
      q = key(q, false, "fields");
      q = tags(q, log.fields);
      return close(ensure(q, line()), '}');
    });
    p = ensure(p, 2 * line() + text_bound(s.processID));
    p = key(p, false, "processID");
    p = string(p, s.processID);
    p = key(p, false, "warnings");
    p = optional_texts(p, s.warnings);
    return close(ensure(p, line()), '}');
  }

  char* tags(char* p, List<JaegerTag> tags) {
    return list(p, tags, [&](char* q, const JaegerTag& tag) {
      q = ensure(q, 4 * line() + text_bound(tag.key) + text_bound(tag.type));
      q = open(q, '{');
      q = key(q, true, "key");
      q = string(q, tag.key);
      q = key(q, false, "type");
      q = string(q, tag.type);
      q = key(q, false, "value");
      q = value(q, tag.value);
      return close(ensure(q, line()), '}');
    });
  }

  char* optional_texts(char* p, const std::optional<List<Text>>& texts) {
    if (!texts) return put(p, "null");
    return list(p, *texts, [&](char* q, const Text& t) { return string(ensure(q, text_bound(t)), t); });
  }

  char* members(char* p, List<JsonMember> members) {
    if (members.empty()) return put(p, "{}");
    p = open(p, '{');
    bool first = true;
    for (const JsonMember& m : members) {
      p = ensure(p, line() + text_bound(m.key));
      p = line_break(p, first);
      first = false;
      p = string(p, m.key);
      p = put(p, ": ");
      p = value(p, m.value);
    }
    return close(ensure(p, line()), '}');
  }

  char* value(char* p, const JsonValue& v) {
    switch (v.kind) {
      case JsonValue::Kind::Null: return put(p, "null");
      case JsonValue::Kind::Bool: return v.boolean ? put(p, "true") : put(p, "false");
      case JsonValue::Kind::Unsigned: return integer(p, v.unsigned_number);
      case JsonValue::Kind::Signed: return integer(p, v.signed_number);
      case JsonValue::Kind::Double:
        if (!std::isfinite(v.double_number)) {
          if (error_.empty()) error_ = "number is not finite";
          return put(p, "null");
        }
        return double_number(p, v.double_number);
      case JsonValue::Kind::String: return string(ensure(p, text_bound(v.string())), v.string());
      case JsonValue::Kind::Array: return list(p, v.array(), [&](char* q, const JsonValue& e) { return value(q, e); });
      case JsonValue::Kind::Object: return members(p, v.object());
    }
    return p;
  }

  // Elements each on a line of their own; `write_element(p, e)` makes sure of
  // its own room beyond kSlack.
  template <class T, class F>
  char* list(char* p, List<T> elements, F&& write_element) {
    if (elements.empty()) return put(p, "[]");
    p = open(p, '[');
    bool first = true;
    for (const T& e : elements) {
      p = ensure(p, line());
      p = line_break(p, first);
      first = false;
      p = write_element(p, e);
    }
    return close(ensure(p, line()), ']');
  }

  char* open(char* p, char bracket) {
    *p++ = bracket;
    ++level_;
    return p;
  }

  // A container with entries closes on a line of its own.
  char* close(char* p, char bracket) {
    --level_;
    *p++ = '\n';
    p = indent(p);
    *p++ = bracket;
    return p;
  }

  // Starts an entry: "\n" or ",\n", then the indentation.
  char* line_break(char* p, bool first) const {
    if (!first) *p++ = ',';
    *p++ = '\n';
    return indent(p);
  }

  char* indent(char* p) const {
    std::size_t n = 2 * level_;
    if (n <= kSlack) {
      std::memcpy(p, kSpaces, kSlack);
      return p + n;
    }
    for (; n > 0;) {
      std::size_t piece = std::min(n, kSlack);
      std::memcpy(p, kSpaces, piece);
      p += piece;
      n -= piece;
    }
    return p;
  }

  // A record's member key: plain ASCII, so it needs no escaping.
  template <std::size_t N>
  char* key(char* p, bool first, const char (&k)[N]) const {
    p = line_break(p, first);
    *p++ = '"';
    std::memcpy(p, k, N - 1);
    p += N - 1;
    std::memcpy(p, "\": ", 3);  // NOLINT(bugprone-not-null-terminated-result): no C string here
    return p + 3;
  }

  template <std::size_t N>
  static char* put(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
  }

  template <class N>
  static char* integer(char* p, N n) {
    return std::to_chars(p, p + 24, n).ptr;
  }

  char* double_number(char* p, double d) {
    scratch_.clear();
    append_double(scratch_, d);
    std::memcpy(p, scratch_.data(), scratch_.size());  // at most 25 bytes: within kSlack
    return p + scratch_.size();
  }

  // The caller has made sure of text_bound(s) bytes.
  static char* string(char* p, std::string_view s) {
    *p++ = '"';
    const char* run = s.data();
    const char* end = s.data() + s.size();
    for (const char* c = run; c != end; ++c) {
      unsigned char b = static_cast<unsigned char>(*c);
      if (!kNeedsEscape[b]) [[likely]] {
        continue;
      }
      std::memcpy(p, run, static_cast<std::size_t>(c - run));
      p += c - run;
      run = c + 1;
      *p++ = '\\';
      switch (b) {
        case '"': *p++ = '"'; break;
        case '\\': *p++ = '\\'; break;
        case '\b': *p++ = 'b'; break;
        case '\f': *p++ = 'f'; break;
        case '\n': *p++ = 'n'; break;
        case '\r': *p++ = 'r'; break;
        case '\t': *p++ = 't'; break;
        default: {
          static constexpr char kHex[] = "0123456789abcdef";
          const char escape[5] = {'u', '0', '0', kHex[b >> 4], kHex[b & 0xF]};
          std::memcpy(p, escape, 5);
          p += 5;
        }
      }
    }
    if (end != run) {  // an empty text may have no data pointer at all
      std::memcpy(p, run, static_cast<std::size_t>(end - run));
      p += end - run;
    }
    *p++ = '"';
    return p;
  }

  // Returns `p`, or where it now stands after the buffer grew.
  char* ensure(char* p, std::size_t n) {
    if (static_cast<std::size_t>(end_ - p) >= n + kSlack) [[likely]] {
      return p;
    }
    return grow(p, n + kSlack);
  }

  [[gnu::noinline]] char* grow(const char* p, std::size_t n) {
    std::size_t used = static_cast<std::size_t>(p - out_.data());
    out_.resize(std::max(out_.size() * 2, used + n));
    end_ = out_.data() + out_.size();
    return out_.data() + used;
  }

  std::string& out_;
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
