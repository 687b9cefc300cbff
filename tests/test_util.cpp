#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <variant>

#include "raw/json/json_read.h"
#include "raw/json/json_write.h"
#include "utils/stop.h"

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

mode_t mode_of(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode;
}

bool has_temp_files(const std::string& folder) {
  std::vector<std::string> names = list_folder(folder);
  return std::any_of(names.begin(), names.end(), [](const std::string& n) { return n.starts_with(".spansift-"); });
}

std::string stop_message(const std::function<void()>& body) {
  try {
    body();
  } catch (const Stop& stop) {
    return stop.message();
  }
  return "";
}

bool FaultySystem::fails(Call call) {
  int nth = ++calls_[static_cast<int>(call)];
  for (const Failure& f : failures) {
    if (f.call == call && f.nth == nth) {
      errno = f.error;
      return true;
    }
  }
  return false;
}

const MemoryFile* FaultySystem::memory_file(int fd) const {
  auto found = open_memory_files_.find(fd);
  return found == open_memory_files_.end() ? nullptr : found->second;
}

int FaultySystem::stat(const char* path, struct stat* status) {
  if (fails(Call::Stat)) return -1;
  int result = PosixSystem::stat(path, status);
  if (result == 0 && after_stat) after_stat(path);
  return result;
}

int FaultySystem::lstat(const char* path, struct stat* status) {
  return fails(Call::Lstat) ? -1 : PosixSystem::lstat(path, status);
}

int FaultySystem::mkdir(const char* path, mode_t mode) {
  return fails(Call::Mkdir) ? -1 : PosixSystem::mkdir(path, mode);
}

int FaultySystem::check_writable(const char* path) {
  return fails(Call::CheckWritable) ? -1 : PosixSystem::check_writable(path);
}

int FaultySystem::rename(const char* from, const char* to) {
  return fails(Call::Rename) ? -1 : PosixSystem::rename(from, to);
}

int FaultySystem::unlink(const char* path) { return fails(Call::Unlink) ? -1 : PosixSystem::unlink(path); }

DIR* FaultySystem::open_folder(const char* path) {
  return fails(Call::OpenFolder) ? nullptr : PosixSystem::open_folder(path);
}

const char* FaultySystem::next_entry(DIR* folder) {
  return fails(Call::NextEntry) ? nullptr : PosixSystem::next_entry(folder);
}

int FaultySystem::open_for_reading(const char* path) {
  if (fails(Call::OpenForReading)) return -1;
  for (const MemoryFile& file : memory_files) {
    if (file.path != path) continue;
    int fd = PosixSystem::open_for_reading("/dev/null");
    open_memory_files_[fd] = &file;
    return fd;
  }
  return PosixSystem::open_for_reading(path);
}

int FaultySystem::create_new_file(const char* path, mode_t mode) {
  return fails(Call::CreateNewFile) ? -1 : PosixSystem::create_new_file(path, mode);
}

int FaultySystem::file_status(int fd, struct stat* status) {
  if (fails(Call::FileStatus)) return -1;
  const MemoryFile* file = memory_file(fd);
  if (file == nullptr) return PosixSystem::file_status(fd, status);
  *status = {};
  status->st_mode = S_IFREG | 0644;
  status->st_size = file->size;
  return 0;
}

ssize_t FaultySystem::read_at(int fd, void* buffer, std::size_t size, off_t offset) {
  if (fails(Call::ReadAt)) return errno == 0 ? 0 : -1;
  const MemoryFile* file = memory_file(fd);
  if (file == nullptr) return PosixSystem::read_at(fd, buffer, size, offset);
  std::string_view rest =
      std::string_view(file->bytes).substr(std::min(file->bytes.size(), static_cast<std::size_t>(offset)));
  std::size_t n = std::min(size, rest.size());
  std::memcpy(buffer, rest.data(), n);
  return static_cast<ssize_t>(n);
}

ssize_t FaultySystem::write(int fd, const void* data, std::size_t size) {
  if (fails(Call::Write)) return errno == 0 ? 0 : -1;
  return PosixSystem::write(fd, data, std::min(size, write_limit));
}

