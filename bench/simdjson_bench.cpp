// simdjson's DOM parser on the same bytes as the reader's benchmarks: a
// reference for what reading JSON in process costs on this machine. It builds
// a generic tree and checks no model, so it is a bound, not a rival.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdint>
#include <string>

#include "samples.h"

namespace {

void simdjson_dom_parse(benchmark::State& state, const std::string& text) {
  // The padding and the parser's buffers are made once: only parsing is timed.
  const simdjson::padded_string padded(text);
  simdjson::dom::parser parser;
  if (auto error = parser.allocate(padded.size())) {
    state.SkipWithError(simdjson::error_message(error));
    return;
  }
  // One parse before timing faults in the buffers that allocate() only reserves.
  simdjson::dom::element root;
  if (auto error = parser.parse(padded).get(root)) {
    state.SkipWithError(simdjson::error_message(error));
    return;
  }
  for (auto _ : state) {
    if (auto error = parser.parse(padded).get(root)) {
      state.SkipWithError(simdjson::error_message(error));
      break;
    }
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  // Which of its kernels it chose for this processor (haswell, westmere, ...).
  state.SetLabel(simdjson::get_active_implementation()->name());
}

void BM_SimdjsonDomParseFromMemory(benchmark::State& state) {
  simdjson_dom_parse(state, spansift::bench::sample_export());
}
BENCHMARK(BM_SimdjsonDomParseFromMemory)->Unit(benchmark::kMillisecond);

void BM_SimdjsonDomParseFloatsFromMemory(benchmark::State& state) {
  simdjson_dom_parse(state, spansift::bench::floats_export());
}
BENCHMARK(BM_SimdjsonDomParseFloatsFromMemory)->Unit(benchmark::kMillisecond);

}  // namespace
