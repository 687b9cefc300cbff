// Kernels over runs of bytes longer than a block, out of the reader's hot
// loop: line feeds counted, and blocks of 64 bytes classified for the item
// scan. They follow the kernels chosen (kernels.h) exactly, AVX2 included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "utils/simd/block.h"
#include "utils/simd/kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace spansift::simd {

// The line feeds in [from, to): how many, and the last one.
struct Newlines {
  std::uint64_t count = 0;
  const char* last = nullptr;
};
Newlines count_newlines(const char* from, const char* to);

// What a block of 64 bytes holds: bit i for byte i.
struct Classes64 {
  std::uint64_t quote = 0;
  std::uint64_t backslash = 0;
  std::uint64_t open = 0;   // '{' or '['
  std::uint64_t close = 0;  // '}' or ']'
  // Bit i set when an odd number of quotes lie in bytes 0..i: which bytes
  // lie inside a string, where no quote is escaped.
  std::uint64_t quote_parity = 0;
};

// Bit i of the result set when an odd number of bits 0..i of `x` are.
inline std::uint64_t prefix_xor(std::uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

namespace wide_detail {

template <class K>
[[gnu::always_inline]] inline Classes64 classify(const char* p) {
  Classes64 c;
  for (unsigned i = 0; i < 64; i += 16) {
    const typename K::Block b = K::load(p + i);
    c.quote |= std::uint64_t{K::equal_to(b, '"')} << i;
    c.backslash |= std::uint64_t{K::equal_to(b, '\\')} << i;
    c.open |= std::uint64_t{K::folded_equal_to(b, '{')} << i;
    c.close |= std::uint64_t{K::folded_equal_to(b, '}')} << i;
  }
  c.quote_parity = prefix_xor(c.quote);
  return c;
}

template <class K, class Each>
Each each_block(const char* p, std::size_t blocks, Each each) {
  for (std::size_t b = 0; b < blocks; ++b) each(p + 64 * b, classify<K>(p + 64 * b));
  return each;
}

#if defined(__x86_64__)
// prefix_xor in one carry-less multiply by all ones.
[[gnu::always_inline, gnu::target("pclmul")]] inline std::uint64_t prefix_xor_clmul(std::uint64_t x) {
  const __m128i product = _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(x)), _mm_set1_epi8(-1), 0);
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(product));
}

[[gnu::always_inline, gnu::target("avx2,pclmul")]] inline Classes64 classify_avx2(const char* p) {
  const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  // The two halves' masks of bytes equal to `byte`, in one word; written out
  // for both halves, so that no shift is by a count held in a register.
  auto equal = [](__m256i a, __m256i b, char byte) __attribute__((always_inline, target("avx2"))) {
    const __m256i set = _mm256_set1_epi8(byte);
    const auto lo = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, set)));
    const auto hi = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, set)));
    return std::uint64_t{lo} | (std::uint64_t{hi} << 32);
  };
  const __m256i fold = _mm256_set1_epi8(0x20);
  Classes64 c;
  c.quote = equal(low, high, '"');
  c.backslash = equal(low, high, '\\');
  c.open = equal(_mm256_or_si256(low, fold), _mm256_or_si256(high, fold), '{');
  c.close = equal(_mm256_or_si256(low, fold), _mm256_or_si256(high, fold), '}');
  c.quote_parity = prefix_xor_clmul(c.quote);
  return c;
}
// The loop and `each` compiled for AVX2 (and its popcnt and carry-less
// multiply), `each` inlined.
template <class Each>
[[gnu::target("avx2,popcnt,pclmul")]] Each each_block_avx2(const char* p, std::size_t blocks, Each each) {
  for (std::size_t b = 0; b < blocks; ++b) each(p + 64 * b, classify_avx2(p + 64 * b));
  return each;
}
#endif

}  // namespace wide_detail

// Calls `each(bytes, classes)` for each of `blocks` blocks of 64 bytes from
// `p` on, in order, with the kernels chosen, and returns `each` as it ends.
// `each` is held by value in the loop, so that what it carries from block to
// block can stay in registers.
template <class Each>
Each for_each_block64(const char* p, std::size_t blocks, Each each) {
  switch (chosen()) {
#if defined(__x86_64__)
    case Kernels::kAvx2: return wide_detail::each_block_avx2(p, blocks, std::move(each));
    case Kernels::kSse2: return wide_detail::each_block<Sse2>(p, blocks, std::move(each));
#elif defined(__aarch64__)
    case Kernels::kNeon: return wide_detail::each_block<Neon>(p, blocks, std::move(each));
#endif
    default: return wide_detail::each_block<Portable>(p, blocks, std::move(each));
  }
}

}  // namespace spansift::simd
