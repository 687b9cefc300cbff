// Items read ahead on other threads end a read exactly as reading in turn:
// the table of read faults through the split reader, the scan's guesses at
// the edges of its blocks, and a folder whose third export is bad.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <variant>
#include <vector>

#include "raw/json/item_scan.h"
#include "raw/json/json_builder.h"
#include "raw/json/json_read.h"
#include "raw/json/read_ahead.h"
#include "raw/read_trace_file.h"
#include "raw/split_export.h"
#include "test_util.h"
#include "utils/report.h"
#include "utils/system.h"
#include "utils/text.h"
#include "utils/workers.h"

namespace spansift {
namespace {

// Counts the items it is given, and the stores made off the thread that made
// it (the reader's): those for items read ahead.
class CountItems final : public ItemSink {
 public:
  std::shared_ptr<ModelStore> new_store() override {
    if (std::this_thread::get_id() != reader_) ++stores_ahead;
    return pool_->get();
  }
  void receive(JaegerItem&&, std::shared_ptr<ModelStore>&&) override { ++count; }
  bool wants(std::string_view) const override { return !wants_none; }
  void passed_over(std::string_view) override { ++count; }
  std::size_t count = 0;
  std::atomic<int> stores_ahead{0};
  bool wants_none = false;  // so that every item is passed over

 private:
  const std::thread::id reader_ = std::this_thread::get_id();
  std::shared_ptr<StorePool> pool_ = std::make_shared<StorePool>();
};

// Reads `bytes`, which must outlive it, as a file would give them.
ReadSome reading(std::string_view bytes) {
  return [bytes, at = std::size_t{0}](char* buffer, std::size_t capacity, std::size_t& got) mutable {
    got = std::min(capacity, bytes.size() - at);
    std::memcpy(buffer, bytes.data() + at, got);
    at += got;
    return Status{};
  };
}

// How the table writes a run's end; every item read is written, or passed
// over when `pass_over`, which must end the run alike.
std::string ending(std::string_view bytes, Workers& workers, bool stream, bool pass_over) {
  CountItems items;
  items.wants_none = pass_over;
  ReadInto into;
  into.items = &items;
  if (pass_over) into.selects = &items;
  ReadAhead ahead(workers, items, into.selects,
                  {.block = 7, .batch = 1, .window = 16, .largest = 1 << 20, .smallest = 0});
  ParseResult result =
      stream ? parse_trace_json(reading(bytes), 5, std::move(into), &ahead)
             : parse_trace_json(std::make_shared<const simd::PaddedString>(bytes), 0, std::move(into), ahead);
  if (const auto* error = std::get_if<ReadError>(&result)) return "101: " + error->detail();
  return "ok: Written " + std::to_string(items.count) + " traces to folder Jaeger.";
}

TEST(ReadAhead, EveryRowOfTheFaultTableEndsAsWritten) {
  Workers workers(3, Workers::Ahead::kAlways);
  constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
  for (const testing::ReadErrorRow& row : testing::read_error_rows()) {
    SCOPED_TRACE(row.name);
    std::string_view bytes = row.bytes;
    if (bytes.starts_with(kUtf8Mark)) bytes.remove_prefix(kUtf8Mark.size());
    for (bool pass_over : {false, true}) {
      if (!row.bytes.starts_with(kUtf8Mark)) {
        EXPECT_EQ(ending(bytes, workers, true, pass_over), row.expected) << "stream, passing over " << pass_over;
      }
      if (is_valid_utf8(bytes)) {
        EXPECT_EQ(ending(bytes, workers, false, pass_over), row.expected) << "memory, passing over " << pass_over;
      }
    }
  }
}

// Renders the items whose trace ID ends in an even digit, and lists the
// others as passed over. When `selecting`, it wants only those it renders,
// so that the others are read without being kept: the text must come out
// the same either way.
class EvenItems final : public ItemSink {
 public:
  explicit EvenItems(bool selecting) : selecting_(selecting) {}
  std::shared_ptr<ModelStore> new_store() override { return std::make_shared<ModelStore>(); }
  void receive(JaegerItem&& item, std::shared_ptr<ModelStore>&& store) override {
    const std::string id(store->text(item.traceID));
    if (!even(id)) return passed_over(id);
    text += testing::pretty_json(single_item_record(std::move(item), std::move(store)));
  }
  bool wants(std::string_view id) const override { return !selecting_ || even(id); }
  void passed_over(std::string_view id) override { (text += "passed over ") += id; }
  std::string text;

