#include "test_util.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <cstdio>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace spansift::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/spansift-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything writable again so that permission tests clean up.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
  }
  ::chmod(path_.c_str(), 0755);
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("can't write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("can't read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_folder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open = (out_fd >= 0) + (err_fd >= 0);
  char buffer[65536];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

}  // namespace

RunResult run_spansift(const std::vector<std::string>& args, const RunOptions& options) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2];
  if (::pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  bool capture_out = options.stdout_path.empty();
  if (capture_out && ::pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  if (options.close_stdout_pipe_early) {
    ::close(out_pipe[0]);
    out_pipe[0] = -1;
  }

  std::string binary = binary_path();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) _exit(127);
    if (capture_out) {
      ::dup2(out_pipe[1], STDOUT_FILENO);
    } else {
      int fd = ::open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) _exit(127);
      ::dup2(fd, STDOUT_FILENO);
    }
    ::dup2(err_pipe[1], STDERR_FILENO);
    if (options.in_child) options.in_child();
    std::vector<char*> argv;
    argv.push_back(binary.data());
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(binary.c_str(), argv.data());
    _exit(127);
  }
  if (capture_out) ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  RunResult result;
  drain(capture_out ? out_pipe[0] : -1, err_pipe[0], result.out, result.err);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

CapturedStdout::CapturedStdout() {
  std::fflush(stdout);
  saved_ = ::dup(STDOUT_FILENO);
  file_ = ::memfd_create("stdout", MFD_CLOEXEC);
  ::dup2(file_, STDOUT_FILENO);
}

CapturedStdout::~CapturedStdout() {
  restore();
  ::close(file_);
}

std::string CapturedStdout::text() {
  restore();
  std::string out;
  char buffer[4096];
  ssize_t n;
  ::lseek(file_, 0, SEEK_SET);
  while ((n = ::read(file_, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

void CapturedStdout::restore() {
  if (saved_ < 0) return;
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
  saved_ = -1;
}

std::string binary_path() { return SPANSIFT_BINARY; }
std::string shared_dir() { return SPANSIFT_SHARED_DIR; }
std::string source_dir() { return SPANSIFT_SOURCE_DIR; }

}  // namespace spansift::testing
