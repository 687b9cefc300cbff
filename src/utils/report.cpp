#include "utils/report.h"

#include <mutex>

#include "utils/messages.h"
#include "utils/stop.h"
#include "utils/system.h"

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

}  // namespace

void print_stdout(std::string_view text) {
  if (Status written = posix_system().write_stdout(text); !written.ok()) {
    throw Stop(messages::stdout_failed(written.display()));
  }
}

void report(std::uint8_t row, std::string message) {
  if (row == kRowStdout) {
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
