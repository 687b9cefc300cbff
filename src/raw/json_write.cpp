// The pretty printer: every byte of an output file is decided here. It walks
// each record by the schema that the reader reads it by.
#include "raw/json_write.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

#include "raw/json_number.h"
#include "raw/model_store.h"
#include "raw/schema.h"
#include "utils/messages.h"

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

// Room always kept free past the cursor for writes of a fixed size: an
// indentation is copied 64 blanks at a time, a key 16 bytes at a time.
constexpr std::size_t kSlack = 96;
constexpr char kSpaces[65] = "                                                                ";

// Writes through a raw cursor that is passed along and returned, so that it
// stays in a register. Room is made sure of once per line or per text.
class Writer {
 public:
  Writer(std::string& out, const ModelStore& store) : out_(out), store_(store) {
    if (out_.size() < 4096) out_.resize(4096);
    end_ = out_.data() + out_.size();
  }

  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  // The length of the text.
  std::size_t trace(const JaegerTrace& t) {
    char* p = record(out_.data(), schema_of(Kind::Trace), reinterpret_cast<const char*>(&t));
    return static_cast<std::size_t>(p - out_.data());
  }

 private:
  char* record(char* p, const RecordSchema& schema, const char* base) {
    if (schema.fields.empty()) return put(ensure(p, 2), "{}");  // an error entry
    p = open(ensure(p, 1), '{');
    bool first = true;
    for (const FieldSchema& field : schema.fields) {
      p = member_key(ensure(p, line()), first, field);
      first = false;
      p = field_value(p, field, base + field.offset);
    }
    return close(ensure(p, line()), '}');
  }

  char* field_value(char* p, const FieldSchema& field, const char* at) {
    switch (field.kind) {
      case Kind::Text: return text(p, as<Text>(at));
      case Kind::I32: return integer(p, as<std::int32_t>(at));
      case Kind::I64: return integer(p, as<std::int64_t>(at));
      case Kind::Value: return value(p, as<JsonValue>(at));
      case Kind::Processes: return members(p, store_.list(as<List<JsonMember>>(at)));
      case Kind::ItemList: return records(p, Kind::Item, std::span<const JaegerItem>(as<std::vector<JaegerItem>>(at)));
      case Kind::ErrorList: {
        const auto& errors = as<std::optional<std::vector<JaegerError>>>(at);
        if (!errors) return put(p, "null");
        return records(p, Kind::Error, std::span<const JaegerError>(*errors));
      }
      case Kind::SpanList: return records(p, Kind::Span, store_.list(as<List<JaegerSpan>>(at)));
      case Kind::ReferenceList: return records(p, Kind::Reference, store_.list(as<List<JaegerReference>>(at)));
      case Kind::TagList: return records(p, Kind::Tag, store_.list(as<List<JaegerTag>>(at)));
      case Kind::LogList: return records(p, Kind::Log, store_.list(as<List<JaegerLog>>(at)));
      case Kind::TextList: {
        List<Text> texts = as<List<Text>>(at);
        if (field.optional) {
          const auto& optional = as<OptionalList<Text>>(at);
          if (!optional.present()) return put(p, "null");
          texts = optional.list();
        }
        return list(p, store_.list(texts), [&](char* q, Text t) { return text(q, t); });
      }
      default: return p;
    }
  }

  template <class T>
  static const T& as(const char* at) {
    return *reinterpret_cast<const T*>(at);
  }

  template <class T>
  char* records(char* p, Kind kind, std::span<const T> elements) {
    const RecordSchema& schema = schema_of(kind);
    return list(p, elements, [&](char* q, const T& e) { return record(q, schema, reinterpret_cast<const char*>(&e)); });
  }

  char* members(char* p, std::span<const JsonMember> members) {
    if (members.empty()) return put(p, "{}");
    p = open(p, '{');
    bool first = true;
    for (const JsonMember& m : members) {
      p = line_break(ensure(p, line()), first);
      first = false;
      p = text(p, m.key);
      p = put(p, ": ");
      p = value(p, m.value);
    }
    return close(ensure(p, line()), '}');
  }

