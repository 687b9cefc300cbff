#include "raw/json/json_read.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <unistd.h>

#include "raw/json/json_write.h"
#include "raw/model_store.h"
#include "test_util.h"
#include "utils/simd/padded.h"

namespace spansift {
namespace {

const char* const kHead = R"({"data":[{"traceID":"t1","spans":[)";
const char* const kTail = R"(],"processes":{}}],"total":0,"limit":0,"offset":0})";

// A valid span; `extra` members are appended, and a member of `replace` takes
// the place of the default one with its key.
std::string span_with(const std::string& extra, const std::string& replace_key = "",
                      const std::string& replacement = "") {
  const std::pair<const char*, const char*> defaults[] = {
      {"traceID", "\"t1\""}, {"spanID", "\"s1\""},   {"flags", "1"},    {"operationName", "\"op\""},
      {"references", "[]"},  {"startTime", "5"},     {"duration", "7"}, {"tags", "[]"},
      {"logs", "[]"},        {"processID", "\"p1\""}};
  std::string span = "{";
  for (const auto& [key, value] : defaults) {
    if (span.size() > 1) span += ",";
    span += std::string("\"") + key + "\":" + (key == replace_key ? replacement : value);
  }
  return span + extra + "}";
}

std::string export_with_span(const std::string& span) { return kHead + span + kTail; }

std::string export_with_tag_value(const std::string& value) {
  return export_with_span(span_with("", "tags", R"([{"key":"k","type":"t","value":)" + value + "}]"));
}

JaegerTrace parse_ok(std::string_view text) {
  ParseResult r = parse_trace_json(text);
  if (auto* e = std::get_if<ReadError>(&r)) {
    ADD_FAILURE() << "unexpected " << e->detail() << " for " << text.substr(0, 200);
    return {};
  }
  return std::get<JaegerTrace>(std::move(r));
}

ReadError parse_error(std::string_view text) {
  ParseResult r = parse_trace_json(text);
  if (auto* e = std::get_if<ReadError>(&r)) return *e;
  ADD_FAILURE() << "read, but should fail: " << text.substr(0, 200);
  return {};
}

// Reads through the chunked form, cutting the input at the given points.
ParseResult parse_in_pieces(std::string_view text, std::vector<std::size_t> cuts, ReadInto into = {}) {
  cuts.push_back(text.size());
  std::size_t next = 0;
  std::size_t position = 0;
  return parse_trace_json(
      [&](char* buffer, std::size_t capacity, std::size_t& got) {
        got = 0;
        if (position >= text.size()) return Status{};
        std::size_t end = std::min(cuts[next], position + capacity);
        if (end <= position) end = std::min(text.size(), position + 1);
        if (end == cuts[next]) ++next;
        std::memcpy(buffer, text.data() + position, end - position);
        got = end - position;
        position = end;
        return Status{};
      },
      4096, std::move(into));
}

// The rendered value of the first tag of the first span, as it stands in the file.
std::string tag_value_text(const JaegerTrace& t) {
  std::string text = testing::pretty_json(t);
  std::size_t start = text.find("\"value\": ") + 9;
  std::size_t end = text.find("\n            }", start);
  return text.substr(start, end - start);
}

std::string outcome(const ParseResult& r) {
  if (auto* e = std::get_if<ReadError>(&r)) return e->detail();
  return testing::pretty_json(std::get<JaegerTrace>(r));
}

TEST(ReadTrace, ReadsEveryFieldAndRendersThemBack) {
  JaegerTrace t = parse_ok(
      R"({"errors":[{"a":1},[]],"offset":3,"limit":2,"total":1,"data":[{"warnings":["w"],"processes":{"p2":{"z":1,"a":[true,null]},"p1":"x"},)"
      R"("spans":[{"warnings":null,"processID":"p1","logs":[{"timestamp":-9,"fields":[{"key":"e","type":"string","value":"v"}]}],)"
      R"("tags":[{"key":"n","type":"float64","value":1.50}],"duration":7,"startTime":-5,)"
      R"("references":[{"refType":"CHILD_OF","traceID":"t","spanID":"s0"}],"operationName":"op","flags":1,"spanID":"s1","traceID":"t"}],"traceID":"t"}]})");
  ASSERT_EQ(t.data.size(), 1u);
  EXPECT_EQ(t.total, 1);
  EXPECT_EQ(t.limit, 2);
  EXPECT_EQ(t.offset, 3);
  ASSERT_TRUE(t.errors);
  EXPECT_EQ(t.errors->size(), 2u);
  const ModelStore& m = *t.store;
  const JaegerItem& item = t.data[0];
  EXPECT_EQ(m.text(item.traceID), "t");
  ASSERT_TRUE(item.warnings.present());
  EXPECT_EQ(item.warnings.size, 1u);
  auto processes = m.list(item.processes);
  ASSERT_EQ(processes.size(), 2u);
  EXPECT_EQ(m.text(processes[0].key), "p1");
  EXPECT_EQ(m.text(m.list(processes[1].value.object())[0].key), "a");
  const JaegerSpan& s = m.list(item.spans)[0];
  EXPECT_EQ(m.text(s.spanID), "s1");
  EXPECT_EQ(s.flags, 1);
  EXPECT_EQ(s.startTime, -5);
  EXPECT_EQ(s.duration, 7);
  EXPECT_FALSE(s.warnings.present());
  EXPECT_EQ(m.text(m.list(s.references)[0].spanID), "s0");
  const JaegerLog& log = m.list(s.logs)[0];
  EXPECT_EQ(log.timestamp, -9);
  EXPECT_EQ(m.text(m.list(log.fields)[0].value.string()), "v");
  const JaegerTag& tag = m.list(s.tags)[0];
  EXPECT_EQ(tag.value.kind(), ValueKind::Double);
  EXPECT_EQ(tag.value.double_number(), 1.5);
}

TEST(ReadTrace, ArrayFormEqualsObjectForm) {
  std::string span_array = R"(["t1","s1",1,"op",[["CHILD_OF","t0","s0"]],5,7,[["k","t",null]],[[3,[]]],"p1",null])";
  std::string span_object =
      span_with(R"(,"warnings":null)", "references", R"([{"refType":"CHILD_OF","traceID":"t0","spanID":"s0"}])");
  span_object.replace(span_object.find(R"("tags":[])"), 9, R"("tags":[{"key":"k","type":"t","value":null}])");
  span_object.replace(span_object.find(R"("logs":[])"), 9, R"("logs":[{"timestamp":3,"fields":[]}])");
  EXPECT_EQ(testing::pretty_json(parse_ok(export_with_span(span_array))),
            testing::pretty_json(parse_ok(export_with_span(span_object))));
  EXPECT_EQ(testing::pretty_json(parse_ok(R"([[["t1",[],{},null]],0,0,0,null])")),
            testing::pretty_json(
                parse_ok(R"({"data":[{"traceID":"t1","spans":[],"processes":{}}],"total":0,"limit":0,"offset":0})")));
}

TEST(ReadTrace, OptionalFieldsMissingOrNullAreAbsent) {
  for (const char* errors : {"", R"(,"errors":null)"}) {
    JaegerTrace t = parse_ok(std::string(R"({"data":[],"total":0,"limit":0,"offset":0)") + errors + "}");
    EXPECT_FALSE(t.errors);
  }
  JaegerTrace t = parse_ok(R"({"data":[],"total":0,"limit":0,"offset":0,"errors":[]})");
  ASSERT_TRUE(t.errors);
  EXPECT_TRUE(t.errors->empty());
}

TEST(ReadTrace, UnknownKeysOfAnyShapeAreSkipped) {
  JaegerTrace t =
      parse_ok(export_with_span(span_with(R"(,"extra":{"a":[1,{"b":[[[]]]}],"c":"d"},"more":[null,true,1e5])")));
  EXPECT_EQ(t.data[0].spans.size, 1u);
  // Skipped numbers are only read through: beyond a double's range is no error there.
  t = parse_ok(export_with_span(span_with(R"(,"huge":1e400,"more":[-1e999,{"x":)" + std::string(400, '9') + "}]")));
  EXPECT_EQ(t.data[0].spans.size, 1u);
}

TEST(ReadTrace, ObjectsSortByKeyAndKeepTheLastDuplicate) {
  JaegerTrace t = parse_ok(export_with_tag_value(R"({"z":1,"a":2,"m":{"y":0,"b":1},"a":3})"));
  EXPECT_EQ(tag_value_text(t), R"({
                "a": 3,
                "m": {
                  "b": 1,
                  "y": 0
                },
                "z": 1
              })");
}

TEST(ReadTrace, NumberKinds) {
  struct Case {
    const char* literal;
    ValueKind kind;
    const char* rendered;
  } cases[] = {
      {"0", ValueKind::Unsigned, "0"},
      // Integers of up to 16 digits are read in two chunks of eight: their edges.
      {"7", ValueKind::Unsigned, "7"},
      {"10", ValueKind::Unsigned, "10"},
      {"12345678", ValueKind::Unsigned, "12345678"},
      {"123456789", ValueKind::Unsigned, "123456789"},
      {"100000000", ValueKind::Unsigned, "100000000"},
      {"9999999999999999", ValueKind::Unsigned, "9999999999999999"},
      {"12345678901234567", ValueKind::Unsigned, "12345678901234567"},
      {"12345678.5", ValueKind::Double, "12345678.5"},
      {"1234567890123456e1", ValueKind::Double, "1.234567890123456e16"},
      {"18446744073709551615", ValueKind::Unsigned, "18446744073709551615"},
      {"-1", ValueKind::Signed, "-1"},
      {"-9223372036854775808", ValueKind::Signed, "-9223372036854775808"},
      {"-9223372036854775809", ValueKind::Double, "-9.223372036854776e18"},
      {"-0", ValueKind::Double, "-0.0"},
      {"18446744073709551616", ValueKind::Double, "1.8446744073709552e19"},
      {"1.7976931348623157e308", ValueKind::Double, "1.7976931348623157e308"},
      {"1E2", ValueKind::Double, "100.0"},
      {"0.1", ValueKind::Double, "0.1"},
      {"1e-400", ValueKind::Double, "0.0"},
      {"-1e-9999999999", ValueKind::Double, "-0.0"},  // an exponent beyond 32 bits: zero, its sign kept
      {"2.2250738585072011e-308", ValueKind::Double, "2.225073858507201e-308"},
      // 20 digits go to the slow path: summed in 64 bits, they would overflow.
      {"9.9999999999999999999", ValueKind::Double, "10.0"},
      // Rounded up to a power of two: the mantissa carries into the exponent.
      {"0.99999999999999999", ValueKind::Double, "1.0"},
      // Halfway between 9500000000000000 and 9500000000000002: to the even one
      // below. A thousandth above halfway is less than the quotient's last bit:
      // only the remainder of the division says that it is above.
      {"9500000000000001000e-3", ValueKind::Double, "9500000000000000.0"},
      {"9500000000000001001e-3", ValueKind::Double, "9500000000000002.0"},
      // Plain decimals of 19 digits, read in place and divided in 64 bits:
      // just below and just above halfway between 1 and the next double.
      {"1.000000000000000111", ValueKind::Double, "1.0"},
      {"1.000000000000000112", ValueKind::Double, "1.0000000000000002"},
      {"0.1234567890123456789", ValueKind::Double, "0.12345678901234568"},
      {"-107.71000725162737", ValueKind::Double, "-107.71000725162737"},
  };
  for (const Case& c : cases) {
    JaegerTrace t = parse_ok(export_with_tag_value(c.literal));
    const ModelStore& m = *t.store;
    const JsonValue& v = m.list(m.list(t.data[0].spans)[0].tags)[0].value;
    EXPECT_EQ(v.kind(), c.kind) << c.literal;
    std::string rendered = testing::pretty_json(t);
    EXPECT_NE(rendered.find(std::string("\"value\": ") + c.rendered + "\n"), std::string::npos) << c.literal;
  }
}

TEST(ReadTrace, ModelErrors) {
  struct Case {
    std::string text;
    std::string message;
  } cases[] = {
      {R"({"data":[]})", "missing field `total`"},
      {R"({"data":[],"offset":0})", "missing field `total`"},
      {R"({"data":[],"total":0,"limit":0,"offset":0,"total":1})", "duplicate field `total`"},
      {R"({"data":[],"total":0,"limit":0,"offset":0,"errors":null,"errors":[]})", "duplicate field `errors`"},
      {R"({"data":[],"total":3000000000,"limit":0,"offset":0})", "invalid value: integer `3000000000`, expected i32"},
      {R"({"data":[],"total":-2147483649,"limit":0,"offset":0})", "invalid value: integer `-2147483649`, expected i32"},
      {R"({"data":[],"total":1.0,"limit":0,"offset":0})", "invalid type: floating point `1`, expected i32"},
      {R"({"data":[],"total":-0,"limit":0,"offset":0})", "invalid type: floating point `-0`, expected i32"},
      {R"({"data":[],"total":"1","limit":0,"offset":0})", "invalid type: string \"1\", expected i32"},
      {R"({"data":[],"total":true,"limit":0,"offset":0})", "invalid type: boolean `true`, expected i32"},
      {R"({"data":null,"total":0,"limit":0,"offset":0})", "invalid type: null, expected a sequence"},
      {R"({"data":{},"total":0,"limit":0,"offset":0})", "invalid type: map, expected a sequence"},
      {R"({"data":[7]})", "invalid type: integer `7`, expected struct JaegerItem"},
      {R"({"data":[{"traceID":"t","spans":[],"processes":[]}]})", "invalid type: sequence, expected a map"},
      {R"({"data":[{"traceID":["t"]}]})", "invalid type: sequence, expected a string"},
      {R"({"data":[],"total":0,"limit":0,"offset":0,"errors":[1]})",
       "invalid type: integer `1`, expected struct JaegerError"},
      {R"({"data":[],"total":0,"limit":0,"offset":0,"errors":[[1]]})", "trailing characters"},
      {"\"x\"", "invalid type: string \"x\", expected struct JaegerTrace"},
      {"null", "invalid type: null, expected struct JaegerTrace"},
      {"false", "invalid type: boolean `false`, expected struct JaegerTrace"},
      {"7", "invalid type: integer `7`, expected struct JaegerTrace"},
      {"[[],0,0]", "invalid length 3, expected struct JaegerTrace with 5 elements"},
      {"[[],0,0,0,null,1]", "trailing characters"},
      {"[[],0,0,0,null,]", "trailing comma"},
      {export_with_span(span_with(R"(,"startTime":1)")), "duplicate field `startTime`"},
      {export_with_span(R"({"traceID":"t1"})"), "missing field `spanID`"},
      {export_with_span(R"(["t1","s1",1,"op",[],5,7,[],[],"p1"])"),
       "invalid length 10, expected struct JaegerSpan with 11 elements"},
      {export_with_span(span_with("", "tags", R"([{"key":"k","type":"t"}])")), "missing field `value`"},
      {kHead +
           std::string(
               R"({"traceID":"t1","spanID":"s","operationName":"o","references":[],"startTime":0,"duration":0,"tags":[],"logs":[],"processID":"p"})") +
           kTail,
       "missing field `flags`"},
      {kHead +
           std::string(
               R"({"traceID":"t1","spanID":"s","flags":0,"operationName":"o","references":[["CHILD_OF","t"]],"startTime":0,"duration":0,"tags":[],"logs":[],"processID":"p"})") +
           kTail,
       "invalid length 2, expected struct JaegerReference with 3 elements"},
      {kHead +
           std::string(
               R"({"traceID":"t1","spanID":"s","flags":0,"operationName":"o","references":[],"startTime":9223372036854775808,"duration":0,"tags":[],"logs":[],"processID":"p"})") +
           kTail,
       "invalid value: integer `9223372036854775808`, expected i64"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_error(c.text).message(), c.message) << c.text;
  }
}

TEST(ReadTrace, SyntaxErrorsWithPositions) {
  struct Case {
    std::string text;
    std::string message;
    std::uint64_t line, column;
  } cases[] = {
      {"", "EOF while parsing a value", 1, 0},
      {"  \n ", "EOF while parsing a value", 2, 1},
      {"{", "EOF while parsing an object", 1, 1},
      {R"({"data")", "EOF while parsing an object", 1, 7},
      {R"({"data":)", "EOF while parsing a value", 1, 8},
      {R"({"data":[)", "EOF while parsing a list", 1, 9},
      {R"({"data":[],)", "EOF while parsing a value", 1, 11},
      {R"({"data":[], "total":1)", "EOF while parsing an object", 1, 21},
      {R"({"da)", "EOF while parsing a string", 1, 4},
      {R"({"data":[{"traceID":"abc)", "EOF while parsing a string", 1, 24},
      {R"({"data":[{"traceID":tr)", "EOF while parsing a value", 1, 22},
      {"{\"data\" 1}", "expected `:`", 1, 9},
      {"{\"data\":[] \"total\"}", "expected `,` or `}`", 1, 12},
      {"{\"x\":[[] 1]}", "expected `,` or `]`", 1, 10},
      {"{\"data\":[],}", "trailing comma", 1, 12},
      {"{\"x\":[1,]}", "expected value", 1, 9},
      {"{1:2}", "key must be a string", 1, 2},
      {"{null:1}", "key must be a string", 1, 2},
      {"{\"a\" null}", "expected `:`", 1, 6},
      {"{\"a\":1 true}", "expected `,` or `}`", 1, 8},
      {"truex", "invalid type: boolean `true`, expected struct JaegerTrace", 1, 4},
      {"{\"data\":[],\"total\":nullx}", "invalid type: null, expected i32", 1, 23},
      {"{\"data\":x}", "expected value", 1, 9},
      {"{\"data\":nul}", "expected ident", 1, 12},
      {"{\"x\":tx}", "expected ident", 1, 7},
      {"{\"x\":01}", "invalid number", 1, 7},
      {"{\"x\":1.}", "invalid number", 1, 8},
      {"{\"x\":-}", "invalid number", 1, 7},
      {"{\"x\":1.", "invalid number", 1, 7},
      {"[1e-", "EOF while parsing a value", 1, 4},
      {"[1e", "EOF while parsing a value", 1, 3},
      {"-", "EOF while parsing a value", 1, 1},
      {"{\"data\":[],\"total\":1e400}", "number out of range", 1, 25},
      {"{\"d\\qata\":1}", "invalid escape", 1, 5},
      {"{\"d\\u12x4\":1}", "invalid escape", 1, 8},
      {std::string("{\"d\x01\":1}"), "control character (\\u0000-\\u001F) found while parsing a string", 1, 4},
      {std::string("{\"d\xff\":1}"), "invalid unicode code point", 1, 5},
      {"{\"d\\ud800x\":1}", "unexpected end of hex escape", 1, 10},
      {"{\"d\\udc00\":1}", "lone leading surrogate in hex escape", 1, 9},
      {"[\"\\uD888\\u1234\"]", "lone leading surrogate in hex escape", 1, 14},
      {"[\"\\uD888\\uD888\"]", "lone leading surrogate in hex escape", 1, 14},
      {"[\"\\uD888\\n\"]", "unexpected end of hex escape", 1, 10},
      {"[\"\\uD888\\u12x4\"]", "invalid escape", 1, 13},
      {"[\"\\uD888", "EOF while parsing a string", 1, 8},
      {"{\"data\":[],\"total\":0,\"limit\":0,\"offset\":0}\n x", "trailing characters", 2, 2},
      {"{\"data\":[],\n\"total\":0,\"limit\":0,\"offset\":0}}", "trailing characters", 2, 32},
      {"\xEF\xBB\xBF{}", "expected value", 1, 1},
      // A field repeated after the last one, compact: the key looked for
      // first is the record's first field again, which is taken.
      {R"({"data":[{"traceID":"t","spans":[{"traceID":"t","spanID":"s","flags":0,"operationName":"o",)"
       R"("references":[],"startTime":0,"duration":0,"tags":[{"key":"a","type":"b","value":1,"key":"c"}],)"
       R"("logs":[],"processID":"p"}],"processes":{}}],"total":0,"limit":0,"offset":0})",
       "duplicate field `key`", 1, 180},
  };
  for (const Case& c : cases) {
    ReadError e = parse_error(c.text);
    EXPECT_EQ(e.message(), c.message) << c.text;
    EXPECT_EQ(e.line, c.line) << c.text;
    EXPECT_EQ(e.column, c.column) << c.text;
  }
  // An empty view may carry no pointer at all (an empty vector's data()).
  ReadError none = parse_error(std::string_view{});
  EXPECT_EQ(none.message(), "EOF while parsing a value");
  EXPECT_EQ(none.line, 1U);
  EXPECT_EQ(none.column, 0U);
}

TEST(ReadTrace, ErrorTexts) {
  ReadError e = ReadError::invalid_type("string \"a\\b\"", "i32");
  e.line = 3;
  e.column = 14;
  EXPECT_EQ(e.display(), "invalid type: string \"a\\b\", expected i32 at line 3 column 14");
  EXPECT_EQ(e.detail(), R"(Error("invalid type: string \"a\\b\", expected i32", line: 3, column: 14))");
}