 private:
  static bool even(std::string_view id) { return (id.back() - '0') % 2 == 0; }
  const bool selecting_;
};

// Items wanted and not, one after another, read by the reader in turn or
// ahead of it, in either form: those wanted come out as when all are. (The
// fault table, every item passed over, shows that faults end alike.)
TEST(ReadAhead, ItemsNotWantedAreCheckedButNotKeptByWhoeverReadsThem) {
  Workers workers(2, Workers::Ahead::kAlways);
  const std::string rich =
      testing::span_json({.operation = R"(caf\u00e9 \"q\")",
                          .tag_value = R"("a longer value, well past sixteen bytes")",
                          .logs = R"([{"timestamp":5,"fields":[{"key":"e","type":"float64","value":1.5}]}])",
                          .extra = R"(,"warnings":["w1","w2"])"});
  // Keys out of order hand a record over to the frame loop, which hands
  // what it holds back to a straight path: in an item, a span, a tag.
  const std::string reordered =
      R"({"spanID":"s","traceID":"t","flags":1,"operationName":"op","references":[],"startTime":5,"duration":7,)"
      R"("tags":[{"type":"string","key":"k","value":{"b":[1,2.5,"x",{"c":-0}],"a":null}}],"logs":[],"processID":"p"})";
  const std::string processes = R"({"p":{"serviceName":"s"}})";
  std::vector<std::string> items;
  for (int i = 0; i < 9; ++i) {
    const std::string id = "t" + std::to_string(i);
    if (i % 3 == 0) items.push_back(testing::item_json(id, rich + "," + rich, processes));
    if (i % 3 == 1) items.push_back(testing::item_json(id, reordered + "," + rich, processes));
    if (i % 3 == 2)
      items.push_back(R"({"spans":[)" + rich + R"(],"traceID":")" + id + R"(","processes":)" + processes + "}");
  }
  const std::string whole = testing::export_json(items);
  auto read = [&](const std::string& text, bool selecting, Workers* pool, bool stream) {
    EvenItems sink(selecting);
    ReadInto into;
    into.items = &sink;
    if (selecting) into.selects = &sink;
    std::optional<ReadAhead> ahead;
    if (pool != nullptr) {
      ahead.emplace(*pool, sink, into.selects, ReadAheadSizes{.block = 64, .batch = 100, .window = 2000});
    }
    ParseResult result =
        stream  ? parse_trace_json(reading(text), 64, std::move(into), ahead ? &*ahead : nullptr)
        : ahead ? parse_trace_json(std::make_shared<const simd::PaddedString>(text), 0, std::move(into), *ahead)
                : parse_trace_json(text, std::move(into));
    const auto* error = std::get_if<ReadError>(&result);
    return std::pair(sink.text, error != nullptr ? error->detail() : "no fault");
  };
  const std::string expected = read(whole, false, nullptr, true).first;
  ASSERT_NE(expected.find("passed over t7"), std::string::npos);
  ASSERT_NE(expected.find(R"("c": -0)"), std::string::npos);
  for (Workers* pool : {static_cast<Workers*>(nullptr), &workers}) {
    for (bool stream : {true, false}) {
      SCOPED_TRACE(std::string(pool != nullptr ? "read ahead, " : "in turn, ") + (stream ? "stream" : "memory"));
      EXPECT_EQ(read(whole, true, pool, stream), std::pair(expected, std::string("no fault")));
    }
  }
}

// One reader of items, one item after another, as a worker reads a batch:
// each reads as when read alone, whatever the one before left (a fault deep
// inside, a record handed to the frame loop, an item passed over).
TEST(ItemReader, EachItemReadsAsWhenReadAlone) {
  const std::string rich = testing::span_json({.operation = R"(caf\u00e9)",
                                               .tag_value = R"({"b":[1,2.5],"a":"a value past sixteen bytes"})",
                                               .extra = R"(,"warnings":["w"])"});
  const std::vector<std::string> texts = {
      testing::item_json("t0", rich),
      R"({"traceID":"t3","spans":[{"traceID":"t","spanID":"s","tags":[{"key":"k","value":[[{"a":[)",
      R"({"spans":[)" + rich + R"(],"traceID":"t4","processes":{}})",
      testing::item_json("t5", rich + "," + rich),
      testing::item_json("t6", rich + R"(,{"traceID":"t","spanID":1})"),
      testing::item_json("t7", rich) + " x",
      testing::item_json("t8", rich + "," + rich),
  };
  EvenItems selects(true);
  auto render = [](ItemRead read, const std::shared_ptr<ModelStore>& store) {
    if (!read.ok) return std::string("fault");
    if (!read.kept) return std::string("passed over");
    return testing::pretty_json(single_item_record(std::move(read.item), store));
  };
  const auto store = std::make_shared<ModelStore>();
  ItemReader reader(store, &selects);
  std::vector<std::string> endings;
  for (const std::string& text : texts) {
    const simd::PaddedString padded(text);
    const auto alone = std::make_shared<ModelStore>();
    const std::string expected = render(read_item(padded.view(), alone, &selects), alone);
    EXPECT_EQ(render(reader.read(padded.view()), store), expected) << text;
    endings.push_back(expected.starts_with("{") ? "rendered" : expected);
  }
  EXPECT_EQ(endings,
            (std::vector<std::string>{"rendered", "fault", "rendered", "passed over", "fault", "fault", "rendered"}));
}

// A read that fails once it comes to byte `fail_at`, wherever blocks and
// pieces fall, ends the read where reading in turn meets it, even where the
// same read would succeed if it were made again.
TEST(ReadAhead, AFailedReadEndsAsReadingInTurn) {
  Workers workers(2, Workers::Ahead::kAlways);
  std::vector<std::string> items;
  for (int i = 0; i < 40; ++i) items.push_back(testing::item_json("t" + std::to_string(i)));
  const std::string text = testing::export_json(items);
  for (std::size_t fail_at = 0; fail_at <= text.size(); fail_at += 97) {
    SCOPED_TRACE(fail_at);
    auto run = [&](Workers* pool) {
      CountItems counted;
      ReadInto into;
      into.items = &counted;
      std::optional<ReadAhead> ahead;
      if (pool != nullptr)
        ahead.emplace(*pool, counted, nullptr, ReadAheadSizes{.block = 300, .batch = 500, .window = 400});
      std::size_t at = 0;
      bool failed = false;
      auto read_some = [&](char* buffer, std::size_t capacity, std::size_t& got) {
        got = 0;
        if (at == fail_at && !failed) {
          failed = true;
          return Status{EIO};
        }
        got = std::min({capacity, text.size() - at, at < fail_at ? fail_at - at : text.size()});
        std::memcpy(buffer, text.data() + at, got);
        at += got;
        return Status{};
      };
      ParseResult result = parse_trace_json(read_some, 64, std::move(into), ahead ? &*ahead : nullptr);
      const auto* error = std::get_if<ReadError>(&result);
      return std::to_string(counted.count) + " items, " + (error != nullptr ? error->detail() : "no fault");
    };
    EXPECT_EQ(run(&workers), run(nullptr));
  }
}

// Items of 100 bytes cost the reader about as much to take as to read, however
// many a batch holds: none is read ahead, and no store is made for one.
TEST(ReadAhead, SmallItemsAreReadInTurnWhateverABatchHolds) {
  // Each batch handed over is done by a worker, never cancelled: any batch
  // posted makes a store.
  Workers workers(2, Workers::Ahead::kLate);
  std::vector<std::string> items;
  for (int i = 0; i < 2000; ++i) {
    items.push_back(testing::item_json(std::string(56, 't') + std::to_string(1000 + i), ""));
  }
  ASSERT_EQ(items[0].size(), 100u);
  const std::string text = testing::export_json(items);
  CountItems counted;
  ReadInto into;
  into.items = &counted;
  ReadAhead ahead(workers, counted, nullptr, ReadAheadSizes{});
  ParseResult result = parse_trace_json(std::make_shared<const simd::PaddedString>(text), 0, std::move(into), ahead);
  ASSERT_TRUE(std::holds_alternative<JaegerTrace>(result));
  EXPECT_EQ(counted.count, items.size());
  EXPECT_EQ(counted.stores_ahead, 0);
}

// The stream form takes from the file no more than the window ahead of the
// reader, for each worker and the reader, and the blocks that bring in whole
// the item open at its edge; a large `largest` only lets a large item through.
TEST(ReadAhead, TextTakenAheadOfTheReaderStaysWithinTheWindowWhateverTheLargestItem) {
  Workers workers(2, Workers::Ahead::kAlways);
  std::vector<std::string> items;
  for (int i = 0; i < 200; ++i) items.push_back(testing::item_json("t" + std::to_string(1000 + i)));
  const std::string text = testing::export_json(items);
  std::vector<std::size_t> begins;
  for (const std::string& item : items) begins.push_back(text.find(item, begins.empty() ? 0 : begins.back()));
  for (std::size_t largest : {std::size_t{4} << 10, std::size_t{1} << 30}) {
    SCOPED_TRACE(largest);
    const ReadAheadSizes sizes{.block = 1024, .batch = 2048, .window = 4096, .largest = largest, .smallest = 0};
    CountItems counted;
    ReadInto into;
    into.items = &counted;
    ReadAhead ahead(workers, counted, nullptr, sizes);
    std::size_t at = 0;
    std::size_t most_ahead = 0;
    auto read_some = [&](char* buffer, std::size_t capacity, std::size_t& got) {
      got = std::min(capacity, text.size() - at);
      std::memcpy(buffer, text.data() + at, got);
      at += got;
      // The reader is at least at the start of the item it reads or asks for.
      const std::size_t reader = counted.count < begins.size() ? begins[counted.count] : text.size();
      most_ahead = std::max(most_ahead, at - std::min(at, reader));
      return Status{};
    };
    ParseResult result = parse_trace_json(read_some, 64, std::move(into), &ahead);
    ASSERT_TRUE(std::holds_alternative<JaegerTrace>(result));
    EXPECT_EQ(counted.count, items.size());
    EXPECT_LE(most_ahead, (workers.threads() + 1) * sizes.window + 2 * sizes.block);
  }
}

// The spans that the scan finds in `text` fed to it `piece` bytes at a time.
std::vector<std::string> spans_of(const std::string& text, std::size_t piece) {
  ItemScanner scanner;
  std::vector<ItemSpan> spans;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    scanner.scan(text.data() + at, std::min(piece, text.size() - at), spans);
  }
  std::vector<std::string> found;
  for (const ItemSpan& span : spans) found.push_back(text.substr(span.begin, span.end - span.begin));
  return found;
}

TEST(ItemScanner, FindsObjectsTwoLevelsDownWhateverTheBlocksAndStrings) {
  // A backslash as the last byte of a block of 64 escapes the quote after it.
  const std::string escaped_at_63 = R"({"data":[{"k":")" + std::string(48, 'a') + R"(\"]"},{"n":[]}]})";
  ASSERT_EQ(escaped_at_63[63], '\\');
  struct Case {
    std::string text;
    std::vector<std::string> spans;
  };
  std::vector<Case> cases = {
      {R"({"data":[{"a":"]}"},{"b":[1,{"c":2}]}],"x":[{"n":1},[{"m":2}]]})",
       {R"({"a":"]}"})", R"({"b":[1,{"c":2}]})", R"({"n":1})"}},
      {R"([[{"a":"\\"},{"b":"\"{"}]])", {R"({"a":"\\"})", R"({"b":"\"{"})"}},
      {escaped_at_63, {R"({"k":")" + std::string(48, 'a') + R"(\"]"})", R"({"n":[]})"}},
      {R"({"data":[{"open":[)", {}},
      {R"(]]]{"data":[{}]})", {"{}"}},
  };
  // Whole blocks deep inside an item, which only move the depth, with
  // brackets opened and closed in each.
  std::string deep = R"({"d":[[[[[[)";
  for (int i = 0; i < 20; ++i) deep += R"("a string that fills most of a block",[0],)";
  deep += R"([]]]]]]]})";
  cases.push_back({R"({"data":[)" + deep + R"(,{"n":{}}]})", {deep, R"({"n":{}})"}});
  // A backslash at every place of two blocks, escaping a quote that brackets
  // follow in the string, or escaped itself before the closing quote; whole
  // blocks after it, so that none past it is read byte by byte.
  for (std::size_t pad = 0; pad < 130; ++pad) {
    for (const char* end : {R"(\"}]"})", R"(\\"})"}) {
      const std::string item = R"({"s":")" + std::string(pad, 'x') + end;
      cases.push_back(
          {R"({"data":[)" + item + R"(,{"n":1}],"tail":")" + std::string(200, 'y') + R"("})", {item, R"({"n":1})"}});
    }
  }
  for (const auto& c : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{65}, c.text.size()}) {
      EXPECT_EQ(spans_of(c.text, piece), c.spans) << c.text << " in pieces of " << piece;
    }
  }
}