  char* value(char* p, const JsonValue& v) {
    switch (v.kind()) {
      case JsonValue::Kind::Null: return put(p, "null");
      case JsonValue::Kind::Bool: return v.boolean() ? put(p, "true") : put(p, "false");
      case JsonValue::Kind::Unsigned: return integer(p, v.unsigned_number());
      case JsonValue::Kind::Signed: return integer(p, v.signed_number());
      case JsonValue::Kind::Double:
        if (!std::isfinite(v.double_number())) {
          if (error_.empty()) error_ = messages::kNotFinite;
          return put(p, "null");
        }
        return write_double(p, v.double_number(), v.places());
      case JsonValue::Kind::String: return text(p, v.string());
      case JsonValue::Kind::Array:
        return list(p, store_.list(v.array()), [&](char* q, const JsonValue& e) { return value(q, e); });
      case JsonValue::Kind::Object: return members(p, store_.list(v.object()));
    }
    return p;
  }

  // Elements each on a line of their own; `write_element(p, e)` makes sure of
  // its own room beyond kSlack.
  template <class T, class F>
  char* list(char* p, std::span<const T> elements, F&& write_element) {
    if (elements.empty()) return put(p, "[]");
    p = open(p, '[');
    bool first = true;
    for (const T& e : elements) {
      p = line_break(ensure(p, line()), first);
      first = false;
      p = write_element(p, e);
    }
    return close(ensure(p, line()), ']');
  }

  // Room for a line break and the indentation at the current level.
  std::size_t line() const { return 2 * level_ + 2; }

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
    if (n <= 64) {
      // Within kSlack; the excess is overwritten. Not a C string.
      std::memcpy(p, kSpaces, 64);  // NOLINT(bugprone-not-null-terminated-result)
      return p + n;
    }
    for (; n > 0;) {
      std::size_t piece = std::min<std::size_t>(n, 64);
      std::memcpy(p, kSpaces, piece);
      p += piece;
      n -= piece;
    }
    return p;
  }

  // A record's member key, "key": and a blank, as the schema holds it.
  char* member_key(char* p, bool first, const FieldSchema& field) const {
    p = line_break(p, first);
    std::memcpy(p, field.quoted_key.data(), 16);  // within kSlack
    p += field.quoted_length;
    *p++ = ' ';
    return p;
  }

  template <std::size_t N>
  static char* put(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);  // within kSlack
    return p + N - 1;
  }

  template <class N>
  static char* integer(char* p, N n) {
    return std::to_chars(p, p + 24, n).ptr;  // within kSlack
  }

  static char* write_double(char* p, double d, int places) {
    return p + append_double(p, d, places);  // at most 64 bytes written: within kSlack
  }

  char* text(char* p, Text t) {
    std::string_view s = store_.text(t);
    p = ensure(p, store_.plain(t) ? s.size() + 2 : 6 * s.size() + 2);
    *p++ = '"';
    if (store_.plain(t)) {
      // The store can be read past the text's end: short texts are copied
      // in whole blocks.
      if (s.size() <= 32) {
        std::memcpy(p, s.data(), 32);
      } else {
        std::memcpy(p, s.data(), s.size());
      }
      p += s.size();
    } else {
      p = escaped(p, s);
    }
    *p++ = '"';
    return p;
  }

  // The caller has made sure of 6 bytes of room for each byte of `s`.
  static char* escaped(char* p, std::string_view s) {
    for (char c : s) {
      unsigned char b = static_cast<unsigned char>(c);
      if (!kNeedsEscape[b]) {
        *p++ = c;
        continue;
      }
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
    return p;
  }

  // Returns `p`, or where it now stands after the buffer grew.
  char* ensure(char* p, std::size_t n) {
    if (static_cast<std::size_t>(end_ - p) >= n + kSlack) [[likely]]
      return p;
    return grow(p, n + kSlack);
  }

  [[gnu::noinline]] char* grow(const char* p, std::size_t n) {
    std::size_t used = static_cast<std::size_t>(p - out_.data());
    out_.resize(std::max(out_.size() * 2, used + n));
    end_ = out_.data() + out_.size();
    return out_.data() + used;
  }

  std::string& out_;
  const ModelStore& store_;
  char* end_;
  std::size_t level_ = 0;
  std::string error_;
};

}  // namespace

