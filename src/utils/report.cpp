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

thread_local CapturedOutput* capturing = nullptr;

}  // namespace

void print_stdout(std::string_view text) {
  if (capturing != nullptr) {
    capturing->entries.push_back({true, 0, std::string(text)});
    return;
  }
  if (Status written = posix_system().write_stdout(text); !written.ok()) {
    throw Stop(messages::stdout_failed(written.display()));
  }
}

void report(std::uint8_t row, std::string message) {
  if (capturing != nullptr) {
    capturing->entries.push_back({false, row, std::move(message)});
    return;
  }
  if (row == kRowStdout) {
    std::string line = message;
    line += '\n';
    print_stdout(line);
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

void CapturedOutput::replay() const {
  for (const Entry& entry : entries) {
    if (entry.print) {
      print_stdout(entry.text);
    } else {
      report(entry.row, entry.text);
    }
  }
}

CaptureOutput::CaptureOutput(CapturedOutput& into) : previous_(std::exchange(capturing, &into)) {}

CaptureOutput::~CaptureOutput() { capturing = previous_; }

}  // namespace spansift
