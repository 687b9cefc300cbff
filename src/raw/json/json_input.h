// The tokenizer's ground floor: the bytes of a JSON text, held whole in
// memory or read from a stream piece by piece, with positions for errors;
// and the smallest pieces of the grammar, each written once: whitespace,
// literals, strings and their escapes.
//
// A token is read by looking ahead of the cursor and then advancing past
// it. Reading more of a stream keeps every byte from the cursor on, so a
// token is always whole in the buffer while it is read, but the bytes may
// move: pointers into the buffer last only until the input is read further.
// The input is read only through a Cursor.
//
// Both forms keep simd::kPadding readable bytes past the bytes in hand, so
// a fast path loads its window without asking how much is in hand, and then
// takes its result only if the byte that decided it was in hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "raw/json/read_error.h"
#include "utils/file.h"
#include "utils/simd/block.h"
#include "utils/simd/padded.h"

namespace spansift {

// Puts up to `capacity` bytes into `buffer` and their count into `got`, 0 at
// the end of the input; or fails with the errno that stopped it.
using ReadSome = std::function<Status(char* buffer, std::size_t capacity, std::size_t& got)>;

// The grammar's two readers: the reader keeps what it reads and holds it to
// the model (surrogate pairs, UTF-8, the values of numbers); the skipper
// reads through a value that the model does not have, by the grammar alone.
enum class Rules : std::uint8_t { Read, Skip };

// ---- Bytes of the grammar.

// Whitespace between tokens.
constexpr bool is_blank(int c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }
constexpr bool is_digit(int c) { return c >= '0' && c <= '9'; }
// A byte that ends a run of a string's own bytes: the closing quote, an
// escape, or a control byte (refused).
constexpr bool is_string_stop(unsigned char c) { return c == '"' || c == '\\' || c < 0x20; }

// The literal that starts with `c`, or an empty view.
constexpr std::string_view literal_starting_with(int c) {
  switch (c) {
    case 'n': return "null";
    case 't': return "true";
    case 'f': return "false";
    default: return {};
  }
}

// Skips whole blocks of 16 blanks from `p` while 16 bytes are left before
// `end`, with kernel K (utils/simd). Returns the first byte that is not
// blank, with `p` on it; or -1, with fewer than 16 bytes left, to be looked
// at one by one.
template <class K>
[[gnu::always_inline]] inline int skip_blank_blocks(const char*& p, const char* end) {
  while (end - p >= 16) {
    const unsigned blank = K::blank(K::load(p));
    if (blank != 0xFFFF) {
      p += __builtin_ctz(~blank);
      return static_cast<unsigned char>(*p);
    }
    p += 16;
  }
  return -1;
}

// A string read: a view into the buffer or into the reader's scratch; it
// lasts until the input is read further.
struct JsonString {
  std::string_view text;
  bool escaped;  // the text came through escapes: its input bytes differ
};

class JsonInput {
 public:
  // The whole text; it must outlive the input.
  explicit JsonInput(simd::PaddedView text);
  // A stream read in pieces of `piece_size` bytes.
  JsonInput(ReadSome read_some, std::size_t piece_size);

  JsonInput(const JsonInput&) = delete;
  JsonInput& operator=(const JsonInput&) = delete;

 private:
  // What follows are a Cursor's slow paths, at the cursor p_ that it hands
  // over.
  template <class K>
  friend class Cursor;

  // The byte `i` places after the cursor, or -1 past the end of the input.
  int at(std::size_t i) {
    if (i < available()) return static_cast<unsigned char>(p_[i]);
    return at_slow(i);
  }
  int at_slow(std::size_t i);
  std::size_t available() const { return static_cast<std::size_t>(end_ - p_); }

  // Makes `need` bytes available from the cursor on if the input has them,
  // keeping every byte from the cursor on. True when they are.
  bool fill(std::size_t need);
  // The same for bytes the reader looks at ahead of need, to take a faster
  // way: a failed read is kept, not thrown, and false returned, so that the
  // fault is met only where the reader needs those bytes (fill throws it
  // then, without reading again).
  bool fill_ahead(std::size_t need);
  bool fill(std::size_t need, bool keep_failure);
  void count_lines(const char* from, const char* to);

  // Skips whitespace and returns the byte then at the cursor, or -1 at the
  // end of the input.
  int skip_whitespace();

