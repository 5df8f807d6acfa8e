#include "procblock/Kill.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include "procscope/Process.hpp"
#include "procscope/ProcessIdentity.hpp"

namespace procblock {
namespace {

namespace pidfd = procscope::pidfd;
using procscope::ProcessIdentity;
using procscope::readStartTime;

std::atomic<bool> havePidfds{true};
std::atomic<bool> haveGroupSignal{true};

// Each pass over /proc catches members forked while the one before ran.
constexpr int kMemberPasses = 2;

// An owned descriptor.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// Group 0 is the caller's in killpg, 1 means every process, and our own
// group would take the agent down with it.
bool unsafeGroup(pid_t group) {
  return group == 0 || group == 1 || group == ::getpgrp();
}

// What to report once the pinned process is no longer there.
KillResult ended(pid_t pid) {
  return ::getpgid(pid) >= 0 ? KillResult::ProcessReplaced : KillResult::ProcessGone;
}

// The decimal pid of a /proc entry's name; 0 for anything else.
pid_t pidFromName(const char* name) {
  if (*name == '\0') return 0;
  std::int64_t value = 0;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9' || value > (1 << 30)) return 0;
    value = value * 10 + (*name - '0');
  }
  return static_cast<pid_t>(value);
}

// Where the group's leader has gone: every remaining member found in /proc,
// each pinned and seen in the group while pinned before it is signalled.
void signalMembers(pid_t group, pid_t alreadySignalled) {
  const pid_t self = ::getpid();
  for (int pass = 0; pass < kMemberPasses; ++pass) {
    Descriptor dir(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return;
    alignas(8) char buf[8192];
    for (;;) {
      const long got = ::syscall(SYS_getdents64, dir.get(), buf, sizeof buf);
      if (got <= 0) break;
      // struct linux_dirent64: inode (8), offset (8), record length (2),
      // type (1), then the name.
      for (long at = 0; at + 19 < got;) {
        unsigned short length = 0;
        std::memcpy(&length, buf + at + 16, sizeof length);
        if (length == 0) break;
        const pid_t member = pidFromName(buf + at + 19);
        at += length;
        if (member <= 0 || member == alreadySignalled || member == self) continue;
        if (::getpgid(member) != group) continue;
        Descriptor fd(pidfd::open(member));
        if (fd.get() < 0) continue;
        if (::getpgid(member) != group || !pidfd::alive(fd.get())) continue;
        pidfd::sendSignal(fd.get(), SIGKILL, 0);
      }
    }
  }
}

// Kernels without pidfds: the start time stands in for the pin, checked
// again right before the signal (it has the clock tick's granularity).
KillResult killWithoutPidfds(pid_t pid, const ProcessIdentity* pin) {
  const std::optional<std::uint64_t> started = pin ? pin->startTime() : readStartTime(pid);
  if (!started) return pin ? ended(pid) : KillResult::ProcessGone;
  auto same = [&] { return readStartTime(pid) == started; };
  if (!same()) return ended(pid);
  const pid_t group = ::getpgid(pid);
  if (group < 0) return KillResult::ProcessGone;
  if (!same()) return ended(pid);  // the group looked up was the matched process's
  if (unsafeGroup(group)) {
    if (!same()) return ended(pid);
    ::kill(pid, SIGKILL);
    return KillResult::SignalledProcess;
  }
  if (!same()) return ended(pid);
  ::killpg(group, SIGKILL);
  return KillResult::SignalledGroup;
}

}  // namespace

KillCapabilities killCapabilities() {
  return {havePidfds.load(std::memory_order_relaxed),
          haveGroupSignal.load(std::memory_order_relaxed)};
}

void setKillCapabilities(KillCapabilities capabilities) {
  havePidfds.store(capabilities.pidfds, std::memory_order_relaxed);
  haveGroupSignal.store(capabilities.groupSignal, std::memory_order_relaxed);
}

KillResult killPinnedProcessGroup(std::int32_t pid, const ProcessIdentity* pin) {
  // kill(0) and kill(-1) would reach our own group and every process.
  if (pid <= 0) return KillResult::NotAProcess;
  if (pid == ::getpid()) return KillResult::RefusedSelf;
  // A pin of another process, or of one gone before it could be pinned.
  if (pin && pin->pid() != pid) return KillResult::ProcessReplaced;
  if (pin && !pin->verifiable()) return ended(pid);
  if (!havePidfds.load(std::memory_order_relaxed)) return killWithoutPidfds(pid, pin);

  // The matched process's pidfd: the pin's, or one opened now.
  Descriptor opened;
  int fd = pin ? pin->pidfd() : -1;
  if (fd < 0) {
    opened.reset(pidfd::open(pid));
    if (opened.get() < 0) {
      if (errno == ESRCH || errno == EINVAL) return ended(pid);
      if (errno == ENOSYS) havePidfds.store(false, std::memory_order_relaxed);
      return killWithoutPidfds(pid, pin);  // also: no descriptor left
    }
    fd = opened.get();
    // A pin that holds only a start time names the process pinned now or none.
    if (pin && (readStartTime(pid) != pin->startTime() || !pidfd::alive(fd))) return ended(pid);
  }

  // A gone process has no group, and a reaped one's can no longer be looked
  // up: take it while the process is there, and check that it still is, so
  // that the group is the matched process's and not a later owner's of pid.
  if (!pidfd::alive(fd)) return ended(pid);
  const pid_t group = ::getpgid(pid);
  if (!pidfd::alive(fd)) return ended(pid);
  if (group < 0) return KillResult::ProcessGone;

  // In our own group (or 0, 1): only the matched process.
  if (unsafeGroup(group)) {
    if (pidfd::sendSignal(fd, SIGKILL, 0) != 0) return ended(pid);
    return KillResult::SignalledProcess;
  }

  // The leader's pidfd, before the first signal: once the matched process is
  // reaped nothing names its group any more. The leader pinned must still
  // lead that group (a leader may move to another group).
  Descriptor leaderOpened;
  int leader = -1;
  if (group == pid) {
    leader = fd;
  } else {
    leaderOpened.reset(pidfd::open(group));
    if (leaderOpened.get() >= 0 && ::getpgid(group) == group && pidfd::alive(leaderOpened.get())) {
      leader = leaderOpened.get();
    }
  }

  pidfd::sendSignal(fd, SIGKILL, 0);

  if (leader >= 0 && haveGroupSignal.load(std::memory_order_relaxed)) {
    // The group of the leader's pid, as pinned: it reaches no later group
    // even when the leader ends meanwhile.
    if (pidfd::sendSignal(leader, SIGKILL, PIDFD_SIGNAL_PROCESS_GROUP) == 0 || errno == ESRCH) {
      return KillResult::SignalledGroup;
    }
    if (errno == EINVAL) haveGroupSignal.store(false, std::memory_order_relaxed);  // before 6.9
  }
  if (leader >= 0 && !haveGroupSignal.load(std::memory_order_relaxed)) {
    // No group signal through a pidfd: killpg, right after seeing that the
    // pinned leader is still there and still leads the group.
    if (pidfd::alive(leader) && ::getpgid(group) == group && !unsafeGroup(group)) {
      ::killpg(group, SIGKILL);
      return KillResult::SignalledGroup;
    }
  }
  signalMembers(group, pid);
  return KillResult::SignalledGroup;
}

KillResult killProcessGroup(std::int32_t pid) {
  return killPinnedProcessGroup(pid, nullptr);
}

KillResult killProcessGroupOf(const procscope::Process& process) {
  return killPinnedProcessGroup(process.pid(), process.identity().get());
}

std::string_view describe(KillResult result) {
  switch (result) {
    case KillResult::NotAProcess:
      return "no process id, nothing signalled";
    case KillResult::RefusedSelf:
      return "the agent itself, nothing signalled";
    case KillResult::ProcessGone:
      return "process has gone, nothing signalled";
    case KillResult::SignalledGroup:
      return "process group signalled";
    case KillResult::SignalledProcess:
      return "process group shared with the agent or the system, only the process signalled";
    case KillResult::ProcessReplaced:
      return "process has gone and its id belongs to another process, nothing signalled";
  }
  return "unknown";
}

}  // namespace procblock
