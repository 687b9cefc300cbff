// Reading the input: read_trace_file in process (its report rows are only
// visible there), and whole runs of the binary for files and folders.
#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>
#include <vector>

#include "raw/model_store.h"
#include "raw/read_folder.h"
#include "raw/read_trace_file.h"
#include "test_util.h"
#include "utils/report.h"
#include "utils/system.h"
#include "utils/text.h"

namespace spansift {
namespace {

using testing::exists;
using testing::list_folder;
using testing::read_file;
using testing::RunOptions;
using testing::RunResult;
using testing::TempDir;
using testing::write_file;

using Rows = std::vector<std::vector<std::string>>;

const std::string kReplacement = "\xEF\xBF\xBD";
const std::string kSerde = "About to read trace via serde\n";
const std::string kPermissionDenied = R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })";
const std::string kEofError = R"(Error("EOF while parsing a value", line: 1, column: 0))";

// Text with characters of one, two, three and four bytes, so that decoding is exercised.
const std::string kMixed = "caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80";

// An export with one single-span trace per ID, the span's operation named `operation`.
std::string export_text(const std::vector<std::string>& ids, const std::string& operation = kMixed) {
  std::vector<std::string> items;
  items.reserve(ids.size());
  for (const std::string& id : ids)
    items.push_back(testing::item_json(id, testing::span_json({.operation = operation})));
  return testing::export_json(items, R"("total":0, "limit":0, "offset":0, "errors":null)") + "\n";
}

