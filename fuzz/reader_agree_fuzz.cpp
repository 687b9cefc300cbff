// The straight path is only an accelerator: with it off, the frame loop
// alone reads the same record, or the same error at the same place, from
// memory and from a stream cut into small pieces.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_util.h"

namespace {

spansift::ReadInto general() {
  spansift::ReadInto into;
  into.straight_path = false;
  return into;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  spansift::ReadInto straight;
  straight.straight_path = true;
  const std::string fast = spansift::fuzz::outcome(spansift::parse_trace_json(text, std::move(straight)));
  const std::string loop = spansift::fuzz::outcome(spansift::parse_trace_json(text, general()));
  if (loop != fast) spansift::fuzz::fail("the straight path and the frame loop disagree", loop, fast);

  // Pieces of 1 to 17 bytes, so that refills fall inside keys, texts and numbers.
  const std::size_t piece = 1 + (size != 0 ? data[size - 1] % 17 : 0);
  std::size_t at = 0;
  auto read_some = [&](char* buffer, std::size_t capacity, std::size_t& got) {
    got = std::min({capacity, piece, text.size() - at});
    if (got != 0) std::memcpy(buffer, text.data() + at, got);  // an empty input may have no pointer
    at += got;
    return spansift::Status{};
  };
  const std::string streamed = spansift::fuzz::outcome(spansift::parse_trace_json(read_some, piece, general()));
  if (streamed != fast)
    spansift::fuzz::fail("the frame loop on a stream and the straight path disagree", streamed, fast);
  return 0;
}
