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

// Each call of the table: through the gate to the real one.
#define SPANSIFT_GATED_CALL(call, method, params, args) \
  Status GatedSystem::method params { \
    return gate(Call::call, [&] { return passed_on(real_.method args, SPANSIFT_UNPACK args); }); \
  }
#define SPANSIFT_UNPACK(...) __VA_ARGS__
SPANSIFT_SYSTEM_CALLS(SPANSIFT_GATED_CALL)
#undef SPANSIFT_UNPACK
#undef SPANSIFT_GATED_CALL

Status FaultySystem::gate(Call call, const std::function<Status()>& real) {
  int nth = ++calls_[static_cast<int>(call)];
  auto chosen = std::find_if(failures.begin(), failures.end(),
                             [&](const Failure& f) { return f.call == call && f.nth == nth; });
  if (chosen == failures.end()) return real();
  // As on Linux, a handle is gone even when closing it fails.
  if (call == Call::Close || call == Call::CloseListing) (void)real();
  return chosen->error == 0 ? Status::wrote_nothing() : Status{chosen->error};
}

const MemoryFile* FaultySystem::memory_file(const File& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = open_memory_files_.find(fd_of(file));
  return found == open_memory_files_.end() ? nullptr : found->second;
}

Status FaultySystem::stat(const std::string& path, struct stat& status) {
  Status done = GatedSystem::stat(path, status);
  if (done.ok() && after_stat) after_stat(path);
  return done;
}

Status FaultySystem::open_input(const std::string& path, File& file) {
  auto memory = std::find_if(memory_files.begin(), memory_files.end(),
                             [&](const MemoryFile& m) { return m.path == path; });
  if (memory == memory_files.end()) return GatedSystem::open_input(path, file);
  return gate(Call::OpenInput, [&] {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status{errno};
    std::lock_guard<std::mutex> lock(mutex_);
    open_memory_files_[fd] = &*memory;
    file = make_file(fd, memory->size);
    return Status{};
  });
}

Status FaultySystem::read_at(const File& file, off_t offset, char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  const MemoryFile* memory = memory_file(file);
  if (memory == nullptr) return GatedSystem::read_at(file, offset, buffer, size, got);
  return gate(Call::ReadAt, [&] {
    std::string_view rest =
        std::string_view(memory->bytes).substr(std::min(memory->bytes.size(), static_cast<std::size_t>(offset)));
    got = std::min(size, rest.size());
    std::memcpy(buffer, rest.data(), got);
    return Status{};
  });
}

Status FaultySystem::read_all(const File& file, std::string& bytes) {
  const MemoryFile* memory = memory_file(file);
  if (memory == nullptr) return GatedSystem::read_all(file, bytes);
  return gate(Call::ReadAll, [&] {
    bytes = memory->bytes;
    return Status{};
  });
}

Status FaultySystem::close(HandleKey key, int fd) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_memory_files_.erase(fd);
  }
  return GatedSystem::close(key, fd);
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
  JaegerTag tag{store->intern<simd::Native>("k", false), store->intern<simd::Native>("float64", false), value};
  JaegerSpan span;
  span.tags = store->add_list(std::span<const JaegerTag>(&tag, 1));
  JaegerItem item;
  item.traceID = store->intern<simd::Native>(id, true);
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

  // A cross build's binary is started through its emulator, as ctest starts
  // the tests: the kernel here can't run it by itself.
  std::vector<std::string> command = launcher();
  command.push_back(binary_path());
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& part : command) argv.push_back(part.data());
  argv.push_back(nullptr);
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
    ::execv(argv[0], argv.data());
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

std::vector<std::string> launcher() {
  std::vector<std::string> parts;
  std::string_view words = SPANSIFT_EMULATOR;
  while (!words.empty()) {
    std::size_t end = std::min(words.find(' '), words.size());
    if (end > 0) parts.emplace_back(words.substr(0, end));
    words.remove_prefix(std::min(end + 1, words.size()));
  }
  return parts;
}

std::string shared_dir() { return SPANSIFT_SHARED_DIR; }
std::string source_dir() { return SPANSIFT_SOURCE_DIR; }

namespace {

std::string from_hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

}  // namespace

const std::vector<ReadErrorRow>& read_error_rows() {
  static const std::vector<ReadErrorRow> table = [] {
    std::vector<ReadErrorRow> loaded;
    std::ifstream in(source_dir() + "/tests/data/read-errors.tsv");
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::size_t tab1 = line.find('\t');
      std::size_t tab2 = line.find('\t', tab1 + 1);
      loaded.push_back({line.substr(0, tab1), from_hex(line.substr(tab1 + 1, tab2 - tab1 - 1)), line.substr(tab2 + 1)});
    }
    return loaded;
  }();
  return table;
}

}  // namespace spansift::testing