namespace {

// The shortest digits of `x` (positive, finite) from the number of decimal
// places it was read with, when it was read from at most 15 significant
// digits: those digits, and no others, read back to it. False when that does
// not hold.
bool digits_from_places(double x, int places, char* digits, int& n, int& point) {
  if (places < 0 || places > 22) return false;
  const double power = number_detail::kExactPowersOfTen[places];
  const double scaled = x * power;
  if (!(scaled >= 1 && scaled < 1e15)) return false;
  auto significand = static_cast<std::uint64_t>(std::llround(scaled));
  if (static_cast<double>(significand) / power != x) return false;
  n = static_cast<int>(std::to_chars(digits, digits + 20, significand).ptr - digits);
  point = n - places;
  while (n > 1 && digits[n - 1] == '0') --n;
  return true;
}

// The shortest digits of `x` (positive, finite) that read back to it.
void shortest_digits(double x, char* digits, int& n, int& point) {
  // In scientific form: d[.ddd]e±xx.
  char sci[32];
  char* sci_end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
  const char* e = std::find(static_cast<const char*>(sci), static_cast<const char*>(sci_end), 'e');
  digits[0] = sci[0];
  n = e > sci + 1 ? static_cast<int>(e - sci) - 1 : 1;
  std::memcpy(digits + 1, sci + 2, 24);
  int exponent = 0;
  for (const char* d = e + 2; d < sci_end; ++d) exponent = exponent * 10 + (*d - '0');
  if (e[1] == '-') exponent = -exponent;
  point = exponent + 1;
}

}  // namespace

std::size_t append_double(char* out, double value, int places) {
  char* p = out;
  if (value == 0) {
    std::string_view zero = std::signbit(value) ? "-0.0" : "0.0";
    std::copy(zero.begin(), zero.end(), out);
    return zero.size();
  }
  if (value < 0) {
    *p++ = '-';
    value = -value;
  }
  // The digits in a row, value = 0.d1d2...dn * 10^point; copies below move
  // whole blocks of 24, so the buffer is wider than the 17 digits a double
  // can need.
  char digits[48];
  int n = 0;
  int point = 0;
  if (!digits_from_places(value, places, digits, n, point)) shortest_digits(value, digits, n, point);
  // Digits and zeros are copied in whole blocks, never as C strings.
  static constexpr std::array<char, 16> kZeros = {'0', '0', '0', '0', '0', '0', '0', '0',
                                                  '0', '0', '0', '0', '0', '0', '0', '0'};
  if (n <= point && point <= 16) {
    std::memcpy(p, digits, 24);
    p += n;
    std::memcpy(p, kZeros.data(), 16);
    p += point - n;
    *p++ = '.';
    *p++ = '0';
  } else if (1 <= point && point <= 16) {
    std::memcpy(p, digits, 24);
    p += point;
    *p++ = '.';
    std::memcpy(p, digits + point, 24);
    p += n - point;
  } else if (-4 <= point && point <= 0) {
    *p++ = '0';
    *p++ = '.';
    std::memcpy(p, kZeros.data(), 4);
    p += -point;
    std::memcpy(p, digits, 24);
    p += n;
  } else {
    *p++ = digits[0];
    if (n > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, 24);
      p += n - 1;
    }
    *p++ = 'e';
    p = std::to_chars(p, p + 8, point - 1).ptr;
  }
  return static_cast<std::size_t>(p - out);
}

void append_double(std::string& out, double value) {
  char buffer[64];
  out.append(buffer, append_double(buffer, value));
}

std::optional<std::string_view> render_pretty_json(const JaegerTrace& trace, std::string& buffer, std::string& error) {
  static const ModelStore kEmptyStore;  // for a trace that refers to no text or list
  Writer writer(buffer, trace.store ? *trace.store : kEmptyStore);
  std::size_t length = writer.trace(trace);
  if (writer.failed()) {
    error = writer.error();
    return std::nullopt;
  }
  return std::string_view(buffer.data(), length);
}

bool to_pretty_json(const JaegerTrace& trace, std::string& out, std::string& error) {
  std::optional<std::string_view> text = render_pretty_json(trace, out, error);
  if (!text) return false;
  out.resize(text->size());
  return true;
}

std::string to_pretty_json(const JaegerTrace& trace) {
  std::string out;
  std::string error;
  to_pretty_json(trace, out, error);
  return out;
}

}  // namespace spansift
