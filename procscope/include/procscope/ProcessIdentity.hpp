// The pinned identity of one process: a pidfd on it (which never reaches a
// later process that reuses the number) plus its pid and start time. A record
// carries it from the moment the process was seen to the moment it is judged,
// so that whatever acts on the record acts on that process or on nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

// Newer than the C library headers of some supported systems (Debian 12's
// headers know neither the group flag nor, on older C libraries, the calls).
#ifndef PIDFD_SIGNAL_PROCESS_GROUP
#define PIDFD_SIGNAL_PROCESS_GROUP (1U << 2)  // kernel 6.9 and later
#endif

namespace procscope {

class ProcessIdentity {
 public:
  // Pins the process `pid` now by its pidfd. None when the process is gone
  // (or pid is not a process). Where pidfds are unavailable (old kernel, no
  // descriptor left) the pin holds the start time alone.
  static std::shared_ptr<const ProcessIdentity> pin(std::int32_t pid);
  // The identity of a process that was gone before it could be pinned: it
  // matches nothing, so nothing acting on it reaches a later owner of `pid`.
  static std::shared_ptr<const ProcessIdentity> vanished(std::int32_t pid);

  ~ProcessIdentity();
  ProcessIdentity(const ProcessIdentity&) = delete;
  ProcessIdentity& operator=(const ProcessIdentity&) = delete;

  std::int32_t pid() const { return pid_; }
  // -1 when the pin has none.
  int pidfd() const { return pidfd_; }
  // Field 22 of /proc/<pid>/stat: clock ticks after boot; none when unknown,
  // and none once a process pinned by its pidfd has been reaped (it is read
  // then, while the pidfd shows the process unreaped).
  std::optional<std::uint64_t> startTime() const;
  // False for a vanished identity: there is nothing to check it against.
  bool verifiable() const { return pidfd_ >= 0 || startTime_.has_value(); }

  // Whether the pinned process is still unreaped (a zombie still is).
  // Through the pidfd where there is one, else by the start time now shown
  // for the pid, which has the clock tick's granularity.
  bool alive() const;

 private:
  ProcessIdentity(std::int32_t pid, int pidfd, std::optional<std::uint64_t> startTime)
      : pid_(pid), pidfd_(pidfd), startTime_(startTime) {}

  std::int32_t pid_;
  int pidfd_;
  std::optional<std::uint64_t> startTime_;
};

// The raw pidfd calls, usable where only async-signal-safe calls are allowed.
// Each returns what the system call returns and leaves errno as it set it.
namespace pidfd {

// pidfd_open(pid, 0): a close-on-exec descriptor, or -1.
int open(std::int32_t pid) noexcept;
// pidfd_send_signal(fd, sig, NULL, flags): 0, or -1.
int sendSignal(int fd, int sig, unsigned flags) noexcept;
// Signal 0 through the pidfd: true while the process is unreaped.
bool alive(int fd) noexcept;

}  // namespace pidfd

// Field 22 of /proc/<pid>/stat; none when the process is gone. Only
// async-signal-safe calls.
std::optional<std::uint64_t> readStartTime(std::int32_t pid) noexcept;

}  // namespace procscope
