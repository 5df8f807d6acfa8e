#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "procscope/ApplicationIdentity.hpp"
#include "procscope/ExecutableSite.hpp"
#include "procscope/FileDescriptor.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/platform/Bundle.hpp"
#include "procscope/platform/ParentTable.hpp"
#include "procscope/platform/ProcEvents.hpp"
#include "procscope/platform/Workspace.hpp"

namespace procscope::platform {

std::string fileURLString(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += hex[c >> 4];
      url += hex[c & 0xF];
    }
  }
  return url;
}

namespace {

constexpr const char* kMainExecutableDir = "/Contents/MacOS/";

// The bundle whose main executable `path` is, looked up the cheap way: such
// an executable always sits in <bundle>/Contents/MacOS/.
std::shared_ptr<const Bundle> bundleOfMainExecutable(const std::string& path) {
  auto at = path.rfind(kMainExecutableDir);
  if (at == std::string::npos || at == 0) return nullptr;
  auto bundle = Bundles::get()->bundleWithPath(path.substr(0, at));
  if (!bundle || bundle->executablePath() != path) return nullptr;
  return bundle;
}

// The same, through the bounded file inspection: the property list lies on a
// file system the launching user may control, and one that never answers
// must not hold up every later launch (nor let their pins pile up behind).
// Not looked up in time, the launch is no application's.
std::shared_ptr<const Bundle> boundedBundleOfMainExecutable(const std::string& path) {
  auto bundle = inspection::bounded<std::shared_ptr<const Bundle>>(
      path, [path] { return bundleOfMainExecutable(path); });
  return bundle ? std::move(*bundle) : nullptr;
}

// Whether an exec of `path` may start an application: a bundle's main
// executable, or the program of a system desktop entry (a sandbox's or a
// snap's start is told otherwise). No file access: the event thread asks it
// of every exec.
bool mayLaunch(std::string_view path) {
  return path.find(kMainExecutableDir) != std::string_view::npos ||
         ApplicationIndex::shared().names(std::string(path));
}

// The ID of the desktop entry whose program process `pid` runs: the very
// file the entry names, looked at through the bounded inspection (cached
// attributes only).
std::optional<std::string> desktopApplicationOf(std::int32_t pid, const std::string& path) {
  auto id = inspection::bounded<std::optional<std::string>>(path, [pid, path] {
    struct statx sx {};
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    if (::statx(AT_FDCWD, exe.c_str(), AT_STATX_DONT_SYNC, STATX_INO, &sx) != 0) {
      return std::optional<std::string>();
    }
    return ApplicationIndex::shared().find(path, makedev(sx.stx_dev_major, sx.stx_dev_minor),
                                           sx.stx_ino);
  });
  return id ? std::move(*id) : std::nullopt;
}

int pin(std::int32_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// Whether the process a pin holds has not ended.
bool alive(int pidfd) {
  pollfd ended{pidfd, POLLIN, 0};
  return pidfd >= 0 && ::poll(&ended, 1, 0) == 0;
}

// The number of the mount namespace process `pid` is in, as /proc names it
// ("mnt:[N]"); 0 when it cannot be read. One read of a /proc link: nothing
// of anyone's making is looked at.
std::uint64_t mountNamespaceOf(std::int32_t pid) {
  char link[48];
  char target[64];
  std::snprintf(link, sizeof link, "/proc/%d/ns/mnt", pid);
  const ssize_t n = readlink(link, target, sizeof target);
  constexpr std::string_view kPrefix = "mnt:[";
  const std::string_view text(target, n > 0 ? static_cast<std::size_t>(n) : 0);
  if (!text.starts_with(kPrefix) || !text.ends_with(']')) return 0;
  std::uint64_t inode = 0;
  const char* end = text.data() + text.size() - 1;
  const auto [at, error] = std::from_chars(text.data() + kPrefix.size(), end, inode);
  return error == std::errc() && at == end ? inode : 0;
}

// A process's parent and start (clock ticks after boot), from
// /proc/<pid>/stat; none when it is gone.
struct Lineage {
  std::int32_t parent = 0;
  std::uint64_t started = 0;
};

std::optional<Lineage> lineageOf(std::int32_t pid) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
  char text[1024];
  const ssize_t n = fd.get() < 0 ? -1 : ::read(fd.get(), text, sizeof text - 1);
  if (n <= 0) return std::nullopt;
  text[n] = '\0';
  // The fields after the name, which may hold anything, ")" included: the
  // state, the parent (4th field) ... the start (22nd).
  const char* at = std::strrchr(text, ')');
  Lineage lineage;
  for (int field = 3; at && field <= 22; ++field) {
    at = std::strchr(at + 1, ' ');
    if (!at) return std::nullopt;
    if (field == 4) lineage.parent = static_cast<std::int32_t>(std::strtol(at + 1, nullptr, 10));
    if (field == 22) lineage.started = std::strtoull(at + 1, nullptr, 10);
  }
  if (!at) return std::nullopt;
  return lineage;
}

// The application ID of the Flatpak sandbox process `pid` (pinned by
// `pidfd`) runs in, through its own root; an empty answer for a namespace
// that is no sandbox's, none when that cannot be told (the process is gone,
// or has moved out of namespace `ns`). `held` receives a descriptor of the
// namespace, which keeps its number from passing to another for as long as
// the answer is remembered under it.
std::optional<std::optional<std::string>> sandboxOf(std::int32_t pid, int pidfd, std::uint64_t ns,
                                                    FileDescriptor& held) {
  const std::string proc = "/proc/" + std::to_string(pid);
  FileDescriptor root(::open((proc + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  FileDescriptor space(::open((proc + "/ns/mnt").c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (root.get() < 0 || space.get() < 0 || ::fstat(space.get(), &st) != 0 || st.st_ino != ns ||
      !alive(pidfd)) {
    return std::nullopt;
  }
  ExecutableSite site;
  site.root = std::make_shared<const LookupRoot>(std::move(root));
  auto id = sandboxApplicationId(site);
  held = std::move(space);
  return id;
}

class Application final : public RunningApplication {
 public:
  // `pidfd` (owned from here on) pins the process, taken when it was first
  // seen, so that a termination never reaches a later owner of the number.
  // Without a bundle, the application is a desktop entry's, a Flatpak
  // sandbox's or a snap's, `application` its ID or the snap's name: that is
  // its bundle identifier, the file name of the program it started with its
  // name.
  Application(std::int32_t pid, int pidfd, std::shared_ptr<const Bundle> bundle, std::string path,
              std::optional<std::string> application = std::nullopt)
      : pid_(pid),
        bundle_(std::move(bundle)),
        path_(std::move(path)),
        application_(std::move(application)),
        pidfd_(pidfd) {}
  ~Application() override {
    if (pidfd_ >= 0) close(pidfd_);
  }
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  std::int32_t processIdentifier() const override { return pid_; }
  std::optional<std::string> bundleIdentifier() const override {
    if (!bundle_) return application_;
    return stringForKey(bundle_->infoDictionary(), "CFBundleIdentifier");
  }
  std::optional<std::string> localizedName() const override {
    if (!bundle_) return path_.substr(path_.rfind('/') + 1);
    const auto& info = bundle_->infoDictionary();
    if (auto n = stringForKey(info, "CFBundleDisplayName")) return n;
    if (auto n = stringForKey(info, "CFBundleName")) return n;
    std::string dir = bundle_->bundlePath();
    auto slash = dir.rfind('/');
    std::string file = slash == std::string::npos ? dir : dir.substr(slash + 1);
    auto dot = file.rfind('.');
    return dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
  }
  std::optional<std::string> executableURL() const override { return fileURLString(path_); }
  bool forceTerminate() override {
    // Without its pin the number may be anyone's by now.
    if (pid_ <= 1 || pid_ == getpid() || pidfd_ < 0) return false;
    return syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0) == 0;
  }

 private:
  std::int32_t pid_;
  std::shared_ptr<const Bundle> bundle_;
  std::string path_;
  std::optional<std::string> application_;
  int pidfd_ = -1;
};

class LinuxWorkspace final : public Workspace {
 public:
  explicit LinuxWorkspace(ProcEventHub& hub) { state_->hub = &hub; }
  ObserverId addObserver(const std::string& name, Observer observer) override {
    std::lock_guard lock(state_->mu);
    state_->start(state_);
    ObserverId id = ++state_->nextId;
    state_->observers[id] = {name, std::move(observer)};
    return id;
  }
  void removeObserver(ObserverId id) override {
    std::lock_guard lock(state_->mu);
    state_->observers.erase(id);
  }
  std::vector<std::shared_ptr<RunningApplication>> runningApplications() override {
    std::lock_guard lock(state_->mu);
    state_->start(state_);
    std::vector<std::shared_ptr<RunningApplication>> list;
    for (auto& [pid, app] : state_->apps) list.push_back(app);
    return list;
  }

 private:
  struct Item {
    bool launch;
    std::int32_t pid;
    std::string path;
    int pidfd = -1;  // a launch's pin, taken at the exec event
    // The exec's mount namespace where it is not the agent's (else 0), and
    // whether it is the first exec seen there, which finds out whether the
    // namespace is a Flatpak sandbox's.
    std::uint64_t ns = 0;
    bool probe = false;
    std::optional<std::string> snap = std::nullopt;  // the snap it starts
  };

  // What is known of a mount namespace other than the agent's. Its first
  // exec is looked at (Pending) and finds it a sandbox's, whose start that
  // process is, or none's. The answer is kept under the namespace's number
  // while its descriptor is held (so the number is not another's meanwhile):
  // a sandbox's until its start ends, none's for kNoSandboxLifetime.
  struct Namespace {
    enum class Answer { Pending, None, Sandbox };
    Answer answer = Answer::Pending;
    std::int32_t start = -1;  // the process that was looked at
    FileDescriptor held{-1};
    std::chrono::steady_clock::time_point until;
    std::uint64_t order = 0;
  };
  static constexpr std::size_t kMaxNamespaces = 64;
  static constexpr std::size_t kMaxQueuedProbes = 64;
  static constexpr std::chrono::seconds kNoSandboxLifetime{10};
  // How far up its parents a snap's process is traced to an earlier start.
  static constexpr int kMaxAncestors = 64;

  // Shared with the reader thread and the notification thread, which outlive
  // any one handle to the workspace.
  struct State : ProcEventListener {
    std::mutex mu;
    std::condition_variable wake;
    std::deque<Item> queue;
    std::map<ObserverId, std::pair<std::string, Observer>> observers;
    std::map<std::int32_t, std::shared_ptr<Application>> apps;
    // Launches queued but not yet delivered: their terminations must follow
    // them through the queue rather than be dropped as unknown.
    std::map<std::int32_t, int> pendingLaunches;
    std::unordered_map<std::uint64_t, Namespace> namespaces;
    std::uint64_t namespacesMade = 0;
    std::size_t probesQueued = 0;  // items with `probe` in the queue
    // Descriptors of namespaces no longer remembered, closed by the
    // notification thread without the lock: the last one of a namespace
    // takes its mounts down, which may wait on the kernel.
    std::vector<FileDescriptor> retired;
    // The running starts of snaps (queued or delivered), by process.
    std::unordered_map<std::int32_t, std::string> snapStarts;
    std::uint64_t ownNamespace = 0;
    ObserverId nextId = 0;
    bool started = false;
    ProcEventHub* hub = nullptr;

    void start(const std::shared_ptr<State>& self) {  // with mu held
      if (started) return;
      started = true;
      ownNamespace = mountNamespaceOf(getpid());
      scanRunning();
      hub->subscribe(self);
      std::thread([self] { self->deliver(); }).detach();
    }

    bool foreign(std::uint64_t ns) const { return ns != 0 && ns != ownNamespace; }

    // The entry for namespace `ns`; when there is none (or its answer has
    // run out), one made Pending for process `pid` where `make`, else null.
    // True when made.
    std::pair<Namespace*, bool> namespaceFor(std::uint64_t ns, std::int32_t pid, bool make) {
      auto it = namespaces.find(ns);
      if (it != namespaces.end() && it->second.answer == Namespace::Answer::None &&
          std::chrono::steady_clock::now() >= it->second.until) {
        forget(it);
        it = namespaces.end();
      }
      if (it != namespaces.end()) return {&it->second, false};
      if (!make) return {nullptr, false};
      if (namespaces.size() >= kMaxNamespaces) {
        // The oldest goes, a sandbox's last: a later exec of that sandbox
        // would be taken for its start.
        const auto older = [](const auto& a, const auto& b) {
          const bool aSandbox = a.second.answer == Namespace::Answer::Sandbox;
          const bool bSandbox = b.second.answer == Namespace::Answer::Sandbox;
          return aSandbox != bSandbox ? bSandbox : a.second.order < b.second.order;
        };
        forget(std::min_element(namespaces.begin(), namespaces.end(), older));
      }
      Namespace& made = namespaces[ns];
      made.start = pid;
      made.order = ++namespacesMade;
      return {&made, true};
    }

    // The answer the first exec of namespace `ns`, by `pid`, found (none
    // when it could not tell: the namespace's next exec looks again).
    void settle(std::uint64_t ns, std::int32_t pid,
                const std::optional<std::optional<std::string>>& sandbox, FileDescriptor held) {
      auto it = namespaces.find(ns);
      const bool asked = it != namespaces.end() &&
                         it->second.answer == Namespace::Answer::Pending && it->second.start == pid;
      if (asked && !sandbox) namespaces.erase(it);  // holds nothing yet
      if (!asked || !sandbox) {
        if (held.get() >= 0) retired.push_back(std::move(held));
        return;
      }
      it->second.answer = *sandbox ? Namespace::Answer::Sandbox : Namespace::Answer::None;
      it->second.until = std::chrono::steady_clock::now() + kNoSandboxLifetime;
      it->second.held = std::move(held);
    }

    void forget(std::unordered_map<std::uint64_t, Namespace>::iterator it) {
      if (it->second.held.get() >= 0) retired.push_back(std::move(it->second.held));
      namespaces.erase(it);
    }

    bool inSandbox(std::uint64_t ns) const {
      auto it = namespaces.find(ns);
      return it != namespaces.end() && it->second.answer == Namespace::Answer::Sandbox;
    }

    // Whether process `pid` or one of its parents (as the events taught
    // them) is a running start of snap `snap`.
    bool startedFromSnap(std::int32_t pid, const std::string& snap) const {
      std::uint64_t epoch = 0;
      for (int depth = 0; depth < kMaxAncestors && pid > 0; ++depth) {
        if (auto it = snapStarts.find(pid); it != snapStarts.end() && it->second == snap) {
          return true;
        }
        const auto parent = hub->parents().parentOf(pid, epoch);
        if (!parent) return false;
        pid = *parent;
      }
      return false;
    }

    void addApplication(std::int32_t pid, int pidfd, std::shared_ptr<const Bundle> bundle,
                        const std::string& path, std::optional<std::string> id) {
      apps[pid] = std::make_shared<Application>(pid, pidfd, std::move(bundle), path, std::move(id));
    }

    // A process found running at start.
    struct Running {
      std::int32_t pid;
      std::string path;
      std::uint64_t ns;
    };

    // The applications running now: a bundle's main executable or a desktop
    // entry's program as at their launch; a sandbox's earliest process but
    // bubblewrap's own (the sandbox's reaper); a snap's process none of whose
    // parents runs a program of the same snap.
    void scanRunning() {
      std::vector<Running> running;
      DIR* dir = opendir("/proc");
      if (!dir) return;
      while (dirent* e = readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        char link[64];
        char target[4096];
        std::snprintf(link, sizeof link, "/proc/%ld/exe", pid);
        ssize_t n = readlink(link, target, sizeof target);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof target) continue;
        const auto p = static_cast<std::int32_t>(pid);
        running.push_back({p, std::string(target, static_cast<size_t>(n)), mountNamespaceOf(p)});
      }
      closedir(dir);

      std::map<std::uint64_t, std::vector<const Running*>> sandboxed;
      for (const auto& r : running) {
        if (foreign(r.ns)) sandboxed[r.ns].push_back(&r);
      }
      for (const auto& [ns, members] : sandboxed) scanNamespace(ns, members);

      std::map<std::int32_t, std::string> snaps;
      for (const auto& r : running) {
        if (foreign(r.ns) && inSandbox(r.ns)) continue;
        if (mayLaunch(r.path)) {
          const int fd = pin(r.pid);
          if (fd < 0) continue;  // gone already
          if (auto bundle = boundedBundleOfMainExecutable(r.path)) {
            addApplication(r.pid, fd, std::move(bundle), r.path, std::nullopt);
            continue;
          }
          if (auto id = desktopApplicationOf(r.pid, r.path)) {
            addApplication(r.pid, fd, nullptr, r.path, std::move(id));
            continue;
          }
          close(fd);
        }
        if (auto snap = snapNameOf(r.path)) snaps[r.pid] = std::move(*snap);
      }
      for (const auto& [pid, snap] : snaps) {
        bool first = true;
        std::int32_t at = pid;
        for (int depth = 0; first && depth < kMaxAncestors; ++depth) {
          const auto lineage = lineageOf(at);
          if (!lineage || lineage->parent <= 0) break;
          at = lineage->parent;
          auto it = snaps.find(at);
          first = it == snaps.end() || it->second != snap;
        }
        const int fd = first ? pin(pid) : -1;
        if (fd < 0) continue;
        const auto app = std::find_if(running.begin(), running.end(),
                                      [pid = pid](const Running& r) { return r.pid == pid; });
        addApplication(pid, fd, nullptr, app->path, snap);
        snapStarts[pid] = snap;
      }
    }

    // A namespace other than the agent's, found at start with `members`:
    // looked at through the first that answers.
    void scanNamespace(std::uint64_t ns, const std::vector<const Running*>& members) {
      std::optional<std::optional<std::string>> sandbox;
      FileDescriptor held(-1);
      std::int32_t asked = -1;
      for (const Running* member : members) {
        const int fd = pin(member->pid);
        sandbox = sandboxOf(member->pid, fd, ns, held);
        if (fd >= 0) close(fd);
        asked = member->pid;
        if (sandbox) break;
      }
      if (!sandbox) return;
      const Running* first = nullptr;
      std::uint64_t firstStarted = 0;
      for (const Running* member : *sandbox ? members : std::vector<const Running*>()) {
        const auto slash = member->path.rfind('/');
        if (member->path.compare(slash + 1, std::string::npos, "bwrap") == 0) continue;
        const auto lineage = lineageOf(member->pid);
        if (lineage && (!first || lineage->started < firstStarted)) {
          first = member;
          firstStarted = lineage->started;
        }
      }
      const int fd = first ? pin(first->pid) : -1;
      if (*sandbox && fd < 0) return;
      if (first) asked = first->pid;
      namespaceFor(ns, asked, true);
      settle(ns, asked, sandbox, std::move(held));
      if (first) addApplication(first->pid, fd, nullptr, first->path, **sandbox);
    }

    void onEvent(const ProcEvent& e) override {
      if (e.kind == ProcEvent::Kind::Exec) {
        if (!e.pathKnown) return;
        const bool entry = mayLaunch(e.path);
        auto snap = snapNameOf(e.path);
        // The root first: the monitor asks for it at every exec anyway, so
        // this costs little, and in the agent's own root the namespace is
        // the agent's too.
        const std::uint64_t ns = sharesOwnRoot(e.pid) ? 0 : mountNamespaceOf(e.pid);
        // Most execs end here, for the price of one statx of a /proc link.
        if (!entry && !snap && !foreign(ns)) return;
        std::lock_guard lock(mu);
        bool probe = false;
        if (foreign(ns)) {
          // New namespaces faster than they can be looked at: the later
          // ones wait for an exec that finds fewer looks queued.
          const auto [known, made] = namespaceFor(ns, e.pid, probesQueued < kMaxQueuedProbes);
          // A sandbox's later processes start no application.
          if (known && known->answer == Namespace::Answer::Sandbox) return;
          probe = made;
          probesQueued += probe ? 1 : 0;
        }
        if (snap && startedFromSnap(e.pid, *snap)) snap.reset();
        if (!probe && !entry && !snap) return;
        if (snap) snapStarts[e.pid] = *snap;
        // The pin now, while the number is surely this process's.
        queue.push_back({true, e.pid, std::string(e.path), pin(e.pid), foreign(ns) ? ns : 0, probe,
                         std::move(snap)});
        ++pendingLaunches[e.pid];
      } else if (e.kind == ProcEvent::Kind::Exit) {
        std::lock_guard lock(mu);
        snapStarts.erase(e.pid);
        if (!apps.count(e.pid) && !pendingLaunches.count(e.pid)) return;
        queue.push_back({false, e.pid, {}});
      } else {
        return;
      }
      wake.notify_one();
    }
    void onLoss(std::uint64_t, bool) override {}

    // What process `item.pid` starts, with its files read (through the
    // bounded inspection) without the lock.
    std::shared_ptr<Application> identify(Item& item, std::unique_lock<std::mutex>& lock) {
      lock.unlock();
      std::optional<std::optional<std::string>> sandbox;
      FileDescriptor held(-1);
      if (item.probe) sandbox = sandboxOf(item.pid, item.pidfd, item.ns, held);
      std::optional<std::string> id = sandbox ? *sandbox : std::nullopt;
      std::shared_ptr<const Bundle> bundle;
      if (!id) bundle = boundedBundleOfMainExecutable(item.path);
      if (!id && !bundle && ApplicationIndex::shared().names(item.path)) {
        id = desktopApplicationOf(item.pid, item.path);
      }
      if (!id && !bundle && item.pidfd >= 0) id = item.snap;  // not if gone before its pin
      lock.lock();
      if (item.probe) {
        settle(item.ns, item.pid, sandbox, std::move(held));
      } else if (item.ns != 0 && inSandbox(item.ns)) {
        return nullptr;  // a later process of a sandbox
      }
      if (!bundle && !id) return nullptr;
      return std::make_shared<Application>(item.pid, std::exchange(item.pidfd, -1),
                                           std::move(bundle), item.path, std::move(id));
    }

    void deliver() {
      std::unique_lock lock(mu);
      for (;;) {
        if (!retired.empty()) {
          std::vector<FileDescriptor> closing = std::move(retired);
          retired.clear();
          lock.unlock();
          closing.clear();
          lock.lock();
        }
        wake.wait(lock, [this] { return !queue.empty(); });
        Item item = std::move(queue.front());
        queue.pop_front();
        probesQueued -= item.probe ? 1 : 0;
        WorkspaceNotification note;
        if (item.launch) {
          if (auto it = pendingLaunches.find(item.pid);
              it != pendingLaunches.end() && --it->second == 0) {
            pendingLaunches.erase(it);
          }
          auto app = identify(item, lock);
          if (!app) {
            if (item.pidfd >= 0) close(item.pidfd);
            continue;
          }
          apps[item.pid] = std::move(app);
          note.name = kWillLaunchApplication;
        } else {
          if (!apps.erase(item.pid)) continue;
          // A sandbox whose start has ended: its next exec is looked at anew.
          for (auto it = namespaces.begin(); it != namespaces.end();) {
            const auto at = it++;
            if (at->second.answer == Namespace::Answer::Sandbox && at->second.start == item.pid) {
              forget(at);
            }
          }
          note.name = kDidTerminateApplication;
        }
        note.userInfo[kApplicationProcessIdentifier] = Value(item.pid);
        std::vector<Observer> targets;
        for (auto& [id, entry] : observers) {
          if (entry.first == note.name) targets.push_back(entry.second);
        }
        lock.unlock();
        for (auto& observer : targets) observer(&note);
        lock.lock();
      }
    }
  };

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace

std::shared_ptr<Workspace> makeLinuxWorkspace(ProcEventHub& hub) {
  return std::make_shared<LinuxWorkspace>(hub);
}

template <>
std::shared_ptr<Workspace> makeDefaultService<Workspace>() {
  return makeLinuxWorkspace(ProcEventHub::shared());
}

}  // namespace procscope::platform
