#include "raw/arena.h"

namespace spansift {

namespace {
constexpr std::size_t kMaxChunk = 1024 * 1024;
}

// A new chunk; chunks start at the largest alignment, so no padding is needed.
void* Arena::allocate_slow(std::size_t bytes) {
  // Large requests get a chunk of their own so that the current chunk's
  // tail is not wasted.
  if (bytes > next_chunk_ / 4) {
    chunks_.emplace_back(new char[bytes]);
    reserved_ += bytes;
    return chunks_.back().get();
  }
  chunks_.emplace_back(new char[next_chunk_]);
  reserved_ += next_chunk_;
  cursor_ = chunks_.back().get() + bytes;
  left_ = next_chunk_ - bytes;
  if (next_chunk_ < kMaxChunk) next_chunk_ *= 2;
  return chunks_.back().get();
}

}  // namespace spansift
