// Writes a folder of generated exports:
//   gen_exports FOLDER TOTAL_MB FILES [SEED] [pretty|tiny|floats]
//     realistic compact traces by default, filling TOTAL_MB (MiB) in all;
//   gen_exports FOLDER FILESxTRACES bare|SIZE [SEED]
//     TRACES traces in each of FILES exports: bare ones of 46 bytes, or ones
//     of about SIZE bytes each (K and M suffixes: 10^3 and 10^6) made of
//     realistic spans.
// See generate.h for the shapes. Files are named export-<n>.json.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "generate.h"

namespace {

using spansift::bench::ExportShape;
using spansift::bench::Traces;

int usage() {
  std::fprintf(stderr,
               "usage: gen_exports FOLDER TOTAL_MB FILES [SEED] [pretty|tiny|floats]\n"
               "       gen_exports FOLDER FILESxTRACES bare|SIZE[K|M] [SEED]\n");
  return 2;
}

// A size such as 1000, 1K or 60M; 0 when it is not one.
std::size_t parse_size(const std::string& text) {
  char* end = nullptr;
  unsigned long long n = std::strtoull(text.c_str(), &end, 10);
  std::string unit = end;
  if (end == text.c_str()) return 0;
  if (unit == "K" || unit == "k") return n * 1000;
  if (unit == "M") return n * 1000000;
  return unit.empty() ? n : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return usage();
  std::string folder = argv[1];
  std::string amount = argv[2];
  std::size_t x = amount.find('x');
  bool counted = x != std::string::npos;

  std::vector<ExportShape> exports;
  if (counted) {
    int files = std::atoi(amount.substr(0, x).c_str());
    std::size_t traces = std::strtoull(amount.c_str() + x + 1, nullptr, 10);
    std::string kind = argv[3];
    std::uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    std::size_t size = kind == "bare" ? 0 : parse_size(kind);
    if (files <= 0 || traces == 0 || (kind != "bare" && size == 0)) return usage();
    if (kind == "bare" && traces * static_cast<std::size_t>(files) > spansift::bench::bare_trace_limit) {
      std::fprintf(stderr, "gen_exports: at most %llu bare traces in a set\n",
                   static_cast<unsigned long long>(spansift::bench::bare_trace_limit));
      return 2;
    }
    for (int i = 0; i < files; ++i) {
      ExportShape shape;
      shape.seed = seed * 1000 + static_cast<std::uint64_t>(i);
      shape.traces = kind == "bare" ? Traces::Bare : Traces::Sized;
      shape.trace_count = traces;
      shape.trace_bytes = size;
      shape.first_trace = traces * static_cast<std::size_t>(i);
      exports.push_back(shape);
    }
  } else {
    double total_mb = std::atof(argv[2]);
    int files = std::atoi(argv[3]);
    if (files <= 0) return usage();
    std::uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    std::string shape = argc > 5 ? argv[5] : "";
    auto traces_shape = shape == "tiny" ? Traces::Tiny : shape == "floats" ? Traces::Floats : Traces::Realistic;
    std::size_t per_file = static_cast<std::size_t>(total_mb * 1024 * 1024 / files);
    for (int i = 0; i < files; ++i)
      exports.push_back({seed * 1000 + static_cast<std::uint64_t>(i), per_file, shape == "pretty", traces_shape});
  }

  ::mkdir(folder.c_str(), 0777);
  std::size_t traces = 0, bytes = 0;
  for (std::size_t i = 0; i < exports.size(); ++i) {
    std::size_t n = 0;
    std::string text = spansift::bench::generate_export(exports[i], &n);
    std::ofstream out(folder + "/export-" + std::to_string(i) + ".json", std::ios::binary);
    out << text;
    if (!out.flush()) {
      std::fprintf(stderr, "gen_exports: can't write into %s\n", folder.c_str());
      return 1;
    }
    traces += n;
    bytes += text.size();
  }
  std::printf("%s: %zu files, %zu traces, %zu bytes\n", folder.c_str(), exports.size(), traces, bytes);
}
