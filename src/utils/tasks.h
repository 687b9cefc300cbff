// Work handed to other threads: a task, a pool that runs tasks, and a plain
// pool of threads that does only that.
#pragma once

#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "utils/mutex.h"

namespace spansift {

// One piece of work. run() may be called by any thread, more than once
// (the poster may run a task itself rather than wait for it), and must not
// throw.
class Task {
 public:
  virtual ~Task() = default;
  virtual void run() noexcept = 0;
};

// Where tasks are run, soon and in any order.
class TaskPool {
 public:
  virtual void post(std::shared_ptr<Task> task) = 0;
  // How many threads run tasks at once.
  virtual unsigned threads() const = 0;

 protected:
  ~TaskPool() = default;
};

// `count` threads (at least one) that run posted tasks in posting order,
// until the pool is destroyed; what is still queued then is dropped.
class TaskThreads final : public TaskPool {
 public:
  explicit TaskThreads(unsigned count);
  ~TaskThreads();
  TaskThreads(const TaskThreads&) = delete;
  TaskThreads& operator=(const TaskThreads&) = delete;

  void post(std::shared_ptr<Task> task) override EXCLUDES(mutex_);
  unsigned threads() const override { return static_cast<unsigned>(threads_.size()); }

 private:
  void work() EXCLUDES(mutex_);

  Mutex mutex_;
  CondVar ready_;
  std::deque<std::shared_ptr<Task>> tasks_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_;
};

}  // namespace spansift
