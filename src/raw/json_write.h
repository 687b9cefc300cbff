// The exact pretty-printed text of a JaegerTrace.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "raw/model.h"

namespace spansift {

// Renders `trace` as pretty-printed JSON (two-space indent, no line feed after
// the closing brace) into `out`, replacing its content. Returns false, with
// `error` set, only for a value that JSON can't express (a non-finite number).
bool to_pretty_json(const JaegerTrace& trace, std::string& out, std::string& error);

// Convenience for callers that know the trace holds no non-finite number.
std::string to_pretty_json(const JaegerTrace& trace);

// Writes `value` in the shortest form that reads back to the same double,
// laid out as 1.0, 12.34, 0.001234 or 1e16, into `out` (room for 32 bytes);
// returns its length. `value` must be finite.
std::size_t append_double(char* out, double value);
void append_double(std::string& out, double value);

}  // namespace spansift
