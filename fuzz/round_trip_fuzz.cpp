// Whatever reads renders to text that reads again and renders to the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  spansift::ParseResult first = spansift::parse_trace_json(text);
  if (std::holds_alternative<spansift::ReadError>(first)) return 0;
  std::string rendered = spansift::fuzz::outcome(first);
  std::string again = spansift::fuzz::outcome(spansift::parse_trace_json(rendered));
  if (again != rendered) spansift::fuzz::fail("the rendered text does not read back to itself", rendered, again);
  return 0;
}