  // Moves the cursor `n` bytes on, reading the input as far as that; the
  // input has them.
  void skip(std::uint64_t n);

  // The literal `word`, whose first letter is at the cursor.
  void literal(std::string_view word);

  // A string, cursor on its opening quote; leaves the cursor past the
  // closing quote. Read: escapes are decoded into `scratch` once one comes,
  // surrogate pairs and UTF-8 checked. Skip: escapes must be well formed,
  // nothing else is checked and nothing kept.
  template <Rules rules>
  JsonString string(std::string& scratch);
  JsonString read_string(std::string& scratch);
  void skip_string();
  // The index of the first byte from the cursor's i-th on that ends a run of
  // a string's own bytes, or available(); `high` is set if a byte before it
  // is not ASCII.
  std::size_t scan_string_bytes(std::size_t i, bool& high) const;
  // The escape whose backslash is at the cursor, advanced past (Read: its
  // bytes appended to `out`).
  template <Rules rules>
  void escape(std::string& out);
  // Four hex digits of a \u escape starting `i` places after the cursor.
  std::uint16_t hex_escape(std::size_t i);

  // Input offset of the byte `i` places after the cursor, or of `p`.
  std::uint64_t offset(std::size_t i = 0) const { return offset_of(p_) + i; }
  std::uint64_t offset_of(const char* p) const { return base_ + static_cast<std::uint64_t>(p - buffer_); }
  // Offset just past that byte when there is one: a byte the reader has
  // looked at counts as read in an error's position.
  std::uint64_t offset_through(std::size_t i = 0) { return offset(i) + (at(i) >= 0 ? 1 : 0); }

  // Throws `error` placed at input offset `at`, which must not lie before
  // the start of the token being read.
  [[noreturn, gnu::cold]] void fail(ReadError error, std::uint64_t at) const;
  [[noreturn, gnu::cold]] void fail(ReadErrorCode code, std::uint64_t at) const;

  const char* buffer_;            // start of the bytes in hand
  const char* p_;                 // the cursor
  const char* end_;               // end of the bytes in hand
  std::uint64_t base_ = 0;        // input offset of buffer_
  std::uint64_t lines_ = 1;       // line of buffer_
  std::uint64_t line_start_ = 0;  // input offset where that line starts

  // Stream form only.
  ReadSome read_some_;
  std::size_t piece_size_ = 0;
  std::vector<char> storage_;  // what is read, then simd::kPadding bytes kept free
  bool ended_ = false;
  Status failed_read_;  // a failed read kept by fill_ahead
};

// The way into an input: a copy of its cursor that a hot loop keeps in
// registers. Its fast paths handle what lies whole in the buffer; its slow
// paths, and with_input(), hand the position to the input before and take
// it back after, so a refill never leaves it in bytes that have moved. On
// destruction it hands the position back for good. A Cursor is passed only
// to code that is inlined, so that it stays in registers: code that reads on
// its own takes the input through with_input() and opens a Cursor on it.
// K: the 16-byte kernel that its fast paths use (utils/simd).
template <class K>
class Cursor {
 public:
  explicit Cursor(JsonInput& input) : in_(input), p_(input.p_), end_(input.end_) {}
  ~Cursor() { in_.p_ = p_; }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // Runs `use(input)` with the input at the cursor, and goes on from where
  // `use` left it (also when it throws).
  template <class F>
  [[gnu::always_inline]] decltype(auto) with_input(F&& use) {
    in_.p_ = p_;
    struct Reload {
      Cursor& cursor;
      ~Reload() {
        cursor.p_ = cursor.in_.p_;
        cursor.end_ = cursor.in_.end_;
      }
    } reload{*this};
    return std::forward<F>(use)(in_);
  }

  // The bytes in hand from the cursor on. They last until the next call
  // that may read the input further (a slow path, with_input).
  const char* data() const { return p_; }
  std::size_t available() const { return static_cast<std::size_t>(end_ - p_); }
  void advance(std::size_t n) { p_ += n; }

  // The byte `i` places after the cursor, or -1 past the end of the input.
  int at(std::size_t i) {
    if (i < available()) return static_cast<unsigned char>(p_[i]);
    return with_input([i](JsonInput& in) { return in.at_slow(i); });
  }

