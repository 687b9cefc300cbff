// A process-wide object that is made on first use and never destroyed: a
// thread (the interrupt's, a worker) may still use it while the process exits
// and static destructors run.
#pragma once

#include <new>
#include <utility>

namespace spansift {

template <class T>
class NeverDestroyed {
 public:
  template <class... Args>
  explicit NeverDestroyed(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;
  // No destructor of T runs: the storage outlives every thread.
  ~NeverDestroyed() = default;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace spansift
