// Decoding export bytes that carry a byte-order mark into UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace spansift {

enum class Encoding { Utf8, Utf16Le, Utf16Be };

// "UTF-8", "UTF-16LE", "UTF-16BE".
std::string_view encoding_name(Encoding encoding);

// The encoding whose byte-order mark `probe` starts with, tested in the order
// UTF-8 (EF BB BF), UTF-16LE (FF FE), UTF-16BE (FE FF); false when none does.
bool detect_bom(std::string_view probe, Encoding& encoding);

// Length of the encoding's own byte-order mark (3 or 2).
std::size_t bom_length(Encoding encoding);

// Decodes `bytes` (without a byte-order mark) from `encoding` into UTF-8 in
// `out`. Malformed input becomes U+FFFD as the WHATWG decoders do (one per
// maximal ill-formed UTF-8 subsequence, per unpaired surrogate, and for a
// final odd byte of UTF-16). Returns the number of replacements.
std::size_t decode_to_utf8(Encoding encoding, std::string_view bytes, std::string& out);

}  // namespace spansift
