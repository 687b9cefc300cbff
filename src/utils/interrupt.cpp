#include "utils/interrupt.h"

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unordered_set>

#include "utils/system.h"

namespace spansift {

namespace {

struct Registry {
  std::mutex lock;
  std::condition_variable staging_done;
  std::unordered_set<std::string> staged;
  std::string made_folder;
  int stagings = 0;  // under way: their file may exist without being listed yet
  bool interrupted = false;
};

Registry& registry() {
  static Registry r;
  return r;
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
// would have, so that the caller sees the same status.
[[noreturn]] void handle(int signal) {
  Registry& r = registry();
  {
    std::unique_lock<std::mutex> guard(r.lock);
    r.interrupted = true;
    r.staging_done.wait(guard, [&] { return r.stagings == 0; });
    System& system = posix_system();
    for (const std::string& path : r.staged) system.unlink(path.c_str());
    r.staged.clear();
    if (!r.made_folder.empty()) system.rmdir(r.made_folder.c_str());
  }
  std::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  std::raise(signal);
  // A signal whose default action is ignored cannot reach here; these three end the process.
  std::_Exit(128 + signal);
}

}  // namespace

void clean_up_on_interrupt() {
  sigset_t set = interrupt_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    handle(signal);
  }).detach();
}

bool begin_staging() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.interrupted) return false;
  ++r.stagings;
  return true;
}

void end_staging(const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (!path.empty()) {
    if (r.interrupted) {
      posix_system().unlink(path.c_str());
    } else {
      r.staged.insert(path);
    }
  }
  if (--r.stagings == 0) r.staging_done.notify_all();
}

void forget_staged(const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.staged.erase(path);
}

void set_made_folder(const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.made_folder = path;
}

}  // namespace spansift
