#include "raw/json_number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "raw/read_error.h"

namespace spansift {

using namespace read_message;

namespace {

constexpr std::uint64_t kU64Tenth = UINT64_MAX / 10;
constexpr std::int32_t kI32Tenth = INT32_MAX / 10;

// Whether `value` * 10 + `digit` leaves the type.
bool u64_overflows(std::uint64_t value, int digit) {
  return value >= kU64Tenth && (value > kU64Tenth || static_cast<std::uint64_t>(digit) > UINT64_MAX % 10);
}
bool exponent_overflows(std::int32_t value, int digit) {
  return value >= kI32Tenth && (value > kI32Tenth || digit > INT32_MAX % 10);
}

// The value of a JSON number's text, correctly rounded; infinity when it
// lies beyond the double range.
double to_double(std::string_view text) {
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range) {
    // from_chars leaves the value alone then; strtod gives the rounded
    // underflow (zero or a subnormal) or the infinity of an overflow.
    std::string copy(text);
    value = std::strtod(copy.c_str(), nullptr);
  }
  return value;
}

}  // namespace

bool number_detail::to_double(const char* p, std::size_t end, double& value) {
  auto [stop, error] = std::from_chars(p, p + end, value);
  return error == std::errc() && stop == p + end;
}

Number read_number(JsonInput& in) {
  Number n;
  std::size_t i = 0;
  const bool negative = in.at(0) == '-';
  if (negative) ++i;

  int c = in.at(i);
  if (c < 0) in.fail(kEofValue, in.offset(i));
  ++i;
  std::uint64_t significand = 0;
  bool beyond_u64 = false;  // the integer part has more digits than 64 bits hold
  bool is_float = false;
  if (c == '0') {
    if (is_digit(in.at(i))) in.fail(kInvalidNumber, in.offset(i + 1));  // one leading zero only
  } else if (is_digit(c)) {
    significand = static_cast<std::uint64_t>(c - '0');
    while (is_digit(c = in.at(i))) {
      if (!beyond_u64 && u64_overflows(significand, c - '0')) beyond_u64 = true;
      if (!beyond_u64) significand = significand * 10 + static_cast<std::uint64_t>(c - '0');
      ++i;
    }
  } else {
    in.fail(kInvalidNumber, in.offset(i));
  }
  bool nonzero = significand != 0 || beyond_u64;

  if (in.at(i) == '.') {
    ++i;
    std::size_t first_digit = i;
    while (is_digit(c = in.at(i))) {
      nonzero |= c != '0';
      ++i;
    }
    if (i == first_digit) in.fail(c < 0 ? kEofValue : kInvalidNumber, in.offset_through(i));
    is_float = true;
  }

  c = in.at(i);
  if (c == 'e' || c == 'E') {
    ++i;
    bool negative_exponent = false;
    c = in.at(i);
    if (c == '+' || c == '-') {
      negative_exponent = c == '-';
      ++i;
    }
    c = in.at(i);
    if (c < 0) in.fail(kEofValue, in.offset(i));
    ++i;
    if (!is_digit(c)) in.fail(kInvalidNumber, in.offset(i));
    std::int32_t exponent = c - '0';
    while (is_digit(c = in.at(i))) {
      ++i;
      if (exponent_overflows(exponent, c - '0')) {
        // Only a value that underflows to zero is left to read.
        if (nonzero && !negative_exponent) in.fail(kNumberOutOfRange, in.offset(i));
        while (is_digit(in.at(i))) ++i;
        in.advance(i);
        n.kind = Number::Kind::Double;
        n.double_value = negative ? -0.0 : 0.0;
        n.end = in.offset_through();
        return n;
      }
      exponent = exponent * 10 + (c - '0');
    }
    is_float = true;
  }

  std::string_view text(in.position(), i);
  if (is_float || beyond_u64) {
    n.kind = Number::Kind::Double;
    n.double_value = to_double(text);
  } else if (!negative) {
    n.kind = Number::Kind::Unsigned;
    n.unsigned_value = significand;
  } else if (significand == 0) {
    n.kind = Number::Kind::Double;  // -0 keeps its sign
    n.double_value = -0.0;
  } else if (significand <= static_cast<std::uint64_t>(INT64_MAX) + 1) {
    n.kind = Number::Kind::Signed;
    n.signed_value = static_cast<std::int64_t>(0 - significand);
  } else {
    n.kind = Number::Kind::Double;
    n.double_value = -static_cast<double>(significand);
  }
  in.advance(i);
  n.end = in.offset_through();
  if (n.kind == Number::Kind::Double && std::isinf(n.double_value)) in.fail(kNumberOutOfRange, n.end);
  return n;
}

void skip_number(JsonInput& in) {
  std::size_t i = in.at(0) == '-' ? 1 : 0;
  int c = in.at(i);
  if (c >= 0) ++i;
  if (c == '0') {
    if (is_digit(in.at(i))) in.fail(kInvalidNumber, in.offset(i + 1));
  } else if (is_digit(c)) {
    while (is_digit(in.at(i))) ++i;
  } else {
    in.fail(kInvalidNumber, in.offset(i));
  }
  if (in.at(i) == '.') {
    ++i;
    std::size_t first_digit = i;
    while (is_digit(in.at(i))) ++i;
    if (i == first_digit) in.fail(kInvalidNumber, in.offset_through(i));
  }
  c = in.at(i);
  if (c == 'e' || c == 'E') {
    ++i;
    c = in.at(i);
    if (c == '+' || c == '-') ++i;
    c = in.at(i);
    if (c >= 0) ++i;
    if (!is_digit(c)) in.fail(kInvalidNumber, in.offset(i));
    while (is_digit(in.at(i))) ++i;
  }
  in.advance(i);
}

std::string found_text(const Number& number) {
  switch (number.kind) {
    case Number::Kind::Unsigned: return "integer `" + std::to_string(number.unsigned_value) + "`";
    case Number::Kind::Signed: return "integer `" + std::to_string(number.signed_value) + "`";
    case Number::Kind::Double: break;
  }
  // Shortest round-trip digits d1.d2...dn and exponent x, from the
  // scientific form, laid out in plain decimal.
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number.double_value, std::chars_format::scientific);
  std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
  std::string text = "floating point `";
  if (sci.front() == '-') {
    text += '-';
    sci.remove_prefix(1);
  }
  std::size_t e = sci.find('e');
  std::string digits(1, sci[0]);
  if (e > 1) digits.append(sci.substr(2, e - 2));
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
  if (digits == "0") {
    text += '0';
  } else if (exponent < 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-exponent - 1), '0');
    text += digits;
  } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
    text += digits;
    text.append(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
  } else {
    text.append(digits, 0, static_cast<std::size_t>(exponent) + 1);
    text += '.';
    text.append(digits, static_cast<std::size_t>(exponent) + 1);
  }
  return text + "`";
}

}  // namespace spansift
