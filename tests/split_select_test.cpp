// Splitting exports into single-item records, and choosing records by trace ID.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "raw/model_store.h"
#include "raw/split_export.h"
#include "utils/system.h"
#include "raw/write.h"
#include "test_util.h"

namespace spansift {
namespace {

// An export with one item per ID; each item carries one span named after its
// position so that items can be told apart after the split. The spans'
// traceID is "t".
JaegerTrace make_export(const std::vector<std::string>& ids) {
  std::vector<std::string> items;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    std::string span = testing::span_json({.operation = "op" + std::to_string(i)});
    items.push_back(testing::item_json(ids[i], span, "{}", R"(,"warnings":["w"])"));
  }
  return testing::parse_export(testing::export_json(items));
}

TEST(SplitExport, OneRecordPerItemInOrderWithExportFieldsDropped) {
  JaegerTrace export_trace = make_export({"a", "b", "a"});
  export_trace.total = 7;
  export_trace.limit = 8;
  export_trace.offset = 9;
  std::weak_ptr<const ModelStore> store = export_trace.store;
  const std::uint32_t first_spans = export_trace.data[0].spans.at;

  ::testing::internal::CaptureStdout();
  RunOutput output(posix_system());
  std::vector<JaegerTrace> records = split_export(std::move(export_trace), output);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  ASSERT_EQ(records.size(), 3u);
  const char* expected_ids[] = {"a", "b", "a"};
  for (std::size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    const JaegerTrace& r = records[i];
    const ModelStore& m = *r.store;
    ASSERT_EQ(r.data.size(), 1u);
    EXPECT_EQ(m.text(r.data[0].traceID), expected_ids[i]);
    ASSERT_EQ(r.data[0].spans.size, 1u);
    EXPECT_EQ(m.text(m.list(r.data[0].spans)[0].operationName), "op" + std::to_string(i));
    ASSERT_TRUE(r.data[0].warnings.present());
    EXPECT_EQ(m.text(m.list(r.data[0].warnings)[0]), "w");
    EXPECT_EQ(r.total, 0);
    EXPECT_EQ(r.limit, 0);
    EXPECT_EQ(r.offset, 0);
    EXPECT_FALSE(r.errors.has_value());
  }
  // Moved, not copied: the items still refer into the export's store, which
  // the records keep alive on their own.
  EXPECT_EQ(records[0].data[0].spans.at, first_spans);
  EXPECT_EQ(store.use_count(), 3);
  records.erase(records.begin(), records.begin() + 2);
  EXPECT_FALSE(store.expired());
  records.clear();
  EXPECT_TRUE(store.expired());
}

TEST(SplitExport, ErrorsLineOnlyForNonEmptyErrors) {
  struct Case {
    const char* name;
    std::vector<std::string> ids;
    std::optional<std::size_t> errors;
    const char* out;
  };
  const Case cases[] = {
      {"absent", {"a"}, std::nullopt, ""},
      {"empty list", {"a"}, 0, ""},
      {"two entries", {"a", "b"}, 2, "Discovered errors: [JaegerError, JaegerError]\n"},
      {"no items but errors", {}, 1, "Discovered errors: [JaegerError]\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    JaegerTrace export_trace = make_export(c.ids);
    if (c.errors) export_trace.errors = std::vector<JaegerError>(*c.errors);
    ::testing::internal::CaptureStdout();
    RunOutput output(posix_system());
    std::vector<JaegerTrace> records = split_export(std::move(export_trace), output);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(records.size(), c.ids.size());
  }
}

TEST(ParseTraceIds, SplitsOnCommaOnlyAndDropsEmptyPieces) {
  struct Case {
    std::string text;
    std::set<std::string> members;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a,b", {"a", "b"}},
      {",a,,b,", {"a", "b"}},
      {"a,a", {"a"}},
      {"a, b", {"a", " b"}},
      {",", {}},
      {",,,", {}},
      {"a;b c\t\n", {"a;b c\t\n"}},
      {"Abc,abc", {"Abc", "abc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("text: '" + c.text + "'");
    TraceSelection selection = parse_trace_ids(c.text);
    EXPECT_EQ(std::set<std::string>(selection.begin(), selection.end()), c.members);
  }
}

TEST(IsSelected, ExactBytesOfTheFirstItemsTraceId) {
  struct Case {
    const char* trace_ids;
    std::vector<std::string> record_ids;
    bool selected;
  };
  const Case cases[] = {
      {"", {"anything"}, true},
      {",", {"anything"}, true},
      {"abc", {"abc"}, true},
      {"abc", {"ABC"}, false},
      {"abc", {"ab"}, false},
      {"abc", {"abc "}, false},
      {"a, b", {"b"}, false},
      {"a, b", {" b"}, true},
      {"x,0123456789abcdef0123456789abcdef", {"0123456789abcdef0123456789abcdef"}, true},
      {"\xc3\xa9", {"\xc3\xa9"}, true},
      // Only the first item names the record.
      {"second", {"first", "second"}, false},
      {"first", {"first", "second"}, true},
      // The spans' traceID plays no part.
      {"t", {"item-id"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("selection '") + c.trace_ids + "', first id '" + c.record_ids[0] + "'");
    TraceSelection selection = parse_trace_ids(c.trace_ids);
    EXPECT_EQ(is_selected(selection, make_export(c.record_ids)), c.selected);
  }
}

}  // namespace
}  // namespace spansift
