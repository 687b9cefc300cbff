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

// Bytes escaped by a backslash, which is itself not escaped, in a block
// with these backslashes. Backslashes are rare: one by one.
std::uint64_t ItemScanner::escaped_bytes(std::uint64_t backslash) {
  std::uint64_t escaped = 0;
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
  return escaped;
}

// Inlined into each kernel's loop, so that it uses the kernel's instructions
// (the processor's popcnt with AVX2).
[[gnu::always_inline]] inline void ItemScanner::block(const char* bytes, Classes c, std::vector<ItemSpan>& spans) {
  // Which bytes lie between an opening quote and its closing one: from the
  // kernel's parity of the quotes, unless a backslash escapes one.
  std::uint64_t parity = c.quote_parity;
  if ((c.backslash | static_cast<std::uint64_t>(escaping_)) != 0) [[unlikely]]
    parity = simd::prefix_xor(c.quote & ~escaped_bytes(c.backslash));
  const std::uint64_t in_string = parity ^ (in_string_ ? ~std::uint64_t{0} : 0);
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

void ItemScanner::scan(const char* bytes, std::size_t size, std::vector<ItemSpan>& spans) {
  const std::size_t whole = size / kBlock;
  simd::for_each_block64(
      bytes, whole, [ this, &spans ](const char* block, Classes classes) __attribute__((always_inline)) {
        this->block(block, classes, spans);
      });
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