// Well-formed UTF-8 to UTF-16 in the given byte order.
std::string to_utf16(const std::string& utf8, bool little_endian) {
  std::string out;
  auto put = [&](unsigned unit) {
    char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
    out += little_endian ? lo : hi;
    out += little_endian ? hi : lo;
  };
  for (std::size_t i = 0; i < utf8.size();) {
    auto b = static_cast<unsigned char>(utf8[i]);
    int length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    unsigned cp = length == 1 ? b : b & (0x7F >> length);
    for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += static_cast<std::size_t>(length);
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

const std::string kBomUtf8 = "\xEF\xBB\xBF";
const std::string kBomLe = "\xFF\xFE";
const std::string kBomBe = "\xFE\xFF";

// What one call of read_trace_file showed and gave.
struct Outcome {
  std::string out;
  std::vector<std::string> row1, row4, row0;
  std::variant<JaegerTrace, TraceFileError> result;
};

std::vector<std::string> added(const Rows& before, const Rows& after, std::size_t row) {
  std::vector<std::string> messages = row < after.size() ? after[row] : std::vector<std::string>{};
  std::size_t old = row < before.size() ? before[row].size() : 0;
  messages.erase(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(old));
  return messages;
}

Outcome read_in_process(const std::string& path, System& system = posix_system()) {
  Rows before = report_snapshot();
  testing::CapturedStdout capture;
  RunOutput output(system);
  auto result = read_trace_file(path, {}, system, output, nullptr);
  std::string out = capture.text();
  Rows after = report_snapshot();
  return {out, added(before, after, kRowMalformed), added(before, after, kRowEncoding),
          added(before, after, kRowStdout), std::move(result)};
}

TEST(ReadTraceFile, EncodingsMarksAndShortFiles) {
  const std::string text = export_text({"t1", "t2"});
  std::string bad_in_string = export_text({"t1"}, "x\xFFy");
  const std::string be_odd = kBomBe + to_utf16(text, false) + "}";
  struct Case {
    const char* name;
    std::string bytes;
    std::string out;        // standard output
    std::string row4_tail;  // after "File {quoted path}: "
    bool malformed;         // the row-1 line is filed
    std::size_t items;      // items parsed; 0 when a read error is expected
    std::string error;      // start of the read error's detailed text
  };
  const std::vector<Case> cases = {
      {"plain", text, kSerde, "Failed to find encoding: No BOM", false, 2, ""},
      {"utf-8 mark", kBomUtf8 + text, "",
       "Found encoding Encoding { UTF-8 } for a file with size: " + std::to_string(text.size() + 3), false, 2, ""},
      {"utf-16le mark", kBomLe + to_utf16(text, true), "",
       "Found encoding Encoding { UTF-16LE } for a file with size: " + std::to_string(2 + to_utf16(text, true).size()),
       false, 2, ""},
      {"utf-16be mark", kBomBe + to_utf16(text, false), "",
       "Found encoding Encoding { UTF-16BE } for a file with size: " + std::to_string(2 + to_utf16(text, false).size()),
       false, 2, ""},
      {"utf-8 mark, bad byte in a string", kBomUtf8 + bad_in_string, "",
       "Found encoding Encoding { UTF-8 } for a file with size: " + std::to_string(bad_in_string.size() + 3), true, 1,
       ""},
      // The odd byte becomes U+FFFD after the document: not whitespace.
      {"utf-16be odd length", be_odd, "",
       "Found encoding Encoding { UTF-16BE } for a file with size: " + std::to_string(be_odd.size()), true, 0,
       R"(Error("trailing characters")"},
      // Only the encoding's own mark is dropped: the second one is text.
      {"two utf-16le marks", kBomLe + kBomLe + to_utf16(text, true), "",
       "Found encoding Encoding { UTF-16LE } for a file with size: " + std::to_string(4 + to_utf16(text, true).size()),
       false, 0, R"(Error("expected value", line: 1)"},
      {"empty", "", "Did read only 0 bytes. At least 3 needed\n" + kSerde, "Failed to find encoding: No BOM", false, 0,
       kEofError},
      {"ff fe only", kBomLe, "Did read only 2 bytes. At least 3 needed\n",
       "Found encoding Encoding { UTF-16LE } for a file with size: 2", false, 0, kEofError},
      // Two bytes of the UTF-8 mark are no mark.
      {"ef bb only", "\xEF\xBB", "Did read only 2 bytes. At least 3 needed\n" + kSerde,
       "Failed to find encoding: No BOM", false, 0, R"(Error(")"},
      {"one space", " ", "Did read only 1 bytes. At least 3 needed\n" + kSerde, "Failed to find encoding: No BOM",
       false, 0, R"(Error("EOF while parsing a value", line: 1, column: 1))"},
  };

  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir / "export.json";
    write_file(path, c.bytes);
    Outcome got = read_in_process(path);
    EXPECT_EQ(got.out, c.out);
    EXPECT_EQ(got.row4, std::vector<std::string>{"File \"" + path + "\"" + ": " + c.row4_tail});
    EXPECT_EQ(got.row1, c.malformed ? std::vector<std::string>{"File \"" + path + "\"" + " returned a signal Malformed"}
                                    : std::vector<std::string>{});
    EXPECT_TRUE(got.row0.empty());
    if (c.items > 0) {
      ASSERT_TRUE(std::holds_alternative<JaegerTrace>(got.result)) << std::get<TraceFileError>(got.result).detail();
      const JaegerTrace& trace = std::get<JaegerTrace>(got.result);
      ASSERT_EQ(trace.data.size(), c.items);
      const ModelStore& m = *trace.store;
      EXPECT_EQ(m.text(trace.data[0].traceID), "t1");
      std::string_view operation = m.text(m.list(trace.data[0].spans)[0].operationName);
      EXPECT_EQ(operation, c.malformed ? "x" + kReplacement + "y" : "caf\xC3\xA9 \xE2\x98\x95 \xF0\x9F\x98\x80");
    } else {
      ASSERT_TRUE(std::holds_alternative<TraceFileError>(got.result));
      std::string detail = std::get<TraceFileError>(got.result).detail();
      EXPECT_EQ(detail.substr(0, c.error.size()), c.error) << detail;
    }
  }
}

TEST(ReadTraceFile, FailedOpensAndReads) {
  TempDir dir;
  const std::string missing = dir / "missing.json";

  // The probe's open error is only shown; the second open's error is returned
  // and the parse line is never printed.
  Outcome got = read_in_process(missing);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.row4, std::vector<std::string>{"File \"" + missing + "\"" +
                                               ": Failed to find encoding: No such file or directory (os error 2)"});
  ASSERT_TRUE(std::holds_alternative<TraceFileError>(got.result));
  const TraceFileError& error = std::get<TraceFileError>(got.result);
  EXPECT_EQ(error.display(), "No such file or directory (os error 2)");
  EXPECT_EQ(error.detail(), R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })");

  // A folder opens, but it is not a regular file: it is never read.
  got = read_in_process(dir.path());
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.row4, std::vector<std::string>{"File \"" + dir.path() + "\"" +
                                               ": Failed to find encoding: Is a directory (os error 21)"});
  ASSERT_TRUE(std::holds_alternative<TraceFileError>(got.result));
  EXPECT_EQ(std::get<TraceFileError>(got.result).detail(),
            R"(Os { code: 21, kind: IsADirectory, message: "Is a directory" })");

  if (::geteuid() != 0) {
    const std::string locked = dir / "locked.json";
    write_file(locked, export_text({"t1"}));
    ::chmod(locked.c_str(), 0);
    got = read_in_process(locked);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.row4, std::vector<std::string>{"File \"" + locked + "\"" +
                                                 ": Failed to find encoding: Permission denied (os error 13)"});
    ASSERT_TRUE(std::holds_alternative<TraceFileError>(got.result));
    EXPECT_EQ(std::get<TraceFileError>(got.result).detail(), kPermissionDenied);
  }
}

