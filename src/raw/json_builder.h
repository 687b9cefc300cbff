// Building a JaegerTrace from JSON text: the model's reading rules on top of
// the tokenizer, with one explicit stack of open containers and no recursion.
#pragma once

#include "raw/json_input.h"
#include "raw/model.h"

namespace spansift {

// Reads one JaegerTrace from `input` and checks that only whitespace follows
// it. Throws ReadError at the first fault.
JaegerTrace build_trace(JsonInput& input);

}  // namespace spansift
