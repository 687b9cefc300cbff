#include "utils/interrupt.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <vector>

#include "utils/mutex.h"
#include "utils/never_destroyed.h"

namespace spansift {

namespace {

struct Registry {
  Mutex mutex;
  std::vector<InterruptCleanup*> cleanups GUARDED_BY(mutex);
};

Registry& registry() {
  static NeverDestroyed<Registry> r;
  return r.get();
}

sigset_t interrupt_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Runs on the waiting thread: clean up, then end the process as the signal
// would have, so that the caller sees the same status. The registry stays
// locked, so that nothing registered can go away meanwhile.
[[noreturn]] void handle(int signal) {
  Registry& r = registry();
  r.mutex.lock();
  for (auto it = r.cleanups.rbegin(); it != r.cleanups.rend(); ++it) (*it)->on_interrupt();
  std::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(signal);
  // These three signals end the process by default; this is not reached.
  std::_Exit(128 + signal);
}

}  // namespace

void start_interrupt_thread() {
  sigset_t set = interrupt_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    handle(signal);
  }).detach();
}

InterruptRegistration::InterruptRegistration(InterruptCleanup& cleanup) : cleanup_(cleanup) {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  r.cleanups.push_back(&cleanup_);
}

InterruptRegistration::~InterruptRegistration() {
  Registry& r = registry();
  MutexLock lock(r.mutex);
  r.cleanups.erase(std::find(r.cleanups.begin(), r.cleanups.end(), &cleanup_));
}

void wait_for_interrupt_to_end_process() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace spansift
