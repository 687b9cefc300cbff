// Deterministic, realistic export documents for benchmarks and fuzz seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace spansift::bench {

struct ExportShape {
  std::uint64_t seed = 1;
  std::size_t target_bytes = 1 << 20;  // stop adding traces past this size
  bool pretty = false;                 // two-space indented instead of compact
};

// One export document: traces of 5 to 200 spans (skewed small: median 7,
// mean about 22), 5 to 30 tags per span (median 6) of
// every value kind, logs with fields, references, processes with tags, and a
// few escaped and non-ASCII strings. Returns the number of traces in `traces`.
std::string generate_export(const ExportShape& shape, std::size_t* traces = nullptr);

}  // namespace spansift::bench