// The size shown is the one of the file's status; what is parsed is what was read.
TEST(ReadTraceFile, MarkedFileThatShrinksAfterItsStatus) {
  testing::FaultySystem system;
  system.memory_files.push_back({"/in/x.json", 1000, kBomUtf8 + export_text({"t1"})});
  Outcome got = read_in_process("/in/x.json", system);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.row4, std::vector<std::string>{
                          R"(File "/in/x.json": Found encoding Encoding { UTF-8 } for a file with size: 1000)"});
  ASSERT_TRUE(std::holds_alternative<JaegerTrace>(got.result)) << std::get<TraceFileError>(got.result).detail();
  const JaegerTrace& trace = std::get<JaegerTrace>(got.result);
  ASSERT_EQ(trace.data.size(), 1u);
  EXPECT_EQ(trace.store->text(trace.data[0].traceID), "t1");
}

// The real whole read: what the file holds when it is read, whatever its size was when opened.
TEST(PosixSystem, ReadAllTakesWhatTheFileHoldsNow) {
  TempDir dir;
  const std::string path = dir / "x.json";
  for (const std::string now : {"abcdefghij", "ab"}) {
    write_file(path, "abcde");
    File file;
    ASSERT_TRUE(posix_system().open_input(path, file).ok());
    EXPECT_EQ(file.size(), 5);
    write_file(path, now);
    std::string bytes;
    EXPECT_TRUE(posix_system().read_all(file, bytes).ok());
    EXPECT_EQ(bytes, now);
  }
}

TEST(ReadTraceFile, QuotesInThePathAreEscapedInReportLines) {
  TempDir dir;
  const std::string path = dir / "it's \"x\".json";
  write_file(path, kBomUtf8 + "\xFF");
  Outcome got = read_in_process(path);
  const std::string shown = "\"" + dir.path() + "/it\\'s \\\"x\\\".json\"";
  EXPECT_EQ(got.row4,
            std::vector<std::string>{"File " + shown + ": Found encoding Encoding { UTF-8 } for a file with size: 4"});
  EXPECT_EQ(got.row1, std::vector<std::string>{"File " + shown + " returned a signal Malformed"});
}

// ---- Whole runs of the binary ----

RunOptions in_folder(const TempDir& dir) {
  RunOptions options;
  options.cwd = dir.path();
  return options;
}

