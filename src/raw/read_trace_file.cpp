#include "raw/read_trace_file.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "raw/decode.h"
#include "utils/messages.h"
#include "utils/report.h"
#include "utils/text.h"

namespace spansift {

namespace {

constexpr std::size_t kProbeSize = 5;

// Closes the descriptor on every way out of a scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

int open_for_reading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }

// What the probe found: an encoding, or why there is none (shown, then dropped).
struct ProbeOutcome {
  bool found = false;
  Encoding encoding = Encoding::Utf8;
  std::string no_encoding;  // "No BOM" or the display text of the open error
};

ProbeOutcome probe_bom(const std::string& path) {
  ProbeOutcome outcome;
  FileDescriptor file(open_for_reading(path));
  if (!file.valid()) {
    outcome.no_encoding = OsError{errno}.display();
    return outcome;
  }
  char probe[kProbeSize] = {};
  // One read only: a short read is looked at as it is, with zeros after it.
  ssize_t n = ::read(file.get(), probe, kProbeSize);
  if (n < 0) {
    print_stdout(messages::probe_failed(OsError{errno}.display()));
  } else if (n <= 2) {
    print_stdout(messages::probe_short(n));
  }
  outcome.found = detect_bom(std::string_view(probe, kProbeSize), outcome.encoding);
  if (!outcome.found) outcome.no_encoding = messages::kNoBom;
  return outcome;
}

// Reads from the current offset to the end into `buffer`, whatever the file
// holds by then; `expected` is only the first guess of its size.
// Returns 0 or the errno of the failed read.
int read_to_end(int fd, std::size_t expected, std::string& buffer) {
  buffer.resize(expected);
  std::size_t filled = 0;
  for (;;) {
    ssize_t n;
    if (filled < buffer.size()) {
      n = ::read(fd, buffer.data() + filled, buffer.size() - filled);
      if (n > 0) filled += static_cast<std::size_t>(n);
    } else {
      // Full up to the expected size: the file may have grown since.
      char more[8192];
      n = ::read(fd, more, sizeof more);
      if (n > 0) {
        buffer.append(more, static_cast<std::size_t>(n));
        filled += static_cast<std::size_t>(n);
      }
    }
    if (n == 0) break;
    if (n < 0 && errno != EINTR) return errno;
  }
  buffer.resize(filled);
  return 0;
}

TraceFileError os_error(int code) { return TraceFileError{OsError{code}}; }

std::variant<JaegerTrace, TraceFileError> from_parse(ParseResult&& result) {
  if (auto* error = std::get_if<ReadError>(&result)) return TraceFileError{std::move(*error)};
  return std::get<JaegerTrace>(std::move(result));
}

std::variant<JaegerTrace, TraceFileError> read_marked(const std::string& path, Encoding encoding,
                                                      std::shared_ptr<ModelStore> store) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return os_error(errno);
  report(kRowEncoding, messages::encoding_found(quoted(path), encoding_name(encoding), status.st_size));

  std::string bytes;
  {
    FileDescriptor file(open_for_reading(path));
    if (!file.valid()) return os_error(errno);
    if (!std::in_range<std::size_t>(status.st_size)) return TraceFileError{SizeError{}};
    if (int code = read_to_end(file.get(), static_cast<std::size_t>(status.st_size), bytes); code != 0) {
      return os_error(code);
    }
  }

  std::string_view rest = bytes;
  // Only the found encoding's own mark is dropped; another one stays as text.
  // (No mark is a prefix of another, so detecting one names it exactly.)
  Encoding leading;
  if (detect_bom(rest, leading) && leading == encoding) rest.remove_prefix(bom_length(encoding));

  if (encoding == Encoding::Utf8 && is_valid_utf8(rest)) return from_parse(parse_trace_json(rest, std::move(store)));

  std::string text;
  std::size_t replacements = decode_to_utf8(encoding, rest, text);
  std::string().swap(bytes);  // the raw bytes are not needed while parsing
  if (replacements > 0) report(kRowMalformed, messages::malformed_text(quoted(path)));
  return from_parse(parse_trace_json(text, std::move(store)));
}

std::variant<JaegerTrace, TraceFileError> read_unmarked(const std::string& path, const std::string& no_encoding,
                                                        std::shared_ptr<ModelStore> store) {
  report(kRowEncoding, messages::encoding_not_found(quoted(path), no_encoding));
  FileDescriptor file(open_for_reading(path));
  if (!file.valid()) return os_error(errno);
  print_stdout(messages::kParsingUnmarked);
  return from_parse(parse_trace_json_fd(file.get(), std::move(store)));
}

}  // namespace

std::string SizeError::display() const { return messages::kFileSizeTooLarge; }

std::string SizeError::detail() const { return messages::file_size_error(display()); }

std::string TraceFileError::display() const {
  return std::visit([](const auto& e) { return e.display(); }, error);
}

std::string TraceFileError::detail() const {
  return std::visit([](const auto& e) { return e.detail(); }, error);
}

std::variant<JaegerTrace, TraceFileError> read_trace_file(const std::string& path, std::shared_ptr<ModelStore> store) {
  ProbeOutcome outcome = probe_bom(path);
  if (outcome.found) return read_marked(path, outcome.encoding, std::move(store));
  return read_unmarked(path, outcome.no_encoding, std::move(store));
}

}  // namespace spansift
