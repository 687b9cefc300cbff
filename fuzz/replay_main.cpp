// A fuzz target's entry point run once on every file named on the command
// line, or found in a folder named there: what libFuzzer does with -runs=0,
// without libFuzzer, so that the ordinary builds (and their sanitizers) keep
// every input found so far passing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void run_on(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path = argv[i];
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        if (!entry.is_regular_file()) continue;
        run_on(entry.path());
        ++count;
      }
    } else if (std::filesystem::is_regular_file(path)) {
      run_on(path);
      ++count;
    }
  }
  std::printf("%zu inputs, no failure\n", count);
  return count > 0 ? 0 : 1;
}
