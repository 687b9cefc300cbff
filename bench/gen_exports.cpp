// Writes a folder of generated exports:
//   gen_exports FOLDER TOTAL_MB FILES [SEED] [pretty|tiny|floats]
// (realistic compact traces by default; see generate.h for the shapes).
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "generate.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: gen_exports FOLDER TOTAL_MB FILES [SEED] [pretty|tiny|floats]\n");
    return 2;
  }
  std::string folder = argv[1];
  double total_mb = std::atof(argv[2]);
  int files = std::atoi(argv[3]);
  std::uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
  std::string shape = argc > 5 ? argv[5] : "";
  bool pretty = shape == "pretty";
  auto traces_shape = shape == "tiny"     ? spansift::bench::Traces::Tiny
                      : shape == "floats" ? spansift::bench::Traces::Floats
                                          : spansift::bench::Traces::Realistic;
  ::mkdir(folder.c_str(), 0777);
  std::size_t per_file = static_cast<std::size_t>(total_mb * 1024 * 1024 / files);
  std::size_t traces = 0, bytes = 0;
  for (int i = 0; i < files; ++i) {
    std::size_t n = 0;
    std::string text = spansift::bench::generate_export(
        {seed * 1000 + static_cast<std::uint64_t>(i), per_file, pretty, traces_shape}, &n);
    std::ofstream(folder + "/export-" + std::to_string(i) + ".json", std::ios::binary) << text;
    traces += n;
    bytes += text.size();
  }
  std::printf("%s: %d files, %zu traces, %zu bytes\n", folder.c_str(), files, traces, bytes);
}
