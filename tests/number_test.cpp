// Floating-point numbers through their fast paths, against the slow ones:
// a short decimal is read with one exact operation and written from the
// digits it was read with; strtod and the shortest round-trip digits of
// std::to_chars say what both must give. Random literals, then the edges.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <variant>

#include "raw/json/json_read.h"
#include "raw/json/json_write.h"
#include "raw/model_store.h"
#include "test_util.h"

namespace spansift {
namespace {

using testing::export_json;
using testing::item_json;
using testing::span_json;

struct Read {
  double value = 0;
  std::string written;  // as the output file has it
};

// The literal as the value of a tag, read and written back.
Read through_the_model(const std::string& literal) {
  // Room after the number, so that the reader takes it in place.
  std::string padding(64, ' ');
  JaegerTrace t = testing::parse_export(export_json({item_json("t", span_json({.tag_value = literal + padding}))}));
  const ModelStore& m = *t.store;
  const JsonValue& v = m.list(m.list(t.data.at(0).spans)[0].tags)[0].value;
  std::string text = testing::pretty_json(t);
  std::size_t start = text.find("\"value\": ") + 9;
  return {v.double_number(), text.substr(start, text.find('\n', start) - start)};
}

// What the slow paths give: strtod's value, laid out from std::to_chars's
// shortest digits.
std::string written_slowly(double value) {
  char buffer[64];
  return {buffer, append_double(buffer, value)};
}

void check(const std::string& literal) {
  SCOPED_TRACE(literal);
  Read read = through_the_model(literal);
  double expected = std::strtod(literal.c_str(), nullptr);
  EXPECT_EQ(read.value, expected);
  EXPECT_EQ(std::signbit(read.value), std::signbit(expected));
  EXPECT_EQ(read.written, written_slowly(expected));
}

TEST(Numbers, RandomDecimalsReadAndWriteAsTheSlowPathsDo) {
  std::mt19937_64 random(11);
  for (int round = 0; round < 20000; ++round) {
    // 1 to 19 digits, a point anywhere in or after them, sometimes an exponent.
    int digits = 1 + static_cast<int>(random() % 19);
    std::string number;
    for (int i = 0; i < digits; ++i) number += static_cast<char>('0' + random() % 10);
    while (number.size() > 1 && number[0] == '0') number.erase(0, 1);
    std::size_t point = random() % (number.size() + 1);
    std::string literal = (random() % 4 == 0 ? "-" : "") + number.substr(0, point);
    if (point == 0) literal += "0";
    literal += "." + (point < number.size() ? number.substr(point) : std::string("0"));
    if (random() % 3 == 0) literal += "e" + std::to_string(static_cast<int>(random() % 60) - 30);
    check(literal);
  }
}

TEST(Numbers, EdgesOfTheFastPaths) {
  for (const char* literal :
       {"0.1", "0.2", "0.30000000000000004", "1.5", "1.50", "100.0", "0.00001", "0.0001", "1e-7", "123.456",
        "999999999999999.9",   // 16 digits: no longer read with its places
        "99999999999999.99",   // 16 digits
        "9999999999999.999",   // 16 digits
        "0.999999999999999",   // 15 digits
        "9007199254740992.0",  // 2^53: the largest exact significand
        "9007199254740993.0",  // one past it: rounded by the slow path
        "1.7976931348623157e308", "2.2250738585072014e-308", "4.9e-324", "1e22", "1e23", "1.5e-22", "1.5e-23", "-0.0",
        "-0.5", "0.000000000000000000001", "123456789012345.6", "12345678901234.5",
        // 17 to 19 digits and powers of ten up to 19 either way: exact 128-bit arithmetic
        "4503599627370496.5",  // 2^52 and a half: a tie, to even below
        "4503599627370497.5",  // a tie, to even above
        "9007199254740995.0",  // 2^53 + 3: a tie
        "1234567890123456789e-19", "9999999999999999999e19",
        "0.1000000000000000055",                             // next to the midpoint above 0.1
        "-107.71000725162737", "0.10000000000000000555"}) {  // 20 digits: left to from_chars
    check(literal);
  }
}

// Runs of up to 19 digits are read in place, longer ones by the input.
TEST(Numbers, RunsOfNineteenDigitsAndMore) {
  for (const char* literal :
       {"1234567890123456789.5", "12345678901234567891.5", "0.1234567890123456789", "0.12345678901234567891",
        "1e00000000000000000022", "-1234567890123456789.1234567890123456789e-0000000000000000005"}) {
    check(literal);
  }
  EXPECT_EQ(through_the_model("9999999999999999999").written, "9999999999999999999");
  EXPECT_EQ(through_the_model("-9223372036854775808").written, "-9223372036854775808");
  EXPECT_EQ(through_the_model("18446744073709551615").written, "18446744073709551615");
  EXPECT_EQ(through_the_model("18446744073709551616").written, "1.8446744073709552e19");
}

}  // namespace
}  // namespace spansift
