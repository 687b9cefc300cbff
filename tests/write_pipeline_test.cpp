// Writing while reading goes on: whatever the number of workers and wherever
// a step fails, the result is that of writing every record in turn after
// reading; a fault in reading or an interrupt leaves no staged file.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "raw/read_folder.h"
#include "raw/write.h"
#include "raw/write_pipeline.h"
#include "test_util.h"
#include "utils/interrupt.h"
#include "utils/messages.h"
#include "utils/report.h"
#include "utils/stop.h"
#include "utils/system.h"

namespace spansift {
namespace {

using testing::exists;
using testing::has_temp_files;
using testing::list_folder;
using testing::read_file;
using testing::stop_message;
using testing::TempDir;
using testing::write_file;

// Record i of trace `ids[i]`, told apart by the warning "r{i}".
std::vector<JaegerTrace> make_records(const std::vector<std::string>& ids) {
  std::vector<JaegerTrace> records;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    std::string item = testing::item_json(ids[i], "", "{}", R"(,"warnings":["r)" + std::to_string(i) + "\"]");
    records.push_back(testing::parse_export(testing::export_json({item})));
  }
  return records;
}

enum class Step { None, Lstat, Create, Write, Close, Rename, Mkdir, Read };

// The real calls, but `step` fails with `error` for the file `name`. The
// steps of one file run on one thread, after the look at its final name.
class FailingForFile : public PosixSystem {
 public:
  FailingForFile(Step step, std::string name, int error) : step_(step), name_("/" + std::move(name)), error_(error) {}

  int lstat(const char* path, struct stat* status) override {
    current() = path;
    return fails(Step::Lstat) ? -1 : PosixSystem::lstat(path, status);
  }
  int create_new_file(const char* path, mode_t mode) override {
    return fails(Step::Create) ? -1 : PosixSystem::create_new_file(path, mode);
  }
  ssize_t write(int fd, const void* data, std::size_t size) override {
    return fails(Step::Write) ? -1 : PosixSystem::write(fd, data, size);
  }
  int close(int fd) override {
    PosixSystem::close(fd);
    return fails(Step::Close) ? -1 : 0;
  }
  int rename(const char* from, const char* to) override {
    current() = to;
    return fails(Step::Rename) ? -1 : PosixSystem::rename(from, to);
  }
  int mkdir(const char* path, mode_t mode) override {
    current() = path;
    return fails(Step::Mkdir) ? -1 : PosixSystem::mkdir(path, mode);
  }
  // Reading happens on one thread, a file at a time.
  int open_for_reading(const char* path) override {
    current() = path;
    return PosixSystem::open_for_reading(path);
  }
  ssize_t read_at(int fd, void* buffer, std::size_t size, off_t offset) override {
    return fails(Step::Read) ? -1 : PosixSystem::read_at(fd, buffer, size, offset);
  }

 private:
  static std::string& current() {
    thread_local std::string path;
    return path;
  }
  bool fails(Step step) const {
    if (step != step_ || !current().ends_with(name_)) return false;
    errno = error_;
    return true;
  }

  Step step_;
  std::string name_;
  int error_;
};

// What a run left: the message (with `dir` written {dir}), the count, and
// each file of the output folder with its bytes.
struct Outcome {
  std::string message;
  std::uint64_t count = 0;
  std::map<std::string, std::string> files;
  bool operator==(const Outcome&) const = default;
};

Outcome outcome_in(const std::string& dir, const std::string& message, std::uint64_t count) {
  Outcome o{message, count, {}};
  for (std::size_t at; (at = o.message.find(dir)) != std::string::npos;) o.message.replace(at, dir.size(), "{dir}");
  if (exists(dir + "/Jaeger")) {
    for (const std::string& name : list_folder(dir + "/Jaeger")) o.files[name] = read_file(dir + "/Jaeger/" + name);
  }
  return o;
}

