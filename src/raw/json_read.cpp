#include "raw/json_read.h"

#include <cerrno>
#include <unistd.h>

#include "raw/json_builder.h"

namespace spansift {

namespace {

ParseResult parse(JsonInput& input) {
  try {
    return build_trace(input);
  } catch (ReadError& error) {
    return std::move(error);
  }
}

}  // namespace

ParseResult parse_trace_json(std::string_view text) {
  JsonInput input(text);
  return parse(input);
}

ParseResult parse_trace_json(const ReadSome& read_some, std::size_t buffer_size) {
  JsonInput input(read_some, buffer_size);
  return parse(input);
}

ParseResult parse_trace_json_fd(int fd) {
  return parse_trace_json([fd](char* buffer, std::size_t size) -> ssize_t {
    for (;;) {
      ssize_t n = ::read(fd, buffer, size);
      if (n >= 0 || errno != EINTR) return n;
    }
  });
}

}  // namespace spansift
