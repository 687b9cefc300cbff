// Standard output, the process-wide report log, and the one way to stop a run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace spansift {

// Writes `text` to standard output at once (unbuffered), retrying partial and
// interrupted writes. A failed write stops the run with
// "failed printing to stdout: {error}".
void print_stdout(std::string_view text);

// Prints `message` on standard error (followed by a line feed) and ends the
// process with exit status 101. Every fault of a run ends here.
[[noreturn]] void stop(std::string_view message);

// Files `message` under `row`; a row-0 message is first printed on standard
// output followed by "\n". Rows come into being on demand. Thread-safe.
void report(std::uint8_t row, std::string message);

// A copy of the whole log, row by row (for tests).
std::vector<std::vector<std::string>> report_snapshot();

}  // namespace spansift