void put_earlier_files(const std::string& dir) {
  ::mkdir((dir + "/Jaeger").c_str(), 0777);
  write_file(dir + "/Jaeger/c.json", "EARLIER c");
  write_file(dir + "/Jaeger/d.json", "EARLIER d");
}

const std::vector<std::string> kIds = {"a", "b", "c", "d", "b", "e"};
constexpr const char* kSelection = "a,b,c,d";

Outcome written_in_turn(Step step, int error) {
  TempDir dir;
  put_earlier_files(dir.path());
  FailingForFile system(step, "c.json", error);
  std::uint64_t count = 0;
  std::string message = stop_message([&] { count = write_traces(dir.path(), make_records(kIds), kSelection, system); });
  return outcome_in(dir.path(), message, count);
}

Outcome written_by_pipeline(Step step, int error, unsigned workers) {
  TempDir dir;
  put_earlier_files(dir.path());
  FailingForFile system(step, "c.json", error);
  std::uint64_t count = 0;
  std::string message;
  {
    WritePipeline pipeline(kSelection, system, workers);
    pipeline.open(dir.path());
    for (JaegerTrace& record : make_records(kIds)) pipeline.take(std::move(record));
    EXPECT_EQ(pipeline.record_count(), kIds.size());
    message = stop_message([&] { count = pipeline.commit(); });
  }
  EXPECT_FALSE(has_temp_files(dir.path() + "/Jaeger"));
  return outcome_in(dir.path(), message, count);
}

TEST(WritePipeline, SameResultAsWritingInTurnWhateverFails) {
  const struct {
    Step step;
    int error;
  } cases[] = {{Step::None, 0},       {Step::Lstat, EACCES}, {Step::Create, EMFILE},
               {Step::Write, ENOSPC}, {Step::Close, EIO},    {Step::Rename, EXDEV}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.step));
    Outcome expected = written_in_turn(c.step, c.error);
    for (unsigned workers : {1U, 3U}) {
      SCOPED_TRACE(workers);
      EXPECT_EQ(written_by_pipeline(c.step, c.error, workers), expected);
    }
  }
}

// A whole run in this process, with `file` failing at `step`: reading every
// export and then writing (workers 0), or writing while reading.
struct RunOutcome {
  std::string out;
  Outcome written;
  bool operator==(const RunOutcome&) const = default;
};

RunOutcome run(Step step, const std::string& file, unsigned workers, const std::string& trace_ids) {
  TempDir dir;
  const std::string input = dir / "in";
  ::mkdir(input.c_str(), 0777);
  write_file(input + "/a.json",
             testing::export_json({testing::item_json("a"), testing::item_json("b"), testing::item_json("c")}));
  write_file(input + "/z.json",
             testing::export_json({testing::item_json("d"),
                                   testing::item_json("b", testing::span_json({.operation = "later"})),
                                   testing::item_json("e")}));
  FailingForFile system(step, file, EIO);
  testing::CapturedStdout out;
  std::uint64_t count = 0;
  std::string message = stop_message([&] {
    if (workers == 0) {
      ReadResult read = read_file_or_folder(input, system);
      print_stdout(messages::extracted_summary(read.trace_count, read.file_count));
      count = write_traces(read.base_folder, std::move(read.traces), trace_ids, system);
    } else {
      WritePipeline writer(trace_ids, system, workers);
      ReadResult read = read_file_or_folder(input, system, &writer);
      print_stdout(messages::extracted_summary(read.trace_count, read.file_count));
      count = writer.commit();
    }
  });
  EXPECT_FALSE(has_temp_files(input + "/Jaeger"));
  std::string text = out.text();
  for (std::size_t at; (at = text.find(dir.path())) != std::string::npos;) text.replace(at, dir.path().size(), "{dir}");
  return {text, outcome_in(input, message, count)};
}

