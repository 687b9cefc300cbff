#include "raw/json/item_scan.h"

#include <cstring>

#include "utils/simd/wide.h"

namespace spansift {

namespace {

using Classes = simd::Classes64;

constexpr std::size_t kBlock = 64;

// '[' and '{' differ only in bit 5, as ']' and '}' do.
constexpr unsigned char kOpenFolded = '{';
constexpr unsigned char kCloseFolded = '}';

}  // namespace

// The steps of the scan on its state `s`, each inlined into the kernel's
// loop, which holds this by value: so `s` stays in registers from block to
// block, and only a span found leaves them.
struct ItemScanner::Blocks {
  State s;
  std::vector<ItemSpan>* spans;

  [[gnu::always_inline]] void opened(unsigned char bracket, std::uint64_t at) {
    if (s.depth == 2 && bracket == '{') s.open_at = at;
    ++s.depth;
  }

  [[gnu::always_inline]] void closed(std::uint64_t at) {
    if (s.depth == 0) return;
    --s.depth;
    if (s.depth == 2 && s.open_at != kNoSpan) {
      spans->push_back({s.open_at, at + 1});
      s.open_at = kNoSpan;
    }
  }

  // Bytes escaped by a backslash, which is itself not escaped, in a block
  // with these backslashes. Backslashes are rare: one by one.
  [[gnu::always_inline]] std::uint64_t escaped_bytes(std::uint64_t backslash) {
    std::uint64_t escaped = 0;
    if (s.escaping) {
      escaped = 1;
      backslash &= ~std::uint64_t{1};
    }
    s.escaping = false;
    while (backslash != 0) {
      const int i = __builtin_ctzll(backslash);
      if (i == 63) {
        s.escaping = true;
        break;
      }
      escaped |= std::uint64_t{1} << (i + 1);
      backslash &= ~(std::uint64_t{1} << (i + 1));
      backslash &= backslash - 1;
    }
    return escaped;
  }

  // Inlined into each kernel's loop, so that it uses the kernel's
  // instructions (the processor's popcnt with AVX2).
  [[gnu::always_inline]] void operator()(const char* bytes, Classes c) {
    // Which bytes lie between an opening quote and its closing one: from the
    // kernel's parity of the quotes, unless a backslash escapes one.
    std::uint64_t parity = c.quote_parity;
    if ((c.backslash | static_cast<std::uint64_t>(s.escaping)) != 0) [[unlikely]]
      parity = simd::prefix_xor(c.quote & ~escaped_bytes(c.backslash));
    const std::uint64_t in_string = parity ^ (s.in_string ? ~std::uint64_t{0} : 0);
    s.in_string = (in_string >> 63) != 0;

    const std::uint64_t open = c.open & ~in_string;
    const std::uint64_t close = c.close & ~in_string;
    // Most brackets lie deep inside items: a block that can't come back up
    // to an item's level only moves the depth.
    const auto closes = static_cast<std::uint32_t>(__builtin_popcountll(close));
    if (s.depth > closes + 3) {
      s.depth = s.depth - closes + static_cast<std::uint32_t>(__builtin_popcountll(open));
      s.offset += kBlock;
      return;
    }
    std::uint64_t brackets = open | close;
    while (brackets != 0) {
      const int i = __builtin_ctzll(brackets);
      brackets &= brackets - 1;
      const std::uint64_t at = s.offset + static_cast<std::uint64_t>(i);
      if ((c.open >> i) & 1) {
        opened(static_cast<unsigned char>(bytes[i]), at);
      } else {
        closed(at);
      }
    }
    s.offset += kBlock;
  }

  // The bytes after the last whole block.
  void one_by_one(const char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      const auto byte = static_cast<unsigned char>(bytes[i]);
      const bool escaped = s.escaping;
      s.escaping = byte == '\\' && !escaped;
      if (byte == '"' && !escaped) {
        s.in_string = !s.in_string;
      } else if (!s.in_string && (byte | 0x20) == kOpenFolded) {
        opened(byte, s.offset + i);
      } else if (!s.in_string && (byte | 0x20) == kCloseFolded) {
        closed(s.offset + i);
      }
    }
    s.offset += size;
  }
};

void ItemScanner::scan(const char* bytes, std::size_t size, std::vector<ItemSpan>& spans) {
  const std::size_t whole = size / kBlock;
  Blocks blocks = simd::for_each_block64(bytes, whole, Blocks{state_, &spans});
  blocks.one_by_one(bytes + whole * kBlock, size - whole * kBlock);
  state_ = blocks.s;
}

}  // namespace spansift