  // Input offset of the byte `i` places after the cursor; just past it when
  // there is one (offset_through): a byte the reader has looked at counts as
  // read in an error's position.
  std::uint64_t offset(std::size_t i = 0) const { return in_.offset_of(p_) + i; }
  std::uint64_t offset_through(std::size_t i = 0) {
    return with_input([i](JsonInput& in) { return in.offset_through(i); });
  }
  [[noreturn]] void fail(ReadErrorCode code, std::uint64_t at) const { in_.fail(code, at); }
  [[noreturn]] void fail(ReadError error, std::uint64_t at) const { in_.fail(std::move(error), at); }

  // Skips whitespace and returns the byte then at the cursor, which stays
  // where it is, or -1 at the end of the input.
  [[gnu::always_inline]] int peek_token() {
    if (p_ != end_ && static_cast<unsigned char>(*p_) > ' ') return static_cast<unsigned char>(*p_);
    if (int c = skip_blank_blocks<K>(p_, end_); c >= 0) return c;
    return with_input([](JsonInput& in) { return in.skip_whitespace(); });
  }

  // The literal `word` (null, true, false), whose first letter is at the
  // cursor. A word written in the code has its length known when compiling,
  // so it is one compare of a few bytes, with no call.
  template <std::size_t N>
  [[gnu::always_inline]] void literal(const char (&word)[N]) {
    constexpr std::size_t n = N - 1;
    if (available() >= n && std::memcmp(p_, word, n) == 0) {
      p_ += n;
      return;
    }
    with_input([&word](JsonInput& in) { in.literal(std::string_view(word, n)); });
  }
  [[gnu::always_inline]] void literal(std::string_view word) {
    if (available() >= word.size() && std::memcmp(p_, word.data(), word.size()) == 0) {
      p_ += word.size();
      return;
    }
    with_input([word](JsonInput& in) { in.literal(word); });
  }

  // A string, cursor on its opening quote: see JsonInput::string.
  [[gnu::always_inline]] JsonString read_string(std::string& scratch) {
    typename K::Block block;
    if (const std::size_t length = plain_string(block); length != kNotPlain) [[likely]] {
      JsonString s{{p_ + 1, length}, false};
      p_ += length + 2;
      return s;
    }
    return with_input([&scratch](JsonInput& in) { return in.read_string(scratch); });
  }

  // Most strings are plain ASCII of a few dozen bytes, whole in the buffer:
  // the length of the string at the cursor, on its opening quote, when the
  // first byte of the next kPlainWindow that is not plain ASCII is its
  // closing quote, in hand; kNotPlain otherwise. `block`: the 16 bytes that
  // hold its end. The window may reach into the padding, but where it is
  // all in hand, as it mostly is, no more need be asked.
  static constexpr std::size_t kNotPlain = SIZE_MAX;
  static constexpr std::size_t kPlainWindow = 64;
  static_assert(1 + kPlainWindow <= simd::kWindow);
  [[gnu::always_inline]] std::size_t plain_string(typename K::Block& block) const {
    return available() > kPlainWindow ? plain_in_window<true>(block) : plain_in_window<false>(block);
  }

 private:
  template <bool kAllInHand>
  [[gnu::always_inline]] std::size_t plain_in_window(typename K::Block& block) const {
    const char* text = p_ + 1;
    for (std::size_t at = 0; at < kPlainWindow; at += 16) {
      block = K::load(text + at);
      const unsigned other = K::not_plain(block);
      if (other == 0) continue;
      const std::size_t length = at + static_cast<std::size_t>(__builtin_ctz(other));
      return text[length] == '"' && (kAllInHand || length + 1 < available()) ? length : kNotPlain;
    }
    return kNotPlain;
  }

 public:
  void skip_string() {
    with_input([](JsonInput& in) { in.skip_string(); });
  }
  // Whether `n` bytes are in hand from the cursor on, reading the input
  // further if they are not: false only near its end.
  [[gnu::always_inline]] bool ensure(std::size_t n) {
    if (n <= available()) return true;
    return with_input([n](JsonInput& in) { return in.fill_ahead(n); });
  }

  // Moves `n` bytes on, which the input has.
  void skip(std::uint64_t n) {
    if (n <= available()) {
      p_ += n;
      return;
    }
    with_input([n](JsonInput& in) { in.skip(n); });
  }

 private:
  JsonInput& in_;
  const char* p_;
  const char* end_;
};

}  // namespace spansift
