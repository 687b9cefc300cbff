// Running a function on a large stack of its own, on the calling thread.
#pragma once

#include <functional>

namespace spansift {

// Whether run_on_large_stack really switches stacks (it does not under
// AddressSanitizer, or when the stack can't be reserved).
bool large_stack_available();

// Runs `fn` to completion on a reserved stack of 1 GiB (pages are committed
// only as they are touched), or on the current stack when none is available.
// `fn` must not throw.
void run_on_large_stack(const std::function<void()>& fn);

}  // namespace spansift
