// Shared pieces of the kill tests. Every process they signal is one the test
// started itself, running a uniquely named copy of sleep in a session of its
// own; cases that could reach the caller's own group run inside a helper in a
// session of its own, so a faulty guard could only ever take down that helper.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "AgentTestSupport.hpp"
#include "support/PidReuse.hpp"
#include "procblock/Kill.hpp"

namespace killtest {

// A uniquely named copy of /bin/sleep under a fresh temporary directory.
class Sleeper {
 public:
  explicit Sleeper(const std::string& name = "sleep")
      : path_(dir_ / ("pbkill-" + std::to_string(::getpid()) + "-" + name)) {
    std::filesystem::copy_file("/bin/sleep", path_);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
  }
  const std::string& path() const { return path_; }
  // Replaces the calling (forked) process; only async-signal-safe calls.
  [[noreturn]] void exec() const {
    char* argv[] = {const_cast<char*>(path_.c_str()), const_cast<char*>("1000"), nullptr};
    ::execv(path_.c_str(), argv);
    ::_exit(127);
  }
  // A child in a session of its own running the copy; returns once it has
  // replaced itself (its close-on-exec pipe has closed). -1 on failure.
  pid_t startInOwnSession() const {
    int started[2];
    if (::pipe2(started, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      exec();
    }
    ::close(started[1]);
    char byte;
    while (::read(started[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(started[0]);
    return pid;
  }

 private:
  agenttest::TempDir dir_;
  std::string path_;
};

// Reads exactly n bytes, or fewer when the writers end or nothing comes for
// a long while (only to keep a broken run from hanging).
inline std::string readBytes(int fd, size_t n) {
  std::string out;
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) break;
    char c;
    ssize_t got = ::read(fd, &c, 1);
    if (got <= 0) break;
    out.push_back(c);
  }
  return out;
}

// True when every writer of the pipe has gone.
inline bool writersGone(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 30000) <= 0) return false;
  char c;
  return ::read(fd, &c, 1) == 0;
}

// Waits for a child to end; none if it is still running after a long while
// (`tries` times 10 ms).
inline std::optional<int> waitForChild(pid_t pid, int tries = 3000) {
  for (int i = 0; i < tries; ++i) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

// True when the (unreaped) child is still running after `wait`.
inline bool stillRunning(pid_t pid, std::chrono::milliseconds wait) {
  std::this_thread::sleep_for(wait);
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == 0;
}

// A child that leads a session (and so a group) of its own. Whatever the
// test did, the group is killed and the child reaped at the end: the group id
// stays ours while the child is unreaped.
class SessionChild {
 public:
  explicit SessionChild(pid_t pid) : pid_(pid) {}
  ~SessionChild() {
    if (pid_ <= 0 || reaped_) return;
    ::killpg(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  SessionChild(const SessionChild&) = delete;
  SessionChild& operator=(const SessionChild&) = delete;
  pid_t pid() const { return pid_; }
  std::optional<int> wait() {
    auto status = waitForChild(pid_);
    reaped_ = status.has_value();
    return status;
  }
  // Ends the child now (it is ours and unreaped) and reaps it.
  std::optional<int> stop() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
    return wait();
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

inline std::int32_t impossiblePid() {
  std::int64_t max = 4194304;
  std::ifstream("/proc/sys/kernel/pid_max") >> max;
  return static_cast<std::int32_t>(max + 1);
}

inline bool killedBySigkill(const std::optional<int>& status) {
  return status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
}

// The kill's paths: through pidfds with the group signal; through pidfds
// with killpg for the group (kernels before 6.9); without pidfds at all.
struct KillMode {
  const char* name;
  procblock::KillCapabilities capabilities;
};

inline void PrintTo(const KillMode& mode, std::ostream* out) {
  *out << mode.name;
}

inline const KillMode kKillModes[] = {
    {"Pidfd", {true, true}},
    {"PidfdThenKillpg", {true, false}},
    {"NoPidfd", {false, false}},
};

// Runs each test once per path; the capabilities are restored afterwards.
class KillModeTest : public ::testing::TestWithParam<KillMode> {
 protected:
  void SetUp() override {
    saved_ = procblock::killCapabilities();
    procblock::setKillCapabilities(GetParam().capabilities);
  }
  void TearDown() override { procblock::setKillCapabilities(saved_); }

 private:
  procblock::KillCapabilities saved_;
};

inline std::string killModeName(const ::testing::TestParamInfo<KillMode>& info) {
  return info.param.name;
}

}  // namespace killtest
