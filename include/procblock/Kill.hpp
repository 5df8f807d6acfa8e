// The one way the agent kills: SIGKILL to a forbidden process's group, with
// guards so that nothing else is ever signalled.
//
// The kill reaches the process that matched and never one that took over its
// pid after it ended: it acts through the process's pidfd (the pin its record
// carries, or one taken at the start of the kill), checks that the process is
// still there right before it signals, and sends nothing when it is not. The
// group is signalled through a pidfd of its leader, or member by member where
// the leader has gone. Kernels without pidfds, or without group signals
// through them, fall back to killpg behind the same guards.
#pragma once

#include <cstdint>
#include <string_view>

namespace procscope {
class Process;
class ProcessIdentity;
}  // namespace procscope

namespace procblock {

enum class KillResult : std::uint8_t {
  NotAProcess,       // pid <= 0: nothing signalled
  RefusedSelf,       // the agent itself: nothing signalled
  ProcessGone,       // the process has ended: nothing signalled
  SignalledGroup,    // the process and its group were sent SIGKILL
  SignalledProcess,  // group 0, 1 or the agent's own: only the process was
  ProcessReplaced,   // the pid now belongs to another process: nothing signalled
};

// What the kernel offers for the kill. Detected as the kill meets a kernel
// without them (ENOSYS, EINVAL), and settable so that tests can force the
// fallback on a kernel that has both.
struct KillCapabilities {
  bool pidfds = true;       // pidfd_open and pidfd_send_signal (Linux 5.3)
  bool groupSignal = true;  // PIDFD_SIGNAL_PROCESS_GROUP (Linux 6.9)
};
KillCapabilities killCapabilities();
void setKillCapabilities(KillCapabilities capabilities);

// Kills the process that holds `pid` now (pinned at the start of the kill)
// and its group.
KillResult killProcessGroup(std::int32_t pid);

// Kills the process of the record: the one pinned in its identity when the
// record was made. A record without a pin is pinned now, as by
// killProcessGroup(pid).
KillResult killProcessGroupOf(const procscope::Process& process);

// Kills the process pinned by `pin` (none: the one holding `pid` now). A pin
// of another pid, or one that can no longer be checked, signals nothing.
KillResult killPinnedProcessGroup(std::int32_t pid, const procscope::ProcessIdentity* pin);

// The kills use only async-signal-safe calls and write no log themselves.

std::string_view describe(KillResult result);

}  // namespace procblock
