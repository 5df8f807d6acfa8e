// What the live source knows of each process between the kernel's events,
// and so what each record carries: the users and groups of each process (and
// of the threads that changed theirs alone), how many threads a process runs,
// the exits held until a thread group has ended, and (through the parent
// table) each process's parent. The connector's reader feeds it every event
// in the order read and asks it for the ids of each fork and exec record; the
// exit records it decides on go out through `send`. Only the holder of the
// reading role uses it.
//
// Ids never pass from one process to another: a fork event may name the
// child's grandparent (clone with CLONE_PARENT), so a new process's ids are
// read from the kernel, as are those of an exec (set-user-ID files, threads
// whose ids differ). The kernel answers through the process's pidfd where
// one is held (one call), else from /proc/<pid>/status; both give the ids as
// seen from the reader's user namespace, as the events do.
//
// An exit is held while the process's other threads run (its main thread
// ended first, or another thread's execve ended it). It goes out once, with
// the status of the group's last exit event, when the last counted thread
// ends, when the process is seen gone (its pidfd), or when the exec'ing
// thread that took over the main thread's number ends without its exec.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "procscope/platform/ProcEvents.hpp"

namespace procscope::platform {

class ParentTable;

struct ProcessIds {
  static constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;
  std::uint32_t ruid = kUnknown, euid = kUnknown, rgid = kUnknown, egid = kUnknown;
  bool operator==(const ProcessIds&) const = default;
};

// The ids of process `pid` from the kernel: through `pidfd` when not -1
// (pidfd_open when -1), else /proc/<pid>/status. None when it is gone.
std::optional<ProcessIds> readProcessIds(std::int32_t pid, int pidfd);

class ProcessStates {
 public:
  using Send = std::function<void(const ProcEvent&)>;
  ProcessStates(ParentTable& parents, Send send);
  ~ProcessStates();
  ProcessStates(const ProcessStates&) = delete;
  ProcessStates& operator=(const ProcessStates&) = delete;

  // At most this many exits wait for their thread group's end.
  static constexpr std::size_t kMaxHeld = 256;

  // A new thread `tid` of process `tgid`.
  void threadStarted(std::int32_t tid, std::int32_t tgid);
  // A new process `child` under `parent` (the parent the event names). An
  // exit held under the number goes out first: its process has ended.
  void processStarted(std::int32_t child, std::int32_t parent);
  // The ids of a fork record, those of the thread `creator` of process
  // `e.parent`; the child's own are learnt from the kernel (`childPidfd`
  // when not -1).
  void describeFork(ProcEvent& e, std::int32_t creator, int childPidfd);
  // Process `pid` runs a new program: its exit held on the old main
  // thread's is no end, and it runs one thread now.
  void executed(std::int32_t pid);
  // The ids of an exec record, read from the kernel (`pidfd` when not -1).
  void describeExec(ProcEvent& e, int pidfd);
  // Thread `pid` of `tgid` ended (the main thread when equal).
  void exited(std::int32_t pid, std::int32_t tgid, std::uint32_t status);
  // A change of users (or groups) of thread `pid` of process `tgid`.
  void idsChanged(std::int32_t pid, std::int32_t tgid, bool users, std::uint32_t real,
                  std::uint32_t effective);
  // Events were lost: what was learnt from them may be wrong now.
  void lost();

  // The held exits watched by pidfd, for the reader's poll: `watches`
  // appends their pollfds, in an order `noteGone` takes back.
  bool watching() const { return !held_.empty(); }
  void watches(std::vector<pollfd>& fds) const;
  // The result of the poll over what `watches` appended, made at `now`.
  void noteGone(std::span<const pollfd> polled,
                std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
  // Sends the exits of the processes seen gone for at least kGoneGrace, once
  // every event since has been read. The kernel wakes a pidfd a moment
  // before it sends the last thread's exit event, which carries the
  // group's status; a reader woken by the pidfd (at real-time priority, it
  // may even hold the exiting task's CPU) must let that event come first.
  static constexpr std::chrono::milliseconds kGoneGrace{20};
  void releaseGone(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
  // How long until a process seen gone may be released; none when none is.
  std::optional<std::chrono::milliseconds> graceLeft() const;
  // Polls the watches now and releases what has ended (no reader, tests).
  void settle();
  std::size_t held() const { return held_.size(); }

 private:
  struct HeldExit {
    std::int32_t pid;
    std::uint32_t status;
    ProcessIds ids;
    int pidfd;     // -1: released only by its thread count
    bool counted;  // its threads are counted: the last one's exit releases it
    bool gone;     // its pidfd showed it ended
    std::chrono::steady_clock::time_point goneAt{};
  };
  void releaseGoneBefore(std::chrono::steady_clock::time_point cutoff);
  struct ThreadIds {
    std::int32_t tgid;
    ProcessIds ids;
  };
  ProcessIds idsOf(std::int32_t pid);
  ProcessIds threadIdsOf(std::int32_t tid, std::int32_t tgid);
  std::optional<std::size_t> heldAt(std::int32_t pid) const;
  bool hold(std::int32_t pid, std::uint32_t status, const ProcessIds& ids, bool counted);
  void release(std::size_t at, bool send);
  void sendExit(std::int32_t pid, std::uint32_t status, const ProcessIds& ids);

  ParentTable& parents_;
  Send send_;
  std::unordered_map<std::int32_t, ProcessIds> ids_;
  // Threads whose ids differ from their process's (a raw setresuid, say).
  std::unordered_map<std::int32_t, ThreadIds> threadIds_;
  // The live threads besides the main one of each process whose fork was
  // read (so whose every thread creation was read too): when its main
  // thread ends with none left, the process has ended, and its exit goes
  // out without asking the kernel. Exit events of threads come before their
  // end is visible, so a count is never short.
  std::unordered_map<std::int32_t, std::uint32_t> threads_;
  std::vector<HeldExit> held_;
  bool anyGone_ = false;
  bool toldCannotHold_ = false;
};

}  // namespace procscope::platform
