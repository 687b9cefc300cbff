// The pretty printer: every byte of an output file is decided here. It walks
// each record by the schema that the reader reads it by.
#include "raw/json/json_write.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <dragonbox/dragonbox.h>

#include "raw/json/field_types.h"
#include "raw/json/json_number.h"
#include "raw/json/schema.h"
#include "raw/model_store.h"
#include "utils/messages.h"
#include "utils/simd/kernels.h"

namespace spansift {

namespace {

// ---- Room. ensure(p, n) makes room for n bytes and kSpareRoom more. A step
// whose size is bounded may use room made before it (a record makes room for
// all its lines and bounded members, a container's line for what follows it
// on the line); one that can't know its size makes its own. Any step may
// count on kSpareRoom bytes of room when it starts, and copies of a fixed size
// may run up to 64 bytes past where the cursor ends.
constexpr std::size_t kSpareRoom = 128;

// Texts of up to this many bytes are copied in one block: the store can be
// read past a text's end (the store's padding).
constexpr std::size_t kShortText = 32;
static_assert(kShortText <= simd::kPadding);

// What an integer writes at most, copies included.
constexpr std::size_t kDigitsWidth = 24;

// ---- Bytes known when compiling, copied in whole blocks of 16.

template <std::size_t N>
struct Piece {
  static constexpr std::size_t kSize = N;
  static constexpr std::size_t kWidth = (N + 15) / 16 * 16;  // what a copy writes
  std::array<char, kWidth> bytes{};
};

template <std::size_t N>
[[gnu::always_inline]] inline char* put(char* p, const Piece<N>& piece) {
  std::memcpy(p, piece.bytes.data(), Piece<N>::kWidth);
  return p + N;
}

template <std::size_t N>
[[gnu::always_inline]] inline char* put(char* p, const char (&text)[N]) {
  std::memcpy(p, text, N - 1);
  return p + N - 1;
}

// "{\n" before a record's first key and ",\n" before the others, then the
// indentation of its members (depth L + 1, the record opening at depth L),
// the key in quotes, a colon and a blank.
template <class R, std::size_t L, std::size_t I>
constexpr auto make_key_line() {
  constexpr std::string_view key = std::get<I>(kTable<R>.fields).key;
  Piece<2 * L + key.size() + 8> line;
  std::size_t at = 0;
  line.bytes[at++] = I == 0 ? '{' : ',';
  line.bytes[at++] = '\n';
  for (std::size_t i = 0; i < 2 * (L + 1); ++i) line.bytes[at++] = ' ';
  line.bytes[at++] = '"';
  for (char c : key) line.bytes[at++] = c;
  for (char c : {'"', ':', ' '}) line.bytes[at++] = c;
  return line;
}

// ",\n" and the indentation of the elements of a list opening at depth D.
template <std::size_t D>
constexpr auto make_element_line() {
  Piece<2 * D + 4> line;
  line.bytes[0] = ',';
  line.bytes[1] = '\n';
  for (std::size_t i = 2; i < line.kSize; ++i) line.bytes[i] = ' ';
  return line;
}

// "\n", the indentation of depth D and the bracket that closes a container
// opened there.
template <std::size_t D, char Bracket>
constexpr auto make_close_line() {
  Piece<2 * D + 2> line;
  line.bytes[0] = '\n';
  for (std::size_t i = 1; i + 1 < line.kSize; ++i) line.bytes[i] = ' ';
  line.bytes[line.kSize - 1] = Bracket;
  return line;
}

template <class R, std::size_t L, std::size_t I>
inline constexpr auto kKeyLine = make_key_line<R, L, I>();
template <std::size_t D>
inline constexpr auto kElementLine = make_element_line<D>();
template <std::size_t D, char Bracket>
inline constexpr auto kCloseLine = make_close_line<D, Bracket>();

// The lines of values, whose depth is known only when writing: ",\n" (or
// "\n" from the second byte) and blanks. A line of up to kBreakWidth bytes
// is copied from here whole, a longer one's blanks 64 at a time.
constexpr char kBreak[] = ",\n                                                                ";
constexpr std::size_t kBreakWidth = 32;
static_assert(sizeof kBreak == 2 + 64 + 1);

// The most that a member of type T writes, copies included, when that is
// bounded; 0 when it makes its own room.
template <class T>
inline constexpr std::size_t kBound = 0;
template <>
inline constexpr std::size_t kBound<Text> = kShortText + 2;  // a short one
template <>
inline constexpr std::size_t kBound<std::int32_t> = kDigitsWidth;
template <>
inline constexpr std::size_t kBound<std::int64_t> = kDigitsWidth;

template <class R, std::size_t I>
using FieldType = typename std::remove_cvref_t<decltype(std::get<I>(kTable<R>.fields))>::Type;

// The room that record R opening at depth L makes: its lines and its
// bounded members.
template <class R, std::size_t L, std::size_t... I>
constexpr std::size_t record_room(std::index_sequence<I...>) {
  return (kCloseLine<L, '}'>.kWidth + ... + (kKeyLine<R, L, I>.kWidth + kBound<FieldType<R, I>>));
}
template <class R, std::size_t L>
inline constexpr std::size_t kRecordRoom = record_room<R, L>(std::make_index_sequence<kTable<R>.kSize>{});

// ---- Texts.

// What stands for each byte in a JSON string when it can't stand as it is:
// the escape in the first bytes, its length in the last; 0 for the others.
constexpr std::array<std::array<char, 8>, 256> kEscapes = [] {
  std::array<std::array<char, 8>, 256> table{};
  constexpr char kHex[] = "0123456789abcdef";
  for (int c = 0; c < 0x20; ++c) table[c] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF], 0, 6};
  constexpr std::pair<char, char> kShort[] = {{'"', '"'},  {'\\', '\\'}, {'\b', 'b'}, {'\f', 'f'},
                                              {'\n', 'n'}, {'\r', 'r'},  {'\t', 't'}};
  for (auto [c, e] : kShort) table[static_cast<unsigned char>(c)] = {'\\', e, 0, 0, 0, 0, 0, 2};
  return table;
}();

