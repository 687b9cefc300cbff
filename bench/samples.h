// The generated exports that the reading benchmarks share, made once per
// process so that every row reads the very same bytes.
#pragma once

#include <string>

#include "generate.h"

namespace spansift::bench {

// 32 MiB of traces of realistic shape, compact.
inline const std::string& sample_export() {
  static const std::string text = generate_export({7, 32 << 20, false});
  return text;
}

// 32 MiB of the float-heavy shape: numbers of 15 to 17 significant digits.
inline const std::string& floats_export() {
  static const std::string text = generate_export({7, 32 << 20, false, Traces::Floats});
  return text;
}

}  // namespace spansift::bench
