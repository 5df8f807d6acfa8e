// The kernel's process-events connector (netlink, root only): every fork, exec
// and exit on the machine, drained on a reader thread of its own so that a
// slow consumer never makes the kernel drop events, or by the consumer itself
// while it would otherwise sleep until events come (see askToRead). For an exec the thread
// snapshots the executable path, the argument vector and the users at once:
// a short-lived program is gone within a millisecond.
// It also pins each new process (fork) and each exec'ing one right after the
// event, for the monitor to attach to the records (see LivePins). What it
// knows of each process between events (users, threads, held exits,
// parents) is kept by ProcessStates.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>

namespace procscope {
class ProcessIdentity;
}

namespace procscope::platform {

class ParentTable;

struct ProcEvent {
  enum class Kind { Fork, Exec, Exit };
  Kind kind = Kind::Exec;
  std::int32_t pid = -1;     // fork: the child; exec and exit: the process
  std::int32_t parent = -1;  // fork: the forking process; otherwise -1
  // Identities (fork: the parent's); 0xFFFFFFFF where unknown.
  std::uint32_t euid = 0xFFFFFFFFu;
  std::uint32_t ruid = 0xFFFFFFFFu;
  std::uint32_t egid = 0xFFFFFFFFu;
  std::uint32_t rgid = 0xFFFFFFFFu;
  std::uint32_t exitStatus = 0;                 // exit: the raw wait status
  bool pathKnown = false;                       // exec: whether /proc still answered
  std::string_view path;                        // exec: executable path bytes
  std::span<const std::string_view> arguments;  // exec: argv, capped
};

class ProcEventListener {
 public:
  virtual ~ProcEventListener() = default;
  // Runs on the thread that holds the reading role (the reader thread, or a
  // consumer that asked to read): must be quick and must not block. The views
  // in the event are valid only during the call.
  virtual void onEvent(const ProcEvent& event) = 0;
  // Ends each run of events the reader took from the kernel in one go: the
  // moment to wake a consumer once for all of them rather than per event.
  // `quiet`: nothing has arrived for a few milliseconds. True asks for such
  // a call even if nothing more arrives (the listener holds something back
  // that must not wait for long).
  virtual bool onBatchEnd(bool /*quiet*/) { return false; }
  // Events were lost (a sequence gap or a receive-buffer overflow).
  virtual void onLoss(std::uint64_t lost, bool overflow) = 0;
  // The connector failed: no event will come any more. The reason is
  // already logged.
  virtual void onFailure(std::string_view /*reason*/) {}
};

// Argument vectors handed on are capped: at most this many strings and bytes.
inline constexpr std::size_t kMaxEventArguments = 128;
inline constexpr std::size_t kMaxEventArgumentBytes = 256 * 1024;

class ProcEventHub {
 public:
  // The one connector of this process; every listener shares it.
  static ProcEventHub& shared();

  // Adds a listener, opening the connector on first use. False when the
  // connector cannot be used (not root, no connector, another namespace).
  bool subscribe(const std::shared_ptr<ProcEventListener>& listener);
  void unsubscribe(const ProcEventListener* listener);

  // The reading role: one thread at a time receives the events and hands
  // them to the listeners, by default the hub's reader thread. A consumer
  // that would sleep until a listener of its own hears of events may read
  // them itself instead, which spares a thread wake-up per batch. Asking
  // lends it the role after the reader thread's current batch: `granted`
  // then runs on the reader thread (with the hub's role lock held: it must
  // only note the grant and wake the consumer), which waits until the role
  // comes back.
  // False when the role cannot be lent (no reader thread, reading has ended,
  // or another consumer asked first).
  bool askToRead(std::function<void()> granted);
  // With the role lent: takes what the socket holds to the listeners,
  // waiting for it when `wait`. False once reading has failed for good (the
  // listeners have been told; the role is no one's any more).
  bool read(bool wait);
  // Whether the reader thread took the role back since last asked: the
  // consumer stayed away from the socket for too long (20 ms) and reads no
  // more until it asks again.
  bool tookReadingBack();
  // Ends an ask, or hands the lent role back to the reader thread, which
  // reads on at once. Before anything that may keep the consumer from
  // reading for long.
  void giveBackReading();