// `s` escaped: the runs between the bytes that need escaping are copied 16
// bytes at a time. Room for 6 bytes a byte of `s` is made; `s` can be read
// 16 bytes past its end.
template <class K>
char* escaped_with(char* p, std::string_view s) {
  const char* in = s.data();
  const char* const end = in + s.size();
  while (in < end) {
    const auto left = static_cast<std::size_t>(end - in);
    // The bytes that need escaping are those that end a string's run.
    unsigned stops = K::string_stop(K::load(in));
    if (left < 16) stops |= 1U << left;  // the end of the text
    std::memcpy(p, in, 16);
    if (stops == 0) {
      p += 16;
      in += 16;
      continue;
    }
    const int run = __builtin_ctz(stops);
    p += run;
    in += run;
    if (in == end) break;
    const std::array<char, 8>& escape = kEscapes[static_cast<unsigned char>(*in++)];
    std::memcpy(p, escape.data(), 8);
    p += escape[7];
  }
  return p;
}

char* escaped(char* p, std::string_view s) {
  return simd::with_block_kernel([&](auto kernel) { return escaped_with<decltype(kernel)>(p, s); });
}

// `s`, which needs no escaping, in blocks of 32 read past its end.
char* copied(char* p, std::string_view s) {
  for (std::size_t at = 0; at < s.size(); at += 32) std::memcpy(p + at, s.data() + at, 32);
  return p + s.size();
}

// A text of at most kShortText bytes that needs no escaping, in quotes.
[[gnu::always_inline]] inline char* short_text(char* p, std::string_view s) {
  *p = '"';
  std::memcpy(p + 1, s.data(), kShortText);
  p[1 + s.size()] = '"';
  return p + 2 + s.size();
}

