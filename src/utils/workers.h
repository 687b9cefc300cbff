// The threads of a run: made once, by main, and given to the writer, which
// hands them records to stage, and to the reader, which hands them exports
// and items to read ahead of it. They are the only threads the program starts.
//
// The policy of who runs what, in this one place:
// - A record waiting to be staged goes before any reading ahead. Where writing
//   is the slower half, the reader then reads on its own instead of waiting
//   for room in the writer's queue.
// - Reading ahead is offered only while no record waits and some thread is
//   not staging one (may_read_ahead): work handed over that no thread takes
//   soon only costs the handing; what is not handed over is read in turn.
// - On one processor nothing is read ahead: it would only take turns with the
//   reader.
// - What is worth handing over at all is the reader's to judge by what it has
//   read (read_ahead.h): items too small to pay for the handing, or too large
//   to hold twice, are read in turn, and so is an export no thread could read
//   for want of a descriptor or of memory (read_folder.cpp).
// - A pool that could start no thread (a thread limit) stages each record
//   where it is posted and reads nothing ahead: the run is then the same as
//   on one thread, not a failure.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "utils/mutex.h"
#include "utils/tasks.h"

namespace spansift {

// How many threads a run uses: one fewer than the processors it may run on
// (the reader keeps one busy), at least one; `taskset` limits them on a
// shared machine.
unsigned default_worker_count();

class Workers {
 public:
  // kAlways reads ahead whenever there is a thread, busy or not, on any
  // number of processors: for tests of reading ahead on any machine. kLate
  // does too, and a thread does each task of the reader's as late as it may:
  // taken when posted (never cancelled, never done by the reader), worked on
  // only once the reader waits for it. For tests that what a task reads
  // outlives the reader's own part, whatever the timing; reading alone, as a
  // thread held by a late task takes no record to stage.
  enum class Ahead { kWhenFree, kAlways, kLate };

  // Starts up to `count` threads: as many as the system lets it.
  Workers(unsigned count, Ahead ahead);
  // Joins the threads. Every poster has waited for or cancelled its own
  // tasks by then; what is still queued is dropped.
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  unsigned threads() const { return static_cast<unsigned>(threads_.size()); }

  // ---- The writer's tasks: run once each, in any order, before any task of
  // the reader's. A lane of at most 16 tasks per thread and 32 MB of what
  // they hold (but always one).

  // Adds a task that holds `bytes` of memory, first waiting while the lane is
  // full; runs it here when there is no thread.
  void post_write(std::unique_ptr<Task> task, std::size_t bytes) EXCLUDES(mutex_);
  // Returns once every write task posted has run.
  void finish_writes() EXCLUDES(mutex_);
  // Drops the write tasks that no thread has begun, and returns once none runs.
  void drop_writes() EXCLUDES(mutex_);

  // ---- The reader's tasks (OnceTask): run when no write waits. The reader
  // keeps each one it posts, and cancels or waits for it before it goes.

  // Whether a task posted now would be taken soon (see the policy above).
  bool may_read_ahead() const;
  void post_ahead(std::shared_ptr<OnceTask> task) EXCLUDES(mutex_);

 private:
  struct Write {
    std::unique_ptr<Task> task;
    std::size_t bytes;
  };

  void work();
  // The next task for a thread, a write first, waiting for one; false once
  // the pool is stopping.
  bool next_task(std::unique_ptr<Task>& write, std::shared_ptr<OnceTask>& ahead) EXCLUDES(mutex_);
  void write_done() EXCLUDES(mutex_);
  bool writes_full() const REQUIRES(mutex_);
  void wake_for_write() REQUIRES(mutex_);

  // Constant after construction.
  bool reads_ahead_ = false;
  bool always_ahead_ = false;
  bool late_ = false;
  std::size_t write_limit_ = 0;
  std::vector<std::thread> threads_;

  // Protected by mutex_.
  Mutex mutex_;
  CondVar work_ready_;   // for the threads
  CondVar write_room_;   // for the writer, waiting to post
  CondVar writes_done_;  // for the writer, waiting for the last
  std::deque<Write> writes_ GUARDED_BY(mutex_);
  std::deque<std::shared_ptr<OnceTask>> ahead_ GUARDED_BY(mutex_);
  std::size_t write_bytes_ GUARDED_BY(mutex_) = 0;
  unsigned idle_ GUARDED_BY(mutex_) = 0;
  unsigned writing_ GUARDED_BY(mutex_) = 0;  // threads running a write task
  bool writer_waiting_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;

  // Thread-safe: read by may_read_ahead without the lock, as a hint.
  std::atomic<bool> writes_pending_{false};  // a write task queued or running on every thread
};

}  // namespace spansift
