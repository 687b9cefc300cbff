#include "raw/json/json_read.h"

#include <memory>
#include <utility>

#include "raw/json/json_builder.h"

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

}  // namespace spansift
