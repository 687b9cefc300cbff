#include "raw/json/json_write.h"

#include <gtest/gtest.h>

#include <cmath>
#include <dirent.h>
#include <limits>
#include <random>

#include "raw/json/json_read.h"
#include "test_util.h"

namespace spansift {
namespace {

std::string render_double(double d) {
  char buffer[64];
  return {buffer, append_double(buffer, d)};
}

using testing::export_json;
using testing::item_json;
using testing::span_json;

JaegerTrace parse_ok(std::string_view text) { return testing::parse_export(text); }

TEST(WriteTrace, SingleItemRecordExample) {
  EXPECT_EQ(testing::pretty_json(parse_ok(export_json({item_json("0123456789abcdef", "")}))),
            "{\n"
            "  \"data\": [\n"
            "    {\n"
            "      \"traceID\": \"0123456789abcdef\",\n"
            "      \"spans\": [],\n"
            "      \"processes\": {},\n"
            "      \"warnings\": null\n"
            "    }\n"
            "  ],\n"
            "  \"total\": 0,\n"
            "  \"limit\": 0,\n"
            "  \"offset\": 0,\n"
            "  \"errors\": null\n"
            "}");
}

TEST(WriteTrace, NestedLayoutErrorsAndWarnings) {
  JaegerTrace t = parse_ok(
      R"({"data":[{"traceID":"t","spans":[{"traceID":"t","spanID":"s","flags":0,"operationName":"o","references":[],)"
      R"("startTime":-5,"duration":0,"tags":[{"key":"k","type":"t","value":[[],{}]}],"logs":[],"processID":"p","warnings":[]}],)"
      R"("processes":{}}],"total":9,"limit":0,"offset":0,"errors":[{"x":1},{}]})");
  EXPECT_EQ(testing::pretty_json(t),
            R"({
  "data": [
    {
      "traceID": "t",
      "spans": [
        {
          "traceID": "t",
          "spanID": "s",
          "flags": 0,
          "operationName": "o",
          "references": [],
          "startTime": -5,
          "duration": 0,
          "tags": [
            {
              "key": "k",
              "type": "t",
              "value": [
                [],
                {}
              ]
            }
          ],
          "logs": [],
          "processID": "p",
          "warnings": []
        }
      ],
      "processes": {},
      "warnings": null
    }
  ],
  "total": 9,
  "limit": 0,
  "offset": 0,
  "errors": [
    {},
    {}
  ]
})");
}

TEST(WriteTrace, StringEscapes) {
  const std::string a15(15, 'a'), a16(16, 'a'), a31(31, 'a'), a32(32, 'a'), a33(33, 'a');
  struct Case {
    std::string read;     // between the quotes of the traceID read
    std::string written;  // between those written
  } cases[] = {
      // The last control character and the first byte past the controls,
      // then DEL, which JSON leaves as it is, and the first and last
      // surrogate pairs.
      {R"(\t\"\\\u0000\u001b\u001f\u0020\b\f\n\r\/\u007f\u00e9\ud800\udc00\uDBFF\uDFFF)",
       R"(\t\"\\\u0000\u001b\u001f \b\f\n\r/)"
       "\x7f\xc3\xa9\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
      // Bytes to escape on either side of the blocks of 16 copied whole, in
      // texts of 16 and 32 bytes and longer ones.
      {a15 + R"(\")", a15 + R"(\")"},
      {a16 + R"(\\b)", a16 + R"(\\b)"},
      {a31 + R"(\n)", a31 + R"(\n)"},
      {a32 + R"(\u0001bb)", a32 + R"(\u0001bb)"},
      {a33 + R"(\tccc)", a33 + R"(\tccc)"},
      {R"(\n)" + a15, R"(\n)" + a15},
      // Texts with nothing to escape, copied whole up to 32 bytes.
      {a32, a32},
      {a33, a33},
      // Bytes of one character on either side of a block's edge.
      {R"(\n)" + a15.substr(1) + "\xc3\xa9" + a15.substr(2) + "\xe2\x82\xac" + R"(\")",
       R"(\n)" + a15.substr(1) + "\xc3\xa9" + a15.substr(2) + "\xe2\x82\xac" + R"(\")"},
  };
  for (const Case& c : cases) {
    std::string out = testing::pretty_json(parse_ok(export_json({item_json(c.read, "")})));
    EXPECT_NE(out.find("\"traceID\": \"" + c.written + "\",\n"), std::string::npos) << out;
    EXPECT_EQ(out.find('\r'), std::string::npos);
    EXPECT_EQ(out.back(), '}');
  }
}

TEST(WriteTrace, IntegersAsRead) {
  for (const char* n : {"0", "9", "10", "99", "100", "12345678", "99999999", "100000000", "1000000000000000",
                        "9999999999999999", "10000000000000000", "9223372036854775807", "18446744073709551615", "-1",
                        "-100000000", "-9223372036854775808"}) {
    std::string out = testing::pretty_json(parse_ok(export_json({item_json("t", span_json({.tag_value = n}))})));
    EXPECT_NE(out.find(std::string("\"value\": ") + n + "\n"), std::string::npos) << out;
  }
}

TEST(WriteTrace, DoubleLayout) {
  struct Case {
    double value;
    const char* text;
  } cases[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {1.5, "1.5"},
      {-12.34, "-12.34"},
      {0.5, "0.5"},
      {0.001234, "0.001234"},
      {0.0001, "0.0001"},
      {0.00001, "0.00001"},
      {0.000001, "1e-6"},
      {1e-7, "1e-7"},
      {1.5e-7, "1.5e-7"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {1.5e16, "1.5e16"},
      {123456789012345.6, "123456789012345.6"},
      {1234567890123456.7, "1234567890123456.8"},
      {18446744073709551616.0, "1.8446744073709552e19"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {1e30, "1e30"},
  };
  for (const Case& c : cases) EXPECT_EQ(render_double(c.value), c.text) << c.text;
}

TEST(WriteTrace, DoublesRoundTrip) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = random();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    std::string text = render_double(d);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), d) << text;
  }
}

