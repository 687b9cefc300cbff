// Finding, far ahead of the reader and cheaply, where the items of an
// export's `data` list most likely begin and end, so that they can be read
// on other threads. Only brackets outside strings count: quotes and
// backslashes are tracked, 64 bytes at a time with the kernels chosen when
// the program starts (utils/simd). Nothing is checked: a span found here is
// only a guess, which the reader confirms or ignores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "utils/simd/wide.h"

namespace spansift {

// Bytes [begin, end) of the input: an object that opens inside an array
// inside the document's container ('{' two levels down), up to and with the
// bracket that brings the level back.
struct ItemSpan {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

class ItemScanner {
 public:
  static constexpr std::uint64_t kNoSpan = std::numeric_limits<std::uint64_t>::max();

  // Scans the next `size` bytes of the input, which follow those scanned
  // before, and appends every span that closes in them to `spans`.
  void scan(const char* bytes, std::size_t size, std::vector<ItemSpan>& spans);

  // Where the span that is open at the end of the bytes scanned so far
  // began, or kNoSpan.
  std::uint64_t open_span() const { return state_.open_at; }
  // Forgets the open span: it is not reported when it closes.
  void drop_open_span() { state_.open_at = kNoSpan; }
  // Input offset of the next byte to scan.
  std::uint64_t offset() const { return state_.offset; }

 private:
  // What the scan carries from byte to byte: a copy of it is held in the
  // kernel's loop, in registers, through a call of scan().
  struct State {
    std::uint64_t offset = 0;
    std::uint64_t open_at = kNoSpan;
    std::uint32_t depth = 0;
    bool in_string = false;
    bool escaping = false;  // the previous block ended in a backslash that escapes this one's first byte
  };
  struct Blocks;  // the steps of the scan

  State state_;
};

}  // namespace spansift
