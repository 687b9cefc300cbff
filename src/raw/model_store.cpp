#include "raw/model_store.h"

#include <algorithm>
#include <new>
#include <sys/mman.h>

namespace spansift {

namespace {

constexpr std::size_t kFirstCapacity = std::size_t{1} << 18;  // words: 1 MiB
constexpr std::size_t kMaxCapacity = std::size_t{1} << 32;    // words: what 32-bit indices reach

}  // namespace

ModelStore::ModelStore() : recent_(kRecentSize) {
  grow(kFirstCapacity);
  used_ = 1;  // word 0: the empty text
}

void ModelStore::clear() {
  used_ = 1;
  if (++generation_ == 0) {  // after 2^32 clears: entries of generation 0 would look current
    std::fill(recent_.begin(), recent_.end(), Recent{});
    generation_ = 1;
  }
}

ModelStore::~ModelStore() {
  if (words_ != nullptr) ::munmap(words_, capacity_ * 4);
}

void ModelStore::grow(std::size_t needed) {
  std::size_t capacity = std::max(needed + kPaddingWords, capacity_ == 0 ? kFirstCapacity : 2 * capacity_);
  capacity = std::min(capacity, kMaxCapacity);
  if (capacity < needed + kPaddingWords) throw std::bad_alloc();
  // A mapping of its own, so that growing it moves pages, not bytes.
  void* block = capacity_ == 0
                    ? ::mmap(nullptr, capacity * 4, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                    : ::mremap(words_, capacity_ * 4, capacity * 4, MREMAP_MAYMOVE);
  if (block == MAP_FAILED) throw std::bad_alloc();
  words_ = static_cast<std::uint32_t*>(block);
  capacity_ = capacity;
}

bool ModelStore::needs_escaping(std::string_view bytes) {
  return std::any_of(bytes.begin(), bytes.end(), [](char c) {
    auto b = static_cast<unsigned char>(c);
    return b == '"' || b == '\\' || b < 0x20;
  });
}

Text ModelStore::add(std::string_view bytes, bool may_need_escaping, Recent& recent, std::uint32_t tag) {
  if (bytes.size() > kLengthMask) throw std::bad_alloc();
  std::uint32_t at = allocate(1 + (bytes.size() + 3) / 4, 1);
  words_[at] =
      static_cast<std::uint32_t>(bytes.size()) | (may_need_escaping && needs_escaping(bytes) ? kNeedsEscape : 0);
  std::memcpy(words_ + at + 1, bytes.data(), bytes.size());
  recent = {tag, at, generation_};
  return {at};
}

namespace {

// Stores kept for use again: enough for the items in flight, and none that an
// item has grown beyond its first size, so that the pool holds a few MB at most.
constexpr std::size_t kPooledStores = 256;
constexpr std::size_t kPooledCapacity = 2 * kFirstCapacity * 4;  // in bytes: the first size and its slack

}  // namespace

// Room for every store kept, so that giving one back never allocates.
StorePool::StorePool() {
  MutexLock lock(mutex_);
  free_.reserve(kPooledStores);
}

std::shared_ptr<ModelStore> StorePool::get() {
  std::unique_ptr<ModelStore> store;
  {
    MutexLock lock(mutex_);
    if (!free_.empty()) {
      store = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (!store) store = std::make_unique<ModelStore>();
  return {store.release(), [pool = shared_from_this()](ModelStore* s) { pool->give_back(s); }};
}

void StorePool::give_back(ModelStore* store) {
  std::unique_ptr<ModelStore> owned(store);
  if (owned->capacity_bytes() > kPooledCapacity) return;
  owned->clear();
  MutexLock lock(mutex_);
  if (free_.size() < kPooledStores) free_.push_back(std::move(owned));
}

}  // namespace spansift
