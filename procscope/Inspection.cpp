#include "procscope/Inspection.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "procscope/Log.hpp"
#include "procscope/ThreadPriority.hpp"
#include "procscope/Utilities.hpp"

namespace procscope::inspection {

namespace {

using Clock = std::chrono::steady_clock;

// No namespace's mount table comes near this; a larger one is not trusted.
constexpr std::size_t kMaxMountTableBytes = std::size_t{16} << 20;

// Few threads: each one a stalled file system takes is lost until its server
// answers, and a fixed number bounds what a hostile mount can hold.
constexpr unsigned kThreads = 4;

// Steps kept to be run late, when every thread is held: each is one record's
// second judgement. Beyond this many, a step whose deadline passed is dropped
// as it was before there were late judgements (and said so once).
constexpr std::size_t kMaxWaiting = 4096;

// What a thread has spent of its time since it started: on a CPU, and
// runnable but waiting for one (/proc/thread-self/schedstat). What is
// neither it spent blocked.
struct ThreadTimes {
  std::chrono::nanoseconds onCpu{0};
  std::chrono::nanoseconds waiting{0};
};

std::optional<ThreadTimes> readTimes(int fd) {
  char text[128];
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return std::nullopt;
  text[n] = '\0';
  unsigned long long cpu = 0;
  unsigned long long waited = 0;
  if (std::sscanf(text, "%llu %llu", &cpu, &waited) != 2) return std::nullopt;
  return ThreadTimes{std::chrono::nanoseconds(cpu), std::chrono::nanoseconds(waited)};
}

std::optional<ThreadTimes> threadTimes(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/schedstat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  auto times = readTimes(fd);
  ::close(fd);
  return times;
}

struct Task {
  enum class State { kQueued, kRunning, kDone, kAbandoned };
  std::function<void()> work;
  std::function<void()> late;  // after the work, when its caller gave up
  MountId mount = kUnknownMount;
  State state = State::kQueued;
  bool givenUp = false;  // its caller stopped waiting for it
  bool overran = false;  // it held its thread past the deadline
  bool demoted = false;  // moved to normal priority past the deadline
  pid_t thread = 0;      // the thread running it
  Clock::time_point started;
  std::optional<ThreadTimes> atStart;
  // Time spent in WaitElsewhere scopes: ended ones, and the start of the
  // current one (as steady-clock ticks; 0 outside).
  std::atomic<Clock::rep> elsewhere{0};
  std::atomic<Clock::rep> elsewhereSince{0};
};

// The step the calling pool thread runs.
thread_local Task* running = nullptr;

// A file system left alone after a step there blocked past the deadline.
struct Stall {
  MountId mount;
  std::shared_ptr<Task> task;  // the blocked step, until it ends
  Clock::time_point until;     // from its end on
};

thread_local std::function<void()> beforeWait;

std::string mountPointWithId(MountId mount);
bool isLocalMount(MountId mount);

class Pool {
 public:
  Pool() {
    for (unsigned i = 0; i < kThreads; ++i) {
      std::thread([this] {
        // The work of judging a start, moved off the event loop: as urgent
        // as the loop, or a busy machine would starve it past its deadline.
        // Only up to the deadline: an overrunning step is moved down.
        raiseThreadPriority();
        work();
      }).detach();
    }
  }

  void setBackoff(Clock::duration backoff) {
    std::lock_guard lock(mu_);
    backoff_ = backoff;
  }

  // Whether `mount` is left alone after a stall.
  bool leftAlone(MountId mount) {
    std::lock_guard lock(mu_);
    return stalled(mount, Clock::now());
  }

