#include "raw/json_read.h"

#include <cerrno>
#include <memory>
#include <unistd.h>
#include <utility>

#include "raw/json_builder.h"

namespace spansift {

namespace {

ParseResult parse(JsonInput& input, ReadInto into) {
  if (!into.store) into.store = std::make_shared<ModelStore>();
  try {
    return build_trace(input, std::move(into));
  } catch (ReadError& error) {
    return std::move(error);
  }
}

}  // namespace

ParseResult parse_trace_json(std::string_view text, ReadInto into) {
  JsonInput input(text);
  return parse(input, std::move(into));
}

ParseResult parse_trace_json(const ReadSome& read_some, std::size_t buffer_size, ReadInto into) {
  JsonInput input(read_some, buffer_size);
  return parse(input, std::move(into));
}

ParseResult parse_trace_json_fd(int fd, ReadInto into) {
  return parse_trace_json(
      [fd](char* buffer, std::size_t size) -> ssize_t {
        for (;;) {
          ssize_t n = ::read(fd, buffer, size);
          if (n >= 0 || errno != EINTR) return n;
        }
      },
      8192, std::move(into));
}

}  // namespace spansift
