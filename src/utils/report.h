// Standard output and the process-wide report log, and where the lines of a
// read go: to them, or kept aside for later.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace spansift {

class System;

// Writes `text` to standard output through `system` at once (unbuffered). A
// failed write throws Stop with "failed printing to stdout: {error}".
void print_stdout(System& system, std::string_view text);

// The rows of the report log that the run files under.
inline constexpr std::uint8_t kRowStdout = 0;     // echoed on standard output
inline constexpr std::uint8_t kRowMalformed = 1;  // a marked file held malformed sequences
inline constexpr std::uint8_t kRowEncoding = 4;   // the encoding found, or why none was

// Files `message` under `row`; a row-0 message is first printed on standard
// output (through `system`) followed by "\n". Rows come into being on
// demand. Thread-safe.
void report(System& system, std::uint8_t row, std::string message);

// A copy of the whole log, row by row (for tests).
std::vector<std::vector<std::string>> report_snapshot();

// Where a read prints and files what it has to say. Given explicitly to each
// function that says anything, so that a read done ahead on a worker can keep
// its lines aside while the reader's go out.
class Output {
 public:
  // As print_stdout.
  virtual void print(std::string_view text) = 0;
  // As report.
  virtual void report(std::uint8_t row, std::string message) = 0;

 protected:
  ~Output() = default;
};

// The run's own: standard output through its System, and the report log.
class RunOutput final : public Output {
 public:
  explicit RunOutput(System& system) : system_(system) {}
  void print(std::string_view text) override;
  void report(std::uint8_t row, std::string message) override;

 private:
  System& system_;
};

// What was printed and filed, in order, kept to be given to another Output
// later: the lines of an export read ahead, handed on in listing order.
class CapturedOutput final : public Output {
 public:
  void print(std::string_view text) override;
  void report(std::uint8_t row, std::string message) override;

  // Prints and files the entries in order into `to`, as the calls would
  // have; throws what they would have.
  void replay(Output& to) const;

 private:
  struct Entry {
    bool print;  // print's text, or report's message under `row`
    std::uint8_t row;
    std::string text;
  };
  std::vector<Entry> entries_;
};

}  // namespace spansift
