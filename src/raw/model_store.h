// Where the texts and lists of records are kept: one block of 32-bit words,
// grown in place, that records refer into by word index. A store holds one
// export, or one trace item while writing goes on beside reading.
// Texts are interned as they come, so that what exports repeat (keys, types,
// service and operation names, the trace ID in every span) is held once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "raw/model.h"
#include "utils/mutex.h"
#include "utils/simd/block.h"
#include "utils/simd/padded.h"

namespace spansift {

class ModelStore {
 public:
  ModelStore();
  ~ModelStore();
  ModelStore(const ModelStore&) = delete;
  ModelStore& operator=(const ModelStore&) = delete;

  // Empties the store, keeping its memory for what comes next.
  void clear();
  // The bytes it has taken from the system, and those that hold something.
  std::size_t capacity_bytes() const { return capacity_ * 4; }
  std::size_t used_bytes() const { return used_ * 4; }

  [[gnu::always_inline]] std::string_view text(Text t) const {
    return {reinterpret_cast<const char*>(words_ + t.at + 1), words_[t.at] & kLengthMask};
  }
  // Whether the text's bytes stand as they are between the quotes of a JSON
  // string: none of them is a quote, a backslash or a control character.
  bool plain(Text t) const { return (words_[t.at] & kNeedsEscape) == 0; }
  // Whether it is plain and at most `n` bytes long: one compare of the word
  // that holds its length below the mark.
  bool plain_within(Text t, std::uint32_t n) const { return words_[t.at] <= n; }

  template <class T>
  std::span<const T> list(List<T> l) const {
    return {reinterpret_cast<const T*>(words_ + l.at), l.size};
  }
  template <class T>
  std::span<const T> list(OptionalList<T> l) const {
    return list(l.list());
  }

  // The text `bytes`, added or found among the texts added before.
  // `may_need_escaping`: it may hold bytes that need escaping (it was decoded
  // from escapes); when false, the caller promises that it holds none, and
  // the text is marked plain unchecked. A text found is one whose mark holds
  // for `bytes` too.
  // K: the 16-byte kernel that compares texts (utils/simd).
  template <class K>
  [[gnu::always_inline]] Text intern(std::string_view bytes, bool may_need_escaping) {
    if (bytes.empty()) return {};
    const std::uint64_t hash = hash_text(bytes);
    Recent& recent = recent_[hash & (kRecentSize - 1)];
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    if (recent.generation == generation_ && recent.tag == tag && same_bytes<K>(text({recent.at}), bytes) &&
        (!may_need_escaping || !plain({recent.at}) || !needs_escaping(bytes))) {
      return {recent.at};
    }
    return add(bytes, may_need_escaping, recent, tag);
  }

  // The same for a text of 1 to 15 bytes at `p`, which the reader has in
  // `bytes`, a block of kernel K (its first 16 bytes, those past the text
  // zeroed), and which needs no escaping: found with no load of the input
  // and one compare.
  template <class K>
  [[gnu::always_inline]] Text intern_short(const char* p, std::size_t n, typename K::Block bytes) {
    const std::uint64_t hash = hash_short(K::word(bytes, 0), K::word(bytes, 1), n);
    Recent& recent = recent_[hash & (kRecentSize - 1)];
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    if (recent.generation == generation_ && recent.tag == tag && (words_[recent.at] & kLengthMask) == n) {
      // The store, padded like every scanned buffer, can be read 16 bytes past any text.
      const auto held = K::first(K::load(reinterpret_cast<const char*>(words_ + recent.at + 1)), n);
      if (K::same(held, bytes) == 0xFFFF) return {recent.at};
    }
    return add_window(p, n, recent, tag);
  }
  // intern(bytes, false) for a text of at most 64 bytes at `p`, whose 64
  // bytes from `p` on are readable (padding).
  template <class K>
  [[gnu::always_inline]] Text intern_window(const char* p, std::size_t n) {
    const std::string_view bytes{p, n};
    if (bytes.empty()) return {};
    const std::uint64_t hash = hash_text(bytes);
    Recent& recent = recent_[hash & (kRecentSize - 1)];
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    if (recent.generation == generation_ && recent.tag == tag && same_bytes<K>(text({recent.at}), bytes)) {
      return {recent.at};
    }
    return add_window(p, n, recent, tag);
  }

