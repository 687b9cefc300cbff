// Which kernels a process uses, chosen once at start: the processor's best
// by default, or the ones SPANSIFT_KERNELS names ("portable", "sse2",
// "avx2", "neon"), so that tests can run every kernel the machine has. A name
// the processor lacks, or one not known, stops the run: never a silent
// fallback.
//
// The 16-byte kernels (block.h) are the portable one, or the processor's own
// under every other name; the wide ones (wide.h) follow the name exactly.
#pragma once

#include <string_view>
#include <type_traits>

#include "utils/simd/block.h"

namespace spansift::simd {

enum class Kernels { kPortable = 0, kSse2, kAvx2, kNeon };

// The kernels of this process (the default where the setting is not known),
// set as the program starts: one load, no guard, on the readers' slow paths.
// Read before that (by another static's initializer), it is the portable
// ones, which are always right.
extern const Kernels kChosenKernels;
inline Kernels chosen() noexcept { return kChosenKernels; }
std::string_view name_of(Kernels kernels);

// Throws Stop when SPANSIFT_KERNELS names kernels that are not known, or
// that this processor lacks.
void check_kernel_setting();

// `use(K{})` with K the 16-byte kernel chosen: Portable or Native.
template <class Use>
[[gnu::always_inline]] inline decltype(auto) with_block_kernel(Use&& use) {
  if constexpr (!std::is_same_v<Native, Portable>) {
    if (chosen() != Kernels::kPortable) return use(Native{});
  }
  return use(Portable{});
}

}  // namespace spansift::simd
