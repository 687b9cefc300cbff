// The stream form, fed in pieces whose sizes come from the input, agrees with
// the in-memory form: the same record, or the same error at the same place.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_util.h"

namespace {

// The read buffer's size and the length of each read, both driven by the
// input's last byte and its length, so that mutations move the cuts: small
// buffers cut UTF-8 characters, escapes, numbers and literals anywhere.
struct Pieces {
  std::size_t buffer_size;
  std::uint64_t state;

  Pieces(std::string_view text) {
    unsigned char last = text.empty() ? 0 : static_cast<unsigned char>(text.back());
    buffer_size = last < 0xC0 ? 1 + last % 17 : last < 0xF0 ? 1 + last % 256 : 8192;
    state = 0x9E3779B97F4A7C15ull ^ (text.size() * 0x100000001B3ull) ^ last;
  }

  // Between 1 and `capacity` bytes; a full read more often than not.
  std::size_t next(std::size_t capacity) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    if (state % 3 != 0) return capacity;
    return 1 + static_cast<std::size_t>(state >> 8) % capacity;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string whole = spansift::fuzz::outcome(spansift::parse_trace_json(text));

  Pieces pieces(text);
  std::size_t at = 0;
  auto read_some = [&](char* buffer, std::size_t capacity, std::size_t& got) {
    got = std::min(pieces.next(capacity), text.size() - at);
    if (got != 0) std::memcpy(buffer, text.data() + at, got);  // an empty input may have no pointer
    at += got;
    return spansift::Status{};
  };
  std::string streamed = spansift::fuzz::outcome(spansift::parse_trace_json(read_some, pieces.buffer_size));
  if (streamed != whole) spansift::fuzz::fail("stream and memory forms disagree", whole, streamed);
  return 0;
}
