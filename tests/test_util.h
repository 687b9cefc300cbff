// Helpers shared by the tests: temporary folders and files, export texts and
// records, and running the built binary as a child process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "raw/model.h"
#include "utils/system.h"

namespace spansift::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
// Names in `folder`, sorted, without "." and "..".
std::vector<std::string> list_folder(const std::string& folder);
// The st_mode of `path` itself (links not followed); 0 when there is none.
mode_t mode_of(const std::string& path);
// Whether `folder` holds anything the writer stages in (".spansift-*").
bool has_temp_files(const std::string& folder);

// ---- Export texts: the one builder of the tests' JSON.

// The parts of a span of trace "t" that tests vary: JSON text, but for the
// operation name, which is the text between its quotes.
struct Span {
  std::string operation = "op";
  std::string flags = "1";
  std::string start_time = "1";
  std::string duration = "2";
  std::string tag_value = "\"v\"";  // of its one tag
  std::string logs = "[]";
  std::string extra;  // members appended: ",\"k\":v"
};
std::string span_json(const Span& span = {});
// An item with `spans` (JSON text of the list's elements) and `processes`
// (JSON text), with `extra` members appended; `id` is the text between the
// quotes of its traceID, escapes and all.
std::string item_json(const std::string& id, const std::string& spans = span_json(),
                      const std::string& processes = "{}", const std::string& extra = "");
// An export of `items`; `fields` follow "data".
std::string export_json(const std::vector<std::string>& items,
                        const std::string& fields = R"("total":0,"limit":0,"offset":0)");

// ---- Records: the one place that knows how a record is laid out.

// The record that `json` reads as; a read error fails the test.
JaegerTrace parse_export(std::string_view json);
// The pretty-printed text of `trace`; a value it can't write fails the test.
std::string pretty_json(const JaegerTrace& trace);
// A record of trace `id` whose one span has one tag holding `value`, which
// may be a value that no JSON text reads as (a non-finite number).
JaegerTrace record_with_tag_value(std::string_view id, JsonValue value);

// The message of the Stop that `body` throws; empty when it returns.
std::string stop_message(const std::function<void()>& body);

// ---- A system that fails on demand.

// Every call of System: the Call that names it in tests, the method, its
// parameters, and the arguments it passes them on as. A call added to System
// is added here, and GatedSystem below wraps it.
// clang-format off
#define SPANSIFT_SYSTEM_CALLS(X) \
  X(Stat, stat, (const std::string& path, struct stat& status), (path, status)) \
  X(MakeFolder, make_folder, (const std::string& path, mode_t mode), (path, mode)) \
  X(RemoveFolder, remove_folder, (const std::string& path), (path)) \
  X(ListFolder, list_folder, (const std::string& path, Listing& listing), (path, listing)) \
  X(OpenInput, open_input, (const std::string& path, File& file), (path, file)) \
  X(ReadAt, read_at, (const File& file, off_t offset, char* buffer, std::size_t size, std::size_t& got), \
    (file, offset, buffer, size, got)) \
  X(ReadAll, read_all, (const File& file, std::string& bytes), (file, bytes)) \
  X(HoldFolder, hold_folder, (const std::string& path, File& folder), (path, folder)) \
  X(HoldFolderAt, hold_folder_at, (const File& folder, const char* name, File& held), (folder, name, held)) \
  X(MakeFolderAt, make_folder_at, (const File& folder, const char* name, mode_t mode), (folder, name, mode)) \
  X(ListHeldFolder, list_held_folder, (const File& folder, Listing& listing), (folder, listing)) \
  X(StatusAt, status_at, (const File& folder, const char* name, struct stat& status), (folder, name, status)) \
  X(CheckWritableAt, check_writable_at, (const File& folder, const char* name), (folder, name)) \
  X(CreateFileAt, create_file_at, (const File& folder, const char* name, mode_t mode, File& file), \
    (folder, name, mode, file)) \
  X(RenameAt, rename_at, (const File& from_folder, const char* from, const File& to_folder, const char* to), \
    (from_folder, from, to_folder, to)) \
  X(RemoveFileAt, remove_file_at, (const File& folder, const char* name), (folder, name)) \
  X(RemoveFolderAt, remove_folder_at, (const File& folder, const char* name), (folder, name)) \
  X(TryLock, try_lock, (const File& file), (file)) \
  X(FileStatus, file_status, (const File& file, struct stat& status), (file, status)) \
  X(WriteAll, write_all, (const File& file, std::string_view text), (file, text)) \
  X(ChangeMode, change_mode, (const File& file, mode_t mode), (file, mode)) \
  X(Close, close, (HandleKey key, int fd), (key, fd)) \
  X(NextName, next_name, (HandleKey key, Listing& listing, std::string_view& name), (key, listing, name)) \
  X(CloseListing, close_listing, (HandleKey key, DIR* folder), (key, folder)) \
  X(WriteStdout, write_stdout, (std::string_view text), (text)) \
  X(WriteStderr, write_stderr, (std::string_view text), (text))
