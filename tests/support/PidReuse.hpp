// Forced pid reuse: a new process started on a number a test has just seen
// freed, to show that nothing keyed by the number answers for the old one.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace test {

// Starts a process with the pid `wanted` through `start` (which forks and
// returns the child's pid), by setting the pid namespace's last pid right
// before the fork. A child that got another number is killed (it is ours and
// just started) and the fork tried again, a bounded number of times. None,
// with the reason, when the number is held or cannot be had.
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
