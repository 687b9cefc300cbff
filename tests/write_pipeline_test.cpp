// Writing while reading goes on: whatever the number of workers and wherever
// a step fails, the result is that of writing every record in turn after
// reading; a fault in reading or an interrupt leaves no staged file.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <new>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
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
#include "utils/workers.h"

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

// OpenAhead: the file can't be opened off the thread that made the System
// (a worker reading ahead) for want of a descriptor.
enum class Step { None, Lstat, Create, Write, Close, Rename, Mkdir, Read, Writable, OpenAhead };

// The real calls, but `step` fails with `error` for the file `name`. The
// steps of one file run on one thread, after the look at its final name.
class FailingForFile : public PosixSystem {
 public:
  FailingForFile(Step step, std::string name, int error) : step_(step), name_("/" + std::move(name)), error_(error) {}

  Status status_at(const File& folder, const char* name, struct stat& status) override {
    current() = std::string("/") + name;
    return fails(Step::Lstat) ? failure() : PosixSystem::status_at(folder, name, status);
  }
  Status check_writable_at(const File& folder, const char* name) override {
    return fails(Step::Writable) ? failure() : PosixSystem::check_writable_at(folder, name);
  }
  Status create_file_at(const File& folder, const char* name, mode_t mode, File& file) override {
    return fails(Step::Create) ? failure() : PosixSystem::create_file_at(folder, name, mode, file);
  }
  Status write_all(const File& file, std::string_view text) override {
    return fails(Step::Write) ? failure() : PosixSystem::write_all(file, text);
  }
  Status close(HandleKey key, int fd) override {
    (void)PosixSystem::close(key, fd);
    return fails(Step::Close) ? failure() : Status{};
  }
  Status rename_at(const File& from_folder, const char* from, const File& to_folder, const char* to) override {
    current() = std::string("/") + to;
    return fails(Step::Rename) ? failure() : PosixSystem::rename_at(from_folder, from, to_folder, to);
  }
  Status make_folder(const std::string& path, mode_t mode) override {
    current() = path;
    return fails(Step::Mkdir) ? failure() : PosixSystem::make_folder(path, mode);
  }
  Status open_input(const std::string& path, File& file) override {
    current() = path;
    if (fails(Step::OpenAhead) && std::this_thread::get_id() != maker_) return Status{EMFILE};
    return PosixSystem::open_input(path, file);
  }
  Status read_at(const File& file, off_t offset, char* buffer, std::size_t size, std::size_t& got) override {
    return fails(Step::Read) ? failure() : PosixSystem::read_at(file, offset, buffer, size, got);
  }

 private:
  static std::string& current() {
    thread_local std::string path;
    return path;
  }
  bool fails(Step step) const { return step == step_ && current().ends_with(name_); }
  Status failure() const { return Status{error_}; }

