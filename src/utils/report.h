// Standard output and the process-wide report log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace spansift {

// Writes `text` to standard output at once (unbuffered), retrying partial and
// interrupted writes. A failed write throws Stop with
// "failed printing to stdout: {error}".
void print_stdout(std::string_view text);

// The rows of the report log that the run files under.
inline constexpr std::uint8_t kRowStdout = 0;     // echoed on standard output
inline constexpr std::uint8_t kRowMalformed = 1;  // a marked file held malformed sequences
inline constexpr std::uint8_t kRowEncoding = 4;   // the encoding found, or why none was

// Files `message` under `row`; a row-0 message is first printed on standard
// output followed by "\n". Rows come into being on demand. Thread-safe.
void report(std::uint8_t row, std::string message);

// A copy of the whole log, row by row (for tests).
std::vector<std::vector<std::string>> report_snapshot();

// What print_stdout and report were given on one thread, in order, kept to
// be printed and filed later, on the thread that owns the output.
struct CapturedOutput {
  struct Entry {
    bool print;  // print_stdout's text, or report's message under `row`
    std::uint8_t row;
    std::string text;
  };
  std::vector<Entry> entries;

  // Prints and files the entries in order, as the calls would have; throws
  // what they would have.
  void replay() const;
};

// While alive, print_stdout and report on this thread only add to `into`.
class CaptureOutput {
 public:
  explicit CaptureOutput(CapturedOutput& into);
  ~CaptureOutput();
  CaptureOutput(const CaptureOutput&) = delete;
  CaptureOutput& operator=(const CaptureOutput&) = delete;

 private:
  CapturedOutput* previous_;
};

}  // namespace spansift
