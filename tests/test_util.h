// Helpers shared by the tests: temporary folders, files, and running the
// built binary as a child process.
#pragma once

#include <functional>
#include <string>
#include <vector>

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

std::string binary_path();
std::string shared_dir();   // the shared material beside the repository
std::string source_dir();   // the repository

}  // namespace spansift::testing
