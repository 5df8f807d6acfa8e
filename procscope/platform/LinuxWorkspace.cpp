#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "procscope/ApplicationIdentity.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/platform/Bundle.hpp"
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
// executable, or the program of a system desktop entry. No file access: the
// event thread asks it of every exec.
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

class Application final : public RunningApplication {
 public:
  // `pidfd` (owned from here on) pins the process, taken when it was first
  // seen, so that a termination never reaches a later owner of the number.
  // Without a bundle, the application is a desktop entry's, `application`
  // its ID: that is its bundle identifier, its program's file name its name.
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
  };

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
    ObserverId nextId = 0;
    bool started = false;
    ProcEventHub* hub = nullptr;

    void start(const std::shared_ptr<State>& self) {  // with mu held
      if (started) return;
      started = true;
      scanRunning();
      hub->subscribe(self);
      std::thread([self] { self->deliver(); }).detach();
    }

    void scanRunning() {
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
        std::string path(target, static_cast<size_t>(n));
        if (!mayLaunch(path)) continue;
        auto p = static_cast<std::int32_t>(pid);
        int fd = pin(p);
        if (fd < 0) continue;  // gone already
        if (auto bundle = boundedBundleOfMainExecutable(path)) {
          apps[p] = std::make_shared<Application>(p, fd, std::move(bundle), path);
        } else if (auto id = desktopApplicationOf(p, path)) {
          apps[p] = std::make_shared<Application>(p, fd, nullptr, path, std::move(id));
        } else {
          close(fd);
        }
      }
      closedir(dir);
    }

    void onEvent(const ProcEvent& e) override {
      if (e.kind == ProcEvent::Kind::Exec) {
        if (!e.pathKnown || !mayLaunch(e.path)) return;
        const int fd = pin(e.pid);  // now, while the number is surely this process's
        std::lock_guard lock(mu);
        queue.push_back({true, e.pid, std::string(e.path), fd});
        ++pendingLaunches[e.pid];
      } else if (e.kind == ProcEvent::Kind::Exit) {
        std::lock_guard lock(mu);
        if (!apps.count(e.pid) && !pendingLaunches.count(e.pid)) return;
        queue.push_back({false, e.pid, {}});
      } else {
        return;
      }
      wake.notify_one();
    }
    void onLoss(std::uint64_t, bool) override {}

    void deliver() {
      std::unique_lock lock(mu);
      for (;;) {
        wake.wait(lock, [this] { return !queue.empty(); });
        Item item = std::move(queue.front());
        queue.pop_front();
        WorkspaceNotification note;
        if (item.launch) {
          if (auto it = pendingLaunches.find(item.pid);
              it != pendingLaunches.end() && --it->second == 0) {
            pendingLaunches.erase(it);
          }
          lock.unlock();
          auto bundle = boundedBundleOfMainExecutable(item.path);
          auto id = bundle ? std::nullopt : desktopApplicationOf(item.pid, item.path);
          lock.lock();
          if (!bundle && !id) {
            if (item.pidfd >= 0) close(item.pidfd);
            continue;
          }
          apps[item.pid] = std::make_shared<Application>(item.pid, item.pidfd, std::move(bundle),
                                                         item.path, std::move(id));
          note.name = kWillLaunchApplication;
        } else {
          if (!apps.erase(item.pid)) continue;
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
