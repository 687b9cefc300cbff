#include "raw/arena.h"

#include <cstdint>

namespace spansift {

namespace {
constexpr std::size_t kMaxChunk = 1024 * 1024;
}

void* Arena::allocate(std::size_t bytes, std::size_t align) {
  std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(cursor_) % align) % align;
  if (bytes + pad > left_) {
    // Large requests get a chunk of their own so that the current chunk's
    // tail is not wasted.
    if (bytes > next_chunk_ / 4) {
      chunks_.emplace_back(new char[bytes]);
      reserved_ += bytes;
      return chunks_.back().get();
    }
    chunks_.emplace_back(new char[next_chunk_]);
    reserved_ += next_chunk_;
    cursor_ = chunks_.back().get();
    left_ = next_chunk_;
    if (next_chunk_ < kMaxChunk) next_chunk_ *= 2;
    pad = 0;
  }
  char* p = cursor_ + pad;
  cursor_ = p + bytes;
  left_ -= bytes + pad;
  return p;
}

}  // namespace spansift
