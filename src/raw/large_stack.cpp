#include "raw/large_stack.h"

#include <cstddef>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace spansift {

namespace {

constexpr std::size_t kStackSize = std::size_t(1) << 30;

// GCC announces AddressSanitizer with a macro, clang only through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define SPANSIFT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SPANSIFT_ASAN 1
#endif
#endif

#if defined(SPANSIFT_ASAN)
constexpr bool kSwitchStacks = false;  // the sanitizer's stack switching support is partial
#else
constexpr bool kSwitchStacks = true;
#endif

void* reserved_stack() {
  static void* stack = [] {
    if (!kSwitchStacks) return static_cast<void*>(nullptr);
    void* p = ::mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (p == MAP_FAILED) return static_cast<void*>(nullptr);
    // A guard page turns an overflow into a fault instead of silent corruption.
    ::mprotect(p, static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), PROT_NONE);
    return p;
  }();
  return stack;
}

const std::function<void()>* current_fn = nullptr;
ucontext_t caller_context;
bool on_large_stack = false;

void trampoline() {
  (*current_fn)();
  // Returning resumes caller_context through uc_link.
}

}  // namespace

bool large_stack_available() { return reserved_stack() != nullptr; }

void run_on_large_stack(const std::function<void()>& fn) {
  void* stack = reserved_stack();
  if (stack == nullptr || on_large_stack) {
    fn();
    return;
  }
  ucontext_t context;
  ::getcontext(&context);
  context.uc_stack.ss_sp = stack;
  context.uc_stack.ss_size = kStackSize;
  context.uc_link = &caller_context;
  current_fn = &fn;
  ::makecontext(&context, trampoline, 0);
  on_large_stack = true;
  ::swapcontext(&caller_context, &context);
  on_large_stack = false;
  current_fn = nullptr;
}

}  // namespace spansift
