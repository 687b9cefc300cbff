// The processor's 16-byte blocks, behind one type per kernel: the reader,
// the store and the writer read as plain logic over these, templated on the
// kernel, and are instantiated for the portable one and the processor's own
// (kernels.h chooses between them once per process).
//
// A mask has bit i set for byte i of the block. Every kernel gives the same
// masks for the same bytes; only the instructions differ.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace spansift::simd {

// Bytes [0, n) set, the others clear, for n from 0 to 16: the 16 bytes from
// kPrefix + 16 - n.
inline constexpr unsigned char kPrefix[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Plain C++, byte by byte: any processor, and the reference for the others.
struct Portable {
  struct Block {
    unsigned char bytes[16];
  };

  [[gnu::always_inline]] static Block load(const char* p) {
    Block b;
    std::memcpy(b.bytes, p, 16);
    return b;
  }
  template <class Test>
  [[gnu::always_inline]] static unsigned mask(const Block& b, Test test) {
    unsigned m = 0;
    for (unsigned i = 0; i < 16; ++i) m |= unsigned{test(b.bytes[i])} << i;
    return m;
  }
  // ' ', '\n', '\t', '\r'.
  static unsigned blank(const Block& b) {
    return mask(b, [](unsigned char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; });
  }
  // What ends a run of a string's own bytes: '"', '\\' and control bytes;
  // also what a writer escapes.
  static unsigned string_stop(const Block& b) {
    return mask(b, [](unsigned char c) { return c == '"' || c == '\\' || c < 0x20; });
  }
  // string_stop, and bytes of 0x80 and above.
  static unsigned not_plain(const Block& b) {
    return mask(b, [](unsigned char c) { return c == '"' || c == '\\' || c < 0x20 || c >= 0x80; });
  }
  static unsigned high(const Block& b) {
    return mask(b, [](unsigned char c) { return c >= 0x80; });
  }
  static unsigned equal_to(const Block& b, char byte) {
    return mask(b, [byte](unsigned char c) { return c == static_cast<unsigned char>(byte); });
  }
  // Bytes equal to `byte` once bit 5 is set in them: '{' finds '[' too.
  static unsigned folded_equal_to(const Block& b, char byte) {
    return mask(b, [byte](unsigned char c) { return (c | 0x20) == static_cast<unsigned char>(byte); });
  }
  // Where `a` and `b` hold the same byte.
  static unsigned same(const Block& a, const Block& b) {
    unsigned m = 0;
    for (unsigned i = 0; i < 16; ++i) m |= unsigned{a.bytes[i] == b.bytes[i]} << i;
    return m;
  }
  // The first `n` bytes, zeros after them.
  static Block first(const Block& b, std::size_t n) {
    Block out{};
    std::memcpy(out.bytes, b.bytes, n);
    return out;
  }
  // Bytes 0-7 (half 0) or 8-15 (half 1) as a word, as loaded from memory.
  static std::uint64_t word(const Block& b, int half) {
    std::uint64_t w;
    std::memcpy(&w, b.bytes + 8 * half, 8);
    return w;
  }
};

#if defined(__x86_64__)
// SSE2, which every x86-64 processor has.
struct Sse2 {
  using Block = __m128i;

  [[gnu::always_inline]] static Block load(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  [[gnu::always_inline]] static unsigned bits(__m128i set) { return static_cast<unsigned>(_mm_movemask_epi8(set)); }
  [[gnu::always_inline]] static unsigned blank(Block b) {
    return bits(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(b, _mm_set1_epi8('\n'))),
                     _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(b, _mm_set1_epi8('\r')))));
  }
  [[gnu::always_inline]] static unsigned string_stop(Block b) {
    const __m128i control = _mm_set1_epi8(0x1F);
    return bits(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('"')), _mm_cmpeq_epi8(b, _mm_set1_epi8('\\'))),
                     _mm_cmpeq_epi8(_mm_max_epu8(b, control), control)));
  }
  [[gnu::always_inline]] static unsigned not_plain(Block b) {
    // XOR 2 takes the quote to 0x20 and keeps control bytes below it, so one
    // signed compare finds the quote, control bytes and bytes of 0x80 and up.
    const __m128i low = _mm_cmplt_epi8(_mm_xor_si128(b, _mm_set1_epi8(2)), _mm_set1_epi8(0x21));
    return bits(_mm_or_si128(low, _mm_cmpeq_epi8(b, _mm_set1_epi8('\\'))));
  }
  [[gnu::always_inline]] static unsigned high(Block b) { return bits(b); }
  [[gnu::always_inline]] static unsigned equal_to(Block b, char byte) {
    return bits(_mm_cmpeq_epi8(b, _mm_set1_epi8(byte)));
  }
  [[gnu::always_inline]] static unsigned folded_equal_to(Block b, char byte) {
    return bits(_mm_cmpeq_epi8(_mm_or_si128(b, _mm_set1_epi8(0x20)), _mm_set1_epi8(byte)));
  }
  [[gnu::always_inline]] static unsigned same(Block a, Block b) { return bits(_mm_cmpeq_epi8(a, b)); }
  [[gnu::always_inline]] static Block first(Block b, std::size_t n) {
    return _mm_and_si128(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPrefix + 16 - n)));
  }
  [[gnu::always_inline]] static std::uint64_t word(Block b, int half) {
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(half == 0 ? b : _mm_unpackhi_epi64(b, b)));
  }
};
using Native = Sse2;
#elif defined(__aarch64__)
// Advanced SIMD, which every arm64 processor has.
struct Neon {
  using Block = uint8x16_t;

