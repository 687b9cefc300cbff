// Work done ahead of the reader and handed on in the order it was posted: the
// one owner of what the reader has handed to the workers, for the items of an
// export and for the exports of a folder alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <memory>

#include "utils/tasks.h"
#include "utils/workers.h"

namespace spansift {

// T is a OnceTask.
template <class T>
class AheadWindow {
 public:
  explicit AheadWindow(Workers& workers) : workers_(workers) {}
  // A fault on the way: the tasks no thread has begun are cancelled, and
  // those under way waited for, as they refer to what goes after this.
  ~AheadWindow() {
    for (const auto& task : tasks_) {
      if (!task->cancel()) task->wait_while_running();
    }
  }
  AheadWindow(const AheadWindow&) = delete;
  AheadWindow& operator=(const AheadWindow&) = delete;

  Workers& workers() const { return workers_; }
  bool empty() const { return tasks_.empty(); }
  std::size_t size() const { return tasks_.size(); }
  T& front() const { return *tasks_.front(); }

  // Posts `task` to the workers, last in the window.
  void push(std::shared_ptr<T> task) {
    workers_.post_ahead(task);
    tasks_.push_back(std::move(task));
  }

  // Takes the first task off. True when a thread did its work: waited for,
  // with later tasks that no thread has begun done here meanwhile. False when
  // no thread had begun it: it is cancelled, and its work is the caller's, to
  // do in turn.
  bool pop_front(std::shared_ptr<T>& task) {
    task = std::move(tasks_.front());
    tasks_.pop_front();
    if (task->cancel()) return false;
    task->finish([this] {
      auto later = std::find_if(tasks_.begin(), tasks_.end(), [](const auto& t) { return t->waiting(); });
      if (later == tasks_.end()) return false;
      (*later)->run();
      return true;
    });
    return true;
  }

 private:
  Workers& workers_;
  std::deque<std::shared_ptr<T>> tasks_;
};

}  // namespace spansift
