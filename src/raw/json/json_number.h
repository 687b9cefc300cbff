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
#include "utils/simd/divide.h"

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
inline bool are_eight_digits(std::uint64_t chunk) {
  return ((chunk & 0xF0F0F0F0F0F0F0F0ULL) | (((chunk + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4)) ==
         0x3333333333333333ULL;
}

// Their value as a decimal number.
[[gnu::always_inline]] inline std::uint64_t value_of_eight_digits(std::uint64_t chunk) {
  chunk -= 0x3030303030303030ULL;
  chunk = chunk * 10 + (chunk >> 8);
  return static_cast<std::uint32_t>((((chunk & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
                                     (((chunk >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
                                    32);
}

// The index of the first byte of the eight that is not an ASCII digit, 8
// when all are: bytes before it are classified right whatever comes after.
[[gnu::always_inline]] inline unsigned digits_in_chunk(std::uint64_t chunk) {
  const std::uint64_t classes =
      (chunk & 0xF0F0F0F0F0F0F0F0ULL) | (((chunk + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) >> 4);
  const std::uint64_t other = classes ^ 0x3333333333333333ULL;
  return other == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(other)) / 8;
}

// The value of the first `n` (1 to 8) digits of the chunk.
[[gnu::always_inline]] inline std::uint64_t value_of_digits(std::uint64_t chunk, unsigned n) {
  // The digits moved to the top, zeros before them.
  const unsigned pad = 8 * (8 - n);
  return value_of_eight_digits(pad == 0 ? chunk : (chunk << pad) | (0x3030303030303030ULL >> (64 - pad)));
}

// The powers of ten that 64 bits hold.
inline constexpr std::uint64_t kPowersOfTen[] = {1ULL,
                                                 10ULL,
                                                 100ULL,
                                                 1000ULL,
                                                 10000ULL,
                                                 100000ULL,
                                                 1000000ULL,
                                                 10000000ULL,
                                                 100000000ULL,
                                                 1000000000ULL,
                                                 10000000000ULL,
                                                 100000000000ULL,
                                                 1000000000000ULL,
                                                 10000000000000ULL,
                                                 100000000000000ULL,
                                                 1000000000000000ULL,
                                                 10000000000000000ULL,
                                                 100000000000000000ULL,
                                                 1000000000000000000ULL,
                                                 10000000000000000000ULL};

// The bytes that quick_integer and quick_decimal may load from `p` on.
inline constexpr std::size_t kQuickBytes = 32;

// Most numbers of an export are integers of up to 16 digits (times, IDs,
// counts): read at `p`, kQuickBytes in hand, in two chunks. False, with nothing
// read, for anything else (a sign, a leading zero, more digits, a fraction or
// an exponent), which the full scan reads.
[[gnu::always_inline]] inline bool quick_integer(const char* p, std::size_t& length, std::uint64_t& value) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::uint64_t low, high;
  std::memcpy(&low, p, 8);
  std::memcpy(&high, p + 8, 8);
  const unsigned n = digits_in_chunk(low);
  if (n == 0) return false;
  const unsigned m = n < 8 ? 0 : digits_in_chunk(high);
  const std::size_t digits = n + m;
  // The byte after is not a digit, but after sixteen of them. Told before
  // the value is worked out: a fraction goes on to the decimal reader.
  const char after = p[digits];
  if ((p[0] == '0' && digits > 1) || after == '.' || (after | 0x20) == 'e' || (digits == 16 && is_digit(after))) {
    return false;
  }
  if (n < 8) {
    value = value_of_digits(low, n);
  } else {
    value =
        m == 0 ? value_of_eight_digits(low) : value_of_eight_digits(low) * kPowersOfTen[m] + value_of_digits(high, m);
  }
  length = digits;
  return true;
#else
  (void)p;
  (void)length;
  (void)value;
  return false;
#endif
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

// One number's scan by `rules`, part by part: each part takes in its bytes
// from bytes.at(i) on and says what it found in `s`; it returns false where
// the scan stops short (an error, or `cut`). By the skipper's rules it is
// "invalid number" where the reader says the input ended, and the exponent's
// size is left alone.
// `Bytes::at(i)` is the byte i places on, or negative past the end of what
// the source holds (-1 at the end of the input). A source that can read
// eight bytes at a time offers `chunk(i, word)` (false when they are not in
// hand). A source of a fixed window of bytes offers `kMaxDigits`, the
// longest run of digits it scans: a longer one stops the scan, `cut`.
// Every part is inlined into scan_number: called apart, they would pass
// the scan through memory.
template <Rules rules, class Bytes>
struct NumberScanner {
  static constexpr std::size_t kMaxDigits = [] {
    if constexpr (requires { Bytes::kMaxDigits; }) return Bytes::kMaxDigits;
    return SIZE_MAX;
  }();
  static constexpr ReadErrorCode kAtEnd = rules == Rules::Read ? ReadErrorCode::EofValue : ReadErrorCode::InvalidNumber;

  Bytes& bytes;
  NumberScan& s;
  std::size_t i = 0;  // bytes taken in
  int c = 0;          // the last byte looked at

  [[gnu::always_inline]] bool fail(ReadErrorCode code, std::size_t at) {
    s.error = code;
    s.error_at = at;
    return false;
  }

  // The run of digits from the i-th byte on, each taken in and given to
  // `take` with the bytes taken in through it; false when the run, which
  // started at `first_digit`, is longer than the source scans.
  template <class Take>
  [[gnu::always_inline]] bool digits(std::size_t first_digit, Take take) {
    // On copies of `i` and `c`, which the compiler keeps in registers through the loop.
    std::size_t at = i;
    int byte;
    while (is_digit(byte = bytes.at(at))) {
      // Runs short enough cannot overflow, which spares the checks of `take`.
      if (kMaxDigits != SIZE_MAX && at - first_digit >= kMaxDigits) {
        s.cut = true;
        return false;
      }
      ++at;
      take(byte - '0', at);
    }
    i = at;
    c = byte;
    return true;
  }

  // Up to two blocks of eight digits from the i-th byte on, taken in while
  // `more()` allows, each given to `take` whole: long runs go faster so.
  template <class More, class Take>
  [[gnu::always_inline]] void eight_digit_blocks(More more, Take take) {
    if constexpr (requires(std::uint64_t word) { bytes.chunk(i, word); }) {
      std::uint64_t word;
      for (int blocks = 0; blocks < 2 && more() && bytes.chunk(i, word) && are_eight_digits(word); ++blocks) {
        take(word);
        i += 8;
      }
    }
  }

  // The integer part, after the minus sign if any: 0, or digits that do
  // not start with 0.
  [[gnu::always_inline]] bool integer() {
    c = bytes.at(i);
    if (c < 0) return fail(kAtEnd, i);
    ++i;
    if (c == '0') {
      if (is_digit(bytes.at(i))) return fail(ReadErrorCode::InvalidNumber, i + 1);  // one leading zero only
    } else if (is_digit(c)) {
      if (!integer_digits()) return false;
    } else {
      return fail(ReadErrorCode::InvalidNumber, i);
    }
    s.nonzero = s.significand != 0 || s.beyond_u64;
    s.counted = !s.beyond_u64;
    return true;
  }

  // The digits of the integer part after its first, `c`.
  [[gnu::always_inline]] bool integer_digits() {
    const std::size_t first_digit = i - 1;
    std::uint64_t value = static_cast<std::uint64_t>(c - '0');
    // 64 bits surely hold the first 17 digits.
    eight_digit_blocks([] { return true; },
                       [&value](std::uint64_t word) { value = value * 100000000 + value_of_eight_digits(word); });
    const bool whole = digits(first_digit, [this, &value](int digit, std::size_t) {
      const auto d = static_cast<std::uint64_t>(digit);
      if constexpr (kMaxDigits > 19) {  // 19 digits fit 64 bits
        if (!s.beyond_u64 && value >= kU64Tenth && (value > kU64Tenth || d > UINT64_MAX % 10)) s.beyond_u64 = true;
      }
      if (!s.beyond_u64) value = value * 10 + d;
    });
    s.significand = value;
    return whole;
  }

  // Runs of fraction digits taken up to eight at a time, while each digit of
  // a run would be counted one by one: the loop by digits, below, takes the
  // rest and the byte after them.
  [[gnu::always_inline]] void fraction_blocks(std::size_t first_digit) {
    if constexpr (requires(std::uint64_t word) { bytes.chunk(i, word); }) {
      std::uint64_t word;
      // Within the digits that the source scans (kMaxDigits).
      while (s.counted && (kMaxDigits == SIZE_MAX || i + 8 <= first_digit + kMaxDigits) && bytes.chunk(i, word)) {
        const unsigned m = digits_in_chunk(word);
        // A run of m digits is counted whole when significand < 10^(18 - m).
        if (m == 0 || s.significand >= kPowersOfTen[18 - m]) return;
        const std::uint64_t run = m == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * m)) - 1;
        s.nonzero |= ((word ^ 0x3030303030303030ULL) & run) != 0;
        s.significand = s.significand * kPowersOfTen[m] + value_of_digits(word, m);
        s.fraction += static_cast<int>(m);
        i += m;
        if (m < 8) return;
      }
    }
  }

  // The fraction, if a '.' comes next: digits, at least one.
  [[gnu::always_inline]] bool fraction() {
    if (bytes.at(i) != '.') return true;
    ++i;
    const std::size_t first_digit = i;
    fraction_blocks(first_digit);
    if (!digits(first_digit, [this](int digit, std::size_t) {
          s.nonzero |= digit != 0;
          if (s.significand >= 100000000000000000ULL) s.counted = false;
          if (s.counted) {
            s.significand = s.significand * 10 + static_cast<std::uint64_t>(digit);
            ++s.fraction;
          }
        })) {
      return false;
    }
    if (i == first_digit) return fail(c == -1 ? kAtEnd : ReadErrorCode::InvalidNumber, c >= 0 ? i + 1 : i);
    s.is_float = true;
    return true;
  }

  // The exponent, if an 'e' or 'E' comes next: a sign if any, then digits.
  [[gnu::always_inline]] bool exponent() {
    c = bytes.at(i);
    if (c != 'e' && c != 'E') return true;
    ++i;
    bool negative = false;
    c = bytes.at(i);
    if (c == '+' || c == '-') {
      negative = c == '-';
      ++i;
      c = bytes.at(i);
    }
    if (c < 0) return fail(kAtEnd, i);
    ++i;
    if (!is_digit(c)) return fail(ReadErrorCode::InvalidNumber, i);
    std::int32_t value = c - '0';
    std::size_t overflow_at = 0;  // bytes taken in through the digit that overflows 31 bits
    const bool whole = digits(i - 1, [&](int digit, std::size_t taken) {
      if constexpr (kMaxDigits > 9) {  // 9 digits fit 31 bits
        if (overflow_at == 0 && value >= kI32Tenth && (value > kI32Tenth || digit > INT32_MAX % 10)) {
          overflow_at = taken;
        }
      }
      if (overflow_at == 0) value = value * 10 + digit;
    });
    if (!whole) return false;
    if (overflow_at != 0 && rules == Rules::Read) {
      // Only a value that underflows to zero can be read.
      if (s.nonzero && !negative) return fail(ReadErrorCode::NumberOutOfRange, overflow_at);
      s.zero_by_exponent = true;
    }
    s.exponent = negative ? -value : value;
    s.has_exponent = true;
    s.is_float = true;
    return true;
  }
};

// Scans the number starting at bytes.at(0), which is '-' or any byte: see
// NumberScanner.
template <Rules rules, class Bytes>
[[gnu::always_inline]] inline NumberScan scan_number(Bytes& bytes) {
  // Every exit returns `s` itself, so that it is built in place and, once
  // inlined, kept in registers rather than copied through the stack.
  NumberScan s;
  NumberScanner<rules, Bytes> scan{bytes, s};
  s.negative = bytes.at(0) == '-';
  if (s.negative) scan.i = 1;
  if (scan.integer() && scan.fraction() && scan.exponent()) {
    s.end = scan.i;
    s.byte_after = scan.c >= 0;
  }
  return s;
}

// The value of an integer without fraction or exponent that fits 64 bits.
inline void to_integer(const NumberScan& s, Number& n) {
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
}

// 128-bit integers, which both compilers have (__extension__: not ISO C++).
__extension__ typedef unsigned __int128 Uint128;

// The normal double of `mantissa`, rounded, of 53 bits or just 2^53, whose
// last bit is worth 2^exponent.
inline double assemble_double(std::uint64_t mantissa, int exponent) {
  if (mantissa == std::uint64_t{1} << 53) {
    mantissa >>= 1;
    ++exponent;
  }
  const auto bits_of =
      (static_cast<std::uint64_t>(exponent + 52 + 1023) << 52) | (mantissa & ((std::uint64_t{1} << 52) - 1));
  double d;
  std::memcpy(&d, &bits_of, sizeof d);
  return d;
}

// The double nearest to q + r / d (ties to even) times 2^-shift, where q
// holds 54 to 128 bits, `inexact` says whether r, 0 <= r < d, is not 0, and
// the result is a normal double.
inline double round_to_double(Uint128 q, bool inexact, int shift) {
  const auto high = static_cast<std::uint64_t>(q >> 64);
  const int bits = high != 0 ? 128 - __builtin_clzll(high) : 64 - __builtin_clzll(static_cast<std::uint64_t>(q));
  const int drop = bits - 53;
  auto mantissa = static_cast<std::uint64_t>(q >> drop);
  const Uint128 rest = q & ((static_cast<Uint128>(1) << drop) - 1);
  const Uint128 half = static_cast<Uint128>(1) << (drop - 1);
  if (rest > half || (rest == half && (inexact || (mantissa & 1) != 0))) ++mantissa;
  return assemble_double(mantissa, drop - shift);
}

// The same for q of 54 to 64 bits, in 64-bit arithmetic: a quotient.
inline double round_to_double(std::uint64_t q, bool inexact, int shift) {
  const int drop = 64 - __builtin_clzll(q) - 53;
  std::uint64_t mantissa = q >> drop;
  const std::uint64_t rest = q & ((std::uint64_t{1} << drop) - 1);
  const std::uint64_t half = std::uint64_t{1} << (drop - 1);
  if (rest > half || (rest == half && (inexact || (mantissa & 1) != 0))) ++mantissa;
  return assemble_double(mantissa, drop - shift);
}

// The value of `significand` × 10^power, correctly rounded, for a
// significand of up to 19 digits and a power of at most 19 either way:
// exact integer arithmetic in 128 bits, with no second reading of the text.
inline double scaled_by_power_of_ten(std::uint64_t significand, int power) {
  if (power >= 0) {
    const Uint128 product = static_cast<Uint128>(significand) * kPowersOfTen[power];
    if ((product >> 53) == 0) return static_cast<double>(static_cast<std::uint64_t>(product));  // exact
    return round_to_double(product, false, 0);
  }
  // The quotient by 10^-power, shifted so that it holds 63 or 64 bits.
  const std::uint64_t divisor = kPowersOfTen[-power];
  const int shift = 63 - ((64 - __builtin_clzll(significand)) - (64 - __builtin_clzll(divisor)));
  const Uint128 scaled = static_cast<Uint128>(significand) << shift;
  std::uint64_t q, r;
  // One division of 128 by 64 bits, whose quotient fits 64 (see the shift).
  simd::divide_128_by_64(static_cast<std::uint64_t>(scaled >> 64), static_cast<std::uint64_t>(scaled), divisor, q, r);
  return round_to_double(q, r != 0, shift);
}

// The length of the run of digits at `p`, which ends within `limit` bytes
// (a multiple of eight, all in hand); or `limit` when it does not.
[[gnu::always_inline]] inline std::size_t digit_run(const char* p, std::size_t limit) {
  std::size_t i = 0;
  for (std::uint64_t chunk; i < limit; i += 8) {
    std::memcpy(&chunk, p + i, 8);
    if (const unsigned n = digits_in_chunk(chunk); n < 8) return i + n;
  }
  return limit;
}

// The length of a number at `p` that is only checked, not kept, kQuickBytes
// in hand: -?(0|digits)(.digits)? whose end and the byte after it lie in
// them. The runs may be read into the padding. Nothing so written can fail
// to read (no exponent: no range to leave). 0 for anything else, which the
// full reader reads, faults and all.
[[gnu::always_inline]] inline std::size_t quick_checked_length(const char* p) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::size_t i = p[0] == '-' ? 1 : 0;
  if (p[i] == '0') {
    ++i;
  } else {
    const std::size_t n = digit_run(p + i, 16);
    if (n == 0 || n == 16) return 0;
    i += n;
  }
  if (p[i] == '.') {
    ++i;
    const std::size_t n = digit_run(p + i, 16);
    if (n == 0 || n == 16) return 0;
    i += n;
  }
  // Taken only with the byte after it in hand: the runs may reach into the
  // padding, the bytes that decide may not.
  return i >= kQuickBytes || is_digit(p[i]) || (p[i] | 0x20) == 'e' ? 0 : i;
#else
  (void)p;
  return 0;
#endif
}

// Most fractions of an export are plain decimals of up to 19 digits
// (durations, coordinates): -?digits.digits, read at `p`, kQuickBytes in
// hand, in chunks of eight, into `n`. False, with nothing read, for anything else
// (a leading zero before more digits, an exponent, more digits, a fault),
// which the full scan reads.
[[gnu::always_inline]] inline bool quick_decimal(const char* p, std::size_t& length, Number& n) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const bool negative = p[0] == '-';
  std::size_t i = negative ? 1 : 0;
  std::uint64_t chunk;
  std::memcpy(&chunk, p + i, 8);
  const unsigned whole = digits_in_chunk(chunk);
  if (whole == 0 || whole == 8 || (p[i] == '0' && whole > 1) || p[i + whole] != '.') return false;
  std::uint64_t significand = value_of_digits(chunk, whole);
  i += whole + 1;
  unsigned places = 0;
  for (;;) {
    std::memcpy(&chunk, p + i, 8);
    const unsigned run = digits_in_chunk(chunk);
    if (run == 0) break;
    if (whole + places + run > 19) return false;
    significand = significand * kPowersOfTen[run] + value_of_digits(chunk, run);
    places += run;
    i += run;
    if (run < 8) break;
  }
  const char after = p[i];
  if (places == 0 || after == 'e' || after == 'E' || is_digit(after)) return false;
  n.kind = NumberKind::Double;
  double d;
  if (significand <= (std::uint64_t{1} << 53)) {
    // Digits and power of ten both exact as doubles: one correctly rounded operation.
    d = static_cast<double>(significand) / kExactPowersOfTen[places];
    n.places = significand < 1000000000000000ULL ? static_cast<int>(places) : -1;
  } else {
    d = scaled_by_power_of_ten(significand, -static_cast<int>(places));
  }
  n.double_value = negative ? -d : d;
  length = i;
  return true;
#else
  (void)p;
  (void)length;
  (void)n;
  return false;
#endif
}

// The value of a number scanned from `text`, correctly rounded; false when
// the text lies beyond the range that from_chars reads (it may still
// underflow to zero or a subnormal, which strtod tells).
inline bool to_number(const NumberScan& s, const char* text, Number& n) {
  if (!s.is_float && !s.beyond_u64) {
    to_integer(s, n);
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
  if (s.counted && s.significand != 0 && power >= -19 && power <= 19) {
    const double d = scaled_by_power_of_ten(s.significand, static_cast<int>(power));
    n.double_value = s.negative ? -d : d;
    return true;
  }
  auto [stop, error] = std::from_chars(text, text + s.end, n.double_value);
  return error == std::errc();
}

// kSize bytes in memory, read without bounds checks: runs of
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
template <class C>
struct CursorBytes {
  C& c;
  int at(std::size_t i) const { return c.at(i); }
};

// Scans the number at the cursor by `rules`; a fault fails the read there.
template <Rules rules, class C>
inline NumberScan scan_at(C& c) {
  CursorBytes<C> bytes{c};
  const NumberScan s = scan_number<rules>(bytes);
  if (s.error != ReadErrorCode::None) c.fail(s.error, c.offset(s.error_at));
  return s;
}

}  // namespace number_detail

// Reads through the number at the cursor: its grammar only, no value.
template <class C>
inline void skip_number(C& c) {
  c.advance(number_detail::scan_at<Rules::Skip>(c).end);
}

// The same through a hot loop's cursor: a number of a few dozen bytes well
// inside the buffer is read in place, the rest (and every error) by the input.
template <class C>
[[gnu::always_inline]] inline Number read_number(C& c) {
  using number_detail::WindowBytes;
  // Numbers are read in place only with their windows whole in hand: a
  // check after the read, for windows reaching into the padding, costs more
  // than the few numbers near the end of a buffer that it would serve.
  if (c.available() >= number_detail::kQuickBytes) {
    Number n;
    std::size_t length;
    if (number_detail::quick_integer(c.data(), length, n.unsigned_value) ||
        number_detail::quick_decimal(c.data(), length, n)) {
      n.end = c.offset(length + 1);  // the byte after it has been looked at
      c.advance(length);
      return n;
    }
  }
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

// Reads through the number at the cursor, which is not kept: checked as
// read_number reads it, its value not worked out where it need not be.
template <class C>
[[gnu::always_inline]] inline void check_number(C& c) {
  if (c.available() >= number_detail::kQuickBytes) {
    if (const std::size_t length = number_detail::quick_checked_length(c.data()); length != 0) {
      c.advance(length);
      return;
    }
  }
  read_number(c);
}

}  // namespace spansift