  [[gnu::always_inline]] static Block load(const char* p) { return vld1q_u8(reinterpret_cast<const std::uint8_t*>(p)); }
  // A bit for each byte of `set` (all ones or all zeros), as x86's movemask.
  [[gnu::always_inline]] static unsigned bits(uint8x16_t set) {
    static constexpr std::uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    uint8x16_t b = vandq_u8(set, vld1q_u8(kBits));
    b = vpaddq_u8(b, b);
    b = vpaddq_u8(b, b);
    b = vpaddq_u8(b, b);
    return vgetq_lane_u16(vreinterpretq_u16_u8(b), 0);
  }
  [[gnu::always_inline]] static unsigned blank(Block b) {
    return bits(vorrq_u8(vorrq_u8(vceqq_u8(b, vdupq_n_u8(' ')), vceqq_u8(b, vdupq_n_u8('\n'))),
                         vorrq_u8(vceqq_u8(b, vdupq_n_u8('\t')), vceqq_u8(b, vdupq_n_u8('\r')))));
  }
  [[gnu::always_inline]] static unsigned string_stop(Block b) {
    return bits(
        vorrq_u8(vorrq_u8(vceqq_u8(b, vdupq_n_u8('"')), vceqq_u8(b, vdupq_n_u8('\\'))), vcltq_u8(b, vdupq_n_u8(0x20))));
  }
  [[gnu::always_inline]] static unsigned not_plain(Block b) {
    return bits(vorrq_u8(vceqq_u8(b, vdupq_n_u8('"')),
                         vorrq_u8(vceqq_u8(b, vdupq_n_u8('\\')),
                                  vorrq_u8(vcltq_u8(b, vdupq_n_u8(0x20)), vcgeq_u8(b, vdupq_n_u8(0x80))))));
  }
  [[gnu::always_inline]] static unsigned high(Block b) { return bits(vcgeq_u8(b, vdupq_n_u8(0x80))); }
  [[gnu::always_inline]] static unsigned equal_to(Block b, char byte) {
    return bits(vceqq_u8(b, vdupq_n_u8(static_cast<std::uint8_t>(byte))));
  }
  [[gnu::always_inline]] static unsigned folded_equal_to(Block b, char byte) {
    return bits(vceqq_u8(vorrq_u8(b, vdupq_n_u8(0x20)), vdupq_n_u8(static_cast<std::uint8_t>(byte))));
  }
  [[gnu::always_inline]] static unsigned same(Block a, Block b) { return bits(vceqq_u8(a, b)); }
  [[gnu::always_inline]] static Block first(Block b, std::size_t n) { return vandq_u8(b, vld1q_u8(kPrefix + 16 - n)); }
  [[gnu::always_inline]] static std::uint64_t word(Block b, int half) {
    return half == 0 ? vgetq_lane_u64(vreinterpretq_u64_u8(b), 0) : vgetq_lane_u64(vreinterpretq_u64_u8(b), 1);
  }
};
using Native = Neon;
#else
using Native = Portable;
#endif

}  // namespace spansift::simd
