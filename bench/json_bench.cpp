// Reading and rendering throughput on a generated export of realistic shape.
#include <benchmark/benchmark.h>

#include <cstring>

#include "raw/json/json_read.h"
#include "raw/json/json_write.h"
#include "samples.h"
#include "utils/simd/padded.h"

namespace {

using namespace spansift;
using bench::sample_export;

void BM_ReadFromMemory(benchmark::State& state) {
  const simd::PaddedString text(sample_export());  // once, as simdjson's row pads its copy once
  for (auto _ : state) {
    ParseResult r = parse_trace_json(text.view());
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadFromMemory)->Unit(benchmark::kMillisecond);

void BM_ReadFromStream(benchmark::State& state) {
  const std::string& text = sample_export();
  for (auto _ : state) {
    std::size_t at = 0;
    ParseResult r = parse_trace_json([&](char* buffer, std::size_t size, std::size_t& got) {
      got = std::min(size, text.size() - at);
      std::memcpy(buffer, text.data() + at, got);
      at += got;
      return Status{};
    });
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadFromStream)->Unit(benchmark::kMillisecond);

void BM_ReadFloatsFromMemory(benchmark::State& state) {
  const simd::PaddedString text(bench::floats_export());  // once, as simdjson's row pads its copy once
  for (auto _ : state) {
    ParseResult r = parse_trace_json(text.view());
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadFloatsFromMemory)->Unit(benchmark::kMillisecond);

// An export whose unknown key holds `[[[...]]]` nested state.range(0) levels
// deep: reading it must take time linear in the depth.
void BM_ReadDeepSkipped(benchmark::State& state) {
  const auto depth = static_cast<std::size_t>(state.range(0));
  const simd::PaddedString text(R"({"skipped":)" + std::string(depth, '[') + std::string(depth, ']') +
                                R"(,"data":[],"total":0,"limit":0,"offset":0})");
  for (auto _ : state) {
    ParseResult r = parse_trace_json(text.view());
    if (!std::holds_alternative<JaegerTrace>(r)) state.SkipWithError("the deep export did not read");
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReadDeepSkipped)->Arg(100000)->Arg(400000)->Arg(800000)->Arg(2000000)->Unit(benchmark::kMillisecond);

void BM_Render(benchmark::State& state) {
  JaegerTrace trace = std::get<JaegerTrace>(parse_trace_json(sample_export()));
  std::string out, error;
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes += render_pretty_json(trace, out, error)->size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_Render)->Unit(benchmark::kMillisecond);

}  // namespace
