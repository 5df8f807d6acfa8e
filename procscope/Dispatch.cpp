#include "procscope/Dispatch.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "procscope/ThreadPriority.hpp"

namespace procscope::dispatch {
namespace {

// Tasks queued and not yet ended, in both pools: a task in one may queue
// tasks in the other.
class Outstanding {
 public:
  void add() {
    std::lock_guard lock(mu_);
    ++count_;
  }
  void done() {
    std::lock_guard lock(mu_);
    if (--count_ == 0) idle_.notify_all();
  }
  void waitIdle() {
    std::unique_lock lock(mu_);
    idle_.wait(lock, [this] { return count_ == 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable idle_;
  size_t count_ = 0;
};

// Never destroyed: the pools' destructors still run tasks at exit.
Outstanding& outstanding() {
  static auto* instance = new Outstanding();
  return *instance;
}

class Pool {
 public:
  Pool(unsigned threads, bool urgent) {
    for (unsigned i = 0; i < threads; ++i) {
      workers_.emplace_back([this, urgent] {
        if (urgent) raiseThreadPriority();
        run();
      });
    }
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
    outstanding().add();
    {
      std::lock_guard lock(mu_);
      queue_.push_back(std::move(task));
    }
    wake_.notify_one();
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
      outstanding().done();
      lock.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

Pool& pool() {
  static Pool instance(std::max(4u, std::thread::hardware_concurrency()), false);
  return instance;
}

// Two workers: one urgent task need not wait for another's disk write.
Pool& urgentPool() {
  static Pool instance(2, true);
  return instance;
}

}  // namespace

void async(std::function<void()> task) {
  pool().submit(std::move(task));
}

void asyncUrgent(std::function<void()> task) {
  urgentPool().submit(std::move(task));
}

void prepare() {
  pool();
  urgentPool();
}

void waitIdle() {
  outstanding().waitIdle();
}

}  // namespace procscope::dispatch
