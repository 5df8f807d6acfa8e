// The one way the agent kills: SIGKILL to a forbidden process's group, with
// guards so that nothing else is ever signalled.
#pragma once

#include <cstdint>
#include <string_view>

namespace procblock {

enum class KillResult : std::uint8_t {
  NotAProcess,       // pid <= 0: nothing signalled
  RefusedSelf,       // the agent itself: nothing signalled
  ProcessGone,       // no group to look up: nothing signalled
  SignalledGroup,    // killpg(group, SIGKILL)
  SignalledProcess,  // group 0, 1 or the agent's own: kill(pid, SIGKILL) only
};

// Uses only async-signal-safe calls and writes no log itself.
KillResult killProcessGroup(std::int32_t pid);

std::string_view describe(KillResult result);

}  // namespace procblock