std::string nested_arrays(std::size_t depth, const std::string& inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(ReadTrace, BuiltDepthIsLimitedTo127Levels) {
  // The tag value sits at level 8: document, data, item, spans, span, tags, tag, value.
  parse_ok(export_with_tag_value(nested_arrays(120)));                   // 127 levels
  ReadError e = parse_error(export_with_tag_value(nested_arrays(121)));  // 128
  EXPECT_EQ(e.message(), "recursion limit exceeded");
  EXPECT_EQ(parse_error(export_with_tag_value(std::string(200, '{'))).message(), "key must be a string");
}

TEST(ReadTrace, SkippedValuesNestToAnyDepth) {
  JaegerTrace t = parse_ok(export_with_span(span_with(R"(,"deep":)" + nested_arrays(2000000))));
  EXPECT_EQ(t.data[0].spans.size, 1u);
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += R"({"a":)";
  objects += "1" + std::string(100000, '}');
  t = parse_ok(export_with_span(span_with(R"(,"deep":)" + objects)));
  EXPECT_EQ(t.data[0].spans.size, 1u);
  EXPECT_EQ(parse_error(R"({"deep":)" + std::string(100000, '[')).message(), "EOF while parsing a list");
}

// Lines are counted at each refill and from the buffer's start when an error
// is placed: both must agree with the memory form, whatever the pieces.
TEST(ReadTrace, ErrorPlacesAfterLineFeedsAcrossRefills) {
  const std::string doc = R"({"data":[],"total":0,"limit":0,"offset":0})";
  struct Case {
    std::string text;
    const char* detail;
  };
  const Case cases[] = {
      // CR LF with the CR as the last byte of the first 8192, another in the last 15 bytes.
      {doc + std::string(8191 - doc.size(), ' ') + "\r\n" + std::string(20, ' ') + "\r\n x",
       R"(Error("trailing characters", line: 3, column: 2))"},
      // The error's line crosses the refill; two line feeds share a 16-byte block before it.
      {R"({"data":[],)" + std::string(20, ' ') + "\n \n" + std::string(8180, ' ') + R"("total":x})",
       R"(Error("expected value", line: 3, column: 8189))"},
      // Two line feeds in the first 16-byte block that a refill counts; the column counts from the last.
      {R"({"data":[],)"
       "\n \n" +
           std::string(8190, ' ') + R"("total":x})",
       R"(Error("expected value", line: 3, column: 8199))"},
      // A line feed past the first 64 bytes of a run of 128 that a refill counts in one pass.
      {R"({"data":[],)" + std::string(90, ' ') + "\n" + std::string(8150, ' ') + R"("total":x})",
       R"(Error("expected value", line: 2, column: 8159))"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(parse_trace_json(c.text)), c.detail);
    for (std::size_t piece : {16, 17, 100, 8192}) {
      std::size_t at = 0;
      ParseResult r = parse_trace_json(
          [&](char* buffer, std::size_t size, std::size_t& got) {
            got = std::min(size, c.text.size() - at);
            std::memcpy(buffer, c.text.data() + at, got);
            at += got;
            return Status{};
          },
          piece);
      EXPECT_EQ(outcome(r), c.detail) << "pieces of " << piece;
    }
  }
}

TEST(ReadTrace, ChunkedFormAgreesAtEverySplitPoint) {
  std::vector<std::string> texts = {
      export_with_tag_value(R"({"b":"x\"y\u00e9\ud83d\ude00","a":[1,-2,3.25,-0,true,false,null,1e-7]})"),
      export_with_span(span_with(R"(,"skip":{"x":[1,{"y":"long string value"}]})")),
      R"({"data":[],"total":0,"limit":0,"offset":0}  x)",
      R"({"data":[{"traceID":"abc)",
      R"({"data":[], "total":true})",
      R"({"data":[], "total":3000000000})",
      R"({"data":[{"traceID":"a","traceID":"b"}]})",
      "{\"data\":[1,]}",
      "{\"data\":nul}",
      "{\"d\\ud800x\":1}",
      "[[],0,0]",
      export_with_tag_value("\"caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80\""),
      export_with_tag_value("\"caf\xc3\xa9 \xe2\x9c\"") + " ",
      export_with_tag_value("\"\xed\xa0\x80\""),
      "{\"x\":\"\xf0\x9f\x98",
      "[\"\\uD888\\u1234\"]",
      "[\"\\udc00\"]",
      "[\"\\uD888x\"]",
      "[\"\\uD888\\uD83D\\uDE00\"]",
      "[\"\\uD888",
      "[\"a\\\\uD888x\"]",
      "[1.",
      "[1e-",
      "{null:null,null:null}",
      "{\"a\" null}",
      "truex",
      "{\"data\":[],\"total\":falsex}",
      "{\"data\":[],\"x\":[0 1]}",
      "{\"data\":[],\"x\":[tnull]}",
      "{\"data\":[],\"x\":[fan",
      "[ fan se]",
  };
  for (const std::string& text : texts) {
    std::string expected = outcome(parse_trace_json(text));
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
      ASSERT_EQ(outcome(parse_in_pieces(text, {cut})), expected) << text << " cut at " << cut;
    }
    // Every byte a read of its own: no state may hide in a piece too short to show it.
    std::vector<std::size_t> every_byte;
    for (std::size_t cut = 1; cut < text.size(); ++cut) every_byte.push_back(cut);
    ASSERT_EQ(outcome(parse_in_pieces(text, every_byte)), expected) << text << " byte by byte";
  }
}

