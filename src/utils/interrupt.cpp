#include "utils/interrupt.h"

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <utility>

#include "utils/system.h"

namespace spansift {

namespace {

struct Registry {
  std::mutex lock;
  std::condition_variable staging_done;
  std::function<void()> remove_staged;
  std::string made_folder;
  int stagings = 0;  // under way: their file may exist and not be known yet
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
    if (r.remove_staged) r.remove_staged();
    if (!r.made_folder.empty()) posix_system().rmdir(r.made_folder.c_str());
  }
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

void end_staging() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (--r.stagings == 0) r.staging_done.notify_all();
}

void set_staged_remover(std::function<void()> remover) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.remove_staged = std::move(remover);
}

void set_made_folder(const std::string& path) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.made_folder = path;
}

}  // namespace spansift
