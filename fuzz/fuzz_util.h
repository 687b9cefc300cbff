// What the fuzz targets compare: a read's outcome as one text.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>

#include "raw/json/json_read.h"
#include "raw/json/json_write.h"

namespace spansift::fuzz {

// The rendered record, or the error with its position.
inline std::string outcome(const ParseResult& result) {
  if (const auto* error = std::get_if<ReadError>(&result)) return "error: " + error->detail();
  std::string text;
  std::string render_error;
  if (!to_pretty_json(std::get<JaegerTrace>(result), text, render_error)) return "render error: " + render_error;
  return text;
}

// Ends the run as a crash so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what, const std::string& left, const std::string& right) {
  std::fprintf(stderr, "%s\n--- first:\n%s\n--- second:\n%s\n", what, left.c_str(), right.c_str());
  std::abort();
}

}  // namespace spansift::fuzz
