#include "utils/text.h"

#include <cstdint>
#include <cstring>

#include <unicode/uchar.h>

namespace spansift {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Looks at the UTF-8 sequence starting at p[0] (n > 0 bytes available).
// Returns its length (1 to 4) and sets `cp` when it is a well-formed
// character; otherwise returns minus the length of the maximal ill-formed
// subsequence (at least 1 byte), which is what gets escaped or replaced.
int next_sequence(const unsigned char* p, std::size_t n, char32_t& cp) {
  unsigned char b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // beyond U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    if (static_cast<std::size_t>(i) >= n) return -i;
    unsigned char b = p[i];
    if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return -i;
    cp = (cp << 6) | (b & 0x3F);
  }
  return need + 1;
}

bool is_printable(char32_t c) {
  if (c == U' ') return true;
  // Controls, format characters, surrogates, private use, unassigned, and
  // every separator but the plain space would hide or break the text.
  std::int32_t category_mask = U_GET_GC_MASK(static_cast<UChar32>(c));
  return (category_mask & (U_GC_C_MASK | U_GC_Z_MASK)) == 0;
}

void append_hex(std::string& out, std::uint32_t value, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char buffer[8];
  int length = 0;
  do {
    buffer[length++] = digits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (length > 0) out += buffer[--length];
}

void append_utf8(std::string& out, const unsigned char* p, int length) {
  out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Exports are mostly ASCII: skip it eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & kHighBits) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    int length = next_sequence(p + i, n - i, cp);
    if (length < 0) return false;
    i += static_cast<std::size_t>(length);
  }
  return true;
}

namespace {

std::string quote(std::string_view bytes, bool escape_single_quote) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::string out;
  out.reserve(n + 2);
  out += '"';
  std::size_t i = 0;
  while (i < n) {
    char32_t c;
    int length = next_sequence(p + i, n - i, c);
    if (length < 0) {
      for (int k = 0; k < -length; ++k) {
        out += "\\x";
        if (p[i + k] < 0x10) out += '0';
        append_hex(out, p[i + k], true);
      }
      i += static_cast<std::size_t>(-length);
      continue;
    }
    switch (c) {
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      case U'\'': out += escape_single_quote ? "\\'" : "'"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\0': out += "\\0"; break;
      default:
        if (is_printable(c) && !u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_GRAPHEME_EXTEND)) {
          append_utf8(out, p + i, length);
        } else {
          out += "\\u{";
          append_hex(out, static_cast<std::uint32_t>(c), false);
          out += '}';
        }
    }
    i += static_cast<std::size_t>(length);
  }
  out += '"';
  return out;
}

}  // namespace

std::string quoted(std::string_view bytes) { return quote(bytes, true); }

std::string quoted_text(std::string_view bytes) { return quote(bytes, false); }

std::string escape_quotes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace spansift
