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

using testing::ReadErrorRow;
using testing::read_error_rows;

// How a run on the export ends, as the table writes it: every item read is
// written, since no trace ID in the table is refused.
std::string ending(const ParseResult& result) {
  if (const auto* error = std::get_if<ReadError>(&result)) return "101: " + error->detail();
  return "ok: Written " + std::to_string(std::get<JaegerTrace>(result).data.size()) + " traces to folder Jaeger.";
}

ParseResult read_streamed(std::string_view bytes, std::size_t piece) {
  std::size_t at = 0;
  return parse_trace_json(
      [&](char* buffer, std::size_t capacity, std::size_t& got) {
        got = std::min({piece, capacity, bytes.size() - at});
        std::memcpy(buffer, bytes.data() + at, got);
        at += got;
        return Status{};
      },
      8192);
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
      continue;
    }
    EXPECT_EQ(ending(read_streamed(bytes, 8192)), row.expected);
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
    EXPECT_EQ(std::to_string(r.status) + ": " + last, row.expected.starts_with("ok: ") ? "0: " + row.expected.substr(4) : row.expected);
    std::filesystem::remove_all(dir / "Jaeger");
  }
}

}  // namespace
}  // namespace spansift
