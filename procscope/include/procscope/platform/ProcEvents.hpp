// The kernel's process-events connector (netlink, root only): every fork, exec
// and exit on the machine, drained on a reader thread of its own so that a
// slow consumer never makes the kernel drop events. For an exec the thread
// snapshots the executable path, the argument vector and the effective user
// from /proc at once: a short-lived program is gone within a millisecond.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace procscope::platform {

struct ProcEvent {
  enum class Kind { Fork, Exec, Exit };
  Kind kind = Kind::Exec;
  std::int32_t pid = -1;       // fork: the child; exec and exit: the process
  std::int32_t parent = -1;    // fork: the forking process; otherwise -1
  // Identities (fork: the parent's); 0xFFFFFFFF where unknown.
  std::uint32_t euid = 0xFFFFFFFFu;
  std::uint32_t ruid = 0xFFFFFFFFu;
  std::uint32_t egid = 0xFFFFFFFFu;
  std::uint32_t rgid = 0xFFFFFFFFu;
  std::uint32_t exitStatus = 0;      // exit: the raw wait status
  bool pathKnown = false;            // exec: whether /proc still answered
  std::string_view path;             // exec: executable path bytes
  std::span<const std::string_view> arguments;  // exec: argv, capped
};

class ProcEventListener {
 public:
  virtual ~ProcEventListener() = default;
  // Runs on the reader thread: must be quick and must not block. The views in
  // the event are valid only during the call.
  virtual void onEvent(const ProcEvent& event) = 0;
  // Events were lost (a sequence gap or a receive-buffer overflow).
  virtual void onLoss(std::uint64_t lost, bool overflow) = 0;
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

  struct Impl;

 private:
  ProcEventHub();
  std::shared_ptr<Impl> impl_;
};

}  // namespace procscope::platform