  // For tests: the reader's next receive fails with `error`, as if the
  // kernel had returned it.
  void failNextReceive(int error);

  // A hub without the connector, driven by hand (tests): `feed` hands it one
  // kernel event (a struct proc_event) as the reader thread would, and
  // `settle` passes on the held exits of processes that have ended since.
  static std::unique_ptr<ProcEventHub> detached();
  void feed(const void* event, std::size_t size);
  void settle();
  // The parents this hub's events have taught (a detached hub has its own).
  ParentTable& parents();

  struct Impl;

 private:
  ProcEventHub();
  std::shared_ptr<Impl> impl_;
};

// The pins the reader thread takes (a pidfd right after each fork's and
// exec's event, before the /proc snapshot), handed to the monitor when it
// completes the record of that event.
//
// The pins wait in a bounded table keyed by pid rather than travelling inside
// the records, because the records are BSM bytes, the same format a recorded
// trail has, with no room for a descriptor. Each pid keeps its pins in event
// order, one per distinct process, with a count of the events (records) that
// process made; the monitor takes one per record, so records and pins pair up
// in the order both were made even when the number was reused in between.
// Records the live queue dropped leave their pins unclaimed: a later record
// of the same pid may then get a pin of an earlier, ended process, and a kill
// on it sends nothing (a miss, never a wrong target). When the table is full
// (the monitor has fallen far behind, or nobody takes) it is emptied, and the
// records of the events before it are pinned when they are completed, as the
// records of a recorded stream are.
//
// A fork's pin is kept after its record has taken it, until the reader has
// read its process's next exec or exit: the exec, which mostly follows, then
// counts on the same pin instead of pinning again. A full table first lets go
// of the kept pins whose records are all taken.
class LivePins {
 public:
  static LivePins& shared();

  // Pinning runs while at least one live monitor is open; the last close
  // empties the table. One live monitor per program takes pins.
  void open();
  void close();
  bool active() const { return consumers_.load(std::memory_order_relaxed) > 0; }

  // The reader thread, before it passes the event on. The pin taken or
  // counted on (null when none).
  std::shared_ptr<const ProcessIdentity> forked(std::int32_t child);
  std::shared_ptr<const ProcessIdentity> executed(std::int32_t pid);
  // The exit of process `pid` (its main thread's).
  void exited(std::int32_t pid);

  // The pin for the next record about `pid`. None when the table has no
  // entry for it; a null pointer when the process was gone when pinned.
  std::optional<std::shared_ptr<const ProcessIdentity>> take(std::int32_t pid);

  std::size_t size() const;
  // At most this many pins wait: a quarter of the descriptors the program
  // may open (read when the first monitor opens), between 64 and 4096.
  std::size_t capacity() const;

 private:
  LivePins();
  struct Entry {
    std::shared_ptr<const ProcessIdentity> pin;
    std::uint32_t events = 1;
    std::uint32_t taken = 0;
    bool kept = false;  // a fork's, awaiting its process's next exec or exit
    bool spent() const { return taken >= events; }
  };
  void push(std::int32_t pid, std::shared_ptr<const ProcessIdentity> pin, bool kept);
  void makeRoomLocked();
  // The process behind the newest entry of `at` execs or ends: the entry
  // is no longer kept for it.
  void releaseLastLocked(std::deque<Entry>& at);

  mutable std::mutex mu_;
  std::unordered_map<std::int32_t, std::deque<Entry>> byPid_;
  std::size_t entries_ = 0;
  std::size_t capacity_ = 64;
  std::atomic<int> consumers_{0};
};

}  // namespace procscope::platform
