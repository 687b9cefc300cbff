#include "utils/report.h"

#include <utility>

#include "utils/messages.h"
#include "utils/mutex.h"
#include "utils/never_destroyed.h"
#include "utils/stop.h"
#include "utils/system.h"

namespace spansift {

namespace {

struct ReportLog {
  Mutex mutex;
  std::vector<std::vector<std::string>> rows GUARDED_BY(mutex);
};

// Never destroyed: a worker may still file under it while the process exits.
ReportLog& report_log() {
  static NeverDestroyed<ReportLog> log;
  return log.get();
}

}  // namespace

void print_stdout(System& system, std::string_view text) {
  if (Status written = system.write_stdout(text); !written.ok()) {
    throw Stop(messages::stdout_failed(written.display()));
  }
}

void report(System& system, std::uint8_t row, std::string message) {
  if (row == kRowStdout) {
    std::string line = message;
    line += '\n';
    print_stdout(system, line);
  }
  ReportLog& log = report_log();
  MutexLock lock(log.mutex);
  while (log.rows.size() <= row) log.rows.emplace_back();
  log.rows[row].push_back(std::move(message));
}

std::vector<std::vector<std::string>> report_snapshot() {
  ReportLog& log = report_log();
  MutexLock lock(log.mutex);
  return log.rows;
}

void RunOutput::print(std::string_view text) { print_stdout(system_, text); }

void RunOutput::report(std::uint8_t row, std::string message) { spansift::report(system_, row, std::move(message)); }

void CapturedOutput::print(std::string_view text) { entries_.push_back({true, 0, std::string(text)}); }

void CapturedOutput::report(std::uint8_t row, std::string message) {
  entries_.push_back({false, row, std::move(message)});
}

void CapturedOutput::replay(Output& to) const {
  for (const Entry& entry : entries_) {
    if (entry.print) {
      to.print(entry.text);
    } else {
      to.report(entry.row, entry.text);
    }
  }
}

}  // namespace spansift
