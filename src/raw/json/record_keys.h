// The one matcher of a record's keys, for the frame loop and the straight
// path alike: exports mostly give a record's keys in declaration order,
// compact, so the key expected next is compared whole, comma, quotes and
// colon and all, in one compare of a block.
#pragma once

#include <cstddef>

#include "raw/json/json_grammar.h"
#include "raw/json/json_input.h"
#include "raw/json/schema.h"

namespace spansift {

// Whether the 16 bytes at `p` begin with the first `length` bytes of `key`
// (its quoted form, or with the comma before it), with kernel K.
template <class K>
[[gnu::always_inline]] inline bool starts_with_key(const char* p, const QuotedKey& key, std::size_t length) {
  const unsigned same = K::same(K::load(p), K::load(key.bytes.data()));
  const unsigned needed = (1U << length) - 1;
  return (same & needed) == needed;
}

// What match_key found: not the key, or the key with the first byte of its
// value not looked at; otherwise that byte, which is not blank.
inline constexpr int kNoKey = -3;
inline constexpr int kNotLooked = -2;

// The key of field i of record R at the cursor, after a comma when `comma`,
// blanks allowed around each: when it is there, the cursor is past its
// colon; when not (kNoKey), on the comma or the key, or on blanks before
// them. A colon missing after the key is a fault, met where the frame loop
// meets it.
template <class K, class R>
[[gnu::always_inline]] inline int match_key(Cursor<K>& c, std::size_t i, bool comma) {
  const QuotedKey& key = kTable<R>.quoted_keys[i];
  if (const QuotedKey& both = kTable<R>.comma_keys[i]; comma && both.length != 0 && c.ensure(17)) {
    // Compact: ,"key": whole in one compare, and the byte after it in hand.
    if (starts_with_key<K>(c.data(), both, both.length)) {
      c.advance(both.length);
      const auto first = static_cast<unsigned char>(*c.data());
      return first > ' ' ? first : kNotLooked;
    }
  }
  std::size_t at = comma ? 1 : 0;
  if (c.ensure(at + 17) && (!comma || *c.data() == ',')) {
    // Compact: "key": whole in one compare, and the byte after it in hand.
    if (starts_with_key<K>(c.data() + at, key, key.length)) {
      c.advance(at + key.length);
      const auto first = static_cast<unsigned char>(*c.data());
      return first > ' ' ? first : kNotLooked;
    }
  }
  at = 0;
  const int byte = c.peek_token();
  if (comma) {
    if (byte != ',') return kNoKey;
    at = 1;
    while (at < c.available() && is_blank(c.data()[at])) ++at;
  }
  if (!c.ensure(at + 16)) return kNoKey;
  if (!starts_with_key<K>(c.data() + at, key, key.length - 1u)) return kNoKey;  // in its quotes, not the colon
  c.advance(at + key.length - 1);
  if (c.available() != 0 && *c.data() == ':') {
    c.advance(1);
  } else {
    expect_colon(c);
  }
  return kNotLooked;
}

}  // namespace spansift
