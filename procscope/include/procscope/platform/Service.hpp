// Each platform service sits behind a small interface. The process-wide
// instance is swappable (tests, the replay tool) and defaults to the Linux
// backend that the service's own .cpp provides via makeDefaultService<I>().
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace procscope::platform {

template <class I>
std::shared_ptr<I> makeDefaultService();

template <class I>
class Service {
 public:
  static std::shared_ptr<I> get() { return slot().load(std::memory_order_acquire); }
  // Installs `next` (the default backend when null) and returns the previous one.
  static std::shared_ptr<I> install(std::shared_ptr<I> next) {
    if (!next) next = makeDefaultService<I>();
    return slot().exchange(std::move(next), std::memory_order_acq_rel);
  }

 private:
  static std::atomic<std::shared_ptr<I>>& slot() {
    static std::atomic<std::shared_ptr<I>> instance{makeDefaultService<I>()};
    return instance;
  }
};

// Installs a service for the lifetime of a scope (tests).
template <class I>
class ScopedService {
 public:
  explicit ScopedService(std::shared_ptr<I> next)
      : previous_(Service<I>::install(std::move(next))) {}
  ~ScopedService() { Service<I>::install(std::move(previous_)); }
  ScopedService(const ScopedService&) = delete;
  ScopedService& operator=(const ScopedService&) = delete;

 private:
  std::shared_ptr<I> previous_;
};

}  // namespace procscope::platform
