#include "raw/write.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "raw/json_write.h"
#include "utils/file.h"
#include "utils/report.h"
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
  key.assign(record.data.front().traceID);
  return selection.contains(key);
}

namespace {

// Messages are built before anything is cleaned up, and a path that isn't
// text can't be shown in one.
std::string create_message(const std::string& path, std::string_view reason) {
  if (!is_valid_utf8(path)) return "Failed to show file_path";
  return "Failed to create file: '" + path + "'. Received error:\t" + std::string(reason);
}

std::string write_message(const std::string& path, std::string_view reason) {
  if (!is_valid_utf8(path)) return "Failed to show file_path";
  return "Write to path " + path + " failed with error:\t" + std::string(reason);
}

std::string os_text(int code) { return OsError{code}.display(); }

// A temporary file in the output folder; it is removed again unless it has
// been renamed onto its final name.
class TempFile {
 public:
  explicit TempFile(const std::string& folder) : path_(join_path(folder, ".spansift-XXXXXX")) {
    fd_ = ::mkstemp(path_.data());
    if (fd_ < 0) {
      error_ = errno;
    } else {
      exists_ = true;
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { discard(); }

  int fd() const { return fd_; }
  int open_error() const { return error_; }
  const std::string& path() const { return path_; }

  void close() {
    // A failed close is not an error here: the data has been handed over.
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Must be called before stopping the run, which ends the process without
  // running destructors.
  void discard() {
    close();
    if (exists_) ::unlink(path_.c_str());
    exists_ = false;
  }

  void renamed() { exists_ = false; }

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
  bool exists_ = false;
};

[[noreturn]] void fail(TempFile& temp, const std::string& message) {
  temp.discard();
  stop(message);
}

// Writes `text` as the file `path` (in `folder`) so that the name only ever
// holds a complete file: the text goes into a temporary file that is renamed
// onto the name once it is whole.
void write_file_atomically(const std::string& folder, const std::string& path,
                           std::string_view text, mode_t new_file_mode) {
  // The final name is checked first so that a folder of that name, a name
  // that is too long or a file we may not write are reported as such, and
  // before a byte is written.
  mode_t mode = new_file_mode;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) stop(create_message(path, os_text(EISDIR)));
    if (S_ISREG(st.st_mode)) {
      if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        stop(create_message(path, os_text(errno)));
      }
      mode = st.st_mode & 0777;
    }
    // Anything else, a symbolic link above all, is replaced and never
    // written through.
  } else if (errno != ENOENT) {
    stop(create_message(path, os_text(errno)));
  }

  TempFile temp(folder);
  if (temp.fd() < 0) stop(create_message(path, os_text(temp.open_error())));
  if (::fchmod(temp.fd(), mode) != 0) {
    int code = errno;
    fail(temp, create_message(path, os_text(code)));
  }

  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(temp.fd(), text.data() + done, text.size() - done);
    if (n < 0) {
      int code = errno;
      if (code == EINTR) continue;
      fail(temp, write_message(path, os_text(code)));
    }
    if (n == 0) fail(temp, write_message(path, "failed to write whole buffer"));
    done += static_cast<std::size_t>(n);
  }
  temp.close();

  if (::rename(temp.path().c_str(), path.c_str()) != 0) {
    int code = errno;
    fail(temp, create_message(path, os_text(code)));
  }
  temp.renamed();
}

}  // namespace

std::uint64_t write_traces(std::string_view base_folder, std::vector<JaegerTrace>&& records,
                           std::string_view trace_ids) {
  // Taken over here, so the caller's list is empty whatever happens below.
  std::vector<JaegerTrace> owned = std::move(records);

  TraceSelection selection = parse_trace_ids(trace_ids);
  std::string folder = create_folder(base_folder, "Jaeger");

  // Under a file-size limit the default action of SIGXFSZ would kill the run
  // mid-file and leave the temporary file behind; ignored, the write fails
  // with EFBIG and is cleaned up like any other write error.
  ::signal(SIGXFSZ, SIG_IGN);

  mode_t mask = ::umask(0);
  ::umask(mask);
  const mode_t new_file_mode = 0666 & ~mask;

  std::uint64_t count = 0;
  std::string json;  // reused across records; it only grows
  std::string error;
  for (JaegerTrace& slot : owned) {
    // Moved out so that each record's memory goes as soon as it is handled.
    JaegerTrace record = std::move(slot);
    if (record.data.empty()) stop("Can not write an empty JaegerTrace");
    if (!is_selected(selection, record)) continue;

    std::string_view trace_id = record.data.front().traceID;
    // Joined onto the folder, a "/" in the ID could name any file on the
    // system ("../../x", "/etc/x"); such an ID is refused outright.
    if (trace_id.find('/') != std::string_view::npos) {
      stop("Unsafe trace ID '" + std::string(trace_id) +
           "': a trace ID used as a file name must not contain '/'");
    }
    std::string file_name(trace_id);
    file_name += ".json";
    std::string path = join_path(folder, file_name);

    if (record.data.size() > 1) {
      if (!is_valid_utf8(path)) stop("Failed to show file_path");
      print_stdout("this JaegerTrace contains " + std::to_string(record.data.size()) +
                   " traces, however writing all traces to " + path +
                   " based on the first trace_id.\n");
    }

    if (!to_pretty_json(record, json, error)) {
      if (!is_valid_utf8(path)) stop("Failed to show file_path");
      stop("Failed to create json for file: '" + path + "'. Received error:\t" + error);
    }

    // The system would read the name only up to the NUL and so write some
    // other file.
    if (path.find('\0') != std::string::npos) {
      stop(create_message(path, "file name contained an unexpected NUL byte"));
    }

    write_file_atomically(folder, path, json, new_file_mode);
    ++count;
  }
  return count;
}

}  // namespace spansift
