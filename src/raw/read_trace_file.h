// Reading one export file: byte-order-mark probe, decoding, parsing.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "raw/decode.h"
#include "raw/json/json_read.h"
#include "raw/json/read_into.h"
#include "raw/model.h"
#include "raw/model_store.h"
#include "utils/file.h"
#include "utils/report.h"
#include "utils/simd/padded.h"
#include "utils/system.h"
#include "utils/workers.h"

namespace spansift {

// The file size does not fit the platform's size type.
struct SizeError {
  std::string display() const;  // "out of range integral type conversion attempted"
  std::string detail() const;
};

struct TraceFileError {
  std::variant<Status, SizeError, ReadError> error;

  std::string display() const;
  std::string detail() const;
};

// Reads the export at `path` into `into` (see parse_trace_json) through one descriptor opened by `system`. Prints the
// probe's lines and files the encoding lines (kRowEncoding, kRowMalformed) through `output`. Every
// failure to read is returned, a path that is not a regular file among them; only a failed print, or what the item
// sink throws, throws. With `workers` and an item sink, items are read ahead on the workers when they may take them.
std::variant<JaegerTrace, TraceFileError> read_trace_file(const std::string& path, ReadInto into, System& system,
                                                          Output& output, Workers* workers);

// The bytes of an export read whole that begin with the mark of `encoding`:
// the mark is dropped and the rest decoded to UTF-8 where it is not that
// already (`replaced` tells whether some bytes could not be), then read into
// `into`, its items ahead by `ahead` when given, which shares the text.
ParseResult parse_marked(std::shared_ptr<simd::PaddedString> bytes, Encoding encoding, ReadInto into, ReadAhead* ahead,
                         bool& replaced);

}  // namespace spansift
