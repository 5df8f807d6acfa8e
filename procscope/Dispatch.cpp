#include "procscope/Dispatch.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace procscope::dispatch {
namespace {

class Pool {
 public:
  Pool() {
    unsigned n = std::max(4u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < n; ++i) workers_.emplace_back([this] { run(); });
  }
  // Queued tasks still run before the process goes: none is lost.
  ~Pool() {
    {
      std::lock_guard lock(mu_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : workers_) t.join();
  }

  void submit(std::function<void()> task) {
    {
      std::lock_guard lock(mu_);
      queue_.push_back(std::move(task));
      ++outstanding_;
    }
    wake_.notify_one();
  }

  void waitIdle() {
    std::unique_lock lock(mu_);
    idle_.wait(lock, [this] { return outstanding_ == 0; });
  }

 private:
  void run() {
    std::unique_lock lock(mu_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping and drained
      auto task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // release captured records before reporting idle
      lock.lock();
      if (--outstanding_ == 0) idle_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::function<void()>> queue_;
  size_t outstanding_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

Pool& pool() {
  static Pool instance;
  return instance;
}

}  // namespace

void async(std::function<void()> task) { pool().submit(std::move(task)); }

void waitIdle() { pool().waitIdle(); }

}  // namespace procscope::dispatch
