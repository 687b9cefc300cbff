#include "utils/tasks.h"

#include <algorithm>
#include <utility>

namespace spansift {

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
