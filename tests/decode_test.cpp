#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "raw/decode.h"

namespace spansift {
namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

struct Case {
  const char* name;
  std::string input;
  std::string expected;
  std::size_t replacements;
};

// Expectations follow the WHATWG decoders: one U+FFFD per maximal ill-formed
// subsequence, and a byte that breaks a sequence starts the next one.
const std::vector<Case>& utf8_cases() {
  static const std::vector<Case> cases = {
      {"empty", "", "", 0},
      {"ascii with nul", std::string("a\0b", 3), std::string("a\0b", 3), 0},
      {"two byte", "\xC3\xA9", "\xC3\xA9", 0},
      {"max code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", 0},
      {"last before surrogates", "\xED\x9F\xBF", "\xED\x9F\xBF", 0},
      {"first after surrogates", "\xEE\x80\x80", "\xEE\x80\x80", 0},
      {"inner mark kept", "\xEF\xBB\xBFx", "\xEF\xBB\xBFx", 0},
      {"lone continuation", "\x80", R, 1},
      {"two continuations", "\x80\xBF", R + R, 2},
      {"truncated 2 at end", "a\xC3", "a" + R, 1},
      {"truncated 3 at end", "\xE2\x82", R, 1},
      {"truncated 4 at end", "\xF0\x9F\x98", R, 1},
      {"truncated E0 at end", "\xE0\xA0", R, 1},
      {"truncated F0 at end", "\xF0\x90\x80", R, 1},
      {"F4 with bad second byte", "\xF4\x90", R + R, 2},
      {"ED with bad second byte at end", "\xED\xA0", R + R, 2},
      {"truncated 3 before ascii", "\xE2\x82" "A", R + "A", 1},
      {"truncated 4 before ascii", "\xF0\x9F" "A", R + "A", 1},
      {"truncated then lead", "\xE1\x80\xE1\x80" "A", R + R + "A", 2},
      {"truncated then valid", "\xC2\xC2\xA9", R + "\xC2\xA9", 1},
      {"overlong C0", "\xC0\x80", R + R, 2},
      {"overlong C1", "\xC1\xBF", R + R, 2},
      {"overlong E0", "\xE0\x80\x80", R + R + R, 3},
      {"overlong E0 9F", "\xE0\x9F\xBF", R + R + R, 3},
      {"overlong F0", "\xF0\x80\x80\x80", R + R + R + R, 4},
      {"overlong F0 8F", "\xF0\x8F\xBF\xBF", R + R + R + R, 4},
      {"high surrogate", "\xED\xA0\x80", R + R + R, 3},
      {"low surrogate", "\xED\xBF\xBF", R + R + R, 3},
      {"surrogate pair", "\xED\xA0\xBD\xED\xB8\x80", R + R + R + R + R + R, 6},
      {"above 10FFFF", "\xF4\x90\x80\x80", R + R + R + R, 4},
      {"F5 lead", "\xF5\x80\x80\x80", R + R + R + R, 4},
      {"FE and FF", "\xFE\xFF", R + R, 2},
      {"five byte form", "\xF8\x88\x80\x80\x80", R + R + R + R + R, 5},
      {"six byte form", "\xFC\x84\x80\x80\x80\x80", R + R + R + R + R + R, 6},
      {"in a string", "{\"a\":\"x\xFFy\"}", "{\"a\":\"x" + R + "y\"}", 1},
  };
  return cases;
}

std::string utf16(bool little_endian, const std::vector<unsigned>& units) {
  std::string s;
  for (unsigned u : units) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    s += little_endian ? lo : hi;
    s += little_endian ? hi : lo;
  }
  return s;
}

struct Utf16Case {
  const char* name;
  std::vector<unsigned> units;
  bool odd_byte;  // one more byte after the units
  std::string expected;
  std::size_t replacements;
};

