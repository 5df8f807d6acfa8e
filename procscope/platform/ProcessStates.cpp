#include "procscope/platform/ProcessStates.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "procscope/Log.hpp"
#include "procscope/platform/ParentTable.hpp"

namespace procscope::platform {
namespace {

constexpr std::size_t kMaxCached = 1 << 16;

// The pidfd's answer about its process (Linux 6.13 and later); older
// headers lack it. The first version of the structure, which later kernels
// still take.
struct PidfdInfo {
  std::uint64_t mask;
  std::uint64_t cgroupid;
  std::uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  std::uint32_t spare;
};
static_assert(sizeof(PidfdInfo) == 64);
constexpr std::uint64_t kInfoCreds = 1u << 1;
constexpr unsigned long kGetInfo = _IOWR(0xFF, 11, PidfdInfo);

// Cleared once a kernel turns the call down: /proc from then on.
std::atomic<bool> pidfdInfoWorks{true};

std::optional<ProcessIds> idsFromPidfd(int fd) {
  PidfdInfo info{};
  info.mask = kInfoCreds;
  if (ioctl(fd, kGetInfo, &info) != 0) {
    if (errno == ENOTTY || errno == EINVAL) pidfdInfoWorks.store(false);
    return std::nullopt;
  }
  if ((info.mask & kInfoCreds) == 0) return std::nullopt;
  return ProcessIds{info.ruid, info.euid, info.rgid, info.egid};
}

// The real and effective user and group of "Uid:" and "Gid:" in /proc/<pid>/status.
std::optional<ProcessIds> idsFromStatus(std::int32_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", pid);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buf[2048];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) < 0 && errno == EINTR) {
  }
  ::close(fd);
  if (n <= 0) return std::nullopt;
  std::string_view text(buf, static_cast<size_t>(n));
  auto pair = [&](std::string_view key, std::uint32_t& real, std::uint32_t& eff) {
    auto at = text.find(key);
    if (at == std::string_view::npos) return false;
    unsigned long r = 0, e = 0;
    std::string line(text.substr(at + key.size(), 64));
    if (std::sscanf(line.c_str(), "%lu %lu", &r, &e) != 2) return false;
    real = static_cast<std::uint32_t>(r);
    eff = static_cast<std::uint32_t>(e);
    return true;
  };
  ProcessIds ids;
  if (!pair("\nUid:", ids.ruid, ids.euid)) return std::nullopt;
  pair("\nGid:", ids.rgid, ids.egid);
  return ids;
}

}  // namespace

std::optional<ProcessIds> readProcessIds(std::int32_t pid, int pidfd) {
  if (pidfdInfoWorks.load(std::memory_order_relaxed)) {
    const int fd = pidfd >= 0 ? pidfd : static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
      auto ids = idsFromPidfd(fd);
      if (fd != pidfd) ::close(fd);
      if (ids || pidfdInfoWorks.load(std::memory_order_relaxed)) return ids;
    } else if (errno == ESRCH) {
      return std::nullopt;
    }
  }
  return idsFromStatus(pid);
}

ProcessStates::ProcessStates(ParentTable& parents, Send send)
    : parents_(parents), send_(std::move(send)) {}

ProcessStates::~ProcessStates() {
  for (const HeldExit& h : held_) {
    if (h.pidfd >= 0) ::close(h.pidfd);
  }
}

ProcessIds ProcessStates::idsOf(std::int32_t pid) {
  auto it = ids_.find(pid);
  if (it != ids_.end()) return it->second;
  return readProcessIds(pid, -1).value_or(ProcessIds{});
}

ProcessIds ProcessStates::threadIdsOf(std::int32_t tid, std::int32_t tgid) {
  if (tid != tgid) {
    auto it = threadIds_.find(tid);
    if (it != threadIds_.end() && it->second.tgid == tgid) return it->second.ids;
  }
  return idsOf(tgid);
}

std::optional<std::size_t> ProcessStates::heldAt(std::int32_t pid) const {
  for (std::size_t i = 0; i < held_.size(); ++i) {
    if (held_[i].pid == pid) return i;
  }
  return std::nullopt;
}

void ProcessStates::threadStarted(std::int32_t tid, std::int32_t tgid) {
  threadIds_.erase(tid);  // a number of an ended thread
  if (auto it = threads_.find(tgid); it != threads_.end()) ++it->second;
}