  Step step_;
  std::string name_;
  int error_;
  std::thread::id maker_ = std::this_thread::get_id();
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

Outcome written_in_turn(Step step, int error, const std::string& file = "c.json") {
  TempDir dir;
  put_earlier_files(dir.path());
  FailingForFile system(step, file, error);
  std::uint64_t count = 0;
  std::string message = stop_message([&] { count = write_traces(dir.path(), make_records(kIds), kSelection, system); });
  return outcome_in(dir.path(), message, count);
}

Outcome written_by_pipeline(Step step, int error, const std::string& file, unsigned workers) {
  TempDir dir;
  put_earlier_files(dir.path());
  FailingForFile system(step, file, error);
  std::uint64_t count = 0;
  std::string message;
  {
    Workers pool(workers, Workers::Ahead::kAlways);
    WritePipeline pipeline(kSelection, system, pool);
    pipeline.open(dir.path());
    for (JaegerTrace& record : make_records(kIds)) pipeline.receive(std::move(record));
    message = stop_message([&] { count = pipeline.commit(); });
  }
  EXPECT_FALSE(has_temp_files(dir.path() + "/Jaeger"));
  return outcome_in(dir.path(), message, count);
}

TEST(WritePipeline, SameResultAsWritingInTurnWhateverFails) {
  const struct {
    Step step;
    int error;
    const char* file = "c.json";
  } cases[] = {{Step::None, 0},
               {Step::Lstat, EACCES},
               {Step::Create, EMFILE},
               {Step::Write, ENOSPC},
               {Step::Close, EIO},
               {Step::Rename, EXDEV},
               // The second "b" finds the first one's file, which may not be written.
               {Step::Writable, EACCES, "b.json"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.step)) + " " + c.file);
    Outcome expected = written_in_turn(c.step, c.error, c.file);
    // No thread (none could be started): each record is staged where it is taken.
    for (unsigned workers : {0U, 1U, 3U}) {
      SCOPED_TRACE(workers);
      EXPECT_EQ(written_by_pipeline(c.step, c.error, c.file, workers), expected);
    }
  }
  EXPECT_EQ(written_in_turn(Step::Writable, EACCES, "b.json").files.size(), 4u);
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
  RunOutput output(system);
  std::uint64_t count = 0;
  std::string message = stop_message([&] {
    if (workers == 0) {
      ReadResult read = read_file_or_folder(input, system, output, nullptr, nullptr);
      output.print(messages::extracted_summary(read.trace_count, read.file_count));
      count = write_traces(read.base_folder, std::move(read.traces), trace_ids, system);
    } else {
      Workers pool(workers, Workers::Ahead::kAlways);
      WritePipeline writer(trace_ids, system, pool);
      ReadResult read = read_file_or_folder(input, system, output, &writer, &pool);
      output.print(messages::extracted_summary(read.trace_count, read.file_count));
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
  } cases[] = {{Step::None, ""},         {Step::Read, "z.json"},     {Step::Mkdir, "Jaeger"},
               {Step::Write, "c.json"},  {Step::Close, "c.json"},    {Step::Rename, "c.json"},
               {Step::Create, "b.json"}, {Step::OpenAhead, "a.json"}};
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
  // Also when the run's staging folder, once made, could not be held (out of descriptors).
  for (auto [folder_existed, hold_error] :
       {std::pair{false, 0}, std::pair{true, 0}, std::pair{false, EMFILE}, std::pair{true, EMFILE}}) {
    SCOPED_TRACE(std::to_string(folder_existed) + " " + std::to_string(hold_error));
    TempDir dir;
    if (folder_existed) put_earlier_files(dir.path());
    testing::FaultySystem system;
    if (hold_error != 0) system.failures = {{testing::Call::HoldFolderAt, 2, hold_error}};
    {
      Workers pool(2, Workers::Ahead::kAlways);
      WritePipeline pipeline("", system, pool);
      pipeline.open(dir.path());
      for (JaegerTrace& record : make_records(kIds)) pipeline.receive(std::move(record));
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

TEST(WritePipeline, AnOutputFolderRemovedRightAfterItIsFoundIsMadeAgain) {
  TempDir dir;  // where a failing run beside this one made Jaeger, and removes it, empty
  ::mkdir((dir / "Jaeger").c_str(), 0777);
  testing::FaultySystem system;
  system.after_stat = [](const std::string& path) { ::rmdir(path.c_str()); };  // Jaeger's, the one path looked at
  Workers pool(2, Workers::Ahead::kAlways);
  WritePipeline pipeline("", system, pool);
  pipeline.open(dir.path());
  for (JaegerTrace& record : make_records({"a"})) pipeline.receive(std::move(record));
  EXPECT_EQ(pipeline.commit(), 1u);
  EXPECT_TRUE(exists(dir / "Jaeger/a.json"));
}

// Files staged in `jaeger` by runs alive or dead, below the staging name `parent`.
std::size_t staged_files(const std::string& jaeger, const std::string& parent = ".spansift-staging") {
  std::size_t count = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(jaeger + "/" + parent, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) ++count;
  }
  return count;
}

// A forked child that stages every record of kIds in `dir` (below the
// staging name `parent`) and waits, reading still under way, for what the
// parent does to it. Returns its pid once the files are staged; the child
// gives up after 30 s.
pid_t child_with_staged_files(const std::string& dir, const std::string& parent = ".spansift-staging") {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  pid_t child = ::fork();
  if (child == 0) {
    start_interrupt_thread();
    Workers pool(2, Workers::Ahead::kAlways);
    WritePipeline pipeline("", posix_system(), pool);
    pipeline.open(dir);
    for (JaegerTrace& record : make_records(kIds)) pipeline.receive(std::move(record));
    for (int waited = 0; staged_files(dir + "/Jaeger", parent) < kIds.size(); ++waited) {
      if (waited == 30000) ::_exit(3);
      ::usleep(1000);
    }
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  bool staged = ::read(ready[0], &byte, 1) == 1;  // 0 when the child ended instead
  ::close(ready[0]);
  return staged ? child : -1;
}

// The signal that ended `child`, or 0; a child still alive after 30 s is killed.
int end_signal(pid_t child) {
  int status = 0;
  for (int waited = 0; ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
    if (waited == 3000) ::kill(child, SIGKILL);
    ::usleep(10000);
  }
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TEST(WritePipeline, InterruptRemovesStagedFilesAndTheFolderItMade) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempDir dir;
    pid_t child = child_with_staged_files(dir.path());
    ASSERT_GT(child, 0);
    EXPECT_EQ(staged_files(dir / "Jaeger"), kIds.size());
    ::kill(child, signal);
    EXPECT_EQ(end_signal(child), signal);
    EXPECT_FALSE(exists(dir / "Jaeger"));
  }
}

// Renames, but first sends the process SIGTERM: the interrupt comes while
// the commit puts its first file in place.
class InterruptedAtRename : public PosixSystem {
 public:
  Status rename_at(const File& from_folder, const char* from, const File& to_folder, const char* to) override {
    ::kill(::getpid(), SIGTERM);
    ::usleep(50000);  // time for the signal's thread to wait for this rename
    return PosixSystem::rename_at(from_folder, from, to_folder, to);
  }
};

TEST(WritePipeline, InterruptDuringTheCommitWaitsForTheRenameAndLeavesNothingStaged) {
  TempDir dir;
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    start_interrupt_thread();
    InterruptedAtRename system;
    Workers pool(2, Workers::Ahead::kAlways);
    WritePipeline pipeline("", system, pool);
    pipeline.open(dir.path());
    for (JaegerTrace& record : make_records(kIds)) pipeline.receive(std::move(record));
    pipeline.commit();
    ::_exit(0);
  }
  EXPECT_EQ(end_signal(child), SIGTERM);
  // The first file is whole and in place, the others are gone with the staging folder.
  EXPECT_EQ(list_folder(dir / "Jaeger"), std::vector<std::string>{"a.json"});
  EXPECT_TRUE(read_file(dir / "Jaeger/a.json").ends_with("\"errors\": null\n}"));
}

TEST(WritePipeline, KilledRunsStagedFilesAreRemovedByTheNextRunAndNothingElse) {
  TempDir dir;
  pid_t child = child_with_staged_files(dir.path());
  ASSERT_GT(child, 0);
  ::kill(child, SIGKILL);
  EXPECT_EQ(end_signal(child), SIGKILL);
  const std::string staging = dir / "Jaeger/.spansift-staging";
  EXPECT_EQ(staged_files(dir / "Jaeger"), kIds.size());

  // Beside it: a live run's folder (its lock held here), and names of the
  // program's making planted by someone else, which are never entered.
  ::mkdir((staging + "/run-Alive0").c_str(), 0700);
  write_file(staging + "/run-Alive0/0", "LIVE");
  int live = ::open((staging + "/run-Alive0").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(live, LOCK_EX), 0);
  ::mkdir((dir / "outside").c_str(), 0700);
  write_file(dir / "outside/0", "KEEP");
  ASSERT_EQ(::symlink((dir / "outside").c_str(), (staging + "/run-Link00").c_str()), 0);
  ASSERT_EQ(::mkfifo((staging + "/run-Fifo00").c_str(), 0600), 0);

  write_file(dir / "export.json", testing::export_json({testing::item_json("t")}));
  testing::RunResult r = testing::run_spansift({dir / "export.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(list_folder(dir / "Jaeger"), (std::vector<std::string>{".spansift-staging", "t.json"}));
  EXPECT_EQ(list_folder(staging), (std::vector<std::string>{"run-Alive0", "run-Fifo00", "run-Link00"}));
  EXPECT_EQ(read_file(staging + "/run-Alive0/0"), "LIVE");
  EXPECT_EQ(read_file(dir / "outside/0"), "KEEP");

  // Once its run is gone, the next run removes that folder too.
  ::close(live);
  ::unlink((staging + "/run-Link00").c_str());
  ::unlink((staging + "/run-Fifo00").c_str());
  r = testing::run_spansift({dir / "export.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(list_folder(dir / "Jaeger"), std::vector<std::string>{"t.json"});
}

// A run killed while a stray file kept it at the second staging name: once
// the first is free again, the next run stages there and removes the other.
TEST(WritePipeline, KilledRunStagedUnderTheSecondNameIsRemovedByTheNextRun) {
  TempDir dir;
  const std::string jaeger = dir / "Jaeger";
  ::mkdir(jaeger.c_str(), 0777);
  write_file(jaeger + "/.spansift-staging", "STRAY");
  pid_t child = child_with_staged_files(dir.path(), ".spansift-staging-1");
  ASSERT_GT(child, 0);
  ::kill(child, SIGKILL);
  EXPECT_EQ(end_signal(child), SIGKILL);
  EXPECT_EQ(staged_files(jaeger, ".spansift-staging-1"), kIds.size());

  ::unlink((jaeger + "/.spansift-staging").c_str());
  write_file(dir / "export.json", testing::export_json({testing::item_json("t")}));
  testing::RunResult r = testing::run_spansift({dir / "export.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(list_folder(jaeger), std::vector<std::string>{"t.json"});
}

// Creates staged files, but the third attempt runs out of memory.
class OutOfMemoryAtThirdFile : public PosixSystem {
 public:
  Status create_file_at(const File& folder, const char* name, mode_t mode, File& file) override {
    if (++calls_ == 3) throw std::bad_alloc();
    return PosixSystem::create_file_at(folder, name, mode, file);
  }

 private:
  std::atomic<int> calls_{0};
};

TEST(WritePipeline, AWorkersExceptionIsThrownByTheCommitAndNothingStagedIsLeft) {
  TempDir dir;
  OutOfMemoryAtThirdFile system;
  {
    Workers pool(2, Workers::Ahead::kAlways);
    WritePipeline pipeline("", system, pool);
    pipeline.open(dir.path());
    for (JaegerTrace& record : make_records(kIds)) pipeline.receive(std::move(record));
    EXPECT_THROW(pipeline.commit(), std::bad_alloc);
  }
  EXPECT_FALSE(has_temp_files(dir / "Jaeger"));
}

TEST(WritePipeline, TheOutputFolderItMakesFollowsTheUmask) {
  // 002 tells 0777 from 0755, which 027 does not.
  const struct {
    mode_t umask;
    mode_t folder;
  } cases[] = {{027, 0750}, {002, 0775}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.umask);
    TempDir dir;
    mode_t saved = ::umask(c.umask);
    {
      Workers pool(1, Workers::Ahead::kAlways);
      WritePipeline pipeline("", posix_system(), pool);
      pipeline.open(dir.path());
      EXPECT_EQ(pipeline.commit(), 0u);
    }
    ::umask(saved);
    EXPECT_EQ(testing::mode_of(dir / "Jaeger"), static_cast<mode_t>(S_IFDIR | c.folder));
  }
}

}  // namespace
}  // namespace spansift
