// The report log is process-wide: tests that need it empty run in a fresh
// process (threadsafe death-test style re-executes the test binary); the
// others look only at what they add.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "utils/report.h"
#include "utils/stop.h"
#include "utils/system.h"

namespace spansift {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// Messages filed under `row` since `before` was taken.
std::vector<std::string> added(const Rows& before, std::size_t row) {
  Rows after = report_snapshot();
  std::vector<std::string> messages = row < after.size() ? after[row] : std::vector<std::string>{};
  std::size_t old = row < before.size() ? before[row].size() : 0;
  messages.erase(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(old));
  return messages;
}

// Ends the fresh process with 0, or with 1 and what went wrong on stderr.
[[noreturn]] void finish(const std::vector<std::string>& problems) {
  for (const std::string& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
  std::fflush(stderr);
  _exit(problems.empty() ? 0 : 1);
}

void check_fresh_log() {
  std::vector<std::string> problems;
  auto expect = [&](bool ok, const std::string& what) {
    if (!ok) problems.push_back(what);
  };
  testing::CapturedStdout capture;
  expect(report_snapshot().empty(), "log not empty at start");

  report(posix_system(), 4, "m");
  expect(report_snapshot() == Rows{{}, {}, {}, {}, {"m"}}, "row 4 must come with empty rows 0-3");

  report(posix_system(), 0, "first");
  report(posix_system(), 0, "");
  report(posix_system(), 0, "second");
  report(posix_system(), 4, "n");
  Rows rows = report_snapshot();
  expect(rows.size() == 5, "rows appear only on demand");
  expect(rows[0] == std::vector<std::string>{"first", "", "second"}, "row 0 keeps order");
  expect(rows[4] == std::vector<std::string>{"m", "n"}, "row 4 keeps order");

  report(posix_system(), 255, "last");
  rows = report_snapshot();
  expect(rows.size() == 256, "row 255 gives 256 rows");
  expect(rows[255] == std::vector<std::string>{"last"}, "row 255 holds its message");
  for (std::size_t r = 5; r < 255; ++r) expect(rows[r].empty(), "row " + std::to_string(r) + " not empty");

  // Only row 0 reaches standard output, each message on a line of its own.
  std::string out = capture.text();
  expect(out == "first\n\nsecond\n", "stdout was [" + out + "]");
  finish(problems);
}

TEST(ReportDeathTest, FreshLogGrowsRowsOnDemandAndEchoesRowZero) {
  if (!testing::launcher().empty()) {
    GTEST_SKIP() << "a threadsafe death test runs the test binary anew, which only its emulator can run";
  }
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(check_fresh_log(), ::testing::ExitedWithCode(0), "^$");
}

TEST(Report, FailedEchoStopsTheRunBeforeFiling) {
  Rows before = report_snapshot();
  int saved = ::dup(STDOUT_FILENO);
  int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ::dup2(full, STDOUT_FILENO);
  std::string message;
  try {
    report(posix_system(), kRowStdout, "progress");
  } catch (const Stop& stop) {
    message = stop.message();
  }
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(full);
  EXPECT_EQ(message, "failed printing to stdout: No space left on device (os error 28)");
  EXPECT_EQ(added(before, kRowStdout), std::vector<std::string>{});
}

TEST(Report, OtherRowsAreFiledSilentlyInOrder) {
  Rows before = report_snapshot();
  testing::CapturedStdout capture;
  report(posix_system(), 7, "one");
  report(posix_system(), 7, "two");
  report(posix_system(), 0, "zero");
  EXPECT_EQ(capture.text(), "zero\n");
  EXPECT_EQ(added(before, 7), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(added(before, 0), (std::vector<std::string>{"zero"}));
}

TEST(Report, ConcurrentFilingLosesNothingAndKeepsEachThreadsOrder) {
  constexpr int kThreads = 4, kEach = 2000;
  Rows before = report_snapshot();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) report(posix_system(), 9, std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (std::thread& t : threads) t.join();

  std::vector<std::string> messages = added(before, 9);
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const std::string& m : messages) {
    int t = m[0] - '0';
    ASSERT_EQ(m, std::to_string(t) + ":" + std::to_string(next[t]));
    ++next[t];
  }
}

}  // namespace
}  // namespace spansift
