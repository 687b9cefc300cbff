// Work handed to other threads (workers.h): a task, and a task done once by
// whichever thread comes to it first.
#pragma once

#include <atomic>
#include <memory>

namespace spansift {

// One piece of work. run() may be called by any thread, more than once
// (the poster may run a task itself rather than wait for it), and must not
// throw.
class Task {
 public:
  virtual ~Task() = default;
  virtual void run() noexcept = 0;
};

// A task whose work is done once, by whichever thread comes to it first: a
// pool's, or the one that needs its result and would otherwise wait.
class OnceTask : public Task {
 public:
  // Does the work, unless another thread has taken it or it was cancelled.
  void run() noexcept final;
  // No thread has taken it yet.
  bool waiting() const { return state_.load(std::memory_order_relaxed) == kWaiting; }
  // Its work is done (or cancelled); what the work wrote is then visible.
  bool done() const { return state_.load(std::memory_order_acquire) == kDone; }
  // Keeps it from being run; false when a thread has taken it.
  bool cancel();
  // Returns once no thread is doing its work.
  void wait_while_running() const;
  // Returns once its work is done: does it here if no thread has taken it;
  // while another thread does it, calls `help` (other work; false when
  // there is none), or waits.
  template <class Help>
  void finish(Help&& help) {
    while (!done()) {
      if (waiting()) {
        run();
      } else if (!help()) {
        wait_while_running();
      }
    }
  }

 protected:
  virtual void work() noexcept = 0;

 private:
  enum State : int { kWaiting, kRunning, kDone };
  std::atomic<int> state_{kWaiting};
};

}  // namespace spansift
