// Reading at the edges where faults hide: the range of each integer field,
// the exact bounds of UTF-8 in texts, control characters in texts, and
// objects past the size that sorts by insertion with repeated keys.
#include <gtest/gtest.h>

#include <initializer_list>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "raw/json/json_read.h"
#include "raw/model_store.h"
#include "test_util.h"

namespace spansift {
namespace {

using testing::export_json;
using testing::item_json;
using testing::span_json;

// The export with `value` as the given integer field.
std::string export_with(const std::string& field, const std::string& value) {
  if (field == "total") return export_json({}, R"("total":)" + value + R"(,"limit":0,"offset":0)");
  if (field == "limit") return export_json({}, R"("total":0,"limit":)" + value + R"(,"offset":0)");
  if (field == "offset") return export_json({}, R"("total":0,"limit":0,"offset":)" + value);
  testing::Span span;
  if (field == "flags") span.flags = value;
  if (field == "startTime") span.start_time = value;
  if (field == "duration") span.duration = value;
  if (field == "timestamp") span.logs = R"([{"timestamp":)" + value + R"(,"fields":[]}])";
  return export_json({item_json("t", span_json(span))});
}

// What `text` reads as: the message of its read error, or "read".
std::string outcome(const std::string& text) {
  ParseResult result = parse_trace_json(text);
  if (const auto* error = std::get_if<ReadError>(&result)) return error->message();
  return "read";
}

// The field's value in what `text` reads as.
std::string value_read(const std::string& field, const std::string& text) {
  JaegerTrace t = testing::parse_export(text);
  if (field == "total") return std::to_string(t.total);
  if (field == "limit") return std::to_string(t.limit);
  if (field == "offset") return std::to_string(t.offset);
  const ModelStore& m = *t.store;
  const JaegerSpan& span = m.list(t.data.at(0).spans)[0];
  if (field == "flags") return std::to_string(span.flags);
  if (field == "startTime") return std::to_string(span.startTime);
  if (field == "duration") return std::to_string(span.duration);
  return std::to_string(m.list(span.logs)[0].timestamp);
}

TEST(ReadBounds, IntegerFieldsReadTheirWholeRangeAndNoMore) {
  struct Case {
    const char* value;
    const char* refused;  // the message; empty: reads as the value
  };
  const Case i32_cases[] = {
      {"2147483647", ""},
      {"-2147483648", ""},
      {"2147483648", "invalid value: integer `2147483648`, expected i32"},
      {"-2147483649", "invalid value: integer `-2147483649`, expected i32"},
  };
  const Case i64_cases[] = {
      {"9223372036854775807", ""},
      {"-9223372036854775808", ""},
      {"9223372036854775808", "invalid value: integer `9223372036854775808`, expected i64"},
  };
  auto check = [](std::initializer_list<const char*> fields, std::span<const Case> cases) {
    for (const char* field : fields) {
      for (const Case& c : cases) {
        SCOPED_TRACE(std::string(field) + " " + c.value);
        std::string text = export_with(field, c.value);
        EXPECT_EQ(outcome(text), *c.refused ? c.refused : "read");
        if (!*c.refused) {
          EXPECT_EQ(value_read(field, text), c.value);
        }
      }
    }
  };
  check({"total", "limit", "offset", "flags"}, i32_cases);
  check({"startTime", "duration", "timestamp"}, i64_cases);
}

// One below the i64 range is read as a floating-point number, and is refused
// as one: the double -2^63, named by its shortest digits in plain decimal.
TEST(ReadBounds, I64FieldsRefuseOneBelowTheirRangeAsAFloat) {
  for (const char* field : {"startTime", "duration", "timestamp"}) {
    SCOPED_TRACE(field);
    EXPECT_EQ(outcome(export_with(field, "-9223372036854775809")),
              "invalid type: floating point `-9223372036854776000`, expected i64");
  }
}

TEST(ReadBounds, TextsAtTheEdgesOfUtf8AndOfTheControlCharacters) {
  struct Case {
    const char* name;
    std::string bytes;  // the operation name, as it stands in the file
    bool valid;
  };
  const Case cases[] = {
      {"E0: lowest second byte", "\xE0\xA0\x80", true},
      {"E0: one below", "\xE0\x9F\xBF", false},
      {"E0: highest second byte", "\xE0\xBF\xBF", true},
      {"E0: one past", "\xE0\xC0\x80", false},
      {"ED: highest second byte", "\xED\x9F\xBF", true},
      {"ED: one past (surrogates)", "\xED\xA0\x80", false},
      {"F0: lowest second byte", "\xF0\x90\x80\x80", true},
      {"F0: one below", "\xF0\x8F\xBF\xBF", false},
      {"F0: highest second byte", "\xF0\xBF\xBF\xBF", true},
      {"F0: one past", "\xF0\xC0\x80\x80", false},
      {"F4: highest second byte", "\xF4\x8F\xBF\xBF", true},
      {"F4: one past (beyond U+10FFFF)", "\xF4\x90\x80\x80", false},
      {"0x1F", "a\x1F", false},
      {"0x7F", "a\x7F", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = export_json({item_json("t", span_json({.operation = c.bytes}))});
    if (c.valid) {
      JaegerTrace t = testing::parse_export(text);
      ASSERT_EQ(t.data.size(), 1u);
      EXPECT_EQ(t.store->text(t.store->list(t.data[0].spans)[0].operationName), c.bytes);
    } else {
      EXPECT_EQ(outcome(text), c.bytes[0] == 'a' ? "control character (\\u0000-\\u001F) found while parsing a string"
                                                 : "invalid unicode code point");
    }
  }
}

// 17 members, keys in a repeating order that is not sorted: past 16, a sort
// that is not stable would keep the wrong one of equal keys.
TEST(ReadBounds, LargeObjectsSortByKeyAndKeepTheLastOfEqualKeys) {
  const char* const names[] = {"m", "c", "x", "a", "q"};
  std::string object = "{";
  for (int i = 0; i < 17; ++i) {
    object += (i > 0 ? "," : "") + std::string("\"") + names[i % 5] + "\":" + std::to_string(i);
  }
  object += "}";
  auto listed = [](const JaegerTrace& t, List<JsonMember> members) {
    std::string text;
    for (const JsonMember& m : t.store->list(members)) {
      text += (text.empty() ? "" : " ") + std::string(t.store->text(m.key)) + "=" +
              std::to_string(m.value.unsigned_number());
    }
    return text;
  };
  const std::string expected = "a=13 c=16 m=15 q=14 x=12";
  JaegerTrace tag = testing::parse_export(export_json({item_json("t", span_json({.tag_value = object}))}));
  const ModelStore& m = *tag.store;
  EXPECT_EQ(listed(tag, m.list(m.list(tag.data.at(0).spans)[0].tags)[0].value.object()), expected);
  JaegerTrace processes = testing::parse_export(export_json({item_json("t", "", object)}));
  EXPECT_EQ(listed(processes, processes.data.at(0).processes), expected);
}

}  // namespace
}  // namespace spansift
