#include "raw/write.h"

#include <cerrno>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <utility>

#include "raw/json/json_write.h"
#include "raw/model_store.h"
#include "utils/file.h"
#include "utils/messages.h"
#include "utils/report.h"
#include "utils/stop.h"
#include "utils/text.h"

namespace spansift {

TraceSelection parse_trace_ids(std::string_view trace_ids) {
  TraceSelection selection;
  while (true) {
    std::size_t comma = trace_ids.find(',');
    std::string_view piece = trace_ids.substr(0, comma);
    if (!piece.empty()) selection.emplace(piece);
    if (comma == std::string_view::npos) break;
    trace_ids.remove_prefix(comma + 1);
  }
  return selection;
}

bool is_selected(const TraceSelection& selection, const JaegerTrace& record) {
  if (selection.empty()) return true;
  // The set holds std::string keys; reusing one key buffer spares an
  // allocation per record for IDs longer than the small-string limit.
  thread_local std::string key;
  key.assign(trace_id_of(record));
  return selection.contains(key);
}

namespace {

// Messages are built before anything is cleaned up, and a path that isn't
// text can't be shown in one.
std::string create_message(const std::string& path, std::string_view reason) {
  if (!is_valid_utf8(path)) return messages::kPathNotShown;
  return messages::file_not_created(path, reason);
}

std::string write_message(const std::string& path, std::string_view reason) {
  if (!is_valid_utf8(path)) return messages::kPathNotShown;
  return messages::write_failed(path, reason);
}

std::string os_text(int code) { return OsError{code}.display(); }

// Names taken by other files are passed over; so many in a row means
// something else is wrong, and the last EEXIST is reported.
constexpr int kNameAttempts = 100;

// ".spansift-" and six letters or digits, from a generator of each thread's own.
std::string random_temp_name() {
  static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string name = ".spansift-";
  for (int i = 0; i < 6; ++i) name += kAlphabet[pick(generator)];
  return name;
}

// The temporary file that a trace is written into, in the output folder. It
// is removed when this goes out of scope unless it has been renamed onto its
// final name, whatever way the scope is left.
class TempFile {
 public:
  // Made with the mode 0666 at creation, so that the kernel applies the
  // process's umask itself; no process-wide state is read or changed.
  TempFile(System& system, const std::string& folder) : system_(system) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      path_ = join_path(folder, random_temp_name());
      fd_ = system_.create_new_file(path_.c_str(), 0666);
      if (fd_ >= 0) {
        exists_ = true;
        return;
      }
      error_ = errno;
      if (error_ != EEXIST) return;
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    // Only reached with the file still ours after another fault, whose
    // message is the one to show: these can only be tried.
    if (fd_ >= 0) system_.close(fd_);
    if (exists_) system_.unlink(path_.c_str());
  }

  int fd() const { return fd_; }
  int open_error() const { return error_; }

  // Returns 0 or the errno of a failed close. Some file systems (NFS, FUSE,
  // quotas) report write errors only here. The descriptor is gone either way
  // and is never closed twice.
  int close() {
    int result = system_.close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

  // The whole, closed file, no longer removed here: its path.
  std::string release() {
    exists_ = false;
    return std::move(path_);
  }

 private:
  System& system_;
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool exists_ = false;
};

// Checks the final name, so that a folder of that name, a name that is too
// long or a file we may not write are reported as such before a byte is
// written. Returns the mode of the regular file being replaced, which the new
// one keeps.
std::optional<mode_t> check_final_name(System& system, const std::string& path) {
  struct stat st;
  if (system.lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw Stop(create_message(path, os_text(EISDIR)));
    if (S_ISREG(st.st_mode)) {
      if (system.check_writable(path.c_str()) != 0) throw Stop(create_message(path, os_text(errno)));
      return st.st_mode & 0777;
    }
    // Anything else, a symbolic link above all, is replaced and never
    // written through.
  } else if (errno != ENOENT) {
    throw Stop(create_message(path, os_text(errno)));
  }
  return std::nullopt;
}

}  // namespace

std::string output_path(const std::string& folder, const JaegerTrace& record) {
  std::string_view trace_id = trace_id_of(record);
  // Joined onto the folder, a "/" in the ID could name any file on the
  // system ("../../x", "/etc/x"); such an ID is refused outright.
  if (trace_id.find('/') != std::string_view::npos) throw Stop(messages::unsafe_trace_id(trace_id));
  std::string file_name(trace_id);
  file_name += ".json";
  return join_path(folder, file_name);
}

StagedFile stage_record(System& system, const std::string& folder, std::string path, const JaegerTrace& record,
                        std::string& buffer) {
  std::string error;
  std::optional<std::string_view> text = render_pretty_json(record, buffer, error);
  if (!text) {
    if (!is_valid_utf8(path)) throw Stop(messages::kPathNotShown);
    throw Stop(messages::json_not_made(path, error));
  }
  // The system would read the name only up to the NUL and so write some
  // other file.
  if (path.find('\0') != std::string::npos) throw Stop(create_message(path, messages::kNulInName));
  std::optional<mode_t> kept_mode = check_final_name(system, path);

  TempFile temp(system, folder);
  if (temp.fd() < 0) throw Stop(create_message(path, os_text(temp.open_error())));
  if (kept_mode && system.change_mode(temp.fd(), *kept_mode) != 0) throw Stop(create_message(path, os_text(errno)));
  int fd = temp.fd();
  int code = write_whole(*text, [&](const char* data, std::size_t size) { return system.write(fd, data, size); });
  if (code == kWroteNothing) throw Stop(write_message(path, messages::kWroteNothing));
  if (code != 0) throw Stop(write_message(path, os_text(code)));
  if (int close_error = temp.close(); close_error != 0) throw Stop(write_message(path, os_text(close_error)));
  return StagedFile{temp.release(), std::move(path)};
}

void commit_staged(System& system, StagedFile& staged) {
  if (system.rename(staged.temp_path.c_str(), staged.path.c_str()) != 0) {
    int code = errno;
    discard_staged(system, staged);
    throw Stop(create_message(staged.path, os_text(code)));
  }
  staged.temp_path.clear();
}

void discard_staged(System& system, StagedFile& staged) noexcept {
  if (staged.temp_path.empty()) return;
  system.unlink(staged.temp_path.c_str());
  staged.temp_path.clear();
}

std::uint64_t write_traces(std::string_view base_folder, std::vector<JaegerTrace>&& records, std::string_view trace_ids,
                           System& system) {
  // Taken over here, so the caller's list is empty whatever happens below.
  std::vector<JaegerTrace> owned = std::move(records);

  TraceSelection selection = parse_trace_ids(trace_ids);
  std::string folder = create_folder(base_folder, "Jaeger", system);

  std::uint64_t count = 0;
  std::string json;  // reused across records: it only grows, and is never cleared
  for (JaegerTrace& slot : owned) {
    // Moved out so that each record's memory goes as soon as it is handled.
    JaegerTrace record = std::move(slot);
    if (record.data.empty()) throw Stop(messages::kEmptyRecord);
    if (!is_selected(selection, record)) continue;
    std::string path = output_path(folder, record);
    if (record.data.size() > 1) {
      if (!is_valid_utf8(path)) throw Stop(messages::kPathNotShown);
      print_stdout(messages::multi_item_notice(record.data.size(), path));
    }
    StagedFile staged = stage_record(system, folder, std::move(path), record, json);
    commit_staged(system, staged);
    ++count;
  }
  return count;
}

}  // namespace spansift
