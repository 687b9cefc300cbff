// What an interrupted run must not leave behind. SIGINT, SIGTERM and SIGHUP
// are taken by one thread of their own, which asks whatever holds files on
// disk to clean up, then ends the process by the same signal.
#pragma once

namespace spansift {

// Something that leaves files on disk until it is done (the write pipeline,
// a staging folder). On an interrupt, on_interrupt() runs on the
// signal's thread: it waits for the steps under way, removes what a stopped
// run must not leave, and makes sure that no step begins after it. The
// process ends as soon as it returns.
class InterruptCleanup {
 public:
  virtual void on_interrupt() noexcept = 0;

 protected:
  ~InterruptCleanup() = default;
};

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread, and so in every
// thread started from it afterwards, and starts the thread that waits for
// them. Call once, from main, before any other thread exists; throws
// std::system_error when the thread can't be started.
void start_interrupt_thread();

// Registers a cleanup for as long as it lives; the last one registered is
// cleaned up first. Its destruction waits for an interrupt's cleanup under way.
class InterruptRegistration {
 public:
  explicit InterruptRegistration(InterruptCleanup& cleanup);
  ~InterruptRegistration();
  InterruptRegistration(const InterruptRegistration&) = delete;
  InterruptRegistration& operator=(const InterruptRegistration&) = delete;

 private:
  InterruptCleanup& cleanup_;
};

// For a step that found its cleanup already under way: an interrupt is ending
// the process, so nothing more may be done. Never returns.
[[noreturn]] void wait_for_interrupt_to_end_process();

}  // namespace spansift
