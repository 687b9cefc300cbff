#include "raw/read_trace_file.h"

#include <cerrno>
#include <string_view>
#include <sys/stat.h>
#include <utility>

#include "raw/decode.h"
#include "utils/messages.h"
#include "utils/report.h"
#include "utils/text.h"

namespace spansift {

namespace {

constexpr std::size_t kProbeSize = 5;

// The descriptor of the file being read, closed through the system on every
// way out of a scope.
class OpenFile {
 public:
  OpenFile(System& system, const std::string& path) : system_(system), fd_(system.open_for_reading(path.c_str())) {}
  ~OpenFile() {
    if (fd_ >= 0) system_.close(fd_);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  System& system_;
  int fd_;
};

// Fills `status` for the open file. Returns 0, or the errno that ends the
// read: fstat's own, or, for anything but a regular file (a FIFO, a device
// or a folder put in place of the listed file), the error that reading it
// would give: EISDIR for a folder, ESPIPE ("Illegal seek") for the rest,
// whose bytes can't be read from the start again as this reader does. It is
// never read, so a run can't wait on it.
int check_regular(System& system, int fd, struct stat& status) {
  if (system.file_status(fd, &status) != 0) return errno;
  if (S_ISREG(status.st_mode)) return 0;
  return S_ISDIR(status.st_mode) ? EISDIR : ESPIPE;
}

// What the probe found: an encoding, or none.
struct ProbeOutcome {
  bool found = false;
  Encoding encoding = Encoding::Utf8;
};

ProbeOutcome probe_bom(System& system, int fd) {
  ProbeOutcome outcome;
  char probe[kProbeSize] = {};
  // One read only: a short read is looked at as it is, with zeros after it.
  ssize_t n = system.read_at(fd, probe, kProbeSize, 0);
  if (n < 0) {
    print_stdout(messages::probe_failed(OsError{errno}.display()));
  } else if (n <= 2) {
    print_stdout(messages::probe_short(n));
  }
  outcome.found = detect_bom(std::string_view(probe, kProbeSize), outcome.encoding);
  return outcome;
}

// Reads the whole file from its start into `buffer`, whatever it holds by
// then; `expected` is only the first guess of its size.
// Returns 0 or the errno of the failed read.
int read_to_end(System& system, int fd, std::size_t expected, std::string& buffer) {
  buffer.resize(expected);
  std::size_t filled = 0;
  for (;;) {
    ssize_t n;
    auto offset = static_cast<off_t>(filled);
    if (filled < buffer.size()) {
      n = system.read_at(fd, buffer.data() + filled, buffer.size() - filled, offset);
      if (n > 0) filled += static_cast<std::size_t>(n);
    } else {
      // Full up to the expected size: the file may have grown since.
      char more[8192];
      n = system.read_at(fd, more, sizeof more, offset);
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

std::variant<JaegerTrace, TraceFileError> read_marked(System& system, int fd, const std::string& path,
                                                      const struct stat& status, Encoding encoding, ReadInto into) {
  report(kRowEncoding, messages::encoding_found(quoted(path), encoding_name(encoding), status.st_size));

  std::string bytes;
  if (!std::in_range<std::size_t>(status.st_size)) return TraceFileError{SizeError{}};
  if (int code = read_to_end(system, fd, static_cast<std::size_t>(status.st_size), bytes); code != 0) {
    return os_error(code);
  }

  std::string_view rest = bytes;
  // Only the found encoding's own mark is dropped; another one stays as text.
  // (No mark is a prefix of another, so detecting one names it exactly.)
  Encoding leading;
  if (detect_bom(rest, leading) && leading == encoding) rest.remove_prefix(bom_length(encoding));

  if (encoding == Encoding::Utf8 && is_valid_utf8(rest)) return from_parse(parse_trace_json(rest, std::move(into)));

  std::string text;
  std::size_t replacements = decode_to_utf8(encoding, rest, text);
  std::string().swap(bytes);  // the raw bytes are not needed while parsing
  if (replacements > 0) report(kRowMalformed, messages::malformed_text(quoted(path)));
  return from_parse(parse_trace_json(text, std::move(into)));
}

std::variant<JaegerTrace, TraceFileError> read_unmarked(System& system, int fd, const std::string& path,
                                                        ReadInto into) {
  report(kRowEncoding, messages::encoding_not_found(quoted(path), messages::kNoBom));
  print_stdout(messages::kParsingUnmarked);
  off_t offset = 0;  // from the start again, after the probe
  ReadSome read_some = [&system, fd, &offset](char* buffer, std::size_t size) -> ssize_t {
    for (;;) {
      ssize_t n = system.read_at(fd, buffer, size, offset);
      if (n > 0) offset += n;
      if (n >= 0 || errno != EINTR) return n;
    }
  };
  return from_parse(parse_trace_json(read_some, 8192, std::move(into)));
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

std::variant<JaegerTrace, TraceFileError> read_trace_file(const std::string& path, ReadInto into, System& system) {
  // One descriptor for the probe and the whole read, so that what is read
  // is the file that was checked.
  OpenFile file(system, path);
  struct stat status;
  int code = file.valid() ? check_regular(system, file.get(), status) : errno;
  if (code != 0) {
    report(kRowEncoding, messages::encoding_not_found(quoted(path), OsError{code}.display()));
    return os_error(code);
  }
  ProbeOutcome outcome = probe_bom(system, file.get());
  if (outcome.found) return read_marked(system, file.get(), path, status, outcome.encoding, std::move(into));
  return read_unmarked(system, file.get(), path, std::move(into));
}

}  // namespace spansift