  // A copy of `items`, which must be trivially copyable.
  template <class T>
  List<T> add_list(std::span<const T> items) {
    if (items.empty()) return {};
    static_assert(alignof(T) <= 8 && sizeof(T) % 4 == 0);
    std::uint32_t at = allocate(items.size_bytes() / 4, alignof(T) / 4);
    std::memcpy(words_ + at, items.data(), items.size_bytes());
    return {at, static_cast<std::uint32_t>(items.size())};
  }

  // The hash that the cache files a text under: tests look for texts that share it.
  static std::uint64_t cache_hash(std::string_view bytes) { return hash_text(bytes); }

 private:
  // The store keeps simd::kPadding bytes past its last text or list, so
  // that a text is read and copied in whole blocks.
  static constexpr std::size_t kPaddingWords = simd::kPadding / 4;
  static constexpr std::uint32_t kLengthMask = 0x7FFFFFFF;
  static constexpr std::uint32_t kNeedsEscape = 0x80000000;
  // Small enough to stay in the processor's cache: the texts that repeat
  // most (keys, types, names) are few, and a text that comes back after
  // thousands of others is left to be held twice.
  static constexpr std::size_t kRecentSize = std::size_t{1} << 12;

  struct Recent;
  Text add(std::string_view bytes, bool may_need_escaping, Recent& recent, std::uint32_t tag);
  // add() for a plain text of at most 64 bytes at `p`, whose 64 bytes from
  // `p` on are readable: copied in whole blocks of 16, the last one into the
  // store's padding past the text, where nothing is yet.
  [[gnu::always_inline]] Text add_window(const char* p, std::size_t n, Recent& recent, std::uint32_t tag) {
    const std::size_t words = 1 + (n + 3) / 4;
    if (used_ + words + kPaddingWords > capacity_) return add({p, n}, false, recent, tag);
    const auto at = static_cast<std::uint32_t>(used_);
    used_ += words;
    words_[at] = static_cast<std::uint32_t>(n);
    auto* to = reinterpret_cast<char*>(words_ + at + 1);
    for (std::size_t k = 0; k < n; k += 16) std::memcpy(to + k, p + k, 16);
    recent = {tag, at, generation_};
    return {at};
  }
  static bool needs_escaping(std::string_view bytes);

  static constexpr std::uint64_t kHashFactor = 0x9E3779B97F4A7C15ULL;

  // A hash of the length and of at most 24 of the bytes (the first sixteen
  // and the last eight): enough to tell texts apart in a cache that compares
  // them anyway.
  // A text of at most 16 bytes is hashed from its bytes as two words, zeros
  // past its end, as a reader that holds them so gets them (intern_short).
  [[gnu::always_inline]] static std::uint64_t hash_text(std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    if (n <= 16) {
      std::uint64_t low = 0;
      std::uint64_t high = 0;
      if (n >= 8) {
        low = load<std::uint64_t>(p);
        if (n > 8) high = load<std::uint64_t>(p + n - 8) >> (8 * (16 - n));
      } else if (n >= 4) {
        low = load<std::uint32_t>(p) | (std::uint64_t{load<std::uint32_t>(p + n - 4)} >> (8 * (8 - n))) << 32;
      } else {
        for (std::size_t i = 0; i < n; ++i) low |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
      }
      return hash_short(low, high, n);
    }
    // Longer: the first sixteen bytes and the last eight, folded into two words.
    return hash_short(load<std::uint64_t>(p), load<std::uint64_t>(p + 8) ^ load<std::uint64_t>(p + n - 8), n);
  }
  [[gnu::always_inline]] static std::uint64_t hash_short(std::uint64_t low, std::uint64_t high, std::size_t n) {
    // The length is told by the zeros past the text, except for trailing
    // NUL bytes, which a cache that compares lengths too can afford.
    const std::uint64_t h = (low + (high ^ n) * 0xC2B2AE3D27D4EB4FULL) * kHashFactor;
    return h ^ (h >> 29);
  }