// Four exports of many items, read in listing order, with a file passed over
// among them; the third has a fault deep inside. Run on every processor and on one (reading in turn), a run
// prints and ends the same, and nothing of the fourth export is shown.
TEST(ReadAhead, FolderWhoseThirdExportIsBadEndsAsReadingInTurn) {
  testing::TempDir dir;
  std::vector<std::string> items;
  for (int i = 0; i < 600; ++i) items.push_back(testing::item_json("t" + std::to_string(i)));
  const std::string good = testing::export_json(items, R"("total":0,"limit":0,"offset":0,"errors":[{}])");
  std::string bad = good;
  bad.replace(bad.find(R"("t450")"), 6, R"("t450" "t")");
  std::vector<std::string> names;
  testing::write_file(dir / "b.txt", "not an export");
  for (const char* name : {"a.json", "b.json", "c.json", "d.json"}) {
    testing::write_file(dir / name, std::string(name) == "c.json" ? bad : good);
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) names.push_back(entry.path().filename());
  const std::size_t third = static_cast<std::size_t>(std::find(names.begin(), names.end(), "c.json") - names.begin());

  testing::RunResult split = testing::run_spansift({dir.path()});
  testing::RunOptions one_processor;
  one_processor.in_child = [] {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(sched_getcpu(), &cpus);
    sched_setaffinity(0, sizeof cpus, &cpus);
  };
  testing::RunResult in_turn = testing::run_spansift({dir.path()}, one_processor);
  EXPECT_EQ(split.status, 101);
  EXPECT_EQ(split.err,
            "Error(\"expected `,` or `}`\", line: 1, column: " + std::to_string(bad.find(R"( "t")") + 2) + ")\n");
  EXPECT_EQ(split.out, in_turn.out);
  EXPECT_EQ(split.err, in_turn.err);
  EXPECT_EQ(split.status, in_turn.status);
  // Each export read announces itself; the fourth in listing order comes after the fault.
  std::string announced;
  for (std::size_t i = 0; i <= std::min<std::size_t>(third, names.size() - 1); ++i) {
    if (names[i].ends_with(".json")) announced += "Reading a Jaeger-trace from '" + (dir / names[i]) + "'\n";
  }
  std::string shown;
  for (std::size_t at = 0; (at = split.out.find("Reading a Jaeger-trace", at)) != std::string::npos; ++at) {
    shown += split.out.substr(at, split.out.find('\n', at) + 1 - at);
  }
  EXPECT_EQ(shown, announced);
  EXPECT_FALSE(std::filesystem::exists(dir / "Jaeger"));
}

