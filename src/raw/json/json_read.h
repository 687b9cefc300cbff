// Reading an export's JSON text into a JaegerTrace, from memory or from a
// stream. Both forms give the same record, or the same error at the same
// place, for the same bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "raw/json/json_input.h"
#include "raw/json/read_error.h"
#include "raw/json/read_into.h"
#include "raw/model.h"
#include "raw/model_store.h"
#include "utils/simd/padded.h"

namespace spansift {

using ParseResult = std::variant<JaegerTrace, ReadError>;

// Each form reads into `into`: the store that the trace's texts and lists
// are added to (a new one when none is given), and maybe a sink of items.
// With `ahead`, whose items go to that sink, items of `data` are read ahead
// of the reader on the run's workers (read_ahead.h).

class ReadAhead;

// Parses UTF-8 JSON text held whole in memory. The text must not start with
// a byte-order mark (it is not whitespace to the reader).
ParseResult parse_trace_json(simd::PaddedView text, ReadInto into = {});
// The same for a text that is not padded: it is copied once.
ParseResult parse_trace_json(std::string_view text, ReadInto into = {});

// The same, for the text `*text` from byte `from` on, with items read ahead
// by `ahead`, which shares the text with the threads that read it.
ParseResult parse_trace_json(std::shared_ptr<const simd::PaddedString> text, std::size_t from, ReadInto into,
                             ReadAhead& ahead);

// Parses UTF-8 JSON text read piece by piece through `read_some`, at most
// `buffer_size` bytes at a time. A failed read gives a ReadError holding the
// system's message and no position.
ParseResult parse_trace_json(const ReadSome& read_some, std::size_t buffer_size = 8192, ReadInto into = {},
                             ReadAhead* ahead = nullptr);

}  // namespace spansift