  bool run(MountId mount, std::function<void()> work, std::function<void()> late,
           Clock::time_point until = Clock::time_point::max()) {
    const auto start = Clock::now();
    until = std::min(until, start + kDeadline);
    std::unique_lock lock(mu_);
    if (stalled(mount, start)) return false;
    const bool allHeld = overrunning_ >= kThreads;
    if (allHeld && (!late || queue_.size() >= kMaxWaiting)) return false;
    auto task = std::make_shared<Task>();
    task->work = std::move(work);
    task->late = std::move(late);
    task->mount = mount;
    queue_.push_back(task);
    wake_.notify_one();
    if (allHeld) {
      task->givenUp = true;  // runs when a thread is free
      return false;
    }
    if (beforeWait) {
      const auto hook = beforeWait;  // it may clear itself
      lock.unlock();
      hook();
      lock.lock();
    }
    if (ended_.wait_until(lock, until, [&] { return task->state == Task::State::kDone; })) {
      return true;
    }
    task->givenUp = true;
    if (task->state == Task::State::kQueued) {
      // Never started: dropped unrun, or left to run late.
      if (!task->late || queue_.size() > kMaxWaiting) {
        task->state = Task::State::kAbandoned;
        if (task->late) dropped();
      }
      return false;
    }
    task->overran = true;
    const bool nowAllHeld = ++overrunning_ == kThreads;
    // Computing, or waiting for a CPU, is no stall: only its own record is
    // judged late. Either way the step goes on at normal priority: however
    // long it runs, no user's file tree holds a real-time thread.
    const auto now = threadTimes(task->thread);
    bool blocked = true;  // nothing known: as a stall
    if (now && task->atStart) {
      const auto at = Clock::now();
      const auto since = task->elsewhereSince.load();
      const auto elsewhere = Clock::duration(
          task->elsewhere.load() + (since != 0 ? at.time_since_epoch().count() - since : 0));
      const auto busy =
          (now->onCpu - task->atStart->onCpu) + (now->waiting - task->atStart->waiting);
      blocked = (busy + elsewhere) * 2 < at - task->started;
    }
    sched_param normal{};
    task->demoted =
        ::sched_setscheduler(task->thread, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal) == 0;
    lock.unlock();
    if (nowAllHeld) {
      logMessage(
          "Every file inspection thread is held by a step past its deadline: "
          "records are judged without inspecting their files until one ends");
    }
    // A disk always answers in the end, if slowly under load (which any user
    // can cause): only a mount that may never answer is left alone.
    // A step on no known mount (a process's own memory, a command name) is
    // that record's alone: nothing else is left alone for it.
    if (blocked && mount != kUnknownMount && !isLocalMount(mount)) noteStall(mount, task);
    return false;
  }

 private:
  // Whether `mount` is left alone; forgets those whose time is up. With
  // `mu_` held.
  bool stalled(MountId mount, Clock::time_point now) {
    bool found = false;
    std::erase_if(stalls_, [&](const Stall& s) {
      if (!s.task && s.until <= now) return true;
      found = found || s.mount == mount;
      return false;
    });
    return found;
  }

  void noteStall(MountId mount, const std::shared_ptr<Task>& task) {
    std::unique_lock lock(mu_);
    const bool ended = task->state == Task::State::kDone;
    for (auto& s : stalls_) {
      if (s.mount != mount) continue;
      if (!ended) s.task = task;
      s.until = std::max(s.until, Clock::now() + backoff_);
      return;  // logged when it was first noted
    }
    stalls_.push_back({mount, ended ? nullptr : task, Clock::now() + backoff_});
    const auto backoff = std::chrono::duration_cast<std::chrono::seconds>(backoff_);
    lock.unlock();
    logMessage("File inspection under " + visibleText(mountPointWithId(mount)) +
               " blocked for longer than " + std::to_string(kDeadline.count()) +
               " ms: files there go uninspected for " + std::to_string(backoff.count()) +
               " s after it ends");
  }

  void dropped() {
    if (droppedSaid_.exchange(true)) return;
    logMessage(
        "Too many file inspections wait for a thread: some records are judged "
        "without their files only");
  }