// clang-format on

// The calls of System that a test can make fail.
enum class Call {
#define SPANSIFT_CALL_NAME(call, method, params, args) call,
  SPANSIFT_SYSTEM_CALLS(SPANSIFT_CALL_NAME)
#undef SPANSIFT_CALL_NAME
  kCount
};

struct Failure {
  Call call;
  int nth;    // the call of that kind that fails, from 1
  int error;  // its errno; a write with 0 takes no byte instead
};

// A file served from memory: opened, it shows as a regular file of `size`
// bytes, and its reads get `bytes`, which may differ from that size.
struct MemoryFile {
  std::string path;
  off_t size = 0;
  std::string bytes;
};

// The real calls, each passed through gate(): the one place where a test
// System makes a call fail, counts it, or stands in for it. It derives from
// the interface itself, so a call missing from the table above leaves it
// abstract: the tests then do not compile.
class GatedSystem : public System {
 public:
#define SPANSIFT_GATED_CALL(call, method, params, args) Status method params override;
  SPANSIFT_SYSTEM_CALLS(SPANSIFT_GATED_CALL)
#undef SPANSIFT_GATED_CALL

 protected:
  // What `call` does: what `real` does (the real call), or something else.
  virtual Status gate(Call call, const std::function<Status()>& real) = 0;

 private:
  // What the real call opened is made this System's, so that closing it
  // comes through the gate too.
  void adopt_opened(File& file) { adopt(file); }
  void adopt_opened(Listing& listing) { adopt(listing); }
  template <class T>
  void adopt_opened(const T&) {}
  template <class... Args>
  Status passed_on(Status status, Args&... args) {
    (adopt_opened(args), ...);
    return status;
  }

  PosixSystem real_;
};

// The real calls but for the chosen failures, memory files, and
// `after_stat`, which runs after each stat that succeeded, with its path (to
// change a file between its check and its use). Set these up before the
// first call; the calls may then come from several threads.
class FaultySystem : public GatedSystem {
 public:
  std::vector<Failure> failures;
  std::vector<MemoryFile> memory_files;
  std::function<void(const std::string& path)> after_stat;

  // The calls that do more than pass the gate.
  Status stat(const std::string& path, struct stat& status) override;
  Status open_input(const std::string& path, File& file) override;
  Status read_at(const File& file, off_t offset, char* buffer, std::size_t size, std::size_t& got) override;
  Status read_all(const File& file, std::string& bytes) override;
  Status close(HandleKey key, int fd) override;

 protected:
  // The failure chosen for this call, or what `real` does.
  Status gate(Call call, const std::function<Status()>& real) override;

 private:
  const MemoryFile* memory_file(const File& file);

  std::atomic<int> calls_[static_cast<int>(Call::kCount)] = {};
  std::mutex mutex_;
  std::map<int, const MemoryFile*> open_memory_files_;  // by descriptor (one of /dev/null), under mutex_
};

// ---- Runs of the built binary.

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal number
};

struct RunOptions {
  std::string cwd;                       // working folder of the child (default: inherited)
  std::string stdout_path;               // send stdout to this file (e.g. /dev/full) instead of capturing
  bool close_stdout_pipe_early = false;  // stdout is a pipe whose reader is already closed
  std::function<void()> in_child;        // runs in the child before exec (e.g. setrlimit)
  // Stdout is a pipe of one page that is never read; once the page is full
  // its reader is closed, so the next write finds the pipe closed.
  bool close_stdout_when_full = false;
};

// Runs the built spansift binary with `args`.
RunResult run_spansift(const std::vector<std::string>& args, const RunOptions& options = {});

// Sends file descriptor 1 to an anonymous file while alive (nothing is left
// on disk, even by a child that ends with _exit); text() gives what was written.
class CapturedStdout {
 public:
  CapturedStdout();
  ~CapturedStdout();
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;
  std::string text();

 private:
  void restore();
  int saved_ = -1;
  int file_ = -1;
};

// ---- The table of read faults (data/read-errors.tsv).

struct ReadErrorRow {
  std::string name;
  std::string bytes;
  std::string expected;  // "ok: <last line of stdout>" or "101: <last line of stderr>"
};
const std::vector<ReadErrorRow>& read_error_rows();

std::string binary_path();
// What the built binary is run through: nothing, or a cross build's
// emulator (CMAKE_CROSSCOMPILING_EMULATOR: its program, then its arguments).
std::vector<std::string> launcher();
std::string shared_dir();  // the shared material beside the repository
std::string source_dir();  // the repository

}  // namespace spansift::testing