// The reader's fast paths load windows that reach past the bytes in hand,
// into the padding or into whatever text follows a view: what they see there
// must never count. Every prefix of these texts is read from a buffer where
// it is followed by zeros and from one where it is followed by what would
// complete it (the rest of the text, then quotes or digits).
TEST(ReadTrace, WhatLiesPastTheTextIsNeverTakenForIt) {
  const std::string plain15(15, 'a'), plain16(16, 'b'), plain63(63, 'c'), plain64(64, 'd');
  const std::vector<std::string> texts = {
      R"({"data":[{"traceID":")" + plain15 + R"(","spans":[{"traceID":")" + plain16 + R"(","spanID":")" + plain63 +
          R"(","operationName":")" + plain64 + R"(","startTime":1234567890123456,"duration":125}]}]})",
      R"({"data":[],"total":1234567890123456,"limit":-12.25,"offset":1e5})",
  };
  for (const std::string& text : texts) {
    for (const char filler : {'"', '7'}) {
      const std::string followed = text + std::string(simd::kPadding, filler);
      for (std::size_t n = 0; n <= text.size(); ++n) {
        const std::string zeros = outcome(parse_trace_json(simd::PaddedString(text.substr(0, n)).view()));
        const auto view = simd::PaddedView::of_buffer(std::string_view(followed).substr(0, n));
        ASSERT_EQ(outcome(parse_trace_json(view)), zeros) << "the first " << n << " bytes of " << text;
      }
    }
  }
  // Two of them, as written.
  const std::string string_cut = R"({"data":[{"traceID":"abc"}]})" + std::string(simd::kPadding, '"');
  EXPECT_EQ(outcome(parse_trace_json(simd::PaddedView::of_buffer(std::string_view(string_cut).substr(0, 24)))),
            R"(Error("EOF while parsing a string", line: 1, column: 24))");
  const std::string number_cut = R"({"data":[],"total":1234}      )" + std::string(simd::kPadding, ' ');
  EXPECT_EQ(outcome(parse_trace_json(simd::PaddedView::of_buffer(std::string_view(number_cut).substr(0, 21)))),
            R"(Error("EOF while parsing an object", line: 1, column: 21))");
}

