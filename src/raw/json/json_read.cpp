#include "raw/json/json_read.h"

#include <memory>
#include <utility>

#include "raw/json/json_builder.h"
#include "raw/json/read_ahead.h"

namespace spansift {

namespace {

ParseResult parse(JsonInput& input, ReadInto into, ItemsAhead* ahead) {
  if (!into.store) into.store = std::make_shared<ModelStore>();
  try {
    return build_trace(input, std::move(into), ahead);
  } catch (ReadError& error) {
    return std::move(error);
  }
}

}  // namespace

ParseResult parse_trace_json(simd::PaddedView text, ReadInto into) {
  JsonInput input(text);
  return parse(input, std::move(into), nullptr);
}

ParseResult parse_trace_json(std::string_view text, ReadInto into) {
  const simd::PaddedString padded(text);
  return parse_trace_json(padded.view(), std::move(into));
}

ParseResult parse_trace_json(std::shared_ptr<const simd::PaddedString> text, std::size_t from, ReadInto into,
                             ReadAhead& ahead) {
  JsonInput input(ahead.over_text(std::move(text), from));
  return parse(input, std::move(into), &ahead);
}

ParseResult parse_trace_json(const ReadSome& read_some, std::size_t buffer_size, ReadInto into, ReadAhead* ahead) {
  if (ahead == nullptr) {
    JsonInput input(read_some, buffer_size);
    return parse(input, std::move(into), nullptr);
  }
  JsonInput input(ahead->over_stream(read_some), buffer_size);
  return parse(input, std::move(into), ahead);
}

}  // namespace spansift