// Entry names as the system lists them (the order the run sees).
std::vector<std::string> listing_order(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

std::string summary(std::size_t traces, int files, std::size_t written) {
  return "Read " + std::to_string(traces) + " traces in total from " + std::to_string(files) + " files.\n" +
         "Extracted " + std::to_string(traces) + " traces from " + std::to_string(files) + " files.\n" + "Written " +
         std::to_string(written) + " traces to folder Jaeger.\n";
}

std::string reading(const std::string& path) { return "Reading a Jaeger-trace from '" + path + "'\n"; }

TEST(ReadFolder, ReadsJsonFilesInListingOrderAndSkipsTheRest) {
  TempDir root;
  const std::string traces = root / "traces";
  ::mkdir(traces.c_str(), 0777);
  ::mkdir((root / "elsewhere").c_str(), 0777);
  write_file(traces + "/a.json", export_text({"a1", "a2"}));
  write_file(traces + "/notes.txt", "not an export");
  write_file(traces + "/xjson", export_text({"x1"}));  // no dot: not a ".json" suffix
  write_file(traces + "/.hidden.json", export_text({"h1"}));
  write_file(traces + "/.json", export_text({"d1"}));  // read: a folder entry is tested by suffix
  ::mkdir((traces + "/sub").c_str(), 0777);
  write_file(traces + "/sub/inner.json", export_text({"never"}));
  ::mkdir((traces + "/old.json").c_str(), 0777);
  write_file(root / "elsewhere/target", export_text({"l1"}));
  ::symlink((root / "elsewhere/target").c_str(), (traces + "/link.json").c_str());
  ::symlink((root / "elsewhere").c_str(), (traces + "/dirlink.json").c_str());

  for (const std::string input : {"traces", "traces/"}) {
    SCOPED_TRACE(input);
    std::string expected_out = "Reading all traces from folder: " + input + "\n";
    for (const std::string& name : listing_order(traces)) {
      std::string path = "traces/" + name;
      if (name == "notes.txt" || name == "xjson") {
        expected_out += "Ignore '" + path + " as it does not have suffix '.json'.\n";
      } else if (name == "a.json" || name == ".hidden.json" || name == ".json" || name == "link.json") {
        expected_out += reading(path) + kSerde;
      }
    }
    expected_out += summary(5, 4, 5);

    RunResult run = run_spansift({input}, in_folder(root));
    EXPECT_EQ(run.out, expected_out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(list_folder(traces + "/Jaeger"),
              (std::vector<std::string>{"a1.json", "a2.json", "d1.json", "h1.json", "l1.json"}));
    EXPECT_EQ(list_folder(root.path()), (std::vector<std::string>{"elsewhere", "traces"}));
    EXPECT_EQ(list_folder(traces + "/sub"), std::vector<std::string>{"inner.json"});
    EXPECT_EQ(list_folder(root / "elsewhere"), std::vector<std::string>{"target"});
  }
}

TEST(ReadFolder, EmptyFolderAndFolderNamedJson) {
  TempDir root;
  ::mkdir((root / "empty").c_str(), 0777);
  RunResult run = run_spansift({"empty"}, in_folder(root));
  EXPECT_EQ(run.out, "Reading all traces from folder: empty\n" + summary(0, 0, 0));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(exists(root / "empty/Jaeger"));

  ::mkdir((root / "f.json").c_str(), 0777);
  write_file(root / "f.json/x.json", export_text({"x1"}));
  run = run_spansift({"f.json"}, in_folder(root));
  EXPECT_EQ(run.out, "Reading all traces from folder: f.json\n" + reading("f.json/x.json") + kSerde + summary(1, 1, 1));
  EXPECT_EQ(list_folder(root / "f.json/Jaeger"), std::vector<std::string>{"x1.json"});
}

TEST(ReadFile, BaseFolderIsTheFilesFolder) {
  struct Case {
    std::string input;   // relative to the run's folder ("@" stands for its absolute path)
    std::string output;  // where Jaeger is expected, relative to the run's folder
  };
  const std::vector<Case> cases = {
      {"x.json", "Jaeger"},           {"dir/x.json", "dir/Jaeger"}, {"dir//x.json", "dir/Jaeger"},
      {"./dir/x.json", "dir/Jaeger"}, {"dir/..json", "dir/Jaeger"}, {"@/dir/x.json", "dir/Jaeger"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    TempDir root;
    ::mkdir((root / "dir").c_str(), 0777);
    const std::string text = export_text({"t1", "t2"});
    write_file(root / "x.json", text);
    write_file(root / "dir/x.json", text);
    write_file(root / "dir/..json", text);
    std::string input = c.input[0] == '@' ? root.path() + c.input.substr(1) : c.input;

    RunResult run = run_spansift({input}, in_folder(root));
    std::string expected_out = "Reading all traces from folder: " + input + "\n";
    expected_out += reading(input) + kSerde + summary(2, 1, 2);
    EXPECT_EQ(run.out, expected_out);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(list_folder(root / c.output), (std::vector<std::string>{"t1.json", "t2.json"}));
    EXPECT_EQ(exists(root / "Jaeger"), c.output == "Jaeger");
    EXPECT_EQ(exists(root / "dir/Jaeger"), c.output == "dir/Jaeger");
  }
}

TEST(ReadFile, BaseFolderOutlivesTheInputText) {
  TempDir root;
  write_file(root / "x.json", export_text({"t1"}));
  ReadResult result;
  {
    std::string input = root / "x.json";
    testing::CapturedStdout capture;
    RunOutput output(posix_system());
    result = read_file_or_folder(input, posix_system(), output, nullptr, nullptr);
    input.assign(input.size(), '#');
  }
  EXPECT_EQ(result.base_folder, root.path());
}

TEST(ReadFile, InputThatIsNeitherJsonFileNorFolderIsRefused) {
  TempDir root;
  ::mkdir((root / "sub").c_str(), 0777);
  for (const char* name : {"x.JSON", "x.txt", "x", "xjson", ".json", "x.json.", "sub/.json"}) {
    write_file(root / name, export_text({"t1"}));
  }
  ::mkfifo((root / "pipe.json").c_str(), 0666);
  ::symlink("nowhere", (root / "dangling.json").c_str());
  for (const std::string input : {"x.JSON", "x.txt", "x", "xjson", ".json", "x.json.", "missing.json", "missing/",
                                  "pipe.json", "dangling.json", "x.json/", "sub/.json", "./.json"}) {
    SCOPED_TRACE(input);
    RunResult run = run_spansift({input}, in_folder(root));
    EXPECT_EQ(run.out, "Reading all traces from folder: " + input + "\n");
    EXPECT_EQ(run.err, " Expected file with extention '.json' or folder. Received: '" + input + "' \n");
    EXPECT_EQ(run.status, 101);
    EXPECT_FALSE(exists(root / "Jaeger"));
  }
}

// A file in each encoding with a mark gives the same files as plain UTF-8,
// whether its text is ASCII only (UTF-16 of ASCII is valid UTF-8) or not.
TEST(ReadFile, MarkedEncodingsWriteTheSameFilesAsPlainUtf8) {
  for (const std::string& operation : {kMixed, std::string("ascii")}) {
    SCOPED_TRACE(operation);
    const std::string text = export_text({"t1", "t2"}, operation);
    struct Case {
      const char* name;
      std::string bytes;
    };
    const std::vector<Case> cases = {
        {"plain", text},
        {"utf-8 mark", kBomUtf8 + text},
        {"utf-16le mark", kBomLe + to_utf16(text, true)},
        {"utf-16be mark", kBomBe + to_utf16(text, false)},
    };
    std::string first_t1, first_t2;
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      TempDir root;
      write_file(root / "x.json", c.bytes);
      RunResult run = run_spansift({"x.json"}, in_folder(root));
      bool plain = first_t1.empty();
      EXPECT_EQ(run.out, "Reading all traces from folder: x.json\n" + reading("x.json") + (plain ? kSerde : "") +
                             summary(2, 1, 2));
      EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.status, 0);
      ASSERT_EQ(list_folder(root / "Jaeger"), (std::vector<std::string>{"t1.json", "t2.json"}));
      std::string t1 = read_file(root / "Jaeger/t1.json"), t2 = read_file(root / "Jaeger/t2.json");
      EXPECT_NE(t1.find("\"operationName\": \"" + operation + "\",\n"), std::string::npos) << t1;
      if (plain) {
        first_t1 = t1;
        first_t2 = t2;
      } else {
        EXPECT_EQ(t1, first_t1);
        EXPECT_EQ(t2, first_t2);
      }
    }
  }
}

// Files that can't be read stop the run before anything is written.
TEST(ReadFile, UnreadableFilesStopTheRun) {
  const std::string text = export_text({"t1"});
  struct Case {
    const char* name;
    std::string bytes;
    std::string probe_and_parse;  // lines between the "Reading" line and the stop
    std::string err;              // start of standard error
  };
  const std::vector<Case> cases = {
      {"empty", "", "Did read only 0 bytes. At least 3 needed\n" + kSerde, kEofError + "\n"},
      {"ff fe", kBomLe, "Did read only 2 bytes. At least 3 needed\n", kEofError + "\n"},
      {"odd utf-16le", kBomLe + to_utf16(text, true) + "\n", "", R"(Error("trailing characters")"},
      {"utf-16le without mark", to_utf16(text, true), kSerde, "Error("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    write_file(root / "x.json", c.bytes);
    RunResult run = run_spansift({"x.json"}, in_folder(root));
    EXPECT_EQ(run.out, "Reading all traces from folder: x.json\n" + reading("x.json") + c.probe_and_parse);
    EXPECT_EQ(run.err.substr(0, c.err.size()), c.err) << run.err;
    EXPECT_EQ(run.status, 101);
    EXPECT_EQ(list_folder(root.path()), std::vector<std::string>{"x.json"});
  }
}

TEST(ReadFile, FileWithoutReadPermission) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
  TempDir root;
  write_file(root / "x.json", export_text({"t1"}));
  ::chmod((root / "x.json").c_str(), 0);
  RunResult run = run_spansift({"x.json"}, in_folder(root));
  EXPECT_EQ(run.out, "Reading all traces from folder: x.json\n" + reading("x.json"));
  EXPECT_EQ(run.err, kPermissionDenied + "\n");
  EXPECT_EQ(run.status, 101);
}

TEST(ReadFolder, StopsOfTheFolderCase) {
  TempDir root;
  ::mkdir((root / "dangling").c_str(), 0777);
  ::symlink("nowhere", (root / "dangling/x.json").c_str());
  ::mkdir((root / "bad-name").c_str(), 0777);
  write_file(root / "bad-name/\xFF.json", export_text({"t1"}));
  struct Case {
    std::string input;
    std::string err;
  };
  std::vector<Case> cases = {
      {"dangling", R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })"},
      {"bad-name", "path-string"},
  };
  if (::geteuid() != 0) {
    ::mkdir((root / "locked").c_str(), 0);
    cases.push_back({"locked", "Failed to read directory: " + kPermissionDenied});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    RunResult run = run_spansift({c.input}, in_folder(root));
    EXPECT_EQ(run.out, "Reading all traces from folder: " + c.input + "\n");
    EXPECT_EQ(run.err, c.err + "\n");
    EXPECT_EQ(run.status, 101);
    EXPECT_FALSE(exists(root / c.input + "/Jaeger"));
  }
}

// The first file's traces are read but never written when the second fails.
TEST(ReadFolder, InvalidSecondFileStopsBeforeAnythingIsWritten) {
  TempDir root;
  ::mkdir((root / "d").c_str(), 0777);
  write_file(root / "d/a.json", "");
  write_file(root / "d/b.json", "");
  std::vector<std::string> order = listing_order(root / "d");
  ASSERT_EQ(order.size(), 2u);
  write_file(root / "d" + "/" + order[0], export_text({"t1", "t2"}));
  write_file(root / "d" + "/" + order[1], "{\"data\": [}");

  RunResult run = run_spansift({"d"}, in_folder(root));
  EXPECT_EQ(run.out, "Reading all traces from folder: d\n" + reading("d/" + order[0]) + kSerde +
                         reading("d/" + order[1]) + kSerde);
  EXPECT_EQ(run.err.substr(0, 7), "Error(\"") << run.err;
  EXPECT_EQ(run.status, 101);
  EXPECT_EQ(list_folder(root / "d"), (std::vector<std::string>{"a.json", "b.json"}));
}

}  // namespace
}  // namespace spansift
