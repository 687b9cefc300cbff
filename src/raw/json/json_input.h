// The tokenizer's ground floor: the bytes of a JSON text, held whole in
// memory or read from a stream piece by piece, with positions for errors,
// whitespace, literals and strings.
//
// A token is read by looking ahead of the cursor and then advancing past
// it. Reading more of a stream keeps every byte from the cursor on, so a
// token is always whole in the buffer while it is read, but the bytes may
// move: pointers into the buffer last only until the input is read further.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "raw/json/read_error.h"

namespace spansift {

// Puts up to `capacity` bytes into `buffer`; returns how many, 0 at the end of
// the input, or -1 with errno set when reading fails.
using ReadSome = std::function<ssize_t(char*, std::size_t)>;

class JsonInput {
 public:
  // The whole text; it must outlive the input.
  explicit JsonInput(std::string_view text);
  // A stream read in pieces of `piece_size` bytes.
  JsonInput(ReadSome read_some, std::size_t piece_size);

  JsonInput(const JsonInput&) = delete;
  JsonInput& operator=(const JsonInput&) = delete;

  // The cursor and the end of the bytes in hand. A hot loop reads through a
  // copy of them (a Cursor) and moves the cursor back here when done.
  const char* position() const { return p_; }
  const char* limit() const { return end_; }
  void move_to(const char* p) { p_ = p; }

  // The byte `i` places after the cursor, or -1 past the end of the input.
  int at(std::size_t i) {
    if (i < available()) return static_cast<unsigned char>(p_[i]);
    return at_slow(i);
  }
  std::size_t available() const { return static_cast<std::size_t>(end_ - p_); }
  void advance(std::size_t n) { p_ += n; }

  // Makes `need` bytes available from the cursor on if the input has them,
  // keeping every byte from the cursor on. True when they are.
  bool fill(std::size_t need);

  // Skips whitespace and returns the byte then at the cursor, which stays
  // where it is, or -1 at the end of the input.
  int peek_token() {
    if (p_ != end_ && static_cast<unsigned char>(*p_) > ' ') return static_cast<unsigned char>(*p_);
    return skip_whitespace();
  }
  int skip_whitespace();

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

  // After the first letter of true, false or null: the rest of it must follow.
  void expect_rest_of_literal(std::string_view rest);

  // A string, cursor on its opening quote; leaves the cursor past the closing
  // quote. The text is checked for well-formed escapes, surrogate pairs and
  // UTF-8. The view points into the buffer or into `scratch`; it lasts until
  // the input is read further.
  struct String {
    std::string_view text;
    bool escaped;  // the text came through escapes: its input bytes differ
  };
  String read_string(std::string& scratch);

  // The same grammar for a string that is dropped: escapes must be well
  // formed, but surrogates and UTF-8 are not checked.
  void skip_string();

 private:
  int at_slow(std::size_t i);
  void count_lines(const char* from, const char* to);
  std::size_t scan_string_bytes(std::size_t i, bool& high) const;
  String read_escaped_string(std::size_t i, bool high, std::string& scratch);
  // Decodes the escape whose backslash is at the cursor (validated), appends
  // it to `out` and advances past it.
  void read_escape(std::string& out);
  // Four hex digits of a \u escape starting `i` places after the cursor.
  std::uint16_t hex_escape(std::size_t i);

  const char* buffer_;            // start of the bytes in hand
  const char* p_;                 // the cursor
  const char* end_;               // end of the bytes in hand
  std::uint64_t base_ = 0;        // input offset of buffer_
  std::uint64_t lines_ = 1;       // line of buffer_
  std::uint64_t line_start_ = 0;  // input offset where that line starts

  // Stream form only.
  ReadSome read_some_;
  std::size_t piece_size_ = 0;
  std::vector<char> storage_;
  bool ended_ = false;
};

// A copy of an input's cursor that a hot loop keeps in registers. While it
// lives, the input is reached only through it: its own slow paths and
// with_input() hand the position to the input before and take it back
// after, so a refill never leaves it in bytes that have moved. Its fast
// paths handle what lies whole in the buffer. On destruction it hands the
// position back for good.
class Cursor {
 public:
  explicit Cursor(JsonInput& input) : in_(input), p_(input.position()), end_(input.limit()) {}
  ~Cursor() { in_.move_to(p_); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // The bytes in hand from the cursor on. They last until the next call
  // that may read the input further (a slow path, with_input).
  const char* data() const { return p_; }
  std::size_t available() const { return static_cast<std::size_t>(end_ - p_); }
  void advance(std::size_t n) { p_ += n; }

  std::uint64_t offset(std::size_t i = 0) const { return in_.offset_of(p_) + i; }
  [[noreturn]] void fail(ReadErrorCode code, std::uint64_t at) const { in_.fail(code, at); }
  [[noreturn]] void fail(ReadError error, std::uint64_t at) const { in_.fail(std::move(error), at); }

  // Runs `use(input)` with the input at the cursor, and goes on from where
  // `use` left it (also when it throws).
  template <class F>
  [[gnu::always_inline]] decltype(auto) with_input(F&& use) {
    in_.move_to(p_);
    struct Reload {
      Cursor& cursor;
      ~Reload() {
        cursor.p_ = cursor.in_.position();
        cursor.end_ = cursor.in_.limit();
      }
    } reload{*this};
    return std::forward<F>(use)(in_);
  }

  // As JsonInput::offset_through.
  std::uint64_t offset_through(std::size_t i = 0) {
    return with_input([i](JsonInput& in) { return in.offset_through(i); });
  }

  // As JsonInput::peek_token.
  [[gnu::always_inline]] int peek_token() {
    if (p_ != end_ && static_cast<unsigned char>(*p_) > ' ') return static_cast<unsigned char>(*p_);
#if defined(__SSE2__)
    while (end_ - p_ >= 16) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      auto blank = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))),
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))))));
      if (blank != 0xFFFF) {
        p_ += __builtin_ctz(~blank);
        return static_cast<unsigned char>(*p_);
      }
      p_ += 16;
    }
#endif
    return with_input([](JsonInput& in) { return in.skip_whitespace(); });
  }

  // As JsonInput::read_string.
  [[gnu::always_inline]] JsonInput::String read_string(std::string& scratch) {
#if defined(__SSE2__)
    // Most strings are plain ASCII of a few dozen bytes, whole in the buffer.
    for (std::size_t i = 1; i + 16 <= available(); i += 16) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_ + i));
      auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
          _mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F)))));
      auto high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
      if (stops == 0) {
        if (high != 0 || i > 48) break;
        continue;
      }
      std::size_t length = i - 1 + static_cast<std::size_t>(__builtin_ctz(stops));
      if (p_[1 + length] != '"' || (high & ((stops & -stops) - 1)) != 0) break;
      JsonInput::String s{{p_ + 1, length}, false};
      p_ += length + 2;
      return s;
    }
#endif
    return with_input([&scratch](JsonInput& in) { return in.read_string(scratch); });
  }

 private:
  JsonInput& in_;
  const char* p_;
  const char* end_;
};

}  // namespace spansift