  void work() {
    const auto self = static_cast<pid_t>(::syscall(SYS_gettid));
    // Kept open: read at every step.
    const int times = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    std::unique_lock lock(mu_);
    for (;;) {
      wake_.wait(lock, [this] { return !queue_.empty(); });
      auto task = std::move(queue_.front());
      queue_.pop_front();
      if (task->state == Task::State::kAbandoned) continue;
      task->state = Task::State::kRunning;
      task->thread = self;
      task->started = Clock::now();
      task->atStart = times < 0 ? std::nullopt : readTimes(times);
      lock.unlock();
      running = task.get();
      task->work();
      running = nullptr;
      task->work = nullptr;  // its captures go with it
      lock.lock();
      task->state = Task::State::kDone;
      if (task->overran) {
        --overrunning_;
        for (auto& s : stalls_) {
          if (s.task != task) continue;
          s.task = nullptr;
          s.until = Clock::now() + backoff_;
        }
      }
      ended_.notify_all();
      const bool late = task->givenUp;
      const bool demoted = task->demoted;
      lock.unlock();
      if (demoted) raiseThreadPriority();
      if (late && task->late) task->late();
      task->late = nullptr;
      lock.lock();
    }
  }

  std::mutex mu_;
  std::condition_variable wake_;   // workers: a task is queued
  std::condition_variable ended_;  // callers: a task has ended
  std::deque<std::shared_ptr<Task>> queue_;
  unsigned overrunning_ = 0;
  std::vector<Stall> stalls_;
  Clock::duration backoff_ = kBackoff;
  std::atomic<bool> droppedSaid_{false};
};

// File system types with no server behind them: a step there waits on a disk
// or on memory, never on a peer that may not answer. Anything else (fuse*,
// nfs*, cifs, 9p, ceph, types not known here) counts as one that may stall.
bool isLocalType(std::string_view type) {
  static constexpr std::string_view kLocal[] = {
      "ext2",  "ext3", "ext4", "xfs",   "btrfs", "tmpfs",   "ramfs", "overlay", "squashfs",
      "erofs", "f2fs", "vfat", "msdos", "exfat", "iso9660", "jfs",   "ntfs3",   "zfs"};
  return std::find(std::begin(kLocal), std::end(kLocal), type) != std::end(kLocal);
}

bool isUnder(const std::string& path, const std::string& dir) {
  if (dir == "/") return !path.empty() && path.front() == '/';
  return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

struct Mount {
  std::string point;
  bool local = false;
  std::uint64_t id = 0;
  std::uint64_t parent = 0;
  std::string device;  // major:minor
  // An overlay is only as local as its layers (one on FUSE stalls as FUSE
  // does): their directories, as its options name them.
  bool overlay = false;
  std::vector<std::string> layers;
  // The kernel's unique id of the mount, where it has one; else `id`.
  MountId unique = kUnknownMount;
  // Whether it and every mount it sits on are local: worked out at the
  // first question about it (under the table's lock), not per start.
  std::optional<bool> chainLocal = std::nullopt;
};

Mount mountOf(MountInfoLine&& line) {
  Mount m{std::move(line.mountPoint),
          !line.type.empty() && isLocalType(line.type),
          line.id,
          line.parent,
          std::string(line.device),
          line.type == "overlay",
          {}};
  if (m.overlay) m.layers = overlayLayers(line.superOptions);
  return m;
}

// Whether `m` waits on no server: a local type, and for an overlay, each
// layer on such a mount of the same table (overlays of overlays a few deep).
bool isLocalMount(const std::vector<Mount>& mounts, const Mount& m, int depth = 0) {
  if (!m.local) return false;
  if (!m.overlay) return true;
  if (m.layers.empty() || depth > 3) return false;
  for (const auto& layer : m.layers) {
    const Mount* best = nullptr;
    for (const auto& other : mounts) {
      if (isUnder(layer, other.point) && (!best || other.point.size() >= best->point.size())) {
        best = &other;
      }
    }
    if (!best || best == &m || !isLocalMount(mounts, *best, depth + 1)) return false;
  }
  return true;
}

std::vector<Mount> parseMounts(std::string_view text) {
  std::vector<Mount> mounts;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (auto parsed = parseMountInfoLine(text.substr(0, end))) {
      mounts.push_back(mountOf(std::move(*parsed)));
    }
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return mounts;
}

// Whether the mount `q` names, and every one it sits on, is local; none when
// `mounts` does not hold it as asked (another mount with its id, or one
// mounted elsewhere since: the table is older than the mount).
std::optional<bool> chainIsLocal(std::vector<Mount>& mounts, const MountQuery& q) {
  char device[32];
  std::snprintf(device, sizeof device, "%u:%u", q.major, q.minor);
  auto find = [&](std::uint64_t id) -> const Mount* {
    for (const auto& m : mounts) {
      if (m.id == id) return &m;
    }
    return nullptr;
  };
  const auto at =
      std::find_if(mounts.begin(), mounts.end(), [&](const Mount& m) { return m.id == q.mountId; });
  // Where the path is known, the mount must lie on its way: one moved
  // elsewhere since the table was read may sit under another now.
  if (at == mounts.end() || at->device != device ||
      (!q.path.empty() && !isUnder(q.path, at->point))) {
    return std::nullopt;
  }
  if (at->chainLocal) return *at->chainLocal;
  bool local = true;
  const Mount* m = &*at;
  for (std::size_t depth = 0; m && depth <= mounts.size(); ++depth) {
    if (!isLocalMount(mounts, *m)) {
      local = false;
      break;
    }
    if (m->parent == m->id) break;
    m = find(m->parent);  // none above the namespace's root
  }
  at->chainLocal = local;
  return local;
}

// The whole of a /proc file; none when it cannot be read whole.
std::optional<std::string> readWholeFile(const std::string& path,
                                         std::size_t limit = kMaxMountTableBytes) {
  auto text = readFileText(path, limit + 1);
  if (text && text->size() > limit) return std::nullopt;
  return text;
}

// The mount tables of other namespaces (user namespaces, containers), by
// the inode of their ns/mnt. Nothing tells the agent when they change, so
// a table is read again when a mount asked about is not in it as asked, at
// most once per kRereadAfter; the few most recently used are kept. A user
// can make a table large and ask about it often: reading one costs the
// asking thread (the event loop) its time, so reads take at most a small
// share of it, and a larger table than kMaxForeignBytes is not read at all
// (its mounts then count as not local: inspected on the pool).
class ForeignMounts {
 public:
  bool local(const MountQuery& q) {
    std::lock_guard lock(mu_);
    const auto now = clock_ ? clock_() : Clock::now();
    Table* table = nullptr;
    for (auto& t : tables_) {
      if (t.inode == q.namespaceInode) table = &t;
    }
    if (table) {
      table->used = now;
      if (auto answer = chainIsLocal(table->mounts, q)) return *answer;
      if (now - table->read < kRereadAfter) return false;
    } else {
      if (tables_.size() >= kNamespaces) {
        tables_.erase(
            std::min_element(tables_.begin(), tables_.end(),
                             [](const Table& a, const Table& b) { return a.used < b.used; }));
      }
      tables_.push_back(Table{q.namespaceInode, {}, now, now});
      table = &tables_.back();
    }
    table->read = now;
    table->mounts.clear();
    if (now < nextRead_) return false;
    const std::string file = "/proc/" + std::to_string(q.pid) + "/mountinfo";
    auto text = readWholeFile(file, kMaxForeignBytes);
    if (text) table->mounts = parseMounts(*text);
    const auto end = clock_ ? clock_() : Clock::now();
    nextRead_ = end + (end - now) * kReadShare;
    if (!text) return false;
    return chainIsLocal(table->mounts, q).value_or(false);
  }

  // Times taken on one clock mean nothing on another: starts afresh.
  void setClock(std::function<Clock::time_point()> clock) {
    std::lock_guard lock(mu_);
    clock_ = std::move(clock);
    tables_.clear();
    nextRead_ = {};
  }

 private:
  static constexpr std::size_t kNamespaces = 32;
  static constexpr std::size_t kMaxForeignBytes = std::size_t{1} << 20;
  static constexpr int kReadShare = 20;  // reads take at most 1/20 of the time
  static constexpr std::chrono::milliseconds kRereadAfter{100};
  struct Table {
    std::uint64_t inode = 0;
    std::vector<Mount> mounts;
    Clock::time_point read;
    Clock::time_point used;
  };
  std::mutex mu_;
  std::vector<Table> tables_;
  Clock::time_point nextRead_;
  std::function<Clock::time_point()> clock_;  // tests'; none: the steady clock
};

// The kernel's unique ids of this namespace's mounts by their reusable ids
// (mountinfo's first field), from listmount(2) and statmount(2), which touch
// no file system; empty on kernels without them.
std::unordered_map<std::uint32_t, MountId> uniqueMountIds() {
  struct Request {
    std::uint32_t size;
    std::uint32_t spare;
    std::uint64_t id;
    std::uint64_t param;
  };
  struct Answer {  // the leading fields of struct statmount
    std::uint32_t size;
    std::uint32_t options;
    std::uint64_t mask;
    std::uint32_t deviceMajor;
    std::uint32_t deviceMinor;
    std::uint64_t magic;
    std::uint32_t flags;
    std::uint32_t type;
    std::uint64_t id;
    std::uint64_t parent;
    std::uint32_t oldId;
    std::uint32_t oldParent;
  };
  constexpr long kStatmount = 457;
  constexpr long kListmount = 458;
  constexpr std::uint64_t kAll = ~std::uint64_t{0};  // LSMT_ROOT
  constexpr std::uint64_t kBasic = 0x2;              // STATMOUNT_MNT_BASIC
  std::unordered_map<std::uint32_t, MountId> out;
  std::uint64_t ids[256];
  std::uint64_t after = 0;
  for (;;) {
    Request list{sizeof(Request), 0, kAll, after};
    const long n = ::syscall(kListmount, &list, ids, std::size(ids), 0);
    if (n < 0) return {};
    for (long i = 0; i < n; ++i) {
      Request one{sizeof(Request), 0, ids[i], kBasic};
      alignas(8) unsigned char buffer[2048];  // more than struct statmount
      if (::syscall(kStatmount, &one, buffer, sizeof buffer, 0) != 0) continue;
      Answer answer{};
      std::memcpy(&answer, buffer, sizeof answer);
      if (answer.mask & kBasic) out[answer.oldId] = answer.id;
    }
    if (n < static_cast<long>(std::size(ids))) return out;
    after = ids[n - 1];
  }
}

// /proc/self/mountinfo, parsed. Asked at every record, so it is read again
// only after the mounts change. A watcher thread waits in poll(2) on a
// mountinfo of its own, which the kernel wakes (POLLPRI) at every change of
// the mount namespace, and counts the changes; a question compares that count
// with the one the table was read at: one atomic load, no syscall.
//
// The window this leaves: a change is seen once the watcher has counted it,
// not when the mount call returns. The watcher runs at the event reader's
// real-time level, above the threads that ask, so it counts a change as soon
// as a CPU takes it after the kernel's wake-up; a question asked in between
// gets the table from before the change.
class MountTable {
 public:
  // The mount `path` lies on: the longest mount point that is `path` or one
  // of its leading directories, the later of equal ones (it is on top).
  template <class F>
  auto with(const std::string& path, F&& use) {
    std::lock_guard lock(mu_);
    refresh();
    static const Mount kUnlisted{"/", false, 0, 0,
                                 {},  false, {}};  // nothing known of it: may stall
    const Mount* best = &kUnlisted;
    for (const auto& m : mounts_) {
      if (isUnder(path, m.point) && m.point.size() >= best->point.size()) best = &m;
    }
    return use(*best);
  }

  // The mount with `id`, in the table as it was last read.
  std::optional<Mount> byId(MountId id) {
    std::lock_guard lock(mu_);
    for (const auto& m : mounts_) {
      if (m.unique == id) return m;
    }
    return std::nullopt;
  }

  // The unique id of the mount whose reusable id is `id`; none when the
  // table does not list it.
  std::optional<MountId> uniqueOf(std::uint64_t id) {
    std::lock_guard lock(mu_);
    refresh();
    for (const auto& m : mounts_) {
      if (m.id == id) return m.unique;
    }
    return std::nullopt;
  }

  bool local(const MountQuery& q) {
    std::lock_guard lock(mu_);
    refresh();
    return chainIsLocal(mounts_, q).value_or(false);
  }

 private:
  // Started at the first read, under mu_.
  void startWatching() {
    watching_ = true;
    // Opened before the table is read: every change after that read is
    // reported on it.
    const int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    try {
      watched_.store(true, std::memory_order_relaxed);
      std::thread([this, fd] { watch(fd); }).detach();
    } catch (const std::system_error&) {
      watched_.store(false, std::memory_order_relaxed);
      ::close(fd);
    }
  }

  // Never returns while the mountinfo can be polled; should it end, the table
  // is read at every question.
  void watch(int fd) {
    raiseThreadPriority(Urgency::Reading);
    for (;;) {
      pollfd changed{fd, POLLPRI, 0};
      const int n = ::poll(&changed, 1, -1);
      if (n < 0 && errno == EINTR) continue;
      // Anything but a change reported (never expected) ends the watch
      // rather than spin.
      if (n <= 0 || (changed.revents & POLLPRI) == 0) break;
      changes_.fetch_add(1, std::memory_order_release);
    }
    ::close(fd);
    watched_.store(false, std::memory_order_release);
  }

  void refresh() {
    if (!watching_) startWatching();
    // Loaded before the file is read: a change after this load (counted
    // during the read or later) makes the next question read it again.
    const std::uint64_t now = changes_.load(std::memory_order_acquire);
    if (read_ && now == readAt_ && watched_.load(std::memory_order_acquire)) return;
    readAt_ = now;
    read_ = false;
    mounts_.clear();
    // Nothing known (or part of a table, which could leave out a mount that
    // may stall): nothing counts as local.
    auto text = readWholeFile("/proc/self/mountinfo");
    if (!text) return;
    mounts_ = parseMounts(*text);
    // Read after the table: a mount made in between has no unique id here
    // and is known by its reusable one until the next change.
    const auto unique = uniqueMountIds();
    for (auto& m : mounts_) {
      const auto found = unique.find(static_cast<std::uint32_t>(m.id));
      m.unique = found != unique.end() ? found->second : MountId{m.id};
    }
    read_ = true;
  }

  std::atomic<std::uint64_t> changes_{0};  // counted by the watcher
  std::atomic<bool> watched_{false};
  std::mutex mu_;
  bool watching_ = false;  // the watcher was started (or failed to be)
  bool read_ = false;      // mounts_ is a whole table
  std::uint64_t readAt_ = 0;
  std::vector<Mount> mounts_;
};

// The table and the pool of this process. Neither is destroyed: their
// threads may be held (by a file system, or in poll) to the very end. A
// child forked from a process that had them makes its own on first use: it
// has none of their threads, and a table nobody watches would never be read
// again.
std::atomic<MountTable*> currentMounts{nullptr};
ForeignMounts* foreignMounts = new ForeignMounts;  // used until the very end of the run
std::atomic<Pool*> current{nullptr};
std::atomic_flag making;  // a thread is making the pool
// Those of parent processes, kept reachable (they are not leaks).
std::vector<Pool*>* forgotten = nullptr;
std::vector<MountTable*>* forgottenMounts = nullptr;

void forgetInChild() {
  if (MountTable* old = currentMounts.exchange(nullptr, std::memory_order_relaxed)) {
    if (!forgottenMounts) forgottenMounts = new std::vector<MountTable*>;
    forgottenMounts->push_back(old);
  }
  if (Pool* old = current.exchange(nullptr, std::memory_order_relaxed)) {
    if (!forgotten) forgotten = new std::vector<Pool*>;
    forgotten->push_back(old);
  }
  making.clear(std::memory_order_relaxed);
}

void registerForgetInChild() {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, forgetInChild) == 0;
  (void)registered;
}

MountTable& mounts() {
  if (MountTable* found = currentMounts.load(std::memory_order_acquire)) return *found;
  registerForgetInChild();
  auto* made = new MountTable;
  MountTable* expected = nullptr;
  if (currentMounts.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    return *made;
  }
  delete made;
  return *expected;
}

Pool& pool() {
  for (;;) {
    if (Pool* found = current.load(std::memory_order_acquire)) return *found;
    if (!making.test_and_set(std::memory_order_acquire)) break;
    std::this_thread::yield();
  }
  Pool* made = current.load(std::memory_order_acquire);
  if (!made) {
    registerForgetInChild();
    made = new Pool;
    current.store(made, std::memory_order_release);
  }
  making.clear(std::memory_order_release);
  return *made;
}

std::string mountPointWithId(MountId mount) {
  const auto found = mounts().byId(mount);
  return (found ? found->point : std::string()) + " (mount " + std::to_string(mount) + ")";
}

bool isLocalMount(MountId mount) {
  const auto found = mounts().byId(mount);
  return found && found->local;
}

}  // namespace

WaitElsewhere::WaitElsewhere() : task_(running) {
  if (running) running->elsewhereSince = Clock::now().time_since_epoch().count();
}

WaitElsewhere::~WaitElsewhere() {
  auto* task = static_cast<Task*>(task_);
  if (!task) return;
  const auto since = task->elsewhereSince.exchange(0);
  task->elsewhere += Clock::now().time_since_epoch().count() - since;
}

bool run(MountId mount, std::function<void()> work, std::function<void()> late) {
  return pool().run(mount, std::move(work), std::move(late));
}

bool runUntil(MountId mount, std::chrono::steady_clock::time_point until,
              std::function<void()> work) {
  return pool().run(mount, std::move(work), {}, until);
}

bool run(const std::string& path, std::function<void()> work) {
  return run(mountOf(path), std::move(work));
}

void setBeforeWait(std::function<void()> hook) {
  beforeWait = std::move(hook);
}

std::optional<MountInfoLine> parseMountInfoLine(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    const auto space = line.find(' ');
    fields.push_back(line.substr(0, space));
    line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
  }
  if (fields.size() < 5) return std::nullopt;
  MountInfoLine out{0, 0, fields[2], unescapeMountPoint(fields[4]), {}, {}};
  std::from_chars(fields[0].data(), fields[0].data() + fields[0].size(), out.id);
  std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), out.parent);
  // The optional fields end at "-"; none of the five before it can be one.
  const auto dash = std::find(fields.begin() + 5, fields.end(), "-");
  if (dash != fields.end() && dash + 1 != fields.end()) out.type = dash[1];
  if (dash != fields.end() && fields.end() - dash > 3) out.superOptions = dash[3];
  return out;
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
  return mounts().with(path, [](const Mount& m) { return m.point; });
}

