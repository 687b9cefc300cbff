// Numbers of the JSON text: the grammar, the value of a number that is kept,
// and how a number is named in a type error.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "raw/json_input.h"

namespace spansift {

struct Number {
  enum class Kind : std::uint8_t { Unsigned, Signed, Double };
  Kind kind = Kind::Unsigned;
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

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Reads the number at the cursor ('-' or a digit) and its value, correctly
// rounded. An exponent of any size is fine when the value is zero or
// underflows to zero; a value beyond the double range is refused.
Number read_number(JsonInput& input);

namespace number_detail {

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

// Powers of ten that a double holds exactly.
inline constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A decimal whose integer part (`significand`, complete) ends at p[end]: past
// its fraction and an exponent of at most three digits, each well formed;
// false (for the full reader) for anything else. When the digits and the
// power of ten are both exact as doubles (at most 2^53 and 10^22), the value
// takes one correctly rounded operation and is set in `value`; otherwise
// `value` is left to to_double.
inline bool short_decimal(const char* p, std::size_t& end, std::uint64_t significand, bool& exact, double& value,
                          int& places) {
  std::size_t j = end;
  bool counted = true;  // `significand` holds every digit so far
  int fraction = 0;
  if (p[j] == '.') {
    const std::size_t digits = ++j;
    while (j - digits < 20 && is_digit(p[j])) {
      if (significand >= 100000000000000000ULL) counted = false;
      if (counted) {
        significand = significand * 10 + static_cast<std::uint64_t>(p[j] - '0');
        ++fraction;
      }
      ++j;
    }
    if (j == digits) return false;
  }
  int exponent = 0;
  bool has_exponent = false;
  if (p[j] == 'e' || p[j] == 'E') {
    has_exponent = true;
    ++j;
    bool negative = p[j] == '-';
    if (p[j] == '+' || p[j] == '-') ++j;
    const std::size_t digits = j;
    while (j - digits < 3 && is_digit(p[j])) exponent = exponent * 10 + (p[j++] - '0');
    if (j == digits) return false;
    if (negative) exponent = -exponent;
  }
  if (is_digit(p[j]) || p[j] == '.' || p[j] == 'e' || p[j] == 'E') return false;
  end = j;
  const int power = exponent - fraction;
  exact = counted && significand <= (std::uint64_t{1} << 53) && power >= -22 && power <= 22;
  if (exact) {
    auto d = static_cast<double>(significand);
    value = power < 0 ? d / kExactPowersOfTen[-power] : d * kExactPowersOfTen[power];
  }
  places = counted && !has_exponent && significand < 1000000000000000ULL ? fraction : -1;
  return true;
}

// The value of the text [p, p + end), correctly rounded, when it lies
// within the double range.
bool to_double(const char* p, std::size_t end, double& value);

}  // namespace number_detail

// The same through a hot loop's cursor.
[[gnu::always_inline]] inline Number read_number(Cursor& c) {
  // Most numbers are plain integers or short decimals, whole in the buffer:
  // read in place, the digits of an integer eight at a time.
  if (c.available() > 48) {
    const char* p = c.p;
    const bool negative = *p == '-';
    const std::size_t first = negative ? 1 : 0;
    std::size_t i = first;
    std::uint64_t value = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (i - first <= 10) {
      std::uint64_t chunk;
      std::memcpy(&chunk, p + i, 8);
      if (!number_detail::eight_digits(chunk)) break;
      value = value * 100000000 + number_detail::value_of_eight_digits(chunk);
      i += 8;
    }
#endif
    while (i - first < 18 && is_digit(p[i])) value = value * 10 + static_cast<std::uint64_t>(p[i++] - '0');
    const std::size_t digits = i - first;
    if (digits > 0 && (p[first] != '0' || digits == 1) && !is_digit(p[i])) {
      Number n;
      std::size_t end = i;
      if (p[i] != '.' && p[i] != 'e' && p[i] != 'E') {
        if (!negative) {
          n.unsigned_value = value;
        } else if (value == 0) {
          n.kind = Number::Kind::Double;  // -0 keeps its sign
          n.double_value = -0.0;
        } else {
          n.kind = Number::Kind::Signed;
          n.signed_value = -static_cast<std::int64_t>(value);
        }
      } else {
        bool exact = false;
        double magnitude = 0;
        n.kind = Number::Kind::Double;
        bool read = number_detail::short_decimal(p, end, value, exact, magnitude, n.places);
        if (read && exact) {
          n.double_value = negative ? -magnitude : magnitude;
        } else if (!read || !number_detail::to_double(p, end, n.double_value)) {
          end = 0;  // for the full reader
        }
      }
      if (end != 0) {
        n.end = c.offset(end + 1);  // the byte after it has been looked at
        c.p += end;
        return n;
      }
    }
  }
  c.sync();
  Number n = read_number(c.in);
  c.reload();
  return n;
}

// Reads through the number at the cursor: its grammar only, no value.
void skip_number(JsonInput& input);

// "integer `5`", "floating point `0.5`": a float in plain decimal, its
// shortest round-trip digits with no exponent and no ".0" (1, -0, 0.00000015).
std::string found_text(const Number& number);

}  // namespace spansift
