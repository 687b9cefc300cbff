// The exact pretty-printed text of a JaegerTrace.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "raw/model.h"

namespace spansift {

// Renders `trace` as pretty-printed JSON (two-space indent, no line feed after
// the closing brace) at the start of `buffer`, which grows as needed and never
// shrinks: a buffer reused from record to record is not cleared each time.
// Returns the text, or nothing with `error` set for a value that JSON can't
// express (a non-finite number).
std::optional<std::string_view> render_pretty_json(const JaegerTrace& trace, std::string& buffer, std::string& error);

// Writes `value` in the shortest form that reads back to the same double,
// laid out as 1.0, 12.34, 0.001234 or 1e16, into `out`, which must have room
// for 64 bytes (the text is at most 25); returns its length. `value` must be
// finite. `places`: the number of decimal places it was read with, when
// known (JsonValue::places), which spares finding its shortest digits.
std::size_t append_double(char* out, double value, int places = -1);

}  // namespace spansift
