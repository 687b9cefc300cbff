// Processor-specific arithmetic, kept with the kernels so that every line
// written for one processor is in this folder.
#pragma once

#include <cstdint>

namespace spansift::simd {

// (high:low) divided by `divisor`, when the quotient fits 64 bits.
[[gnu::always_inline]] inline void divide_128_by_64(std::uint64_t high, std::uint64_t low, std::uint64_t divisor,
                                                    std::uint64_t& quotient, std::uint64_t& remainder) {
#if defined(__x86_64__)
  // The processor's own division, where the library's general one is a call.
  __asm__("divq %[d]" : "=a"(quotient), "=d"(remainder) : "a"(low), "d"(high), [d] "rm"(divisor));
#else
  const unsigned __int128 dividend = static_cast<unsigned __int128>(high) << 64 | low;
  quotient = static_cast<std::uint64_t>(dividend / divisor);
  remainder = static_cast<std::uint64_t>(dividend % divisor);
#endif
}

}  // namespace spansift::simd
