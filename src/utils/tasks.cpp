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
  if (!state_.compare_exchange_strong(waiting, kDone, std::memory_order_acquire)) return false;
  let_go();
  return true;
}

void OnceTask::wait_while_running() const {
  if (taken_early_) {
    awaited_.store(true, std::memory_order_release);
    awaited_.notify_all();
  }
  for (int state; (state = state_.load(std::memory_order_acquire)) == kRunning;) state_.wait(state);
}

void OnceTask::take() {
  int waiting = kWaiting;
  taken_early_ = state_.compare_exchange_strong(waiting, kRunning, std::memory_order_acquire);
}

void OnceTask::run_taken() noexcept {
  if (state_.load(std::memory_order_acquire) != kRunning) return;
  awaited_.wait(false, std::memory_order_acquire);
  work();
  state_.store(kDone, std::memory_order_release);
  state_.notify_all();
}

}  // namespace spansift
