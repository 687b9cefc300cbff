// Building a JaegerTrace from JSON text: the model's reading rules on top of
// the tokenizer, with one explicit stack of open containers and no recursion.
#pragma once

#include <memory>

#include "raw/json/json_input.h"
#include "raw/json/read_into.h"
#include "raw/model.h"
#include "raw/model_store.h"

namespace spansift {

// Reads one JaegerTrace from `input` into `into` (whose store must be set)
// and checks that only whitespace follows it. Throws ReadError at the first
// fault.
JaegerTrace build_trace(JsonInput& input, ReadInto into);

}  // namespace spansift
