// The run's store: texts are interned across the exports of a run, through
// a cache of recent texts that forgets. What comes out must not depend on
// what was interned before, nor on what the cache forgot.
#include <gtest/gtest.h>

#include <memory>
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

std::string rendered(std::string_view json, std::shared_ptr<ModelStore> store) {
  ParseResult result = parse_trace_json(json, ReadInto{std::move(store)});
  if (const auto* error = std::get_if<ReadError>(&result)) return error->detail();
  return testing::pretty_json(std::get<JaegerTrace>(result));
}

// The same texts, written plainly in one export and through escapes in the
// other, in either order into one store: each export renders as it does
// alone, its texts escaped where they need it.
TEST(ModelStore, TextsSharedAcrossExportsWhateverTheirEscapes) {
  const std::string plain =
      export_json({item_json("caf\xC3\xA9", span_json({.operation = "a/b", .tag_value = R"("x")"}))});
  const std::string escaped =
      export_json({item_json(R"(caf\u00e9)", span_json({.operation = R"(a\/b)", .tag_value = R"("x\"\u0001")"}))});
  const std::string plain_alone = rendered(plain, nullptr);
  const std::string escaped_alone = rendered(escaped, nullptr);
  EXPECT_NE(escaped_alone.find(R"("value": "x\"\u0001")"), std::string::npos) << escaped_alone;
  EXPECT_NE(escaped_alone.find("\"traceID\": \"caf\xC3\xA9\""), std::string::npos) << escaped_alone;

  auto store = std::make_shared<ModelStore>();
  EXPECT_EQ(rendered(plain, store), plain_alone);
  EXPECT_EQ(rendered(escaped, store), escaped_alone);
  store = std::make_shared<ModelStore>();
  EXPECT_EQ(rendered(escaped, store), escaped_alone);
  EXPECT_EQ(rendered(plain, store), plain_alone);
}

// A key repeated after more distinct texts than the cache holds may be held
// twice: the object must still keep it once, with its last value.
TEST(ModelStore, RepeatedKeyAfterTheCacheForgotItIsStillOneKey) {
  std::string object = R"({"k":1)";
  for (int i = 0; i < 20000; ++i) object += ",\"n" + std::to_string(i) + "\":0";
  object += R"(,"k":2})";
  std::string text = rendered(export_json({item_json("t", span_json({.tag_value = object}))}), nullptr);
  EXPECT_EQ(text.find("\"k\": "), text.rfind("\"k\": "));
  EXPECT_NE(text.find("\"k\": 2,\n"), std::string::npos);
}

// The cache hashes only the length and the first and last 16 bytes: texts
// that agree there and differ in the middle are two texts. So are two whose
// hashes are the same, read as the names of two spans.
TEST(ModelStore, TextsAlikeWhereTheCacheHashesStayTwo) {
  ModelStore store;
  const std::string a(40, 'a');
  std::string b = a;
  b[20] = 'b';
  const Text ta = store.intern<simd::Native>(a, false);
  const Text tb = store.intern<simd::Native>(b, false);
  EXPECT_NE(ta.at, tb.at);
  EXPECT_EQ(store.text(ta), a);
  EXPECT_EQ(store.text(tb), b);

  // Pairs that share the whole hash, short enough for the reader's own
  // look-ups (of up to 15 bytes, and of up to 64): should the hash change,
  // others are needed for this to test anything. Past 16 bytes, blocks of
  // eight are folded into one, so swapping them keeps the hash.
  const std::pair<std::string, std::string> pairs[] = {
      {"003SJ0GV2OCM", "lBa00j006Dah"},
      {"op-00000abcdefghABCDEFGH", "op-00000ABCDEFGHabcdefgh"},
  };
  for (const auto& [first, second] : pairs) {
    ASSERT_EQ(ModelStore::cache_hash(first), ModelStore::cache_hash(second)) << first;
    const std::string text = rendered(
        export_json({item_json("t", span_json({.operation = first}) + "," + span_json({.operation = second}))}),
        nullptr);
    EXPECT_NE(text.find("\"operationName\": \"" + first + "\","), std::string::npos) << text;
    EXPECT_NE(text.find("\"operationName\": \"" + second + "\","), std::string::npos) << text;
  }
}

// A copy marked plain is not lent to the same bytes when they may need
// escaping; bytes that need none still share it.
TEST(ModelStore, CacheHonoursTheEscapingMark) {
  ModelStore store;
  const Text promised = store.intern<simd::Native>("say \"hi\"", false);  // a broken promise, marked plain unchecked
  EXPECT_TRUE(store.plain(promised));
  const Text decoded = store.intern<simd::Native>("say \"hi\"", true);
  EXPECT_FALSE(store.plain(decoded));
  EXPECT_EQ(store.text(decoded), "say \"hi\"");

  const Text plain = store.intern<simd::Native>("abc", false);
  EXPECT_EQ(store.intern<simd::Native>("abc", true).at, plain.at);
  EXPECT_TRUE(store.plain_within(plain, 3));
  EXPECT_FALSE(store.plain_within(plain, 2));
  EXPECT_FALSE(store.plain_within(decoded, 64));
}

// A cleared store, taken again from the pool, forgets the texts it held:
// a text found in the cache would point at words that are then written over.
TEST(ModelStore, ClearedStoreForgetsItsTexts) {
  ModelStore store;
  store.intern<simd::Native>("abc", false);
  store.clear();
  const Text again = store.intern<simd::Native>("abc", false);
  const Text other = store.intern<simd::Native>("xyz", false);
  EXPECT_EQ(store.text(again), "abc");
  EXPECT_EQ(store.text(other), "xyz");
}

// Stores come back to the pool when their last holder lets go, and are
// handed out again empty.
TEST(StorePool, StoresComeBackEmpty) {
  auto pool = std::make_shared<StorePool>();
  const ModelStore* first = nullptr;
  {
    std::shared_ptr<ModelStore> store = pool->get();
    first = store.get();
    store->intern<simd::Native>("abc", false);
  }
  std::shared_ptr<ModelStore> again = pool->get();
  EXPECT_EQ(again.get(), first);
  EXPECT_EQ(again->text(again->intern<simd::Native>("xyz", false)), "xyz");
  EXPECT_NE(pool->get().get(), first);
}

}  // namespace
}  // namespace spansift
