// Who each process's parent is, learnt from the kernel's process events, so
// that the parent of a record's process and of each of its ancestors is
// answered without a read of /proc/<pid>/stat (where the kernel formats some
// fifty fields to hand over one).
//
// A process's parent changes only when its parent's thread group ends: the
// kernel then hands the children on to init or a subreaper, which the table
// cannot know, so it forgets them and they are read from /proc again. The
// kernel sends a process's exit event after it has handed on the children,
// so the table is behind /proc only by the events the reader has yet to read.
//
// The reader thread of the live events writes; anyone reads. The table is in
// use only while that reader runs, and it is emptied whenever events were
// lost, since a lost exit would leave children under a parent they no longer
// have.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace procscope::platform {

class ParentTable {
 public:
  // The table of the live reader of this process.
  static ParentTable& shared();

  // At most this many processes are known; past it the table starts afresh
  // (far more than a machine runs at once, so only missed exits fill it).
  static constexpr std::size_t kCapacity = std::size_t{1} << 16;

  // The reader starts (the table is used from now on) or stops (it is
  // emptied and unused).
  void start();
  void stop();

  // The reader thread, for each event.
  void forked(std::int32_t child, std::int32_t parent);
  // The exit of thread `pid` of process `tgid` (the process's own exit when
  // they are equal): the group's last thread hands its children on.
  void exited(std::int32_t pid, std::int32_t tgid);
  // Events were lost.
  void clear();

  // The parent of `pid` when known. Otherwise none, and `epoch` tells the
  // caller which answer of /proc it may hand to `learn` after.
  std::optional<std::int32_t> parentOf(std::int32_t pid, std::uint64_t& epoch) const;
  // A parent read from /proc for a live (not ended) process, after
  // `parentOf` missed with `epoch`; refused if the process or its parent
  // exited since (the parent's end may have handed the process on after the
  // read), or if that can no longer be told (a clear, or more exits than
  // the table remembers).
  void learn(std::int32_t pid, std::int32_t parent, std::uint64_t epoch);

  bool active() const { return active_.load(std::memory_order_acquire); }
  std::size_t size() const;

 private:
  void emptyLocked();
  void unlinkLocked(std::int32_t child, std::int32_t parent);
  void insertLocked(std::int32_t child, std::int32_t parent);
  void eraseLocked(std::int32_t pid);
  bool exitedSinceLocked(std::int32_t pid, std::int32_t parent, std::uint64_t epoch) const;

  // The last exits handled, each under the epoch it ended, so that a read
  // of /proc that raced with unrelated exits is still learnt. A clear is
  // kept as an exit of everything.
  static constexpr std::size_t kRecentExits = 256;
  static constexpr std::int32_t kEverything = -1;
  struct Exit {
    std::int32_t pid = kEverything;
    std::int32_t tgid = kEverything;
  };
  void noteLocked(Exit e);

  mutable std::mutex mu_;
  // Checked before the lock: a forked copy of the program has no reader, and
  // its copy of the lock may be held forever.
  std::atomic<bool> active_{false};
  std::uint64_t epoch_ = 0;                  // exits handled and clears, so far
  std::array<Exit, kRecentExits> recent_{};  // exit number n at n % kRecentExits
  std::unordered_map<std::int32_t, std::int32_t> parents_;
  // The known children of each parent (thread group), so that an exit need
  // not scan the table.
  std::unordered_map<std::int32_t, std::vector<std::int32_t>> children_;
};

}  // namespace procscope::platform