void ProcessStates::processStarted(std::int32_t child, std::int32_t parent) {
  parents_.forked(child, parent);
  threadIds_.erase(child);
  if (threads_.size() >= kMaxCached) {
    // Exits were missed: nothing counted can be trusted.
    threads_.clear();
    for (HeldExit& h : held_) h.counted = false;
  }
  threads_[child] = 0;
  if (auto at = heldAt(child)) release(*at, true);
}

void ProcessStates::describeFork(ProcEvent& e, std::int32_t creator, int childPidfd) {
  if (ids_.size() >= kMaxCached) ids_.clear();
  if (threadIds_.size() >= kMaxCached) threadIds_.clear();
  const ProcessIds parent = threadIdsOf(creator, e.parent);
  e.euid = parent.euid;
  e.ruid = parent.ruid;
  e.egid = parent.egid;
  e.rgid = parent.rgid;
  if (auto child = readProcessIds(e.pid, childPidfd)) {
    ids_[e.pid] = *child;
  } else {
    ids_.erase(e.pid);
  }
}

void ProcessStates::executed(std::int32_t pid) {
  if (auto at = heldAt(pid)) release(*at, false);
  // The exec ended every other thread, whose exit events came before it;
  // the exec'ing thread's old number will not end.
  if (auto it = threads_.find(pid); it != threads_.end()) it->second = 0;
}

void ProcessStates::describeExec(ProcEvent& e, int pidfd) {
  auto fresh = readProcessIds(e.pid, pidfd);
  if (fresh) ids_[e.pid] = *fresh;
  const ProcessIds now = fresh ? *fresh : idsOf(e.pid);
  e.euid = now.euid;
  e.ruid = now.ruid;
  e.egid = now.egid;
  e.rgid = now.rgid;
}

void ProcessStates::exited(std::int32_t pid, std::int32_t tgid, std::uint32_t status) {
  parents_.exited(pid, tgid);
  auto count = threads_.find(tgid);
  const auto at = heldAt(tgid);
  if (pid != tgid) {
    threadIds_.erase(pid);
    bool last = false;
    if (count != threads_.end()) {
      if (count->second == 0) {
        threads_.erase(count);  // a thread it never had: not to be trusted
        if (at) held_[*at].counted = false;
      } else {
        last = --count->second == 0;
      }
    }
    if (!at) return;
    if (!held_[*at].counted && held_[*at].pidfd < 0) {
      release(*at, true);  // nothing left to tell its end by
      return;
    }
    // A thread ended; the last one to end carries the process's status.
    held_[*at].status = status;
    if (last && held_[*at].counted) {
      threads_.erase(count);
      release(*at, true);
    }
    return;
  }
  if (at) {
    // The main thread's number ends again: the thread that took it over by
    // an execve ended without the exec (it failed after the old threads
    // were gone). That was the process's end.
    held_[*at].status = status;
    if (count != threads_.end()) threads_.erase(count);
    release(*at, true);
    return;
  }
  // A process first seen at its end is still readable as a zombie.
  const ProcessIds known = idsOf(tgid);
  const bool counted = count != threads_.end();
  const bool alone = counted && count->second == 0;
  if (!alone && hold(tgid, status, known, counted)) return;
  if (counted) threads_.erase(count);
  sendExit(tgid, status, known);
}

void ProcessStates::idsChanged(std::int32_t pid, std::int32_t tgid, bool users, std::uint32_t real,
                               std::uint32_t effective) {
  // Records carry the ids a process has at each event, not at its exec.
  ProcessIds now = threadIdsOf(pid, tgid);
  (users ? now.ruid : now.rgid) = real;
  (users ? now.euid : now.egid) = effective;
  if (pid == tgid) {
    ids_[tgid] = now;
  } else if (now == idsOf(tgid)) {
    threadIds_.erase(pid);
  } else {
    threadIds_[pid] = {tgid, now};  // the call changed this thread alone
  }
}

void ProcessStates::lost() {
  parents_.clear();
  ids_.clear();
  threadIds_.clear();
  threads_.clear();
  // Counts may miss threads now: held exits wait on their pidfds alone.
  for (std::size_t i = held_.size(); i-- > 0;) {
    held_[i].counted = false;
    if (held_[i].pidfd < 0) release(i, true);
  }
}