// ---- Integers.

// The eight decimal digits of n < 10^8 as byte values 0-9, the first in the
// lowest byte: n split into halves of four digits, each into two pairs, each
// pair into two digits, the lanes of a word side by side.
inline std::uint64_t spread_eight_digits(std::uint64_t n) {
  const std::uint64_t high = (n * 109951163) >> 40;  // n / 10^4 for n < 10^8
  const std::uint64_t fours = high | ((n - high * 10000) << 32);
  const std::uint64_t hundreds = ((fours * 10486) >> 20) & 0x0000007F0000007FULL;
  const std::uint64_t pairs = hundreds | ((fours - hundreds * 100) << 16);
  const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
  return tens | ((pairs - tens * 10) << 8);
}

// "00" to "99".
constexpr std::array<char, 200> kPairs = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

constexpr std::uint64_t kAsciiZeros = 0x3030303030303030ULL;

inline char* put_word(char* p, std::uint64_t word) {
  std::memcpy(p, &word, 8);
  return p + 8;
}

// n < 10^8 without leading zeros; writes 8 bytes.
inline char* up_to_eight_digits(char* p, std::uint64_t n) {
  const std::uint64_t digits = spread_eight_digits(n);
  const int zeros = __builtin_ctzll(digits | (std::uint64_t{1} << 56)) / 8;  // "0" keeps its last
  put_word(p, (digits >> (8 * zeros)) | kAsciiZeros);
  return p + 8 - zeros;
}

inline char* decimal(char* p, std::uint64_t n) {
  if constexpr (std::endian::native != std::endian::little) {
    return std::to_chars(p, p + 20, n).ptr;
  } else {
    if (n < 100) {
      const bool one = n < 10;
      std::memcpy(p, kPairs.data() + 2 * n + one, 2);
      return p + 2 - one;
    }
    constexpr std::uint64_t k8 = 100000000;
    if (n < k8) return up_to_eight_digits(p, n);
    if (n < k8 * k8) {
      p = up_to_eight_digits(p, n / k8);
      return put_word(p, spread_eight_digits(n % k8) | kAsciiZeros);
    }
    p = up_to_eight_digits(p, n / (k8 * k8));
    const std::uint64_t rest = n % (k8 * k8);
    p = put_word(p, spread_eight_digits(rest / k8) | kAsciiZeros);
    return put_word(p, spread_eight_digits(rest % k8) | kAsciiZeros);
  }
}

inline char* integer(char* p, std::uint64_t n) { return decimal(p, n); }

template <class N>
inline char* integer(char* p, N n) {
  static_assert(std::is_signed_v<N>);
  *p = '-';
  const auto magnitude = static_cast<std::uint64_t>(n);
  return n < 0 ? decimal(p + 1, 0 - magnitude) : decimal(p, magnitude);
}

