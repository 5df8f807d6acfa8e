// Forced pid reuse: a new process started on a number a test has just seen
// freed, to show that nothing keyed by the number answers for the old one.
// It runs in a private pid namespace, where no fork but the test's own takes
// a number, so the reuse never depends on what else the machine runs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace test {

// Runs `body` as the first process of a new pid namespace, with a /proc of
// that namespace (in a private mount namespace), and waits for it. The body's
// failures are printed by its own process as they happen; here the test is
// failed when there were any. Everything the body started dies with it.
inline void inPrivatePidNamespace(const std::function<void()>& body) {
  constexpr int kFailed = 1;
  constexpr int kNoNamespace = 2;
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t parent = ::getpid();
  const pid_t outer = ::fork();
  if (outer < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return;
  }
  if (outer == 0) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(kNoNamespace);
    if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
      std::perror("unshare");
      ::_exit(kNoNamespace);
    }
    const pid_t first = ::fork();  // pid 1 of the new namespace
    if (first == 0) {
      if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) ::_exit(kNoNamespace);
      // Private first, so that the new /proc never shows outside.
      if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        std::perror("mount");
        ::_exit(kNoNamespace);
      }
      body();
      std::fflush(nullptr);
      ::_exit(::testing::Test::HasFailure() ? kFailed : 0);
    }
    int status = 0;
    if (first < 0 || ::waitpid(first, &status, 0) != first) ::_exit(kNoNamespace);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : kNoNamespace);
  }
  int status = 0;
  while (::waitpid(outer, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kFailed) {
    ADD_FAILURE() << "failed in a private pid namespace (see above)";
  } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "no private pid namespace, or its first process ended abnormally (wait "
                     "status "
                  << status << ")";
  }
}

// Starts a process with the pid `wanted` through `start` (which forks and
// returns the child's pid), by setting the pid namespace's last pid right
// before the fork; run it inside inPrivatePidNamespace. A child that got another number is killed
// (it is ours and just started) and the fork tried again, a bounded number of times. None, with the
// reason, when the number is held or cannot be had.
inline std::optional<pid_t> startWithPid(pid_t wanted, const std::function<pid_t()>& start,
                                         std::string& why) {
  static std::mutex forks;  // against our own forks in between
  std::lock_guard lock(forks);
  if (wanted <= 1) {
    why = "no pid to aim at";
    return std::nullopt;
  }
  for (int attempt = 0; attempt < 64; ++attempt) {
    if (::getpgid(wanted) >= 0) {
      why = "pid " + std::to_string(wanted) + " was taken by a process of someone else";
      return std::nullopt;
    }
    const int fd = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      why = std::string("cannot open ns_last_pid: ") + std::strerror(errno);
      return std::nullopt;
    }
    const std::string last = std::to_string(wanted - 1);
    const bool written = ::write(fd, last.data(), last.size()) == static_cast<ssize_t>(last.size());
    const int error = errno;
    ::close(fd);
    if (!written) {
      why = std::string("cannot write ns_last_pid: ") + std::strerror(error);
      return std::nullopt;
    }
    const pid_t pid = start();
    if (pid == wanted) return pid;
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  why = "other forks on the machine kept taking pid " + std::to_string(wanted);
  return std::nullopt;
}

}  // namespace test
