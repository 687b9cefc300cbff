// Padded text: bytes with kPadding readable bytes past their end, so that a
// block load near the end of the text never reads outside memory. The code
// that loads blocks (the reader, the store, the writer) counts on this one
// constant; each of its windows is tied to it by a static_assert. What lies
// in the padding is not the text: a load may see it, nothing may use it.
//
// A view into padded text is padded too (what follows the view is the rest
// of the text, then the padding), so PaddedView is made only from a
// PaddedString, a view of one, or a buffer that keeps the padding itself.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace spansift::simd {

// Readable bytes past the end of every buffer that is scanned in blocks.
inline constexpr std::size_t kPadding = 64;
// So, from any byte in hand, the bytes of a window this long are readable.
inline constexpr std::size_t kWindow = kPadding + 1;

class PaddedView {
 public:
  PaddedView() : text_(std::string_view(kZeros, kPadding).substr(0, 0)) {}

  // `text` must be followed by kPadding readable bytes: for a buffer that
  // keeps them itself (the reader's own, a block read ahead).
  static PaddedView of_buffer(std::string_view text) { return PaddedView(text); }

  std::string_view text() const { return text_; }
  const char* data() const { return text_.data(); }
  std::size_t size() const { return text_.size(); }
  PaddedView substr(std::size_t from, std::size_t n = std::string_view::npos) const {
    return PaddedView(text_.substr(from, n));
  }

 private:
  explicit PaddedView(std::string_view text) : text_(text) {}
  static constexpr char kZeros[kPadding] = {};
  std::string_view text_;
};

// A text that owns its padding: kPadding zero bytes that are part of the
// std::string's own size, so the sanitizers see every load as inside it.
class PaddedString {
 public:
  PaddedString() : bytes_(kPadding, '\0') {}
  explicit PaddedString(std::string_view text) {
    bytes_.reserve(text.size() + kPadding);
    bytes_.append(text).append(kPadding, '\0');
  }
  // Takes `bytes` over; reserving kPadding bytes past their size beforehand
  // spares a copy.
  static PaddedString adopt(std::string&& bytes) {
    PaddedString s{std::move(bytes), 0};
    s.bytes_.append(kPadding, '\0');
    return s;
  }

  std::size_t size() const { return bytes_.size() - kPadding; }
  std::string_view text() const { return view().text(); }
  PaddedView view() const { return PaddedView::of_buffer(std::string_view(bytes_).substr(0, size())); }
  operator PaddedView() const { return view(); }  // NOLINT(google-explicit-constructor): a padded text is one

 private:
  PaddedString(std::string&& bytes, int) : bytes_(std::move(bytes)) {}
  std::string bytes_;  // the text, then kPadding zero bytes
};

}  // namespace spansift::simd
