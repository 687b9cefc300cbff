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
  // Traces without spans or processes, 46 bytes each in a compact export
  // (`{"traceID":"k3x9a","spans":[],"processes":{}},`): the input where the
  // cost per trace shows rather than the cost per byte. Their IDs have five
  // characters of [0-9a-z], distinct for the first 60 million trace numbers
  // (see ExportShape::first_trace).
  Bare,
  // Traces of about ExportShape::trace_bytes each in compact form, made of
  // realistic spans: one span of a few tags for 1 KB, tens of thousands of
  // spans over up to 64 processes for tens of MB.
  Sized,
};

struct ExportShape {
  std::uint64_t seed = 1;
  std::size_t target_bytes = 1 << 20;  // stop adding traces past this size
  bool pretty = false;                 // two-space indented instead of compact
  Traces traces = Traces::Realistic;
  std::size_t trace_count = 0;     // not 0: exactly this many traces, whatever target_bytes
  std::size_t trace_bytes = 1000;  // Sized: compact size of each trace
  // Bare: number of the export's first trace within its set, so that the
  // exports of one folder share no trace ID (IDs don't depend on the seed).
  std::uint64_t first_trace = 0;
};

// Bare trace IDs have five characters: no set may hold more traces than this.
inline constexpr std::uint64_t bare_trace_limit = 36ULL * 36 * 36 * 36 * 36;

// One export document of that shape. Returns the number of traces in `traces`.
std::string generate_export(const ExportShape& shape, std::size_t* traces = nullptr);

}  // namespace spansift::bench
