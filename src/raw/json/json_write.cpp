// The pretty printer: every byte of an output file is decided here. It walks
// each record by the schema that the reader reads it by.
#include "raw/json/json_write.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include <dragonbox/dragonbox.h>

#include "raw/json/field_types.h"
#include "raw/json/json_number.h"
#include "raw/json/schema.h"
#include "raw/model_store.h"
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
// stays in a register. Room is made sure of once per line or per text. Its
// public steps are those that the write steps of members (field_types.h)
// use.
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
    char* p = record(out_.data(), t);
    return static_cast<std::size_t>(p - out_.data());
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

  template <class N>
  static char* integer(char* p, N n) {
    return std::to_chars(p, p + 24, n).ptr;  // within kSlack
  }

  char* value(char* p, const JsonValue& v) {
    switch (v.kind()) {
      case ValueKind::Null: return put(p, "null");
      case ValueKind::Bool: return v.boolean() ? put(p, "true") : put(p, "false");
      case ValueKind::Unsigned: return integer(p, v.unsigned_number());
      case ValueKind::Signed: return integer(p, v.signed_number());
      case ValueKind::Double:
        if (!std::isfinite(v.double_number())) {
          if (error_.empty()) error_ = messages::kNotFinite;
          return put(p, "null");
        }
        return write_double(p, v.double_number(), v.places());
      case ValueKind::String: return text(p, v.string());
      case ValueKind::Array:
        return elements(p, store_.list(v.array()), [&](char* q, const JsonValue& e) { return value(q, e); });
      case ValueKind::Object: break;
    }
    return object(p, v.object());
  }

  char* object(char* p, List<JsonMember> object) {
    std::span<const JsonMember> members = store_.list(object);
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

  // A list that is present, of records or texts.
  template <class E>
  char* list(char* p, List<E> list) {
    return list_of(p, store_.list(list));
  }
  template <class E>
  char* list(char* p, OptionalList<E> list) {
    return list_of(p, store_.list(list));
  }
  template <class E>
  char* list(char* p, const std::vector<E>& list) {
    return list_of(p, std::span<const E>(list));
  }
  template <class E>
  char* list(char* p, const std::optional<std::vector<E>>& list) {
    return list_of(p, std::span<const E>(*list));
  }

  static char* null(char* p) { return put(p, "null"); }

 private:
  template <class R>
  char* record(char* p, const R& r) {
    if constexpr (kTable<R>.kSize == 0) {
      return put(ensure(p, 2), "{}");
    } else {
      p = open(ensure(p, 1), '{');
      bool first = true;
      for_each_field<R>([&](const auto& row) __attribute__((always_inline)) {
        p = member_key(ensure(p, line()), first, row.quoted);
        first = false;
        p = write_member(*this, p, r.*row.member);
      });
      return close(ensure(p, line()), '}');
    }
  }

  template <class E>
  char* list_of(char* p, std::span<const E> list) {
    if constexpr (Record<E>) {
      return elements(p, list, [&](char* q, const E& e) { return record(q, e); });
    } else {
      return elements(p, list, [&](char* q, const E& e) { return write_member(*this, q, e); });
    }
  }

  // Elements each on a line of their own; `write_element(p, e)` makes sure of
  // its own room beyond kSlack.
  template <class T, class F>
  char* elements(char* p, std::span<const T> entries, F&& write_element) {
    if (entries.empty()) return put(p, "[]");
    p = open(p, '[');
    bool first = true;
    for (const T& e : entries) {
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
  char* member_key(char* p, bool first, const QuotedKey& key) const {
    p = line_break(p, first);
    std::memcpy(p, key.bytes.data(), 16);  // within kSlack
    p += key.length;
    *p++ = ' ';
    return p;
  }

  template <std::size_t N>
  static char* put(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);  // within kSlack
    return p + N - 1;
  }

  static char* write_double(char* p, double d, int places) {
    return p + append_double(p, d, places);  // at most 64 bytes written: within kSlack
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

// The shortest digits of `x` (positive, finite) that read back to it, with
// trailing zeros dropped: Dragonbox takes about a third of the time of
// finding them through std::to_chars.
void shortest_digits(double x, char* digits, int& n, int& point) {
  const auto decimal = jkj::dragonbox::to_decimal(x);
  n = static_cast<int>(std::to_chars(digits, digits + 20, decimal.significand).ptr - digits);
  point = n + decimal.exponent;
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
  char digits[48] = {};
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

}  // namespace spansift