// Writes through a raw cursor that is passed along and returned, so that it
// stays in a register. Records are written by their tables, the depth of
// each known when compiling, so that their lines are constants; the values
// inside tags and processes at the depth they reach.
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
    char* p = record<JaegerTrace, 0>(ensure(out_.data(), kRecordRoom<JaegerTrace, 0>), t);
    return static_cast<std::size_t>(p - out_.data());
  }

 private:
  // The write steps of a record's members (field_types.h), at depth D in a
  // record that made room for Room bytes.
  template <std::size_t D, std::size_t Room>
  struct Members {
    Writer& w;
    char* text(char* p, Text t) const { return w.text_in_room(p, t, Room); }
    template <class N>
    static char* integer(char* p, N n) {
      return spansift::integer(p, n);
    }
    char* value(char* p, const JsonValue& v) const { return w.value(p, v, D); }
    char* object(char* p, List<JsonMember> object) const { return w.object(p, w.store_.list(object), D); }
    template <class E>
    char* list(char* p, List<E> list) const {
      return w.elements<D>(p, w.store_.list(list));
    }
    template <class E>
    char* list(char* p, OptionalList<E> list) const {
      return w.elements<D>(p, w.store_.list(list));
    }
    template <class E>
    char* list(char* p, const std::vector<E>& list) const {
      return w.elements<D>(p, std::span<const E>(list));
    }
    template <class E>
    char* list(char* p, const std::optional<std::vector<E>>& list) const {
      return w.elements<D>(p, std::span<const E>(*list));
    }
    static char* null(char* p) { return put(p, "null"); }
  };

  // Record R opening at depth L, where room was made for kRecordRoom<R, L>.
  template <class R, std::size_t L>
  char* record(char* p, const R& r) {
    if constexpr (kTable<R>.kSize == 0) {
      return put(p, "{}");
    } else {
      [&]<std::size_t... I>(std::index_sequence<I...>) __attribute__((always_inline)) {
        ((p = field<R, L, I>(p, r)), ...);
      }
      (std::make_index_sequence<kTable<R>.kSize>{});
      return put(p, kCloseLine<L, '}'>);
    }
  }

  template <class R, std::size_t L, std::size_t I>
  [[gnu::always_inline]] char* field(char* p, const R& r) {
    p = put(p, kKeyLine<R, L, I>);
    Members<L + 1, kRecordRoom<R, L>> members{*this};
    p = write_member(members, p, r.*std::get<I>(kTable<R>.fields).member);
    if constexpr (kBound<FieldType<R, I>> == 0) p = ensure(p, kRecordRoom<R, L>);
    return p;
  }

  // The elements of a list opening at depth D (records or texts), each on a
  // line of its own.
  template <std::size_t D, class E>
  char* elements(char* p, std::span<const E> list) {
    if (list.empty()) return put(p, "[]");
    constexpr std::size_t kRoom = kElementLine<D>.kWidth + element_room<E, D + 1>();
    char lead = '[';
    for (const E& e : list) {
      p = ensure(p, kRoom);
      char* line = p;
      p = put(p, kElementLine<D>);
      *line = lead;
      lead = ',';
      if constexpr (Record<E>) {
        p = record<E, D + 1>(p, e);
      } else {
        p = text_in_room(p, e, kRoom);
      }
    }
    return put(p, kCloseLine<D, ']'>);
  }

  template <class E, std::size_t L>
  static constexpr std::size_t element_room() {
    if constexpr (Record<E>) {
      return kRecordRoom<E, L>;
    } else {
      return kBound<E>;
    }
  }

  // A value at depth `depth`: scalars in line, the rest out of it.
  [[gnu::always_inline]] char* value(char* p, const JsonValue& v, std::size_t depth) {
    switch (v.kind()) {
      case ValueKind::Null: return put(p, "null");
      case ValueKind::Bool: return v.boolean() ? put(p, "true") : put(p, "false");
      case ValueKind::Unsigned: return integer(p, v.unsigned_number());
      case ValueKind::Signed: return integer(p, v.signed_number());
      case ValueKind::String: return text_in_room(p, v.string(), 0);  // within kSpareRoom
      default: return other_value(p, v, depth);
    }
  }

  [[gnu::noinline]] char* other_value(char* p, const JsonValue& v, std::size_t depth) {
    if (v.kind() == ValueKind::Double) return number(p, v.double_number(), v.places());
    if (v.kind() == ValueKind::Array) return array(p, store_.list(v.array()), depth);
    return object(p, store_.list(v.object()), depth);
  }

  char* number(char* p, double d, int places) {
    if (!std::isfinite(d)) [[unlikely]] {
      if (error_.empty()) error_ = messages::kNotFinite;
      return put(p, "null");
    }
    return p + append_double(p, d, places);  // at most 64 bytes written
  }

  char* array(char* p, std::span<const JsonValue> elements, std::size_t depth) {
    if (elements.empty()) return put(p, "[]");
    char lead = '[';
    for (const JsonValue& e : elements) {
      p = line(p, lead, depth + 1, 0);
      lead = ',';
      p = value(p, e, depth + 1);
    }
    return close(p, ']', depth);
  }

  char* object(char* p, std::span<const JsonMember> members, std::size_t depth) {
    if (members.empty()) return put(p, "{}");
    char lead = '{';
    for (const JsonMember& m : members) {
      p = line(p, lead, depth + 1, kBound<Text> + 2);
      lead = ',';
      p = put(text_in_room(p, m.key, 2), ": ");
      p = value(p, m.value, depth + 1);
    }
    return close(p, '}', depth);
  }

  // `lead`, a line break and the indentation of depth `depth`, with room
  // for `more` bytes after it.
  char* line(char* p, char lead, std::size_t depth, std::size_t more) {
    const std::size_t n = 2 * depth + 2;
    p = ensure(p, n + more);
    if (n <= kBreakWidth) [[likely]] {
      std::memcpy(p, kBreak, kBreakWidth);
      *p = lead;
      return p + n;
    }
    *p++ = lead;
    *p++ = '\n';
    return spaces(p, 2 * depth);
  }

  // A line break, the indentation of depth `depth` and `bracket`.
  char* close(char* p, char bracket, std::size_t depth) {
    const std::size_t n = 2 * depth + 2;
    p = ensure(p, n);
    if (n <= kBreakWidth) [[likely]] {
      std::memcpy(p, kBreak + 1, kBreakWidth);
      p[n - 1] = bracket;
      return p + n;
    }
    *p++ = '\n';
    p = spaces(p, 2 * depth);
    *p++ = bracket;
    return p;
  }

  [[gnu::noinline]] static char* spaces(char* p, std::size_t n) {
    for (std::size_t at = 0; at < n; at += 64) std::memcpy(p + at, kBreak + 2, 64);
    return p + n;
  }

  // A text for which room was made if it is short (kBound<Text>); a longer
  // one, or one that needs escaping, makes its own and room for `more`.
  [[gnu::always_inline]] char* text_in_room(char* p, Text t, std::size_t more) {
    if (store_.plain_within(t, kShortText)) [[likely]]
      return short_text(p, store_.text(t));
    return ensure(long_text(p, t), more);
  }

  [[gnu::noinline]] char* long_text(char* p, Text t) {
    const std::string_view s = store_.text(t);
    const bool plain = store_.plain(t);
    p = ensure(p, (plain ? 1 : 6) * s.size() + 2);
    *p++ = '"';
    p = plain ? copied(p, s) : escaped(p, s);
    *p++ = '"';
    return p;
  }

  // Returns `p`, or where it now stands after the buffer grew.
  [[gnu::always_inline]] char* ensure(char* p, std::size_t n) {
    if (static_cast<std::size_t>(end_ - p) >= n + kSpareRoom) [[likely]]
      return p;
    return grow(p, n + kSpareRoom);
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
  // Rounded half away from zero, as llround would: from 1 to 10^15 the sum
  // is exact unless it reaches the next power of two, an integer that its
  // rounding does not cross (the check's case of a half below 1 can't occur).
  const auto significand = static_cast<std::uint64_t>(scaled + 0.5);  // NOLINT(bugprone-incorrect-roundings)
  if (static_cast<double>(significand) / power != x) return false;
  n = static_cast<int>(decimal(digits, significand) - digits);
  point = n - places;
  while (n > 1 && digits[n - 1] == '0') --n;
  return true;
}

// The shortest digits of `x` (positive, finite) that read back to it, with
// trailing zeros dropped: Dragonbox takes about a third of the time of
// finding them through std::to_chars.
void shortest_digits(double x, char* digits, int& n, int& point) {
  const auto shortest = jkj::dragonbox::to_decimal(x);
  n = static_cast<int>(decimal(digits, shortest.significand) - digits);
  point = n + shortest.exponent;
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
