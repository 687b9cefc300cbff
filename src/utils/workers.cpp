#include "utils/workers.h"

#include <algorithm>
#include <sched.h>
#include <system_error>
#include <utility>

namespace spansift {

namespace {

// The writer's lane holds at most this many tasks per thread, and at most
// kWriteBytes of what they hold (but always one). On a virtual machine a
// wake-up costs more than rendering a small trace, so while a thread is at
// work the writer wakes another only once kWakeTasks tasks or kWakeBytes
// wait, and the threads wake the writer only once the lane is half empty.
constexpr std::size_t kWritesPerThread = 16;
constexpr std::size_t kWriteBytes = std::size_t{32} << 20;
constexpr std::size_t kWakeTasks = 8;
constexpr std::size_t kWakeBytes = std::size_t{1} << 20;

// The processors that the process may run on.
unsigned usable_processors() {
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof cpus, &cpus) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&cpus)));
  return std::max(1U, std::thread::hardware_concurrency());
}

}  // namespace

unsigned default_worker_count() { return std::max(1U, usable_processors() - 1); }

Workers::Workers(unsigned count, Ahead ahead) {
  // Before the threads start: they read it.
  late_ = ahead == Ahead::kLate;
  threads_.reserve(count);
  try {
    for (unsigned i = 0; i < count; ++i) threads_.emplace_back([this] { work(); });
  } catch (const std::system_error&) {
    // No more threads to be had: the run goes on with those it has.
  }
  always_ahead_ = ahead != Ahead::kWhenFree;
  reads_ahead_ = !threads_.empty() && (always_ahead_ || usable_processors() > 1);
  write_limit_ = kWritesPerThread * std::max<std::size_t>(1, threads_.size());
}

Workers::~Workers() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    work_ready_.signal_all();
  }
  for (std::thread& thread : threads_) thread.join();
}

bool Workers::writes_full() const {
  return writes_.size() >= write_limit_ || (write_bytes_ >= kWriteBytes && !writes_.empty());
}

void Workers::wake_for_write() {
  writes_pending_.store(true, std::memory_order_relaxed);
  // A thread is woken when none is at work, so that every record is staged
  // soon, and another only once tasks pile up.
  if (idle_ == threads() || (idle_ > 0 && (writes_.size() >= kWakeTasks || write_bytes_ >= kWakeBytes))) {
    work_ready_.signal();
  }
}

void Workers::post_write(std::unique_ptr<Task> task, std::size_t bytes) {
  if (threads_.empty()) {
    task->run();
    return;
  }
  MutexLock lock(mutex_);
  if (writes_full()) {
    work_ready_.signal_all();
    writer_waiting_ = true;
    while (writes_full()) write_room_.wait(mutex_);
    writer_waiting_ = false;
  }
  write_bytes_ += bytes;
  writes_.push_back({std::move(task), bytes});
  wake_for_write();
}

void Workers::finish_writes() {
  MutexLock lock(mutex_);
  work_ready_.signal_all();  // those left waiting for more to pile up
  while (!writes_.empty() || writing_ > 0) writes_done_.wait(mutex_);
}

void Workers::drop_writes() {
  std::deque<Write> dropped;
  {
    MutexLock lock(mutex_);
    dropped.swap(writes_);
    write_bytes_ = 0;
    while (writing_ > 0) writes_done_.wait(mutex_);
    writes_pending_.store(false, std::memory_order_relaxed);
    write_room_.signal_all();
  }
  // Their records' memory goes here, outside the lock.
}

bool Workers::may_read_ahead() const {
  return reads_ahead_ && (always_ahead_ || !writes_pending_.load(std::memory_order_relaxed));
}

void Workers::post_ahead(std::shared_ptr<OnceTask> task) {
  MutexLock lock(mutex_);
  // The reader cancels, oldest first, what no thread has begun when it gets
  // there: those are let go here, so that threads busy writing for a long
  // while do not keep them (and the input they hold) queued.
  while (!ahead_.empty() && ahead_.front()->done()) ahead_.pop_front();
  if (late_) task->take();
  ahead_.push_back(std::move(task));
  if (idle_ > 0) work_ready_.signal();
}

bool Workers::next_task(std::unique_ptr<Task>& write, std::shared_ptr<OnceTask>& ahead) {
  MutexLock lock(mutex_);
  while (writes_.empty() && ahead_.empty() && !stopping_) {
    ++idle_;
    work_ready_.wait(mutex_);
    --idle_;
  }
  if (stopping_) return false;
  if (writes_.empty()) {
    // The oldest first: the one the reader needs soonest.
    ahead = std::move(ahead_.front());
    ahead_.pop_front();
    return true;
  }
  write = std::move(writes_.front().task);
  write_bytes_ -= writes_.front().bytes;
  writes_.pop_front();
  ++writing_;
  if (writer_waiting_ && writes_.size() <= write_limit_ / 2 && write_bytes_ <= kWriteBytes / 2) write_room_.signal();
  writes_pending_.store(!writes_.empty() || writing_ == threads(), std::memory_order_relaxed);
  return true;
}

void Workers::write_done() {
  MutexLock lock(mutex_);
  --writing_;
  writes_pending_.store(!writes_.empty(), std::memory_order_relaxed);
  if (writes_.empty() && writing_ == 0) writes_done_.signal_all();
}

void Workers::work() {
  std::unique_ptr<Task> write;
  std::shared_ptr<OnceTask> ahead;
  while (next_task(write, ahead)) {
    if (write) {
      write->run();
      write.reset();  // its record's memory goes before the next is taken
      write_done();
    } else {
      if (late_) {
        ahead->run_taken();
      } else {
        ahead->run();
      }
      ahead.reset();
    }
  }
}

}  // namespace spansift
