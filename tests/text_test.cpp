#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "utils/text.h"

namespace spansift {
namespace {

TEST(Text, IsValidUtf8) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"", true},
      {"plain/ascii.json", true},
      {std::string("nul\0inside", 10), true},
      {"caf\xC3\xA9", true},
      {"\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", true},
      {"\xED\x9F\xBF\xEE\x80\x80", true},
      // The second byte's bounds after E0 and F0, and one past the upper one.
      {"\xE0\xA0\x80\xE0\xBF\xBF\xF0\x90\x80\x80\xF0\xBF\xBF\xBF", true},
      {"\xE0\xC0\x80", false},
      {"\xF0\xC0\x80\x80", false},
      // Non-ASCII after a long ASCII run and at the very end.
      {std::string(37, 'x') + "\xC3\xA9", true},
      {std::string(37, 'x') + "\xC3", false},
      {std::string(16, 'x') + "\x80" + std::string(16, 'y'), false},
      {"\x80", false},
      {"\xC0\x80", false},
      {"\xC1\xBF", false},
      {"\xE0\x9F\xBF", false},
      {"\xF0\x8F\xBF\xBF", false},
      {"\xED\xA0\x80", false},
      {"\xED\xBF\xBF", false},
      {"\xF4\x90\x80\x80", false},
      {"\xF5\x80\x80\x80", false},
      {"\xFF", false},
      {"\xE2\x82", false},
      {"\xE2\x82x", false},
      {"\xC3\xA9\xA9", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << spansift::quoted(c.bytes);
}

TEST(Text, Quoted) {
  struct Case {
    std::string bytes;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", R"("")"},
      {"traces/a b.json", R"("traces/a b.json")"},
      {R"(a"b'c\d)", R"("a\"b\'c\\d")"},
      {std::string("\t\r\n\0", 4), R"("\t\r\n\0")"},
      {"\x01\x1F\x7F", R"("\u{1}\u{1f}\u{7f}")"},
      {"\xC2\x85", R"("\u{85}")"},                        // NEL, a C1 control
      {"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80\""},
      {"e\xCC\x81", R"("e\u{301}")"},                      // combining acute
      {"\xEF\xBE\x9E", R"("\u{ff9e}")"},                   // a letter that extends a grapheme
      {"\xE2\x80\x8C", R"("\u{200c}")"},                   // ZWNJ
      {"\xE2\x80\x8B\xEF\xBB\xBF", R"("\u{200b}\u{feff}")"},  // format characters
      {"\xC2\xA0\xE2\x80\xA8", R"("\u{a0}\u{2028}")"},     // separators other than space
      {"\xEE\x80\x80\xCD\xB8\xF4\x8F\xBF\xBF", R"("\u{e000}\u{378}\u{10ffff}")"},
      {"\xFF", R"("\xFF")"},
      {"a\xE2\x82" "b", R"("a\xE2\x82b")"},
      {"\xED\xA0\x80", R"("\xED\xA0\x80")"},
      {"\xC3", R"("\xC3")"},
      {"\xF0\x9F\x98\x80\xF0\x9F", "\"\xF0\x9F\x98\x80\\xF0\\x9F\""},
  };
  for (const Case& c : cases) EXPECT_EQ(spansift::quoted(c.bytes), c.expected);
}

TEST(Text, EscapeQuotes) {
  EXPECT_EQ(escape_quotes(""), "");
  EXPECT_EQ(escape_quotes(R"(say "a\b" 'c')"), R"(say \"a\\b\" 'c')");
}

}  // namespace
}  // namespace spansift