// Wants no item: each is read through and checked, then passed over.
class NoneWanted final : public ItemSink {
 public:
  std::shared_ptr<ModelStore> new_store() override { return std::make_shared<ModelStore>(); }
  void receive(JaegerItem&&, std::shared_ptr<ModelStore>&&) override { ADD_FAILURE() << "an item was kept"; }
  bool wants(std::string_view) const override { return false; }
  void passed_over(std::string_view) override {}
};

// A read's fault, or "read".
std::string ending(const ParseResult& r) {
  if (auto* e = std::get_if<ReadError>(&r)) return e->detail();
  return "read";
}

// An item that nobody wants is only checked, by ways of its own: it must
// end as a kept one does, fault for fault, wherever the text is cut and
// whatever lies past the bytes in hand. Its numbers stand at the edges of
// the check that reads them in place (15 digits before and after the
// point, and one more), one of them with 32 bytes in hand where a stream
// stops after the window that the text before it asked for.
TEST(ReadTrace, AnItemPassedOverEndsAsAKeptOne) {
  const std::string tags =
      R"([{"key":"a","type":"22 bytes, so the value","value":-123456789012345.1234567890123456},)"
      R"({"key":"b","type":"float64","value":-123456789012345.123456789012345},)"
      R"({"key":"c","type":"int64","value":1234567890123456},{"key":"d","type":"x","value":0.5e-3},)"
      R"({"key":"e","type":"x","value":[0,-0,"\u00e9",{"f":true,"g":null}]}])";
  const std::vector<std::string> texts = {export_with_span(span_with("", "tags", tags)),
                                          export_with_tag_value("1e400"),
                                          export_with_tag_value("01"),
                                          export_with_tag_value("-"),
                                          export_with_tag_value("-1.}"),
                                          export_with_tag_value("1.e5")};
  NoneWanted none;
  for (const std::string& text : texts) {
    for (const bool straight : {true, false}) {
      const ReadInto keep{.store = nullptr, .items = nullptr, .selects = nullptr, .straight_path = straight};
      const ReadInto pass{.store = nullptr, .items = &none, .selects = &none, .straight_path = straight};
      for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        ASSERT_EQ(ending(parse_in_pieces(text, {cut}, pass)), ending(parse_in_pieces(text, {cut}, keep)))
            << text << " cut at " << cut << ", straight " << straight;
      }
      for (const char filler : {'"', '7', '}'}) {
        const std::string followed = text + std::string(simd::kPadding, filler);
        for (std::size_t n = 0; n <= text.size(); ++n) {
          const auto view = simd::PaddedView::of_buffer(std::string_view(followed).substr(0, n));
          ASSERT_EQ(ending(parse_trace_json(view, pass)), ending(parse_trace_json(view, keep)))
              << "the first " << n << " bytes of " << text << ", straight " << straight;
        }
      }
    }
  }
  EXPECT_EQ(ending(parse_trace_json(texts[0], {.store = nullptr, .items = &none, .selects = &none})), "read");
  EXPECT_EQ(ending(parse_trace_json(texts[1], {.store = nullptr, .items = &none, .selects = &none})),
            R"(Error("number out of range", line: 1, column: 182))");
}