TEST(WritePipeline, WholeRunSameAsReadingThenWritingWhateverFails) {
  const struct {
    Step step;
    const char* file;
  } cases[] = {{Step::None, ""},        {Step::Read, "z.json"},   {Step::Mkdir, "Jaeger"}, {Step::Write, "c.json"},
               {Step::Close, "c.json"}, {Step::Rename, "c.json"}, {Step::Create, "b.json"}};
  for (const auto& c : cases) {
    for (const char* trace_ids : {"", "a,b,d"}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(c.step)) + " " + trace_ids);
      RunOutcome expected = run(c.step, c.file, 0, trace_ids);
      for (unsigned workers : {1U, 3U}) EXPECT_EQ(run(c.step, c.file, workers, trace_ids), expected) << workers;
    }
  }
  // What the reference runs do, pinned where it matters: a read fault in the
  // last file leaves no output folder at all.
  RunOutcome read_fault = run(Step::Read, "z.json", 2, "");
  EXPECT_EQ(read_fault.written.message, R"x(Error("Input/output error (os error 5)", line: 0, column: 0))x");
  EXPECT_TRUE(read_fault.written.files.empty());
  RunOutcome renamed = run(Step::Rename, "c.json", 2, "");
  EXPECT_EQ(renamed.written.message,
            "Failed to create file: '{dir}/Jaeger/c.json'. Received error:\tInput/output error (os error 5)");
  EXPECT_EQ(renamed.written.files.size(), 2u);
}

TEST(WritePipeline, WrittenInTurnIsWhatTheContractSays) {
  // The reference of the test above, pinned: the later "b" wins; a failure at
  // "c" leaves the files before it in place and the earlier c and d alone.
  Outcome all = written_in_turn(Step::None, 0);
  EXPECT_EQ(all.count, 5u);
  EXPECT_EQ(all.message, "");
  EXPECT_NE(all.files["b.json"].find("\"r4\""), std::string::npos);
  EXPECT_EQ(all.files.count("e.json"), 0u);

  Outcome failed = written_in_turn(Step::Write, ENOSPC);
  EXPECT_EQ(failed.message,
            "Write to path {dir}/Jaeger/c.json failed with error:\tNo space left on device (os error 28)");
  EXPECT_EQ(failed.files.size(), 4u);
  EXPECT_NE(failed.files["b.json"].find("\"r1\""), std::string::npos);
  EXPECT_EQ(failed.files["c.json"], "EARLIER c");
  EXPECT_EQ(failed.files["d.json"], "EARLIER d");
}

TEST(WritePipeline, FaultInReadingLeavesTheFolderAsItWas) {
  for (bool folder_existed : {false, true}) {
    SCOPED_TRACE(folder_existed);
    TempDir dir;
    if (folder_existed) put_earlier_files(dir.path());
    {
      WritePipeline pipeline("", posix_system(), 2);
      pipeline.open(dir.path());
      for (JaegerTrace& record : make_records(kIds)) pipeline.take(std::move(record));
      // Reading stops here: the pipeline goes without a commit.
    }
    if (folder_existed) {
      EXPECT_EQ(list_folder(dir / "Jaeger"), (std::vector<std::string>{"c.json", "d.json"}));
      EXPECT_EQ(read_file(dir / "Jaeger/c.json"), "EARLIER c");
    } else {
      EXPECT_FALSE(exists(dir / "Jaeger"));
    }
  }
}

TEST(WritePipeline, InterruptRemovesStagedFilesAndTheFolderItMade) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempDir dir;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      clean_up_on_interrupt();
      WritePipeline pipeline("", posix_system(), 2);
      pipeline.open(dir.path());
      for (JaegerTrace& record : make_records(kIds)) pipeline.take(std::move(record));
      // Still reading when the signal comes, with every file staged.
      while (list_folder(dir / "Jaeger").size() < kIds.size()) ::usleep(1000);
      char byte = 1;
      if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    EXPECT_TRUE(has_temp_files(dir / "Jaeger"));
    ::kill(child, signal);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, signal);
    EXPECT_FALSE(exists(dir / "Jaeger"));
  }
}

}  // namespace
}  // namespace spansift
