// Reading through a value that the model does not keep.
#pragma once

#include <string>

#include "raw/json/json_input.h"

namespace spansift {

// Reads through the JSON value after the cursor (whitespace first), of any
// type and depth, by the grammar alone: inside its strings escapes must be
// well formed and control bytes are refused, but lone surrogate escapes and
// bytes that are not UTF-8 are accepted; its numbers are checked for syntax
// only. Open brackets are kept in `stack`, one byte per level, so depth
// costs memory and linear time only.
void skip_value(JsonInput& input, std::string& stack);

}  // namespace spansift
