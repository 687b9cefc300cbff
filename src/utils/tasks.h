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
  // Keeps it from being run, and lets go of what its work would have read;
  // false when a thread has taken it.
  bool cancel();
  // Returns once no thread is doing its work.
  void wait_while_running() const;
  // Takes the work now, so that it can no longer be cancelled, and does it
  // once another thread waits for it (wait_while_running, finish): the
  // latest a thread may do it, for tests of what a task's work outlives.
  void take();
  void run_taken() noexcept;
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
  // Called once by the thread that cancelled it: a pool may hold a cancelled
  // task for a while, and it should not hold its input meanwhile.
  virtual void let_go() noexcept {}

 private:
  enum State : int { kWaiting, kRunning, kDone };
  std::atomic<int> state_{kWaiting};
  // Only for a task taken early (take), set by the thread that posts it:
  // the thread that does its work waits for awaited_.
  bool taken_early_ = false;
  mutable std::atomic<bool> awaited_{false};  // a thread waits for the work
};

}  // namespace spansift
