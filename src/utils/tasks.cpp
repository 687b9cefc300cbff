#include "utils/tasks.h"

#include <algorithm>
#include <utility>

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

TaskThreads::TaskThreads(unsigned count) {
  for (unsigned i = 0; i < std::max(1U, count); ++i) threads_.emplace_back([this] { work(); });
}

TaskThreads::~TaskThreads() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    ready_.signal_all();
  }
  for (std::thread& thread : threads_) thread.join();
}

void TaskThreads::post(std::shared_ptr<Task> task) {
  MutexLock lock(mutex_);
  tasks_.push_back(std::move(task));
  ready_.signal();
}

void TaskThreads::work() {
  for (;;) {
    std::shared_ptr<Task> task;
    {
      MutexLock lock(mutex_);
      while (tasks_.empty() && !stopping_) ready_.wait(mutex_);
      if (stopping_) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task->run();
  }
}

}  // namespace spansift
