// Decoding throughput: a generated export in UTF-16 (both byte orders) and
// in UTF-8 (the path of a file with a UTF-8 byte-order mark) into UTF-8.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "generate.h"
#include "raw/decode.h"

namespace {

using namespace spansift;

const std::string& sample_utf8() {
  static const std::string text = bench::generate_export({11, 8 << 20, false});
  return text;
}

// The generator writes well-formed UTF-8, so no check is needed here.
std::string to_utf16(const std::string& utf8, bool big_endian) {
  std::string out;
  out.reserve(utf8.size() * 2);
  auto unit = [&](std::uint16_t u) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += big_endian ? hi : lo;
    out += big_endian ? lo : hi;
  };
  for (std::size_t i = 0; i < utf8.size();) {
    auto b = static_cast<unsigned char>(utf8[i]);
    int length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t cp = length == 1 ? b : length == 2 ? b & 0x1F : length == 3 ? b & 0x0F : b & 0x07;
    for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += static_cast<std::size_t>(length);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
      unit(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      unit(static_cast<std::uint16_t>(cp));
    }
  }
  return out;
}

void run_decode(benchmark::State& state, Encoding encoding, const std::string& bytes) {
  std::string out;
  for (auto _ : state) {
    std::size_t replacements = decode_to_utf8(encoding, bytes, out);
    benchmark::DoNotOptimize(replacements);
    benchmark::DoNotOptimize(out.data());
  }
  if (out != sample_utf8()) state.SkipWithError("decoded text differs from the original");
  // Bytes of input consumed.
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_DecodeUtf16Le(benchmark::State& state) {
  static const std::string bytes = to_utf16(sample_utf8(), false);
  run_decode(state, Encoding::Utf16Le, bytes);
}
BENCHMARK(BM_DecodeUtf16Le)->Unit(benchmark::kMillisecond);

void BM_DecodeUtf16Be(benchmark::State& state) {
  static const std::string bytes = to_utf16(sample_utf8(), true);
  run_decode(state, Encoding::Utf16Be, bytes);
}
BENCHMARK(BM_DecodeUtf16Be)->Unit(benchmark::kMillisecond);

void BM_DecodeUtf8(benchmark::State& state) { run_decode(state, Encoding::Utf8, sample_utf8()); }
BENCHMARK(BM_DecodeUtf8)->Unit(benchmark::kMillisecond);

}  // namespace
