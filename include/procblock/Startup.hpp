// The agent's start-up, in its fixed order, and the monitor it starts.
#pragma once

#include <memory>

#include "procscope/ProcessMonitor.hpp"

namespace procblock::startup {

// The one process monitor, created during start-up. (Kept in a namespace of
// its own: its name is also the library's.)
extern std::shared_ptr<::procscope::ProcScope> procscope;

struct Options {
  // Also refuse forbidden programs' execs (fanotify permission events).
  bool denyExec = false;
};

// Logs, block list, monitor; returns when the monitor's audit loop returns,
// which it does at once when the process events cannot be had (not root).
void run(const Options& options = {});

// After run(): serves the other event sources for ever.
[[noreturn]] void runLoop();

}  // namespace procblock::startup
