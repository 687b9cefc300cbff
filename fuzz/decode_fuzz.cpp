// Any bytes after each of the three byte-order marks: the decoded text is
// valid UTF-8 and matches, replacements included, a small reference decoder
// that follows the WHATWG Encoding Standard's algorithms step by step.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_util.h"
#include "raw/decode.h"
#include "utils/text.h"

namespace {

using spansift::Encoding;

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

struct Decoded {
  std::string text;
  std::size_t errors = 0;

  void emit(std::uint32_t cp) { append_utf8(text, cp); }
  void error() {
    ++errors;
    emit(0xFFFD);
  }
};

// The Encoding Standard's UTF-8 decoder.
Decoded reference_utf8(std::string_view bytes) {
  Decoded d;
  std::uint32_t code_point = 0;
  int seen = 0, needed = 0;
  unsigned lower = 0x80, upper = 0xBF;
  std::size_t i = 0;
  while (i < bytes.size()) {
    unsigned b = static_cast<unsigned char>(bytes[i]);
    if (needed == 0) {
      ++i;
      if (b <= 0x7F) {
        d.emit(b);
      } else if (b >= 0xC2 && b <= 0xDF) {
        needed = 1;
        code_point = b & 0x1F;
      } else if (b >= 0xE0 && b <= 0xEF) {
        if (b == 0xE0) lower = 0xA0;
        if (b == 0xED) upper = 0x9F;
        needed = 2;
        code_point = b & 0xF;
      } else if (b >= 0xF0 && b <= 0xF4) {
        if (b == 0xF0) lower = 0x90;
        if (b == 0xF4) upper = 0x8F;
        needed = 3;
        code_point = b & 0x7;
      } else {
        d.error();
      }
      continue;
    }
    if (b < lower || b > upper) {
      // The byte is not consumed: it starts over as the next one.
      code_point = 0;
      needed = seen = 0;
      lower = 0x80;
      upper = 0xBF;
      d.error();
      continue;
    }
    ++i;
    lower = 0x80;
    upper = 0xBF;
    code_point = (code_point << 6) | (b & 0x3F);
    if (++seen == needed) {
      d.emit(code_point);
      code_point = 0;
      needed = seen = 0;
    }
  }
  if (needed != 0) d.error();
  return d;
}

// The Encoding Standard's shared UTF-16 decoder.
Decoded reference_utf16(std::string_view bytes, bool little_endian) {
  Decoded d;
  int lead_byte = -1;
  int lead_surrogate = -1;
  std::vector<unsigned> pending;  // bytes put back in front of the stream
  std::size_t i = 0;
  auto next = [&](unsigned& b) {
    if (!pending.empty()) {
      b = pending.front();
      pending.erase(pending.begin());
      return true;
    }
    if (i == bytes.size()) return false;
    b = static_cast<unsigned char>(bytes[i++]);
    return true;
  };
  unsigned b;
  while (next(b)) {
    if (lead_byte < 0) {
      lead_byte = static_cast<int>(b);
      continue;
    }
    unsigned unit = little_endian ? static_cast<unsigned>(lead_byte) + (b << 8) : (static_cast<unsigned>(lead_byte) << 8) + b;
    lead_byte = -1;
    if (lead_surrogate >= 0) {
      unsigned lead = static_cast<unsigned>(lead_surrogate);
      lead_surrogate = -1;
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        d.emit(0x10000 + ((lead - 0xD800) << 10) + (unit - 0xDC00));
        continue;
      }
      unsigned high = unit >> 8, low = unit & 0xFF;
      pending = little_endian ? std::vector<unsigned>{low, high} : std::vector<unsigned>{high, low};
      d.error();
      continue;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      lead_surrogate = static_cast<int>(unit);
      continue;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      d.error();
      continue;
    }
    d.emit(unit);
  }
  if (lead_byte >= 0 || lead_surrogate >= 0) d.error();
  return d;
}

Decoded reference(Encoding encoding, std::string_view bytes) {
  switch (encoding) {
    case Encoding::Utf8: return reference_utf8(bytes);
    case Encoding::Utf16Le: return reference_utf16(bytes, true);
    case Encoding::Utf16Be: return reference_utf16(bytes, false);
  }
  return {};
}

const char* const kMarks[] = {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  for (const char* mark : kMarks) {
    // As the reader does it: find the mark, drop it, decode the rest.
    std::string file = std::string(mark) + std::string(body);
    Encoding encoding;
    if (!spansift::detect_bom(file, encoding)) spansift::fuzz::fail("mark not found", mark, "");
    std::string_view rest = std::string_view(file).substr(spansift::bom_length(encoding));
    if (rest != body) spansift::fuzz::fail("the mark was not dropped exactly", std::string(rest), std::string(body));

    std::string text;
    std::size_t replacements = spansift::decode_to_utf8(encoding, rest, text);
    Decoded expected = reference(encoding, rest);
    if (!spansift::is_valid_utf8(text)) spansift::fuzz::fail("decoded text is not UTF-8", text, "");
    if (text != expected.text) spansift::fuzz::fail("decoded text differs from the reference", text, expected.text);
    if (replacements != expected.errors) {
      spansift::fuzz::fail("replacement count differs from the reference", std::to_string(replacements),
                           std::to_string(expected.errors));
    }
    // Valid UTF-8 skips the decoder: the check must agree with it.
    if (encoding == Encoding::Utf8 && spansift::is_valid_utf8(rest) != (expected.errors == 0)) {
      spansift::fuzz::fail("UTF-8 validity check disagrees with the decoder", std::string(rest), "");
    }
  }
  return 0;
}
