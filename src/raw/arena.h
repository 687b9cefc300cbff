// A bump allocator that owns the bytes of texts and the elements of lists
// read from one export file. Memory is released all at once with the arena.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace spansift {

class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // Returns `bytes` bytes aligned to `align` (a power of two no larger than
  // alignof(std::max_align_t)), valid for the arena's lifetime.
  void* allocate(std::size_t bytes, std::size_t align) {
    std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(cursor_) % align) % align;
    if (bytes + pad > left_) return allocate_slow(bytes);
    char* p = cursor_ + pad;
    cursor_ = p + bytes;
    left_ -= bytes + pad;
    return p;
  }

  std::string_view copy(std::string_view text) {
    const std::size_t n = text.size();
    if (n == 0) return {};
    char* p = static_cast<char*>(allocate(n, 1));
    const char* from = text.data();
    // Most texts are short: a few loads beat a call to memcpy.
    if (n >= 8 && n <= 16) {
      std::uint64_t head, tail;
      std::memcpy(&head, from, 8);
      std::memcpy(&tail, from + n - 8, 8);
      std::memcpy(p, &head, 8);
      std::memcpy(p + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
      std::uint32_t head, tail;
      std::memcpy(&head, from, 4);
      std::memcpy(&tail, from + n - 4, 4);
      std::memcpy(p, &head, 4);
      std::memcpy(p + n - 4, &tail, 4);
    } else {
      std::memcpy(p, from, n);
    }
    return {p, n};
  }

  template <class T>
  std::span<const T> copy(std::span<const T> items) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    if (items.empty()) return {};
    T* p = static_cast<T*>(allocate(items.size() * sizeof(T), alignof(T)));
    std::memcpy(static_cast<void*>(p), items.data(), items.size() * sizeof(T));
    return {p, items.size()};
  }

  template <class T>
  std::span<const T> copy(const std::vector<T>& items) {
    return copy(std::span<const T>(items));
  }

  // Bytes handed out plus bytes held in chunks, for measurements.
  std::size_t bytes_reserved() const { return reserved_; }

 private:
  void* allocate_slow(std::size_t bytes);

  std::vector<std::unique_ptr<char[]>> chunks_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
  std::size_t next_chunk_ = 16 * 1024;
  std::size_t reserved_ = 0;
};

}  // namespace spansift
