// Any bytes through the in-memory reader: a record or a read error, never a
// crash, a leak or a hang. A record must also render.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  spansift::ParseResult result = spansift::parse_trace_json(text);
  if (const auto* error = std::get_if<spansift::ReadError>(&result)) {
    if (error->message().empty()) spansift::fuzz::fail("read error without a message", error->detail(), "");
    return 0;
  }
  std::string rendered = spansift::fuzz::outcome(result);
  if (rendered.rfind("render error", 0) == 0) spansift::fuzz::fail("a record that read does not render", rendered, "");
  return 0;
}
