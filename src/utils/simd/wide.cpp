#include "utils/simd/wide.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace spansift::simd {

namespace {

void one_by_one(const char* from, const char* to, Newlines& n) {
  for (; from < to; ++from) {
    if (*from == '\n') {
      ++n.count;
      n.last = from;
    }
  }
}

template <class K>
Newlines count_in_blocks(const char* from, const char* to) {
  Newlines n;
  for (; to - from >= 16; from += 16) {
    const unsigned mask = K::equal_to(K::load(from), '\n');
    if (mask != 0) {
      n.count += static_cast<unsigned>(__builtin_popcount(mask));
      n.last = from + (31 - __builtin_clz(mask));
    }
  }
  one_by_one(from, to, n);
  return n;
}

#if defined(__x86_64__)
// Compact text has hardly any line feed: 64 bytes are passed in one test.
[[gnu::target("avx2,popcnt")]] Newlines count_avx2(const char* from, const char* to) {
  Newlines n;
  const __m256i newline = _mm256_set1_epi8('\n');
  // Runs of 128 bytes with no line feed first, in one test each.
  for (; to - from >= 128; from += 128) {
    const auto* block = reinterpret_cast<const __m256i*>(from);
    const __m256i any = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(block), newline),
                                                        _mm256_cmpeq_epi8(_mm256_loadu_si256(block + 1), newline)),
                                        _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(block + 2), newline),
                                                        _mm256_cmpeq_epi8(_mm256_loadu_si256(block + 3), newline)));
    if (_mm256_testz_si256(any, any) == 0) break;
  }
  for (; to - from >= 64; from += 64) {
    const __m256i a = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)), newline);
    const __m256i b = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 32)), newline);
    if (_mm256_testz_si256(_mm256_or_si256(a, b), _mm256_or_si256(a, b)) != 0) continue;
    const std::uint64_t mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(a)) |
                               std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(b))} << 32;
    n.count += static_cast<std::uint64_t>(__builtin_popcountll(mask));
    n.last = from + (63 - __builtin_clzll(mask));
  }
  one_by_one(from, to, n);
  return n;
}
#endif

using CountNewlines = Newlines (*)(const char*, const char*);

CountNewlines count_chosen() {
  switch (chosen()) {
#if defined(__x86_64__)
    case Kernels::kAvx2: return count_avx2;
    case Kernels::kSse2: return count_in_blocks<Sse2>;
#elif defined(__aarch64__)
    case Kernels::kNeon: return count_in_blocks<Neon>;
#endif
    default: return count_in_blocks<Portable>;
  }
}

}  // namespace

Newlines count_newlines(const char* from, const char* to) {
  static const CountNewlines count = count_chosen();
  return count(from, to);
}

}  // namespace spansift::simd
