#include "procblock/Kill.hpp"

#include <signal.h>
#include <unistd.h>

namespace procblock {

KillResult killProcessGroup(std::int32_t pid) {
  // kill(0) and kill(-1) would reach our own group and every process.
  if (pid <= 0) return KillResult::NotAProcess;
  if (pid == ::getpid()) return KillResult::RefusedSelf;
  // A gone process has no group; -1 must not reach killpg.
  const pid_t group = ::getpgid(pid);
  if (group < 0) return KillResult::ProcessGone;
  // Group 0 is the caller's in killpg, 1 means every process, and our own
  // group would take the agent down with it: signal only the matched process.
  if (group == 0 || group == 1 || group == ::getpgrp()) {
    ::kill(pid, SIGKILL);
    return KillResult::SignalledProcess;
  }
  ::killpg(group, SIGKILL);
  return KillResult::SignalledGroup;
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
  }
  return "unknown";
}

}  // namespace procblock