  // Texts are mostly short: compared in a few loads, not through memcmp.
  template <class K>
  [[gnu::always_inline]] static bool same_bytes(std::string_view a, std::string_view b) {
    // The length of `b`, the text looked up, which the compiler may know.
    const std::size_t n = b.size();
    if (a.size() != n) return false;
    if (n > 16 && n <= 64) {
      // IDs of 32 hex digits, names, URLs: blocks of sixteen bytes, the last
      // one ending with the text.
      auto same16 = [](const char* x, const char* y) { return K::same(K::load(x), K::load(y)) == 0xFFFF; };
      for (std::size_t k = 0; k + 16 < n; k += 16) {
        if (!same16(a.data() + k, b.data() + k)) return false;
      }
      return same16(a.data() + n - 16, b.data() + n - 16);
    }
    if (n > 16) return std::memcmp(a.data(), b.data(), n) == 0;
    if (n >= 8) {
      return load<std::uint64_t>(a.data()) == load<std::uint64_t>(b.data()) &&
             load<std::uint64_t>(a.data() + n - 8) == load<std::uint64_t>(b.data() + n - 8);
    }
    if (n >= 4) {
      return load<std::uint32_t>(a.data()) == load<std::uint32_t>(b.data()) &&
             load<std::uint32_t>(a.data() + n - 4) == load<std::uint32_t>(b.data() + n - 4);
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }

  template <class T>
  static T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }

  // Room for `words` words aligned to `align` words; the index of the first.
  [[gnu::always_inline]] std::uint32_t allocate(std::size_t words, std::size_t align) {
    const std::size_t at = (used_ + align - 1) / align * align;
    if (at + words + kPaddingWords > capacity_) [[unlikely]]
      grow(at + words);
    used_ = at + words;
    return static_cast<std::uint32_t>(at);
  }
  void grow(std::size_t needed);

  std::uint32_t* words_ = nullptr;
  std::size_t used_ = 0;      // in words
  std::size_t capacity_ = 0;  // in words

  // The texts last added, by a hash of their bytes: a cache of fixed size
  // rather than a table of every text, so a run of distinct texts costs no
  // more than their bytes.
  // An entry holds a text only while its generation is the store's: clearing
  // the store moves on to the next generation instead of wiping the cache.
  struct Recent {
    std::uint32_t tag = 0;  // the hash's upper half
    std::uint32_t at = 0;   // the text
    std::uint32_t generation = 0;
  };
  std::vector<Recent> recent_;
  std::uint32_t generation_ = 1;
};

// Stores of one trace item each, used again once the item and every record
// holding it are gone: a run that hands each trace on as soon as it is read
// keeps touching the same few pages instead of new ones. Thread-safe.
class StorePool : public std::enable_shared_from_this<StorePool> {
 public:
  StorePool();
  // An empty store, which comes back here when its last holder lets go.
  // The pool must be held by a shared_ptr.
  std::shared_ptr<ModelStore> get() EXCLUDES(mutex_);

 private:
  void give_back(ModelStore* store) EXCLUDES(mutex_);

  Mutex mutex_;
  std::vector<std::unique_ptr<ModelStore>> free_ GUARDED_BY(mutex_);
};

// The trace ID of a record: the traceID of its first item, which it must have.
inline std::string_view trace_id_of(const JaegerTrace& record) {
  return record.store->text(record.data.front().traceID);
}

}  // namespace spansift