// Holds the exit of `pid` while its thread group lives on; false when the
// group is gone already, or when it cannot be held (the record then goes at
// once: early, but never lost).
bool ProcessStates::hold(std::int32_t pid, std::uint32_t status, const ProcessIds& ids,
                         bool counted) {
  const bool room = held_.size() < kMaxHeld;
  int fd = room ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
  if (fd < 0 && !(room && counted)) {
    if ((!room || errno != ESRCH) && !toldCannotHold_) {
      toldCannotHold_ = true;
      logMessage(room ? std::string("process events: cannot watch for a process's end (") +
                            std::strerror(errno) +
                            "); its exit is reported when its main thread ends"
                      : std::string("process events: too many processes outlive their main "
                                    "thread; exits are reported when the main thread ends"));
    }
    return false;
  }
  bool gone = false;
  if (fd >= 0) {
    pollfd p{fd, POLLIN, 0};
    gone = poll(&p, 1, 0) != 0;  // readable (ended) or in error: nothing to wait for
    if (gone && !counted) {
      ::close(fd);
      return false;
    }
  }
  held_.push_back(
      {pid, status, ids, fd, counted, gone,
       gone ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{}});
  anyGone_ = anyGone_ || gone;
  return true;
}

void ProcessStates::release(std::size_t at, bool send) {
  const HeldExit h = held_[at];
  held_.erase(held_.begin() + static_cast<long>(at));
  if (h.pidfd >= 0) ::close(h.pidfd);
  if (send) sendExit(h.pid, h.status, h.ids);
}

void ProcessStates::sendExit(std::int32_t pid, std::uint32_t status, const ProcessIds& ids) {
  ids_.erase(pid);
  ProcEvent e;
  e.kind = ProcEvent::Kind::Exit;
  e.pid = pid;
  e.exitStatus = status;
  e.euid = ids.euid;
  e.ruid = ids.ruid;
  e.egid = ids.egid;
  e.rgid = ids.rgid;
  send_(e);
}

void ProcessStates::watches(std::vector<pollfd>& fds) const {
  // One seen gone stays readable: not polled again (poll skips -1).
  for (const HeldExit& h : held_) fds.push_back({h.gone ? -1 : h.pidfd, POLLIN, 0});
}

void ProcessStates::noteGone(std::span<const pollfd> polled,
                             std::chrono::steady_clock::time_point now) {
  for (std::size_t i = 0; i < polled.size() && i < held_.size(); ++i) {
    if (polled[i].revents != 0 && held_[i].pidfd >= 0 && !held_[i].gone) {
      held_[i].gone = true;
      held_[i].goneAt = now;
      anyGone_ = true;
    }
  }
}

void ProcessStates::releaseGone(std::chrono::steady_clock::time_point now) {
  releaseGoneBefore(now - kGoneGrace);
}

void ProcessStates::releaseGoneBefore(std::chrono::steady_clock::time_point cutoff) {
  if (!anyGone_) return;
  anyGone_ = false;
  for (std::size_t i = held_.size(); i-- > 0;) {
    if (!held_[i].gone) continue;
    if (held_[i].goneAt > cutoff) {
      anyGone_ = true;  // its grace is not over
      continue;
    }
    threads_.erase(held_[i].pid);
    release(i, true);
  }
}

std::optional<std::chrono::milliseconds> ProcessStates::graceLeft() const {
  if (!anyGone_) return std::nullopt;
  const auto now = std::chrono::steady_clock::now();
  std::optional<std::chrono::milliseconds> left;
  for (const HeldExit& h : held_) {
    if (!h.gone) continue;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(h.goneAt + kGoneGrace - now);
    const auto clamped = std::max(wait, std::chrono::milliseconds(0));
    if (!left || clamped < *left) left = clamped;
  }
  return left;
}

void ProcessStates::settle() {
  if (held_.empty()) return;
  std::vector<pollfd> fds;
  watches(fds);
  if (poll(fds.data(), fds.size(), 0) > 0) noteGone(fds);
  // No reader: nothing more is coming.
  releaseGoneBefore(std::chrono::steady_clock::time_point::max());
}

}  // namespace procscope::platform