TEST(WriteTrace, NonFiniteNumberFails) {
  for (double value : {std::numeric_limits<double>::infinity(), std::nan("")}) {
    JaegerTrace t = testing::record_with_tag_value("t", JsonValue::from_double(value));
    std::string out, error;
    EXPECT_FALSE(render_pretty_json(t, out, error));
    EXPECT_EQ(error, "number is not finite");
  }
}

// Rendering what was read from a rendering gives the same bytes.
void expect_fixed_point(std::string_view text) {
  std::string first = testing::pretty_json(parse_ok(text));
  std::string second = testing::pretty_json(parse_ok(first));
  EXPECT_EQ(first, second);
}

TEST(WriteTrace, FixedPointOnSamples) {
  std::string folder = testing::source_dir() + "/examples";
  DIR* dir = ::opendir(folder.c_str());
  ASSERT_NE(dir, nullptr);
  int checked = 0;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
    std::string text = testing::read_file(folder + "/" + name);
    ParseResult r = parse_trace_json(text);
    if (std::holds_alternative<ReadError>(r)) continue;  // a sample the model refuses
    expect_fixed_point(text);
    ++checked;
  }
  ::closedir(dir);
  EXPECT_GE(checked, 3);
}

// Random JSON values: every kind, nesting, escapes and unicode.
std::string random_value(std::mt19937& random, int depth) {
  switch (random() % (depth > 4 ? 5 : 7)) {
    case 0: return "null";
    case 1: return random() % 2 ? "true" : "false";
    case 2: return std::to_string(static_cast<std::int64_t>(random()) - (1ll << 31));
    case 3: {
      double d = std::ldexp(static_cast<double>(random()), static_cast<int>(random() % 200) - 100);
      return render_double(random() % 2 ? d : -d);
    }
    case 4: {
      static const char* pieces[] = {"a", "\\\"", "\\\\", "\\n", "\\u0001", "\xc3\xa9", "\\ud83d\\ude00", "/", " "};
      std::string s = "\"";
      for (int n = random() % 6; n > 0; --n) s += pieces[random() % 9];
      return s + "\"";
    }
    case 5: {
      std::string s = "[";
      for (int n = random() % 4; n > 0; --n) s += random_value(random, depth + 1) + (n > 1 ? "," : "");
      return s + "]";
    }
    default: {
      std::string s = "{";
      for (int n = random() % 4; n > 0; --n) {
        s += "\"k" + std::to_string(random() % 5) + "\":" + random_value(random, depth + 1) + (n > 1 ? "," : "");
      }
      return s + "}";
    }
  }
}

TEST(WriteTrace, DeepValuesIndentPastAnyFixedWidth) {
  std::string deep = std::string(60, '[') + R"({"k":[1,{"z":"x"}]})" + std::string(60, ']');
  std::string text = export_json({item_json("t", "", R"({"p":)" + deep + "}")});
  std::string rendered = testing::pretty_json(parse_ok(text));
  EXPECT_NE(rendered.find("\n" + std::string(2 * 67, ' ') + "\"z\": \"x\"\n"), std::string::npos);
  expect_fixed_point(text);
}

TEST(WriteTrace, FixedPointOnGeneratedRecords) {
  std::mt19937 random(3);
  for (int round = 0; round < 300; ++round) {
    std::string spans;
    for (int n = random() % 4; n > 0; --n)
      spans += span_json({.tag_value = random_value(random, 0)}) + (n > 1 ? "," : "");
    expect_fixed_point(export_json({item_json("t", spans, R"({"p":)" + random_value(random, 0) + "}")}));
  }
}

}  // namespace
}  // namespace spansift
