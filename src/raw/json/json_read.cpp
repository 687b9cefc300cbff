#include "raw/json/json_read.h"

#include <memory>
#include <utility>

#include "raw/json/json_builder.h"
#include "raw/json/read_ahead.h"

namespace spansift {

namespace {

ParseResult parse(JsonInput& input, ReadInto into, ReadAhead* ahead) {
  if (!into.store) into.store = std::make_shared<ModelStore>();
  try {
    return build_trace(input, std::move(into), ahead);
  } catch (ReadError& error) {
    return std::move(error);
  }
}

// Items are read ahead when they go to a taker one by one and a pool is there.
bool reads_ahead(const ReadInto& into) { return into.items != nullptr && into.tasks != nullptr; }

}  // namespace

ParseResult parse_trace_json(std::string_view text, ReadInto into) {
  JsonInput input(text);
  if (!reads_ahead(into)) return parse(input, std::move(into), nullptr);
  ReadAhead ahead(*into.tasks, *into.items, into.sizes);
  ahead.over_text(text);
  return parse(input, std::move(into), &ahead);
}

ParseResult parse_trace_json(const ReadSome& read_some, std::size_t buffer_size, ReadInto into) {
  if (!reads_ahead(into)) {
    JsonInput input(read_some, buffer_size);
    return parse(input, std::move(into), nullptr);
  }
  ReadAhead ahead(*into.tasks, *into.items, into.sizes);
  JsonInput input(ahead.over_stream(read_some), buffer_size);
  return parse(input, std::move(into), &ahead);
}

}  // namespace spansift