int FaultySystem::change_mode(int fd, mode_t mode) {
  return fails(Call::ChangeMode) ? -1 : PosixSystem::change_mode(fd, mode);
}

int FaultySystem::close(int fd) {
  open_memory_files_.erase(fd);
  // As on Linux, the descriptor is gone even when close fails.
  PosixSystem::close(fd);
  return fails(Call::Close) ? -1 : 0;
}

std::string span_json(const Span& span) {
  return R"({"traceID":"t","spanID":"s","flags":)" + span.flags + R"(,"operationName":")" + span.operation +
         R"(","references":[],"startTime":)" + span.start_time + R"(,"duration":)" + span.duration +
         R"(,"tags":[{"key":"k","type":"string","value":)" + span.tag_value + R"(}],"logs":)" + span.logs +
         R"(,"processID":"p")" + span.extra + "}";
}

std::string item_json(const std::string& id, const std::string& spans, const std::string& processes,
                      const std::string& extra) {
  return R"({"traceID":")" + id + R"(","spans":[)" + spans + R"(],"processes":)" + processes + extra + "}";
}

std::string export_json(const std::vector<std::string>& items, const std::string& fields) {
  std::string json = R"({"data":[)";
  for (std::size_t i = 0; i < items.size(); ++i) json += (i > 0 ? "," : "") + items[i];
  return json + "]," + fields + "}";
}

JaegerTrace parse_export(std::string_view json) {
  ParseResult result = parse_trace_json(json);
  if (const auto* error = std::get_if<ReadError>(&result)) {
    ADD_FAILURE() << "unexpected " << error->detail() << " for " << json.substr(0, 200);
    return {};
  }
  return std::get<JaegerTrace>(std::move(result));
}

std::string pretty_json(const JaegerTrace& trace) {
  std::string buffer;
  std::string error;
  std::optional<std::string_view> text = render_pretty_json(trace, buffer, error);
  if (!text) {
    ADD_FAILURE() << error;
    return {};
  }
  return std::string(*text);
}

JaegerTrace record_with_tag_value(std::string_view id, JsonValue value) {
  auto store = std::make_shared<ModelStore>();
  JaegerTag tag{store->intern("k", false), store->intern("float64", false), value};
  JaegerSpan span;
  span.tags = store->add_list(std::span<const JaegerTag>(&tag, 1));
  JaegerItem item;
  item.traceID = store->intern(id, true);
  item.spans = store->add_list(std::span<const JaegerSpan>(&span, 1));
  JaegerTrace trace;
  trace.data.push_back(item);
  trace.store = store;
  return trace;
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

// Drains standard error while standard output, a full pipe of one page, waits
// to be closed: it is closed once full or once the child has ended.
void close_when_full(pid_t pid, int out_fd, int err_fd, std::string& err) {
  char buffer[4096];
  for (;;) {
    if (out_fd >= 0) {
      int queued = 0;
      siginfo_t info{};
      bool ended =
          ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
      if ((::ioctl(out_fd, FIONREAD, &queued) == 0 && queued == 4096) || ended) {
        ::close(out_fd);
        out_fd = -1;
      }
    }
    pollfd p{err_fd, POLLIN, 0};
    if (::poll(&p, 1, 1) <= 0) continue;
    ssize_t n = ::read(err_fd, buffer, sizeof buffer);
    if (n > 0) {
      err.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  if (out_fd >= 0) ::close(out_fd);
  ::close(err_fd);
}

}  // namespace

RunResult run_spansift(const std::vector<std::string>& args, const RunOptions& options) {
  // Close-on-exec, so that the child holds no reading end of its own output.
  int out_pipe[2] = {-1, -1};
  int err_pipe[2];
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  bool capture_out = options.stdout_path.empty();
  if (capture_out && ::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (options.close_stdout_when_full && ::fcntl(out_pipe[1], F_SETPIPE_SZ, 4096) != 4096) {
    throw std::runtime_error("pipe size");
  }
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
  if (options.close_stdout_when_full) {
    close_when_full(pid, out_pipe[0], err_pipe[0], result.err);
  } else {
    drain(capture_out ? out_pipe[0] : -1, err_pipe[0], result.out, result.err);
  }
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
