// The grammar of containers, which the builder and the skipper share: they
// differ only in what they keep of the entries and in the two rules of
// next_entry. Literals, strings and numbers are read by the Cursor
// (json_input.h) and scan_number (json_number.h).
#pragma once

#include "raw/json/json_input.h"
#include "raw/json/read_error.h"

namespace spansift {

// What next_entry returns once the container has closed.
inline constexpr int kClosed = -2;

// Reads on in a container whose closing bracket is `close`, after its
// opening bracket (`first`, which it clears) or after an entry: past the
// closing bracket (kClosed), or past the comma before the next entry,
// returning the first byte of that entry, whitespace skipped. The reader
// refuses the closing bracket and the end of the input right after a comma;
// the skipper leaves both to what reads the entry (and may see -1).
template <Rules rules>
[[gnu::always_inline]] inline int next_entry(Cursor& c, bool& first, char close) {
  using enum ReadErrorCode;
  int next = c.peek_token();
  if (next == close) {
    c.advance(1);
    return kClosed;
  }
  const ReadErrorCode ended = close == ']' ? EofList : EofObject;
  if (first) {
    if (next < 0) c.fail(ended, c.offset());
    first = false;
    return next;
  }
  if (next != ',') {
    c.fail(next < 0 ? ended : close == ']' ? ExpectedListCommaOrEnd : ExpectedObjectCommaOrEnd, c.offset_through());
  }
  c.advance(1);
  next = c.peek_token();
  if constexpr (rules == Rules::Read) {
    if (next == close) c.fail(TrailingComma, c.offset(1));
    if (next < 0) c.fail(EofValue, c.offset());
  }
  return next;
}

// An object's entry, whose first byte is `next`, starts with its key: a
// string.
[[gnu::always_inline]] inline void expect_key(Cursor& c, int next) {
  if (next != '"') c.fail(next < 0 ? ReadErrorCode::EofObject : ReadErrorCode::KeyMustBeString, c.offset_through());
}

// The colon after an object's key, read past.
[[gnu::always_inline]] inline void expect_colon(Cursor& c) {
  const int next = c.peek_token();
  if (next != ':') c.fail(next < 0 ? ReadErrorCode::EofObject : ReadErrorCode::ExpectedColon, c.offset_through());
  c.advance(1);
}

// A value whose first byte `first` starts none of the others must be a
// number.
[[gnu::always_inline]] inline void expect_number(Cursor& c, int first) {
  if (first != '-' && !is_digit(first)) c.fail(ReadErrorCode::ExpectedValue, c.offset(1));
}

}  // namespace spansift
