// What the fuzz targets compare: a read's outcome as one text.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "raw/json/json_read.h"
#include "raw/json/json_write.h"

namespace spansift::fuzz {

// The rendered record, or the error with its position.
inline std::string outcome(const ParseResult& result) {
  if (const auto* error = std::get_if<ReadError>(&result)) return "error: " + error->detail();
  std::string buffer;
  std::string render_error;
  std::optional<std::string_view> text = render_pretty_json(std::get<JaegerTrace>(result), buffer, render_error);
  if (!text) return "render error: " + render_error;
  return std::string(*text);
}

// Ends the run as a crash so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what, const std::string& left, const std::string& right) {
  std::fprintf(stderr, "%s\n--- first:\n%s\n--- second:\n%s\n", what, left.c_str(), right.c_str());
  std::abort();
}

}  // namespace spansift::fuzz
