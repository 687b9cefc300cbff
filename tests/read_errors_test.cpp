// The table of read faults (tests/data/read-errors.tsv, described in
// read-errors.md): exports with one fault or edge at each state of the
// grammar, and how a run on each must end. Every row is read in process in
// the stream form (also one byte per read, so every token straddles a
// refill) and, where its bytes are UTF-8, in the memory form; and it is run
// end to end through the binary.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "raw/json/json_read.h"
#include "test_util.h"
#include "utils/text.h"

namespace spansift {
namespace {

using testing::read_error_rows;
using testing::ReadErrorRow;

// How a run on the export ends, as the table writes it: every item read is
// written, since no trace ID in the table is refused.
std::string ending(const ParseResult& result) {
  if (const auto* error = std::get_if<ReadError>(&result)) return "101: " + error->detail();
  return "ok: Written " + std::to_string(std::get<JaegerTrace>(result).data.size()) + " traces to folder Jaeger.";
}

ParseResult read_streamed(std::string_view bytes, std::size_t piece, ReadInto into = {}) {
  std::size_t at = 0;
  return parse_trace_json(
      [&](char* buffer, std::size_t capacity, std::size_t& got) {
        got = std::min({piece, capacity, bytes.size() - at});
        std::memcpy(buffer, bytes.data() + at, got);
        at += got;
        return Status{};
      },
      8192, std::move(into));
}

// Wants no item, as a run whose trace IDs name none of them: every item is
// still read whole and checked, so a run ends as it would with all of them.
class PassOverAll final : public ItemSink {
 public:
  std::shared_ptr<ModelStore> new_store() override { return std::make_shared<ModelStore>(); }
  void receive(JaegerItem&&, std::shared_ptr<ModelStore>&&) override { ++received; }
  bool wants(std::string_view) const override { return false; }
  void passed_over(std::string_view) override { ++passed; }
  std::size_t received = 0;
  std::size_t passed = 0;
};

// ending(), for the export read by `read` into a sink that passes over all.
template <class Read>
std::string ending_passing_over(Read read) {
  PassOverAll sink;
  ReadInto into;
  into.items = &sink;
  into.selects = &sink;
  const ParseResult result = read(std::move(into));
  if (const auto* error = std::get_if<ReadError>(&result)) return "101: " + error->detail();
  if (sink.received != 0) return "an item not wanted was received";
  return "ok: Written " + std::to_string(sink.passed) + " traces to folder Jaeger.";
}

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

TEST(ReadErrorTable, EveryRowEndsAsWrittenInBothForms) {
  ASSERT_EQ(read_error_rows().size(), 853u + 31u);  // the shared table, then this project's own rows
  for (const ReadErrorRow& row : read_error_rows()) {
    SCOPED_TRACE(row.name);
    std::string_view bytes = row.bytes;
    if (bytes.starts_with(kUtf8Mark)) {
      // A marked file is read whole, without its mark.
      EXPECT_EQ(ending(parse_trace_json(bytes.substr(kUtf8Mark.size()))), row.expected);
      EXPECT_EQ(ending_passing_over(
                    [&](ReadInto into) { return parse_trace_json(bytes.substr(kUtf8Mark.size()), std::move(into)); }),
                row.expected)
          << "every item passed over";
      continue;
    }
    EXPECT_EQ(ending(read_streamed(bytes, 8192)), row.expected);
    EXPECT_EQ(ending_passing_over([&](ReadInto into) { return read_streamed(bytes, 8192, std::move(into)); }),
              row.expected)
        << "every item passed over";
    EXPECT_EQ(ending(read_streamed(bytes, 1)), row.expected) << "one byte per read";
    if (is_valid_utf8(bytes)) {
      EXPECT_EQ(ending(parse_trace_json(bytes)), row.expected) << "from memory";
    }
  }
}

TEST(ReadErrorTable, RunsEndAsWritten) {
  testing::TempDir dir;
  const std::string path = dir / "e.json";
  for (const ReadErrorRow& row : read_error_rows()) {
    SCOPED_TRACE(row.name);
    testing::write_file(path, row.bytes);
    testing::RunResult r = testing::run_spansift({path});
    const std::string& stream = r.status == 0 ? r.out : r.err;
    std::size_t start = stream.rfind('\n', stream.size() - 2);
    std::string last = stream.substr(start == std::string::npos ? 0 : start + 1);
    if (!last.empty()) last.pop_back();
    EXPECT_EQ(std::to_string(r.status) + ": " + last,
              row.expected.starts_with("ok: ") ? "0: " + row.expected.substr(4) : row.expected);
    std::filesystem::remove_all(dir / "Jaeger");
  }
}

}  // namespace
}  // namespace spansift
