#include "procblock/Startup.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "procblock/AgentLog.hpp"
#include "procblock/BlockList.hpp"
#include "procblock/Sweep.hpp"
#include "procblock/Verdict.hpp"
#include "procblock/platform/DenyExec.hpp"
#include "procscope/ApplicationIdentity.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/Log.hpp"
#include "procscope/ThreadPriority.hpp"
#include "procscope/Value.hpp"
#include "procscope/platform/LiveAuditPipe.hpp"

namespace procblock::startup {

std::shared_ptr<::procscope::ProcScope> procscope;

namespace {

// Where the block list is read: vornik.txt in the working directory. None
// when that directory is gone (the list is absent then); a path relative to
// it when only its name cannot be had (too long, or a parent not searchable).
std::optional<std::string> blockListLocation() {
  char buf[PATH_MAX];
  if (getcwd(buf, sizeof buf)) return blockListPath(buf);
  if (errno == ENOENT) return std::nullopt;
  return std::string("vornik.txt");
}

// A descriptor 0, 1 or 2 left closed by whoever started the agent would be
// handed to the next open (the diagnostic log, the netlink socket), and every
// diagnostic line would then be written into it: each is put on /dev/null.
void openStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor: this one, as those below it are open.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

// No resync, one resync queued or running, or one under way with another owed.
enum LossSweepState : int { kIdle = 0, kSweeping = 1, kSweepingAndOwed = 2 };
std::atomic<int> lossSweepState{kIdle};

// Starts that went unseen are judged now, through the verdict itself: one
// record per running process, so the same entries match as at a start, and
// the work follows the number of processes, not processes times entries.
void lossSweepTask() {
  ::procscope::logMessage("Events were lost: sweeping running processes");
  const auto begun = std::chrono::steady_clock::now();
  static const auto resync = makeBlock(killProcessGroupOf, platform::BlockSource::Resync);
  const std::size_t judged = judgeRunningProcesses(resync);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - begun);
  ::procscope::logMessage("Sweep after lost events: " + std::to_string(judged) +
                          " running processes judged in " + std::to_string(took.count()) + " ms");
  int expected = kSweeping;
  if (lossSweepState.compare_exchange_strong(expected, kIdle)) return;
  // Events were lost again after this resync had begun: the processes it
  // listed may predate a start that went missing, so one more follows.
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

void run(const Options& options) {
  openStandardDescriptors();
  // A diagnostic line written to a pipe whose reader has gone must fail, not
  // end the agent: SIGPIPE counts as a clean exit to systemd, so it would not
  // even be restarted.
  std::signal(SIGPIPE, SIG_IGN);
  // Before standard error moves, so these lines reach whoever started us.
  CreateBlockAccessLog();
  reopenStandardError();
  ::procscope::logMessage("started");
  // The platform's request not to throttle an idle process has no Linux
  // counterpart: a daemon is never napped.
  const auto listPath = blockListLocation();
  setItems(listPath ? readBlockList(*listPath) : std::nullopt);
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
    if (listPath) {
      if (auto warning = writableListWarning(*listPath); !warning.empty()) {
        ::procscope::logMessage("warning: " + warning);
      }
    }
  }
  // The verdict's lookup of a long list is built now, not on the first event.
  prepareVerdict();
  // Which system desktop entry runs which program: read before the first
  // start is judged, kept current after.
  ::procscope::ApplicationIndex::shared().start();
  // When the kernel's buffer of process events overflowed, or the monitor
  // fell so far behind that records were dropped, starts may have gone
  // unseen: one sweep of the running processes finds the forbidden ones among
  // them. (The event source itself logs the loss.)
  ::procscope::platform::setLiveLossHandler([](std::uint64_t, bool certain) {
    if (certain) sweepAfterLoss();
  });
  // Blind, the agent would look alive to its service manager while blocking
  // nothing: it exits with a failure status instead, so that it is restarted.
  ::procscope::platform::setLiveFailureHandler([](std::string_view) {
    ::procscope::logMessage("Process events can no longer be read: exiting");
    std::_Exit(EXIT_FAILURE);
  });
  // In front of the kill, which stays on for what the exec permission path
  // lets through (unmarked file systems, answers past their deadline).
  if (options.denyExec) platform::startDenyExec();
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