const std::vector<Utf16Case>& utf16_cases() {
  static const std::vector<Utf16Case> cases = {
      {"empty", {}, false, "", 0},
      {"ascii", {'a', 0, 'b'}, false, std::string("a\0b", 3), 0},
      {"bmp", {0x20AC}, false, "\xE2\x82\xAC", 0},
      {"pair", {0xD83D, 0xDE00}, false, "\xF0\x9F\x98\x80", 0},
      {"first supplementary", {0xD800, 0xDC00}, false, "\xF0\x90\x80\x80", 0},
      {"inner mark kept", {0xFEFF, 'x'}, false, "\xEF\xBB\xBFx", 0},
      {"lone high at end", {'a', 0xD83D}, false, "a" + R, 1},
      {"lone low", {0xDE00, 'a'}, false, R + "a", 1},
      {"high then ascii", {0xD83D, 'A'}, false, R + "A", 1},
      {"high then pair", {0xD83D, 0xD83D, 0xDE00}, false, R + "\xF0\x9F\x98\x80", 1},
      {"low then high at end", {0xDC00, 0xD800}, false, R + R, 2},
      {"two lows", {0xDC00, 0xDC00}, false, R + R, 2},
      {"odd byte alone", {}, true, R, 1},
      {"odd final byte", {'a'}, true, "a" + R, 1},
      // A pending high surrogate and an odd byte end together: one error.
      {"high then odd byte", {'a', 0xD83D}, true, "a" + R, 1},
  };
  return cases;
}

TEST(Decode, Utf8AgainstWhatwg) {
  for (const Case& c : utf8_cases()) {
    std::string out = "stale";
    std::size_t replaced = decode_to_utf8(Encoding::Utf8, c.input, out);
    EXPECT_EQ(out, c.expected) << c.name;
    EXPECT_EQ(replaced, c.replacements) << c.name;
  }
}

TEST(Decode, Utf16AgainstWhatwg) {
  for (bool little : {true, false}) {
    for (const Utf16Case& c : utf16_cases()) {
      std::string input = utf16(little, c.units);
      if (c.odd_byte) input += 'Z';
      std::string out;
      std::size_t replaced = decode_to_utf8(little ? Encoding::Utf16Le : Encoding::Utf16Be, input, out);
      EXPECT_EQ(out, c.expected) << c.name << (little ? " LE" : " BE");
      EXPECT_EQ(replaced, c.replacements) << c.name << (little ? " LE" : " BE");
    }
  }
}

// Long inputs go through the converters in pieces; sequences that straddle
// a piece boundary must come out as if decoded whole.
TEST(Decode, LongInputsMatchPieceByPiece) {
  const std::string utf8_unit = "ab\xC3\xA9\xF0\x9F\x98\x80\xED\xA0\x80" "c\xE2\x82";
  const std::string utf8_expected = "ab\xC3\xA9\xF0\x9F\x98\x80" + R + R + R + "c" + R;
  const std::string le_unit = utf16(true, {'x', 0xD83D, 0xDE00, 0xDC00, 0x20AC});
  const std::string le_expected = "x\xF0\x9F\x98\x80" + R + "\xE2\x82\xAC";
  // Repeat counts chosen so that the total is not a multiple of any buffer size.
  for (std::size_t repeat : {1u, 997u, 20011u}) {
    std::string in8, want8, in16, want16;
    for (std::size_t i = 0; i < repeat; ++i) {
      in8 += utf8_unit;
      want8 += utf8_expected;
      in16 += le_unit;
      want16 += le_expected;
    }
    std::string out;
    EXPECT_EQ(decode_to_utf8(Encoding::Utf8, in8, out), 4 * repeat);
    EXPECT_TRUE(out == want8) << "utf-8 x" << repeat;
    EXPECT_EQ(decode_to_utf8(Encoding::Utf16Le, in16, out), repeat);
    EXPECT_TRUE(out == want16) << "utf-16le x" << repeat;
  }
}

}  // namespace
}  // namespace spansift
