#include "raw/json/item_scan.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace spansift {

namespace {

using Classes = ItemScanner::Classes;

constexpr std::size_t kBlock = 64;

// Bit i set when an odd number of the bits 0..i of `x` are: which bytes lie
// between an opening quote and its closing one.
inline std::uint64_t prefix_xor(std::uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// '[' and '{' differ only in bit 5, as ']' and '}' do.
constexpr unsigned char kOpenFolded = '{';
constexpr unsigned char kCloseFolded = '}';

Classes classify_portable(const char* p) {
  Classes c;
  for (std::size_t i = 0; i < kBlock; ++i) {
    const auto byte = static_cast<unsigned char>(p[i]);
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (byte == '"') c.quote |= bit;
    if (byte == '\\') c.backslash |= bit;
    if ((byte | 0x20) == kOpenFolded) c.open |= bit;
    if ((byte | 0x20) == kCloseFolded) c.close |= bit;
  }
  return c;
}

#if defined(__x86_64__)
[[gnu::always_inline]] inline Classes classify_sse2(const char* p) {
  Classes c;
  for (std::size_t i = 0; i < kBlock; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
    auto mask = [](__m128i eq) { return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(eq))); };
    c.quote |= mask(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'))) << i;
    c.backslash |= mask(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))) << i;
    c.open |= mask(_mm_cmpeq_epi8(folded, _mm_set1_epi8(static_cast<char>(kOpenFolded)))) << i;
    c.close |= mask(_mm_cmpeq_epi8(folded, _mm_set1_epi8(static_cast<char>(kCloseFolded)))) << i;
  }
  return c;
}

[[gnu::always_inline, gnu::target("avx2")]] inline Classes classify_avx2(const char* p) {
  Classes c;
  for (std::size_t i = 0; i < kBlock; i += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m256i folded = _mm256_or_si256(bytes, _mm256_set1_epi8(0x20));
    auto mask = [](__m256i eq) __attribute__((target("avx2"))) {
      return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(eq)));
    };
    c.quote |= mask(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('"'))) << i;
    c.backslash |= mask(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('\\'))) << i;
    c.open |= mask(_mm256_cmpeq_epi8(folded, _mm256_set1_epi8(static_cast<char>(kOpenFolded)))) << i;
    c.close |= mask(_mm256_cmpeq_epi8(folded, _mm256_set1_epi8(static_cast<char>(kCloseFolded)))) << i;
  }
  return c;
}
#endif

}  // namespace

void ItemScanner::opened(unsigned char bracket, std::uint64_t at) {
  if (depth_ == 2 && bracket == '{') open_at_ = at;
  ++depth_;
}

void ItemScanner::closed(std::uint64_t at, std::vector<ItemSpan>& spans) {
  if (depth_ == 0) return;
  --depth_;
  if (depth_ == 2 && open_at_ != kNoSpan) {
    spans.push_back({open_at_, at + 1});
    open_at_ = kNoSpan;
  }
}

// Inlined into each kernel, so that it uses the kernel's instructions (the
// processor's popcnt with AVX2).
[[gnu::always_inline]] inline void ItemScanner::block(const char* bytes, Classes c, std::vector<ItemSpan>& spans) {
  // Bytes escaped by a backslash, which is itself not escaped. Backslashes
  // are rare: one by one.
  std::uint64_t escaped = 0;
  std::uint64_t backslash = c.backslash;
  if (escaping_) {
    escaped = 1;
    backslash &= ~std::uint64_t{1};
  }
  escaping_ = false;
  while (backslash != 0) {
    const int i = __builtin_ctzll(backslash);
    if (i == 63) {
      escaping_ = true;
      break;
    }
    escaped |= std::uint64_t{1} << (i + 1);
    backslash &= ~(std::uint64_t{1} << (i + 1));
    backslash &= backslash - 1;
  }
  const std::uint64_t quotes = c.quote & ~escaped;
  const std::uint64_t in_string = prefix_xor(quotes) ^ (in_string_ ? ~std::uint64_t{0} : 0);
  in_string_ = (in_string >> 63) != 0;

  const std::uint64_t open = c.open & ~in_string;
  const std::uint64_t close = c.close & ~in_string;
  // Most brackets lie deep inside items: a block that can't come back up
  // to an item's level only moves the depth.
  const auto closes = static_cast<std::uint32_t>(__builtin_popcountll(close));
  if (depth_ > closes + 3) {
    depth_ = depth_ - closes + static_cast<std::uint32_t>(__builtin_popcountll(open));
    offset_ += kBlock;
    return;
  }
  std::uint64_t brackets = open | close;
  while (brackets != 0) {
    const int i = __builtin_ctzll(brackets);
    brackets &= brackets - 1;
    const std::uint64_t at = offset_ + static_cast<std::uint64_t>(i);
    if ((c.open >> i) & 1) {
      opened(static_cast<unsigned char>(bytes[i]), at);
    } else {
      closed(at, spans);
    }
  }
  offset_ += kBlock;
}

// The classifier is chosen once: AVX2 where the processor has it.
namespace {

using ScanBlocks = void (*)(ItemScanner&, const char*, std::size_t, std::vector<ItemSpan>&);

}  // namespace

struct ItemScannerKernels {
  static void portable(ItemScanner& s, const char* p, std::size_t blocks, std::vector<ItemSpan>& spans) {
    for (std::size_t b = 0; b < blocks; ++b) s.block(p + b * kBlock, classify_portable(p + b * kBlock), spans);
  }
#if defined(__x86_64__)
  static void sse2(ItemScanner& s, const char* p, std::size_t blocks, std::vector<ItemSpan>& spans) {
    for (std::size_t b = 0; b < blocks; ++b) s.block(p + b * kBlock, classify_sse2(p + b * kBlock), spans);
  }
  [[gnu::target("avx2,popcnt")]] static void avx2(ItemScanner& s, const char* p, std::size_t blocks,
                                                  std::vector<ItemSpan>& spans) {
    for (std::size_t b = 0; b < blocks; ++b) s.block(p + b * kBlock, classify_avx2(p + b * kBlock), spans);
  }
#endif
  static ScanBlocks choose() {
#if defined(__x86_64__)
    return __builtin_cpu_supports("avx2") ? avx2 : sse2;
#else
    return portable;
#endif
  }
};

void ItemScanner::scan(const char* bytes, std::size_t size, std::vector<ItemSpan>& spans) {
  static const ScanBlocks scan_blocks = ItemScannerKernels::choose();
  const std::size_t whole = size / kBlock;
  scan_blocks(*this, bytes, whole, spans);
  one_by_one(bytes + whole * kBlock, size - whole * kBlock, spans);
}

void ItemScanner::one_by_one(const char* bytes, std::size_t size, std::vector<ItemSpan>& spans) {
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const bool escaped = escaping_;
    escaping_ = byte == '\\' && !escaped;
    if (byte == '"' && !escaped) {
      in_string_ = !in_string_;
    } else if (!in_string_ && (byte | 0x20) == kOpenFolded) {
      opened(byte, offset_ + i);
    } else if (!in_string_ && (byte | 0x20) == kCloseFolded) {
      closed(offset_ + i, spans);
    }
  }
  offset_ += size;
}

}  // namespace spansift
