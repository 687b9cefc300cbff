// Deterministic, realistic export documents for benchmarks and fuzz seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace spansift::bench {

// What the traces of an export look like.
enum class Traces {
  // Traces of 5 to 200 spans (skewed small: median 7, mean about 22), 5 to
  // 30 tags per span (median 6) of every value kind, logs with fields,
  // references, processes with tags, and a few escaped and non-ASCII strings.
  Realistic,
  // One trace without spans, whatever the target: an export of about 110 bytes.
  Tiny,
  // Traces of 10 spans whose tags hold long lists of coordinates: pairs of
  // numbers with 15 to 17 significant digits, about 20 bytes each.
  Floats,
};

struct ExportShape {
  std::uint64_t seed = 1;
  std::size_t target_bytes = 1 << 20;  // stop adding traces past this size
  bool pretty = false;                 // two-space indented instead of compact
  Traces traces = Traces::Realistic;
};

// One export document of that shape. Returns the number of traces in `traces`.
std::string generate_export(const ExportShape& shape, std::size_t* traces = nullptr);

}  // namespace spansift::bench
