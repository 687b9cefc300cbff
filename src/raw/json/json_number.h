// Numbers of the JSON text: one grammar, scanned the same way by the fast
// path (bytes whole in the buffer), the full reader and the skipper, which
// differ only in what they keep; the value of a number that is kept; and how
// a number is named in a type error.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

#include "raw/json/json_input.h"
#include "raw/json/read_error.h"

namespace spansift {

enum class NumberKind : std::uint8_t { Unsigned, Signed, Double };

struct Number {
  NumberKind kind = NumberKind::Unsigned;
  union {
    std::uint64_t unsigned_value = 0;  // an integer without a minus sign
    std::int64_t signed_value;         // a negative integer
    double double_value;               // a fraction, an exponent, -0, or beyond 64 bits
  };
  // Input offset just past the number and the byte after it, which the
  // reader has looked at: where an error about the number is placed.
  std::uint64_t end = 0;
  // A double written with at most 15 significant digits and no exponent:
  // its number of decimal places (those digits are then the shortest that
  // read back to it); otherwise -1.
  int places = -1;
};

// Reads the number at the input's cursor ('-' or a digit) and its value,
// correctly rounded. An exponent of any size is fine when the value is zero
// or underflows to zero; a value beyond the double range is refused.
Number read_number(JsonInput& input);

// "integer `5`", "floating point `0.5`": a float in plain decimal, its
// shortest round-trip digits with no exponent and no ".0" (1, -0, 0.00000015).
std::string found_text(const Number& number);

namespace number_detail {

// Powers of ten that a double holds exactly.
inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Whether the eight bytes, first in memory lowest, are all ASCII digits.
inline bool eight_digits(std::uint64_t chunk) {
  return ((chunk & 0xF0F0F0F0F0F0F0F0ULL) | (((chunk + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) ==
         0x3333333333333333ULL;
}

// Their value as a decimal number.
inline std::uint64_t value_of_eight_digits(std::uint64_t chunk) {
  chunk -= 0x3030303030303030ULL;
  chunk = chunk * 10 + (chunk >> 8);
  return static_cast<std::uint32_t>((((chunk & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
                                     (((chunk >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
                                    32);
}

// What the grammar found in a number's text, bytes [0, end) from its first.
struct NumberScan {
  ReadErrorCode error = ReadErrorCode::None;
  std::size_t error_at = 0;  // the error's place: bytes taken in before it
  std::size_t end = 0;
  bool byte_after = false;  // a byte follows the number (it was looked at)
  bool negative = false;
  bool is_float = false;    // it has a fraction or an exponent
  bool beyond_u64 = false;  // its integer part does not fit 64 bits
  bool nonzero = false;     // some digit is not 0
  bool counted = true;      // `significand` holds every digit
  bool has_exponent = false;
  bool zero_by_exponent = false;  // an exponent beyond 32 bits takes the value to zero
  bool cut = false;               // a run of digits longer than the source scans: the number is left to the input
  std::uint64_t significand = 0;  // the integer part, then fraction digits while counted
  int fraction = 0;               // fraction digits in `significand`
  std::int32_t exponent = 0;
};

constexpr std::uint64_t kU64Tenth = UINT64_MAX / 10;
constexpr std::int32_t kI32Tenth = INT32_MAX / 10;

// Scans the number starting at bytes.at(0), which is '-' or any byte. By
// the skipper's rules it is "invalid number" where the reader says the input
// ended, and the exponent's size is left alone.
// `Bytes::at(i)` is the byte i places on, or negative past the end of what
// the source holds (-1 at the end of the input). A source that can read
// eight bytes at a time offers `chunk(i, word)` (false when they are not in
// hand). A source of a fixed window of bytes offers `kMaxDigits`, the
// longest run of digits it scans: a longer one stops the scan, `cut`.
template <Rules rules, class Bytes>
[[gnu::always_inline]] inline NumberScan scan_number(Bytes& bytes) {
  NumberScan s;
  // Every exit returns `s` itself, so that it is built in place and, once
  // inlined, kept in registers rather than copied through the stack.
  const auto fail = [&s](ReadErrorCode code, std::size_t at) {
    s.error = code;
    s.error_at = at;
  };
  // Whether a run of `digits` digits may go on; runs short enough cannot
  // overflow, which spares the checks below.
  constexpr std::size_t kMaxDigits = [] {
    if constexpr (requires { Bytes::kMaxDigits; }) return Bytes::kMaxDigits;
    return SIZE_MAX;
  }();
  const auto room = [](std::size_t digits) { return kMaxDigits == SIZE_MAX || digits < kMaxDigits; };
  const auto cut = [&s] { s.cut = true; };
  constexpr ReadErrorCode kAtEnd = rules == Rules::Read ? ReadErrorCode::EofValue : ReadErrorCode::InvalidNumber;
  std::size_t i = 0;
  s.negative = bytes.at(0) == '-';
  if (s.negative) ++i;

  int c = bytes.at(i);
  if (c < 0) {
    fail(kAtEnd, i);
    return s;
  }
  ++i;
  if (c == '0') {
    if (is_digit(bytes.at(i))) {  // one leading zero only
      fail(ReadErrorCode::InvalidNumber, i + 1);
      return s;
    }
  } else if (is_digit(c)) {
    const std::size_t first_digit = i - 1;
    std::uint64_t value = static_cast<std::uint64_t>(c - '0');
    if constexpr (requires(std::uint64_t word) { bytes.chunk(i, word); }) {
      // Long integers come eight digits at a time, while 64 bits surely hold them.
      std::uint64_t word;
      for (int chunks = 0; chunks < 2 && bytes.chunk(i, word) && eight_digits(word); ++chunks) {
        value = value * 100000000 + value_of_eight_digits(word);
        i += 8;
      }
    }
    while (is_digit(c = bytes.at(i))) {
      if (!room(i - first_digit)) {
        cut();
        return s;
      }
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if constexpr (kMaxDigits > 19) {  // 19 digits fit 64 bits
        if (!s.beyond_u64 && value >= kU64Tenth && (value > kU64Tenth || digit > UINT64_MAX % 10)) {
          s.beyond_u64 = true;
        }
      }
      if (!s.beyond_u64) value = value * 10 + digit;
      ++i;
    }
    s.significand = value;
  } else {
    fail(ReadErrorCode::InvalidNumber, i);
    return s;
  }
  s.nonzero = s.significand != 0 || s.beyond_u64;
  s.counted = !s.beyond_u64;

  if (bytes.at(i) == '.') {
    ++i;
    const std::size_t first_digit = i;
    if constexpr (requires(std::uint64_t word) { bytes.chunk(i, word); }) {
      // Fraction digits too, while `significand` is small enough to take all eight.
      std::uint64_t word;
      for (int chunks = 0;
           chunks < 2 && s.counted && s.significand < 1000000000ULL && bytes.chunk(i, word) && eight_digits(word);
           ++chunks) {
        s.nonzero |= word != 0x3030303030303030ULL;
        s.significand = s.significand * 100000000 + value_of_eight_digits(word);
        s.fraction += 8;
        i += 8;
      }
    }
    while (is_digit(c = bytes.at(i))) {
      if (!room(i - first_digit)) {
        cut();
        return s;
      }
      s.nonzero |= c != '0';
      if (s.significand >= 100000000000000000ULL) s.counted = false;
      if (s.counted) {
        s.significand = s.significand * 10 + static_cast<std::uint64_t>(c - '0');
        ++s.fraction;
      }
      ++i;
    }
    if (i == first_digit) {
      fail(c == -1 ? kAtEnd : ReadErrorCode::InvalidNumber, c >= 0 ? i + 1 : i);
      return s;
    }
    s.is_float = true;
  }

  c = bytes.at(i);
  if (c == 'e' || c == 'E') {
    ++i;
    bool negative_exponent = false;
    c = bytes.at(i);
    if (c == '+' || c == '-') {
      negative_exponent = c == '-';
      ++i;
      c = bytes.at(i);
    }
    if (c < 0) {
      fail(kAtEnd, i);
      return s;
    }
    ++i;
    if (!is_digit(c)) {
      fail(ReadErrorCode::InvalidNumber, i);
      return s;
    }
    std::int32_t exponent = c - '0';
    std::size_t overflow_at = 0;
    const std::size_t first_digit = i - 1;
    while (is_digit(c = bytes.at(i))) {
      if (!room(i - first_digit)) {
        cut();
        return s;
      }
      ++i;
      if constexpr (kMaxDigits > 9) {  // 9 digits fit 31 bits
        if (overflow_at == 0 && exponent >= kI32Tenth && (exponent > kI32Tenth || c - '0' > INT32_MAX % 10)) {
          overflow_at = i;
        }
      }
      if (overflow_at == 0) exponent = exponent * 10 + (c - '0');
    }
    if (overflow_at != 0 && rules == Rules::Read) {
      // Only a value that underflows to zero can be read.
      if (s.nonzero && !negative_exponent) {
        fail(ReadErrorCode::NumberOutOfRange, overflow_at);
        return s;
      }
      s.zero_by_exponent = true;
    }
    s.exponent = negative_exponent ? -exponent : exponent;
    s.has_exponent = true;
    s.is_float = true;
  }
  s.end = i;
  s.byte_after = c >= 0;
  return s;
}

// The value of a number scanned from `text`, correctly rounded; false when
// the text lies beyond the range that from_chars reads (it may still
// underflow to zero or a subnormal, which strtod tells).
inline bool to_number(const NumberScan& s, const char* text, Number& n) {
  if (!s.is_float && !s.beyond_u64) {
    if (!s.negative) {
      n.kind = NumberKind::Unsigned;
      n.unsigned_value = s.significand;
    } else if (s.significand == 0) {
      n.kind = NumberKind::Double;  // -0 keeps its sign
      n.double_value = -0.0;
    } else if (s.significand <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
      n.kind = NumberKind::Signed;
      n.signed_value = static_cast<std::int64_t>(0 - s.significand);
    } else {
      n.kind = NumberKind::Double;
      n.double_value = -static_cast<double>(s.significand);
    }
    return true;
  }
  n.kind = NumberKind::Double;
  if (s.zero_by_exponent) {
    n.double_value = s.negative ? -0.0 : 0.0;
    return true;
  }
  // Wide enough for an exponent near the int32 limit less the fraction digits.
  const std::int64_t power = std::int64_t{s.exponent} - s.fraction;
  if (s.counted && s.significand <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22) {
    // Digits and power of ten both exact as doubles: one correctly rounded operation.
    auto d = static_cast<double>(s.significand);
    d = power < 0 ? d / kExactPowersOfTen[-power] : d * kExactPowersOfTen[power];
    n.double_value = s.negative ? -d : d;
    n.places = !s.has_exponent && s.significand < 1000000000000000ULL ? s.fraction : -1;
    return true;
  }
  auto [stop, error] = std::from_chars(text, text + s.end, n.double_value);
  return error == std::errc();
}

// At least kSize bytes in memory, read without bounds checks: runs of
// digits are cut short so that the scan stays within them ('-', three runs
// of digits and the byte after each, 'e' and its sign: 62 bytes at most).
struct WindowBytes {
  static constexpr std::size_t kMaxDigits = 19;
  static constexpr std::size_t kSize = 64;
  const char* p;
  int at(std::size_t i) const { return static_cast<unsigned char>(p[i]); }
  bool chunk(std::size_t i, std::uint64_t& word) const {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&word, p + i, 8);
    return true;
#else
    (void)i;
    (void)word;
    return false;
#endif
  }
};

// The input's bytes from a cursor on.
struct CursorBytes {
  Cursor& c;
  int at(std::size_t i) const { return c.at(i); }
};

// Scans the number at the cursor by `rules`; a fault fails the read there.
template <Rules rules>
inline NumberScan scan_at(Cursor& c) {
  CursorBytes bytes{c};
  const NumberScan s = scan_number<rules>(bytes);
  if (s.error != ReadErrorCode::None) c.fail(s.error, c.offset(s.error_at));
  return s;
}

}  // namespace number_detail

// Reads through the number at the cursor: its grammar only, no value.
inline void skip_number(Cursor& c) { c.advance(number_detail::scan_at<Rules::Skip>(c).end); }

// The same through a hot loop's cursor: a number of a few dozen bytes well
// inside the buffer is read in place, the rest (and every error) by the input.
[[gnu::always_inline]] inline Number read_number(Cursor& c) {
  using number_detail::WindowBytes;
  if (c.available() >= WindowBytes::kSize) {
    WindowBytes bytes{c.data()};
    const number_detail::NumberScan s = number_detail::scan_number<Rules::Read>(bytes);
    Number n;
    if (s.error == ReadErrorCode::None && !s.cut && number_detail::to_number(s, bytes.p, n)) {
      n.end = c.offset(s.end + 1);  // the byte after it has been looked at
      c.advance(s.end);
      return n;
    }
  }
  return c.with_input([](JsonInput& in) { return read_number(in); });
}

}  // namespace spansift
