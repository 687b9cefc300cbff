#include "utils/report.h"

#include <cerrno>
#include <mutex>
#include <unistd.h>

#include "utils/file.h"

namespace spansift {

namespace {

struct ReportLog {
  std::mutex lock;
  std::vector<std::vector<std::string>> rows;
};

ReportLog& report_log() {
  static ReportLog log;
  return log;
}

// Writes all of `text` to `fd`; returns 0 or the errno of the failed write.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

}  // namespace

void print_stdout(std::string_view text) {
  if (int code = write_all(STDOUT_FILENO, text); code != 0) {
    stop("failed printing to stdout: " + OsError{code}.display());
  }
}

void stop(std::string_view message) {
  std::string line(message);
  line += '\n';
  write_all(STDERR_FILENO, line);
  _exit(101);
}

void report(std::uint8_t row, std::string message) {
  if (row == 0) {
    std::string line = message;
    line += '\n';
    print_stdout(line);
  }
  ReportLog& log = report_log();
  std::lock_guard<std::mutex> guard(log.lock);
  while (log.rows.size() <= row) log.rows.emplace_back();
  log.rows[row].push_back(std::move(message));
}

std::vector<std::vector<std::string>> report_snapshot() {
  ReportLog& log = report_log();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.rows;
}

}  // namespace spansift
