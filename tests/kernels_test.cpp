// The 16-byte kernels agree byte for byte: each special byte at each place
// of a block gives the same masks in every kernel this machine has, and a
// short text found through a block is the one interned through its bytes.
// (The readers' and writers' tables run with each kernel forced as well.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "raw/model_store.h"
#include "utils/simd/block.h"

namespace spansift {
namespace {

// The masks a kernel gives for `block`, one per test, in one text.
template <class K>
std::vector<unsigned> masks(const std::string& block) {
  const typename K::Block b = K::load(block.data());
  return {K::blank(b),
          K::string_stop(b),
          K::not_plain(b),
          K::high(b),
          K::equal_to(b, '\n'),
          K::folded_equal_to(b, '{'),
          K::same(b, K::load("aaaaaaaaaaaaaaaa")),
          K::equal_to(K::first(b, 5), 'a')};
}

// What each test must find for byte `c`, by the definitions of block.h.
std::vector<bool> expected(unsigned char c) {
  return {c == ' ' || c == '\n' || c == '\t' || c == '\r',
          c == '"' || c == '\\' || c < 0x20,
          c == '"' || c == '\\' || c < 0x20 || c >= 0x80,
          c >= 0x80,
          c == '\n',
          c == '{' || c == '[',
          c == 'a',
          c == 'a'};
}

TEST(Kernels, EveryByteAtEveryPlaceOfABlock) {
  for (int c = 0; c < 256; ++c) {
    for (unsigned at = 0; at < 16; ++at) {
      std::string block(16, 'a');
      block[at] = static_cast<char>(c);
      const std::vector<bool> wanted = expected(static_cast<unsigned char>(c));
      std::vector<unsigned> want;
      const unsigned others = 0xFFFF & ~(1U << at);
      // The other bytes are 'a': found by the tests for 'a' only; first(b, 5)
      // keeps bytes 0 to 4.
      for (std::size_t t = 0; t < wanted.size(); ++t) {
        unsigned m = wanted[t] ? 1U << at : 0;
        if (t >= 6) m |= others;
        if (t == 7) m &= 0x1F;
        want.push_back(m);
      }
      SCOPED_TRACE(::testing::Message() << "byte " << c << " at " << at);
      EXPECT_EQ(masks<simd::Portable>(block), want);
      EXPECT_EQ(masks<simd::Native>(block), want);
    }
  }
}

// Block words are the bytes as loaded from memory: the store's hash of a
// short text from its bytes and from a reader's block must agree, or texts
// read by one way are never found again by the other.
template <class K>
void short_texts_found_both_ways() {
  const std::string text = "0123456789abcdefXXXXXXXXXXXXXXXX";  // read past the text, as a reader does
  for (std::size_t n = 1; n < 16; ++n) {
    SCOPED_TRACE(n);
    ModelStore store;
    const Text by_bytes = store.intern<K>(std::string_view(text.data(), n), false);
    const Text by_block = store.intern_short<K>(text.data(), n, K::first(K::load(text.data()), n));
    EXPECT_EQ(by_block.at, by_bytes.at);
    ModelStore other;
    const Text first_by_block = other.intern_short<K>(text.data(), n, K::first(K::load(text.data()), n));
    EXPECT_EQ(other.intern<K>(std::string_view(text.data(), n), false).at, first_by_block.at);
    EXPECT_EQ(other.text(first_by_block), text.substr(0, n));
  }
}

TEST(Kernels, AShortTextIsFoundThroughItsBytesAndThroughABlock) {
  short_texts_found_both_ways<simd::Portable>();
  short_texts_found_both_ways<simd::Native>();
}

}  // namespace
}  // namespace spansift
