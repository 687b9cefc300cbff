#include "utils/simd/kernels.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "utils/messages.h"
#include "utils/stop.h"

namespace spansift::simd {

namespace {

constexpr const char* kVariable = "SPANSIFT_KERNELS";
constexpr Kernels kAll[] = {Kernels::kPortable, Kernels::kSse2, Kernels::kAvx2, Kernels::kNeon};

bool processor_has(Kernels kernels) {
#if defined(__x86_64__)
  if (kernels == Kernels::kAvx2) {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("pclmul");
  }
  if (kernels == Kernels::kSse2) return true;
#elif defined(__aarch64__)
  if (kernels == Kernels::kNeon) return true;
#endif
  return kernels == Kernels::kPortable;
}

Kernels best() {
  for (Kernels k : {Kernels::kAvx2, Kernels::kSse2, Kernels::kNeon}) {
    if (processor_has(k)) return k;
  }
  return Kernels::kPortable;
}

// The kernels named by the setting; none when it names none it knows.
std::optional<Kernels> named(std::string_view setting) {
  for (Kernels k : kAll) {
    if (name_of(k) == setting) return k;
  }
  return std::nullopt;
}

std::string_view setting() {
  const char* value = std::getenv(kVariable);
  return value != nullptr ? value : "";
}

// The ones this processor has, for the message.
std::string known_here() {
  std::string names;
  for (Kernels k : kAll) {
    if (!processor_has(k)) continue;
    if (!names.empty()) names += ", ";
    names += name_of(k);
  }
  return names;
}

}  // namespace

std::string_view name_of(Kernels kernels) {
  switch (kernels) {
    case Kernels::kPortable: return "portable";
    case Kernels::kSse2: return "sse2";
    case Kernels::kAvx2: return "avx2";
    case Kernels::kNeon: return "neon";
  }
  return "";
}

const Kernels kChosenKernels = [] {
  const std::optional<Kernels> wanted = named(setting());
  return wanted && processor_has(*wanted) ? *wanted : best();
}();

void check_kernel_setting() {
  const std::string_view value = setting();
  if (value.empty()) return;
  const std::optional<Kernels> wanted = named(value);
  if (!wanted || !processor_has(*wanted)) throw Stop(messages::kernels_not_here(kVariable, value, known_here()));
}

}  // namespace spansift::simd
