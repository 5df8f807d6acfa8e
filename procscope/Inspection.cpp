#include "procscope/Inspection.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "procscope/Log.hpp"
#include "procscope/ThreadPriority.hpp"

namespace procscope::inspection {

namespace {

using Clock = std::chrono::steady_clock;

// Few threads: each one a stalled file system takes is lost until its server
// answers, and a fixed number bounds what a hostile mount can hold.
constexpr unsigned kThreads = 4;

struct Task {
  enum class State { kQueued, kRunning, kDone, kAbandoned };
  std::function<void()> work;
  State state = State::kQueued;
  bool overran = false;  // its caller gave up on it while it ran
};

// A file system left alone after an inspection there overran.
struct Stall {
  std::string mountPoint;
  std::shared_ptr<Task> task;  // the overrunning step, until it ends
  Clock::time_point until;     // from its end on
};

bool isUnder(const std::string& path, const std::string& dir) {
  if (dir == "/") return !path.empty() && path.front() == '/';
  return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

class Pool {
 public:
  Pool() {
    for (unsigned i = 0; i < kThreads; ++i) {
      std::thread([this] {
        // The work of judging a start, moved off the event loop: as urgent
        // as the loop, or a busy machine would starve it past its deadline.
        raiseThreadPriority();
        work();
      }).detach();
    }
  }

  bool run(const std::string& path, std::function<void()> work) {
    const auto start = Clock::now();
    std::unique_lock lock(mu_);
    if (overrunning_ >= kThreads || stalled(path, start)) return false;
    auto task = std::make_shared<Task>();
    task->work = std::move(work);
    queue_.push_back(task);
    wake_.notify_one();
    if (ended_.wait_until(lock, start + kDeadline,
                          [&] { return task->state == Task::State::kDone; })) {
      return true;
    }
    if (task->state == Task::State::kQueued) {
      task->state = Task::State::kAbandoned;  // never started: dropped unrun
      return false;
    }
    task->overran = true;
    const bool allHeld = ++overrunning_ == kThreads;
    lock.unlock();
    if (allHeld) {
      logMessage(
          "Every file inspection thread waits on a file system that does not answer: "
          "records are judged without inspecting their files");
    }
    // A command name that is no path stands for itself.
    noteStall(path.starts_with('/') ? mountPointOf(path) : path, task);
    return false;
  }

 private:
  // Whether `path` lies on a file system left alone; forgets those whose
  // time is up. With `mu_` held.
  bool stalled(const std::string& path, Clock::time_point now) {
    bool found = false;
    std::erase_if(stalls_, [&](const Stall& s) {
      if (!s.task && s.until <= now) return true;
      found = found || isUnder(path, s.mountPoint);
      return false;
    });
    return found;
  }

  void noteStall(const std::string& mountPoint, const std::shared_ptr<Task>& task) {
    std::unique_lock lock(mu_);
    const bool ended = task->state == Task::State::kDone;
    for (auto& s : stalls_) {
      if (s.mountPoint != mountPoint) continue;
      if (!ended) s.task = task;
      s.until = std::max(s.until, Clock::now() + kBackoff);
      return;  // logged when it was first noted
    }
    stalls_.push_back({mountPoint, ended ? nullptr : task, Clock::now() + kBackoff});
    lock.unlock();
    logMessage("File inspection under " + visibleText(mountPoint) + " took longer than " +
               std::to_string(kDeadline.count()) + " ms: files there go uninspected for " +
               std::to_string(kBackoff.count()) + " s after it ends");
  }

  void work() {
    std::unique_lock lock(mu_);
    for (;;) {
      wake_.wait(lock, [this] { return !queue_.empty(); });
      auto task = std::move(queue_.front());
      queue_.pop_front();
      if (task->state == Task::State::kAbandoned) continue;
      task->state = Task::State::kRunning;
      lock.unlock();
      task->work();
      task->work = nullptr;  // its captures go with it
      lock.lock();
      task->state = Task::State::kDone;
      if (task->overran) {
        --overrunning_;
        for (auto& s : stalls_) {
          if (s.task != task) continue;
          s.task = nullptr;
          s.until = Clock::now() + kBackoff;
        }
      }
      ended_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;   // workers: a task is queued
  std::condition_variable ended_;  // callers: a task has ended
  std::deque<std::shared_ptr<Task>> queue_;
  unsigned overrunning_ = 0;
  std::vector<Stall> stalls_;
};

// The pool of this process. Never destroyed: its threads may be held by a
// file system to the very end. A child forked from a process that had one
// has none of its threads, so it makes its own on first use.
std::atomic<Pool*> current{nullptr};
std::atomic_flag making;  // a thread is making it
// Pools of parent processes, kept reachable (they are not leaks).
std::vector<Pool*>* forgotten = nullptr;

void forgetInChild() {
  if (Pool* old = current.exchange(nullptr, std::memory_order_relaxed)) {
    if (!forgotten) forgotten = new std::vector<Pool*>;
    forgotten->push_back(old);
  }
  making.clear(std::memory_order_relaxed);
}

Pool& pool() {
  for (;;) {
    if (Pool* found = current.load(std::memory_order_acquire)) return *found;
    if (!making.test_and_set(std::memory_order_acquire)) break;
    std::this_thread::yield();
  }
  Pool* made = current.load(std::memory_order_acquire);
  if (!made) {
    static const bool registered = ::pthread_atfork(nullptr, nullptr, forgetInChild) == 0;
    (void)registered;
    made = new Pool;
    current.store(made, std::memory_order_release);
  }
  making.clear(std::memory_order_release);
  return *made;
}

}  // namespace

bool run(const std::string& path, std::function<void()> work) {
  return pool().run(path, std::move(work));
}

std::string unescapeMountPoint(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char* d = field.data() + i + 1;
      if (d[0] >= '0' && d[0] <= '3' && d[1] >= '0' && d[1] <= '7' && d[2] >= '0' && d[2] <= '7') {
        out += static_cast<char>((d[0] - '0') * 64 + (d[1] - '0') * 8 + (d[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::string mountPointOf(const std::string& path) {
  std::ifstream in("/proc/self/mountinfo");
  std::string best = "/";
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    if (!fields) continue;
    std::string mountPoint = unescapeMountPoint(field);
    // Of equal mount points the later one is on top.
    if (isUnder(path, mountPoint) && mountPoint.size() >= best.size()) best = std::move(mountPoint);
  }
  return best;
}

}  // namespace procscope::inspection
