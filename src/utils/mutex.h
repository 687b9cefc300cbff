// A mutex, its scoped lock and a condition variable that clang's
// thread-safety analysis understands (-Wthread-safety): members marked
// GUARDED_BY(m) may be touched only with m held, and functions marked
// REQUIRES(m) only called with it, which the compiler checks. The same
// marks serve capabilities other than mutexes, held shared by many threads
// at once (a staging step, raw/staging.h).
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define SPANSIFT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SPANSIFT_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) SPANSIFT_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY SPANSIFT_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) SPANSIFT_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) SPANSIFT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) SPANSIFT_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) SPANSIFT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) SPANSIFT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) SPANSIFT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// Held, shared, when the function returns the first argument.
#define TRY_ACQUIRE_SHARED(...) SPANSIFT_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
// Held from the call on, with nothing to release.
#define ASSERT_CAPABILITY(x) SPANSIFT_THREAD_ANNOTATION(assert_capability(x))
// The function returns (a reference to) the capability x.
#define RETURN_CAPABILITY(x) SPANSIFT_THREAD_ANNOTATION(lock_returned(x))

namespace spansift {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds `mutex` for its lifetime.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Waited on with its mutex held, which is held again when the wait returns.
class CondVar {
 public:
  void wait(Mutex& mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  void signal() { cv_.notify_one(); }
  void signal_all() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace spansift
