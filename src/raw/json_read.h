// Reading an export's JSON text into a JaegerTrace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <variant>

#include "raw/model.h"

namespace spansift {

// Why reading stopped, and where: line counted from 1, column in bytes
// within the line (0 before its first byte).
struct ReadError {
  std::string message;
  std::uint64_t line = 0;
  std::uint64_t column = 0;

  // "{message} at line {line} column {column}" (the message alone when line is 0).
  std::string display() const;
  // Error("{message}", line: {line}, column: {column}), quote and backslash escaped.
  std::string detail() const;
};

using ParseResult = std::variant<JaegerTrace, ReadError>;

// Parses UTF-8 JSON text held whole in memory. The text must not start with
// a byte-order mark (it is not whitespace to the reader).
ParseResult parse_trace_json(std::string_view text);

// Parses UTF-8 JSON text read chunk by chunk: `read_some(buffer, capacity)`
// returns the number of bytes it put into `buffer`, 0 at the end of the
// input, or -1 with errno set on failure. Gives the same result as the
// in-memory form for the same bytes.
ParseResult parse_trace_json(const std::function<ssize_t(char*, std::size_t)>& read_some,
                             std::size_t buffer_size = 8192);

// Parses the rest of an open file descriptor through an 8192-byte buffer.
ParseResult parse_trace_json_fd(int fd);

}  // namespace spansift
