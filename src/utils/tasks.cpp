#include "utils/tasks.h"

namespace spansift {

void OnceTask::run() noexcept {
  int waiting = kWaiting;
  if (!state_.compare_exchange_strong(waiting, kRunning, std::memory_order_acquire)) return;
  work();
  state_.store(kDone, std::memory_order_release);
  state_.notify_all();
}

bool OnceTask::cancel() {
  int waiting = kWaiting;
  return state_.compare_exchange_strong(waiting, kDone, std::memory_order_acquire);
}

void OnceTask::wait_while_running() const {
  for (int state; (state = state_.load(std::memory_order_acquire)) == kRunning;) state_.wait(state);
}

}  // namespace spansift