// A fault in the bytes in hand is the one met, where the reader would look
// further ahead to take a faster way and reading further fails.
TEST(ReadTrace, AFaultInHandComesBeforeAFailedReadAhead) {
  const std::string text = R"({"data":[{"traceID":"abc"x)";
  bool first = true;
  ParseResult r = parse_trace_json([&](char* buffer, std::size_t, std::size_t& got) {
    got = 0;
    if (!std::exchange(first, false)) return Status{EIO};
    std::memcpy(buffer, text.data(), text.size());
    got = text.size();
    return Status{};
  });
  EXPECT_EQ(outcome(r), "Error(\"expected `,` or `}`\", line: 1, column: 26)");
}

TEST(ReadTrace, ChunkedFormAgreesOnRandomPieces) {
  std::mt19937 random(7);
  std::string text = testing::read_file(testing::source_dir() + "/examples/tracecompass_multiple_services.json");
  std::string expected = outcome(parse_trace_json(text));
  for (int round = 0; round < 200; ++round) {
    std::vector<std::size_t> cuts;
    std::size_t at = 0;
    while (true) {
      at += 1 + random() % 97;
      if (at >= text.size()) break;
      cuts.push_back(at);
    }
    ASSERT_EQ(outcome(parse_in_pieces(text, cuts)), expected);
  }
  // Damaged copies: every outcome, error positions included, must agree too.
  for (int round = 0; round < 300; ++round) {
    std::string damaged = text;
    damaged[random() % damaged.size()] = "{}[],:\"\\x1 \n"[random() % 12];
    std::string want = outcome(parse_trace_json(damaged));
    std::size_t cut = random() % damaged.size();
    ASSERT_EQ(outcome(parse_in_pieces(damaged, {cut})), want) << "cut at " << cut << " of\n" << damaged;
  }
}

}  // namespace
}  // namespace spansift
