// The grammar of containers, which the builder and the skipper share: they
// differ only in what they keep of the entries and in the two rules of
// next_entry. Literals, strings and numbers are read by the Cursor
// (json_input.h) and scan_number (json_number.h).
#pragma once

#include "raw/json/json_input.h"
#include "raw/json/read_error.h"

namespace spansift {

// What next_entry finds in a container: the first byte of the next entry,
// whitespace skipped; the end of the input (kEnd, as Cursor::peek_token
// gives it); or the container closed (kClosed). Not an int, so that neither
// end can be taken for a byte: the ends are named, and the byte is taken out
// with first_byte(). An enum compared by name rather than a class with
// queries: with the latter the compiler gave the loops that read entries,
// and the skipper's, more instructions.
enum class NextEntry : int { kEnd = -1, kClosed = -2 };

// The first byte of an entry that is there (neither kEnd nor kClosed).
[[gnu::always_inline]] inline int first_byte(NextEntry next) { return static_cast<int>(next); }
[[gnu::always_inline]] inline bool starts_with(NextEntry next, char b) {
  return first_byte(next) == static_cast<unsigned char>(b);
}

// Reads on in a container whose closing bracket is `close`, after its
// opening bracket (`first`, which it clears) or after an entry: past the
// closing bracket (kClosed), or past the comma before the next entry, to the
// first byte of that entry, whitespace skipped. The reader refuses the
// closing bracket and the end of the input right after a comma; the skipper
// leaves both to what reads the entry (and may be at the end).
template <Rules rules, class C>
[[gnu::always_inline]] inline NextEntry next_entry(C& c, bool& first, char close) {
  using enum ReadErrorCode;
  // Compact text: a comma and the next entry's first byte, back to back.
  if (!first && c.available() >= 2 && c.data()[0] == ',') {
    const auto after = static_cast<unsigned char>(c.data()[1]);
    if (after > ' ' && after != static_cast<unsigned char>(close)) {
      c.advance(1);
      return static_cast<NextEntry>(after);
    }
  }
  int next = c.peek_token();
  if (next == close) {
    c.advance(1);
    return NextEntry::kClosed;
  }
  const ReadErrorCode ended = close == ']' ? EofList : EofObject;
  if (first) {
    if (next < 0) c.fail(ended, c.offset());
    first = false;
    return static_cast<NextEntry>(next);
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
  return static_cast<NextEntry>(next);
}

// An object's entry, found by next_entry, starts with its key: a string.
template <class C>
[[gnu::always_inline]] inline void expect_key(C& c, NextEntry next) {
  if (!starts_with(next, '"')) {
    c.fail(next == NextEntry::kEnd ? ReadErrorCode::EofObject : ReadErrorCode::KeyMustBeString, c.offset_through());
  }
}

// The colon after an object's key, read past.
template <class C>
[[gnu::always_inline]] inline void expect_colon(C& c) {
  const int next = c.peek_token();
  if (next != ':') c.fail(next < 0 ? ReadErrorCode::EofObject : ReadErrorCode::ExpectedColon, c.offset_through());
  c.advance(1);
}

// A value whose first byte `first` starts none of the others must be a
// number.
template <class C>
[[gnu::always_inline]] inline void expect_number(C& c, int first) {
  if (first != '-' && !is_digit(first)) c.fail(ReadErrorCode::ExpectedValue, c.offset(1));
}

}  // namespace spansift
