#include "raw/decode.h"

#include <memory>
#include <stdexcept>

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include "utils/messages.h"

namespace spansift {

namespace {

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter open_converter(const char* name) {
  UErrorCode status = U_ZERO_ERROR;
  Converter converter(ucnv_open(name, &status));
  if (U_FAILURE(status)) {
    throw std::runtime_error(messages::converter_not_opened(name, u_errorName(status)));
  }
  return converter;
}

const char* icu_name(Encoding encoding) {
  switch (encoding) {
    case Encoding::Utf8: return "UTF-8";
    case Encoding::Utf16Le: return "UTF-16LE";
    case Encoding::Utf16Be: return "UTF-16BE";
  }
  return "UTF-8";
}

// ICU hands every ill-formed sequence it meets to this callback as one unit
// (for UTF-8 the maximal ill-formed subsequence, for UTF-16 an unpaired
// surrogate or a truncated final unit), so one U+FFFD per call matches the
// WHATWG decoders.
void replace_and_count(const void* context, UConverterToUnicodeArgs* args, const char*, int32_t,
                       UConverterCallbackReason reason, UErrorCode* status) {
  if (reason > UCNV_IRREGULAR) return;  // reset, close, clone: nothing was consumed
  auto* replacements = static_cast<std::size_t*>(const_cast<void*>(context));
  ++*replacements;
  *status = U_ZERO_ERROR;
  static const UChar kReplacement = 0xFFFD;
  ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, status);
}

constexpr std::size_t kPivotUnits = 4096;

// Runs the whole of `bytes` through source -> UTF-16 -> UTF-8, handing each
// filled piece of output to `sink(data, size)`; `next_target(size)` gives
// where the next piece goes. Returns the number of replacements.
template <class NextTarget, class Sink>
std::size_t convert(Encoding encoding, std::string_view bytes, NextTarget next_target, Sink sink) {
  Converter source = open_converter(icu_name(encoding));
  Converter target = open_converter("UTF-8");
  std::size_t replacements = 0;
  UErrorCode status = U_ZERO_ERROR;
  ucnv_setToUCallBack(source.get(), replace_and_count, &replacements, nullptr, nullptr, &status);
  if (U_FAILURE(status)) {
    throw std::runtime_error(messages::decoder_callback_not_set(u_errorName(status)));
  }

  UChar pivot[kPivotUnits];
  UChar* pivot_source = pivot;
  UChar* pivot_target = pivot;
  const char* in = bytes.data();
  const char* in_end = bytes.data() + bytes.size();
  bool reset = true;
  for (;;) {
    auto [begin, end] = next_target();
    char* out = begin;
    status = U_ZERO_ERROR;
    ucnv_convertEx(target.get(), source.get(), &out, end, &in, in_end, pivot, &pivot_source, &pivot_target,
                   pivot + kPivotUnits, reset, /*flush=*/true, &status);
    reset = false;
    sink(begin, static_cast<std::size_t>(out - begin));
    if (status == U_BUFFER_OVERFLOW_ERROR && end != begin) continue;
    if (U_FAILURE(status)) throw std::runtime_error(messages::decoding_failed(u_errorName(status)));
    return replacements;
  }
}

}  // namespace

std::string_view encoding_name(Encoding encoding) { return icu_name(encoding); }

bool detect_bom(std::string_view probe, Encoding& encoding) {
  if (probe.starts_with("\xEF\xBB\xBF")) {
    encoding = Encoding::Utf8;
  } else if (probe.starts_with("\xFF\xFE")) {
    encoding = Encoding::Utf16Le;
  } else if (probe.starts_with("\xFE\xFF")) {
    encoding = Encoding::Utf16Be;
  } else {
    return false;
  }
  return true;
}

std::size_t bom_length(Encoding encoding) { return encoding == Encoding::Utf8 ? 3 : 2; }

std::size_t decode_to_utf8(Encoding encoding, std::string_view bytes, std::string& out) {
  out.clear();
  // First pass counts the output into a small scratch buffer, so that the
  // second can write into a buffer of the exact size: the whole file is then
  // held once as bytes and once as text, never more.
  char scratch[16384];
  std::size_t size = 0;
  convert(
      encoding, bytes, [&] { return std::pair<char*, char*>(scratch, scratch + sizeof scratch); },
      [&](const char*, std::size_t n) { size += n; });

  out.resize(size);
  std::size_t written = 0;
  return convert(
      encoding, bytes, [&] { return std::pair<char*, char*>(out.data() + written, out.data() + out.size()); },
      [&](const char*, std::size_t n) { written += n; });
}

}  // namespace spansift