MountId mountWithReusableId(std::uint64_t id) {
  if (id == 0) return kUnknownMount;
  return mounts().uniqueOf(id).value_or(MountId{id});
}

std::vector<std::string> overlayLayers(std::string_view options) {
  std::vector<std::string> layers;
  while (!options.empty()) {
    const auto comma = options.find(',');
    const std::string_view option = options.substr(0, comma);
    options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
    const auto equals = option.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = option.substr(0, equals);
    if (key.ends_with('+')) key.remove_suffix(1);  // lowerdir+=, one layer each
    if (key != "lowerdir" && key != "upperdir" && key != "workdir" && key != "datadir") continue;
    // Layers are separated by ':' (a data layer by "::"); a ':' in a name
    // has a backslash before it, as given to the mount.
    const std::string value = unescapeMountPoint(option.substr(equals + 1)) + ':';
    std::string layer;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) {
        layer += value[++i];
      } else if (value[i] != ':') {
        layer += value[i];
      } else if (!layer.empty()) {
        layers.push_back(std::exchange(layer, {}));
      }
    }
  }
  return layers;
}

MountId mountOf(const std::string& path) {
  if (!path.starts_with('/')) return kUnknownMount;
  return mounts().with(path, [](const Mount& m) { return m.unique; });
}

std::optional<bool> mountIsLocalIn(std::string_view mountinfo, const MountQuery& query) {
  auto mounts = parseMounts(mountinfo);
  return chainIsLocal(mounts, query);
}

bool mountIsLocal(const MountQuery& query) {
  if (query.namespaceInode == 0) return mounts().local(query);
  return foreignMounts->local(query);
}

bool leftAlone(MountId mount) {
  return pool().leftAlone(mount);
}

void setBackoff(std::chrono::steady_clock::duration backoff) {
  pool().setBackoff(backoff);
}

void setForeignTablesClock(std::function<std::chrono::steady_clock::time_point()> clock) {
  foreignMounts->setClock(std::move(clock));
}

bool answersInline(const std::string& path) {
  const auto [local, id] = mounts().with(
      path, [](const Mount& m) { return std::pair<bool, MountId>(m.local, m.unique); });
  return local && !pool().leftAlone(id);
}

}  // namespace procscope::inspection