// An export with a mark is read whole into memory, and its items ahead from
// that text. On a pool that does each batch only once the reader waits for
// it, the batches past the reader's end are done after the reader has
// returned: the text must still be there (under AddressSanitizer, a read of
// it freed fails the test). A fault in the 150th of 400 items, and a valid
// export whose "data" is followed by 400 more items under an unknown key.
TEST(ReadAhead, AMarkedExportOutlivesTheReaderWhateverTheTiming) {
  std::vector<std::string> items;
  std::string spans = testing::span_json();
  for (int i = 0; i < 11; ++i) spans += "," + testing::span_json();
  for (int i = 0; i < 400; ++i) items.push_back(testing::item_json("t" + std::to_string(i), spans));
  std::string fault = testing::export_json(items);
  fault.replace(fault.find(R"("flags":1)", fault.find(R"("t150")")), 9, R"("flags":1.5)");
  std::string more = R"("total":0,"limit":0,"offset":0,"more":[)" + items[0];
  for (std::size_t i = 1; i < items.size(); ++i) more += "," + items[i];
  const std::string valid = testing::export_json(items, more + "]");

  auto utf16le = [](const std::string& ascii) {
    std::string out = "\xFF\xFE";
    for (char c : ascii) out += {c, '\0'};
    return out;
  };
  Workers late(2, Workers::Ahead::kLate);
  testing::TempDir dir;
  for (const auto& [name, bytes] :
       std::vector<std::pair<std::string, std::string>>{{"fault-utf8", "\xEF\xBB\xBF" + fault},
                                                        {"fault-utf16", utf16le(fault)},
                                                        {"valid-utf8", "\xEF\xBB\xBF" + valid},
                                                        {"valid-utf16", utf16le(valid)}}) {
    SCOPED_TRACE(name);
    testing::write_file(dir / name, bytes);
    auto read = [&](Workers* workers) {
      CountItems counted;
      ReadInto into;
      into.items = &counted;
      CapturedOutput output;
      auto result = read_trace_file(dir / name, std::move(into), posix_system(), output, workers);
      const auto* error = std::get_if<TraceFileError>(&result);
      return std::to_string(counted.count) + " items, " + (error != nullptr ? error->detail() : "no fault");
    };
    const std::string in_turn = read(nullptr);
    EXPECT_EQ(in_turn.substr(0, in_turn.find(" at line")),
              name.starts_with("fault")
                  ? "150 items, Error(\"invalid type: floating point `1.5`, expected i32\", line: 1, column: 326966)"
                  : "400 items, no fault");
    EXPECT_EQ(read(&late), in_turn);
  }
}

}  // namespace
}  // namespace spansift
