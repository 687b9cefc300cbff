#include "raw/json/json_number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <system_error>

#include "utils/messages.h"

namespace spansift {

Number read_number(JsonInput& input) {
  // Numbers are read here byte by byte: no kernel is used.
  Cursor<simd::Portable> c(input);
  const number_detail::NumberScan s = number_detail::scan_at<Rules::Read>(c);
  // The scan has made the whole number available at the cursor.
  Number n;
  if (!number_detail::to_number(s, c.data(), n)) {
    // from_chars leaves the value alone out of its range; strtod gives the
    // rounded underflow (zero or a subnormal) or the infinity of an overflow.
    n.double_value = std::strtod(std::string(c.data(), s.end).c_str(), nullptr);
  }
  n.end = c.offset(s.end) + (s.byte_after ? 1 : 0);
  c.advance(s.end);
  if (n.kind == NumberKind::Double && std::isinf(n.double_value)) c.fail(ReadErrorCode::NumberOutOfRange, n.end);
  return n;
}

namespace {

// Where the value lies exactly halfway between two decimals of as many
// digits as its shortest form `digits` (d1 d2 ... dn, exponent `exponent`),
// both round-trip: the shortest form that error messages quote is then the
// upper one, where to_chars takes the even one.
void prefer_upper_of_two(double value, std::string& digits, int& exponent) {
  // Every double's decimal expansion has at most 767 significant digits.
  char exact[800];
  auto [end, error] = std::to_chars(exact, exact + sizeof exact, std::fabs(value), std::chars_format::scientific, 770);
  if (error != std::errc()) return;
  const std::string_view text(exact, static_cast<std::size_t>(end - exact));
  std::string expansion(1, text[0]);
  expansion.append(text.substr(2, text.find('e') - 2));
  const std::size_t n = digits.size();
  if (expansion[n] != '5' || expansion.find_first_not_of('0', n + 1) != std::string::npos) return;
  if (expansion.compare(0, n, digits) != 0) return;  // to_chars took the upper one already
  // One more in the last place, carried.
  std::size_t at = n;
  while (at > 0 && digits[at - 1] == '9') digits[--at] = '0';
  if (at == 0) {
    digits.insert(digits.begin(), '1');
    ++exponent;
  } else {
    ++digits[at - 1];
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}

}  // namespace

std::string found_text(const Number& number) {
  switch (number.kind) {
    case NumberKind::Unsigned: return messages::found_integer(std::to_string(number.unsigned_value));
    case NumberKind::Signed: return messages::found_integer(std::to_string(number.signed_value));
    case NumberKind::Double: break;
  }
  // Shortest round-trip digits d1.d2...dn and exponent x, from the
  // scientific form, laid out in plain decimal.
  char buffer[32];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, number.double_value, std::chars_format::scientific);
  std::string_view sci(buffer, static_cast<std::size_t>(end - buffer));
  std::string text;
  if (sci.front() == '-') {
    text += '-';
    sci.remove_prefix(1);
  }
  std::size_t e = sci.find('e');
  std::string digits(1, sci[0]);
  if (e > 1) digits.append(sci.substr(2, e - 2));
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
  prefer_upper_of_two(number.double_value, digits, exponent);
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
  return messages::found_float(text);
}

}  // namespace spansift
