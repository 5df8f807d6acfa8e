#include "procblock/Startup.hpp"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <string>

#include "procblock/AgentLog.hpp"
#include "procblock/BlockList.hpp"
#include "procblock/Sweep.hpp"
#include "procblock/Verdict.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/Log.hpp"
#include "procscope/ThreadPriority.hpp"
#include "procscope/Value.hpp"
#include "procscope/platform/LiveAuditPipe.hpp"

namespace procblock::startup {

std::shared_ptr<::procscope::ProcScope> procscope;

namespace {

std::string currentDirectory() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// The sweep that follows lost events. Never destroyed: a queued sweep may
// still run while the process ends.
Block& lossSweeper() {
  static Block* const instance = new Block();
  return *instance;
}

// No sweep, one sweep queued or running, or one under way with another owed.
enum LossSweepState : int { kIdle = 0, kSweeping = 1, kSweepingAndOwed = 2 };
std::atomic<int> lossSweepState{kIdle};

void lossSweepTask() {
  ::procscope::logMessage("Events were lost: sweeping running processes");
  lossSweeper().procs();
  int expected = kSweeping;
  if (lossSweepState.compare_exchange_strong(expected, kIdle)) return;
  // Events were lost again after this sweep had begun: the table it read may
  // predate a start that went missing, so one more sweep follows. Queued
  // behind this sweep's own match tasks, so sweeps never pile up.
  lossSweepState.store(kSweeping);
  ::procscope::dispatch::async(lossSweepTask);
}

// Runs on the event reader thread: queues at most one sweep and returns at
// once, so that the reader goes on draining the kernel's buffer.
void sweepAfterLoss() {
  int state = lossSweepState.load();
  for (;;) {
    if (state == kSweepingAndOwed) return;
    if (lossSweepState.compare_exchange_weak(state, state + 1)) break;
  }
  if (state == kIdle) ::procscope::dispatch::async(lossSweepTask);
}

}  // namespace

void run() {
  // Before standard error moves, so these lines reach whoever started us.
  CreateBlockAccessLog();
  reopenStandardError();
  ::procscope::logMessage("started");
  // The platform's request not to throttle an idle process has no Linux
  // counterpart: a daemon is never napped.
  setItems(readBlockList(blockListPath(currentDirectory())));
  {
    // Written straight into the message: a long list is megabytes of text.
    std::string line = "got items: ";
    if (const auto list = items()) {
      ::procscope::appendDescription(line, *list);
    } else {
      line += "(null)";
    }
    ::procscope::logMessage(line);
    if (const auto list = items()) {
      if (auto warning = trailingLineFeedWarning(*list); !warning.empty()) {
        ::procscope::logMessage("warning: " + warning);
      }
    }
  }
  // The verdict's lookup of a long list is built now, not on the first event.
  prepareVerdict();
  // When the kernel's buffer of process events overflowed, or the monitor
  // fell so far behind that records were dropped, starts may have gone
  // unseen: one sweep of the running processes finds the forbidden ones among
  // them. (The event source itself logs the loss.)
  lossSweeper();
  ::procscope::platform::setLiveLossHandler([](std::uint64_t, bool certain) {
    if (certain) sweepAfterLoss();
  });
  procscope = ::procscope::ProcScope::init(true);
  // This thread runs the monitor's event loop: each start is judged here
  // before its kill is queued, so it must get a CPU the moment an event waits.
  ::procscope::raiseThreadPriority();
  procscope->start(block);
}

void runLoop() {
  // The workspace delivers on its own thread; the main thread only waits.
  for (;;) pause();
}

}  // namespace procblock::startup
