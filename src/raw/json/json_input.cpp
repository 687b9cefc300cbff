#include "raw/json/json_input.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "utils/file.h"
#include "utils/simd/kernels.h"
#include "utils/simd/wide.h"
#include "utils/text.h"

namespace spansift {

using enum ReadErrorCode;

namespace {

int hex_digit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `code` is a scalar value (below 0x110000, not a surrogate).
void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The byte that a two-byte escape stands for, by its letter; 0 for a letter
// that is no escape (\u is read apart).
char escaped_byte(int letter) {
  switch (letter) {
    case '"': return '"';
    case '\\': return '\\';
    case '/': return '/';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    default: return 0;
  }
}

}  // namespace

JsonInput::JsonInput(simd::PaddedView text) : buffer_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

JsonInput::JsonInput(ReadSome read_some, std::size_t piece_size)
    : read_some_(std::move(read_some)),
      piece_size_(std::max<std::size_t>(piece_size, 1)),
      storage_(2 * piece_size_ + simd::kPadding) {
  buffer_ = p_ = end_ = storage_.data();
}

void JsonInput::fail(ReadError error, std::uint64_t at) const {
  std::uint64_t line = lines_;
  std::uint64_t line_start = line_start_;
  std::uint64_t in_buffer = std::min<std::uint64_t>(at - std::min(at, base_), end_ - buffer_);
  const char* q = buffer_;
  const char* stop = buffer_ + in_buffer;
  // An empty input may have no buffer at all: memchr must not see a null pointer.
  while (q != stop &&
         (q = static_cast<const char*>(std::memchr(q, '\n', static_cast<std::size_t>(stop - q)))) != nullptr) {
    ++q;
    ++line;
    line_start = base_ + static_cast<std::uint64_t>(q - buffer_);
  }
  error.line = line;
  error.column = at - line_start;
  throw std::move(error);
}

void JsonInput::fail(ReadErrorCode code, std::uint64_t at) const { fail(ReadError::of(code), at); }

int JsonInput::at_slow(std::size_t i) {
  fill(i + 1);
  return i < available() ? static_cast<unsigned char>(p_[i]) : -1;
}

int JsonInput::skip_whitespace() {
  for (;;) {
    const int c =
        simd::with_block_kernel([this](auto kernel) { return skip_blank_blocks<decltype(kernel)>(p_, end_); });
    if (c >= 0) return c;
    for (; p_ != end_; ++p_) {
      if (!is_blank(*p_)) return static_cast<unsigned char>(*p_);
    }
    if (!fill(1)) return -1;
  }
}

void JsonInput::skip(std::uint64_t n) {
  while (n > available()) {
    n -= available();
    p_ = end_;
    if (!fill(1)) return;
  }
  p_ += n;
}

bool JsonInput::fill(std::size_t need) { return fill(need, false); }

bool JsonInput::fill_ahead(std::size_t need) { return fill(need, true); }

bool JsonInput::fill(std::size_t need, bool keep_failure) {
  if (available() >= need) return true;
  if (!read_some_ || ended_) return false;
  // The bytes before the cursor are done with: count their lines, then move
  // the rest to the front to make room.
  count_lines(buffer_, p_);
  base_ += static_cast<std::uint64_t>(p_ - buffer_);
  std::size_t kept = available();
  char* start = storage_.data();
  if (p_ != start) std::memmove(start, p_, kept);
  buffer_ = p_ = start;
  end_ = start + kept;
  while (kept < need) {
    if (storage_.size() - simd::kPadding - kept < piece_size_) {
      // A token longer than the buffer: it has to be held whole.
      storage_.resize(std::max(2 * storage_.size(), kept + piece_size_ + simd::kPadding));
      buffer_ = p_ = storage_.data();
      end_ = p_ + kept;
    }
    std::size_t got = 0;
    const Status read = failed_read_.ok() ? read_some_(storage_.data() + kept, piece_size_, got) : failed_read_;
    if (!read.ok()) {
      if (!keep_failure) throw ReadError::read_failed(read.display());
      failed_read_ = read;
      return false;
    }
    if (got == 0) {
      ended_ = true;
      return false;
    }
    kept += got;
    end_ = p_ + kept;
  }
  return true;
}

void JsonInput::count_lines(const char* from, const char* to) {
  const simd::Newlines n = simd::count_newlines(from, to);
  lines_ += n.count;
  if (n.last != nullptr) line_start_ = base_ + static_cast<std::uint64_t>(n.last - buffer_) + 1;
}

void JsonInput::literal(std::string_view word) {
  for (char expected : word) {
    int c = at(0);
    if (c < 0) fail(EofValue, offset());
    ++p_;
    if (c != static_cast<unsigned char>(expected)) fail(ExpectedIdent, offset());
  }
}

namespace {

// Up to the first byte from `s` on, before `end`, that ends a run of a
// string's own bytes, 16 at a time; `high` set if a byte before it is not
// ASCII. Fewer than 16 bytes are left to the caller.
template <class K>
const char* scan_string_blocks(const char* s, const char* end, bool& high) {
  for (; end - s >= 16; s += 16) {
    const typename K::Block bytes = K::load(s);
    const unsigned stops = K::string_stop(bytes);
    const unsigned highs = K::high(bytes);
    if (stops != 0) {
      high |= (highs & ((stops & -stops) - 1)) != 0;
      return s + __builtin_ctz(stops);
    }
    high |= highs != 0;
  }
  return s;
}

}  // namespace

std::size_t JsonInput::scan_string_bytes(std::size_t i, bool& high) const {
  const char* s =
      simd::with_block_kernel([&](auto kernel) { return scan_string_blocks<decltype(kernel)>(p_ + i, end_, high); });
  // On a stop found in a block, or on the last few bytes.
  for (; s != end_; ++s) {
    const auto c = static_cast<unsigned char>(*s);
    if (is_string_stop(c)) break;
    high |= c >= 0x80;
  }
  return static_cast<std::size_t>(s - p_);
}

template <Rules rules>
JsonString JsonInput::string(std::string& scratch) {
  constexpr bool keep = rules == Rules::Read;
  bool high = false;
  // A string without escapes is read whole in the buffer, the cursor kept on
  // its opening quote, so that its text is a view of the buffer. Once an
  // escape comes (and always when skipping), the bytes read so far are let go
  // of, kept in `scratch` if they are kept, and the cursor moves on.
  bool in_place = keep;
  std::size_t i = 1;
  if (!in_place) {
    p_ += 1;
    i = 0;
  }
  for (;;) {
    i = scan_string_bytes(i, high);
    if (i == available()) {
      if (!in_place) {
        if (keep) scratch.append(p_, i);
        p_ += i;
        i = 0;
      }
      if (!fill(i + 1)) fail(EofString, offset(i));
      continue;
    }
    const char c = p_[i];
    if (c == '"') {
      // UTF-8 is judged when the string is complete, after any fault of its
      // escapes or control bytes.
      if (in_place) {
        std::string_view text(p_ + 1, i - 1);
        if (high && !is_valid_utf8(text)) fail(InvalidCodePoint, offset(i + 1));
        p_ += i + 1;
        return {text, false};
      }
      if (keep) scratch.append(p_, i);
      p_ += i + 1;
      if (keep && high && !is_valid_utf8(scratch)) fail(InvalidCodePoint, offset());
      return {scratch, true};
    }
    if (c != '\\') fail(ControlCharacter, offset(i + 1));
    if (in_place) {
      scratch.assign(p_ + 1, i - 1);
      in_place = false;
    } else if (keep) {
      scratch.append(p_, i);
    }
    p_ += i;
    escape<rules>(scratch);
    i = 0;
  }
}

JsonString JsonInput::read_string(std::string& scratch) { return string<Rules::Read>(scratch); }

void JsonInput::skip_string() {
  std::string unused;  // Skip keeps nothing: never allocates
  string<Rules::Skip>(unused);
}

template <Rules rules>
void JsonInput::escape(std::string& out) {
  const int letter = at(1);
  if (letter < 0) fail(EofString, offset(1));
  if (letter != 'u') {
    const char byte = escaped_byte(letter);
    if (byte == 0) fail(InvalidEscape, offset(2));
    if constexpr (rules == Rules::Read) out += byte;
    p_ += 2;
    return;
  }
  std::uint32_t code = hex_escape(2);
  std::size_t used = 6;
  if constexpr (rules == Rules::Read) {
    if (code >= 0xDC00 && code <= 0xDFFF) fail(LoneLeadingSurrogate, offset(6));
    if (code >= 0xD800 && code <= 0xDBFF) {
      // A leading surrogate: the trailing one must follow at once.
      int next = at(6);
      if (next < 0) fail(EofString, offset(6));
      if (next != '\\') fail(UnexpectedEndOfHexEscape, offset(7));
      next = at(7);
      if (next < 0) fail(EofString, offset(7));
      if (next != 'u') fail(UnexpectedEndOfHexEscape, offset(8));
      std::uint32_t low = hex_escape(8);
      if (low < 0xDC00 || low > 0xDFFF) fail(LoneLeadingSurrogate, offset(12));
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      used = 12;
    }
    append_utf8(out, code);
  }
  p_ += used;
}

std::uint16_t JsonInput::hex_escape(std::size_t i) {
  unsigned value = 0;
  for (std::size_t k = i; k < i + 4; ++k) {
    int c = at(k);
    if (c < 0) fail(EofString, offset(k));
    int digit = hex_digit(c);
    if (digit < 0) fail(InvalidEscape, offset(k + 1));
    value = (value << 4) | static_cast<unsigned>(digit);
  }
  return static_cast<std::uint16_t>(value);
}

}  // namespace spansift
