// The process monitor: turns the audit stream's process starts and exits, and
// the workspace's application launches and terminations, into Process records
// handed to one callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "procscope/Process.hpp"
#include "procscope/Value.hpp"
#include "procscope/platform/AuditPipe.hpp"
#include "procscope/platform/Workspace.hpp"

namespace procscope {

namespace bsm {
struct Token;
}

class ProcScope : public std::enable_shared_from_this<ProcScope> {
 public:
  ProcScope() = default;
  ProcScope(const ProcScope&) = delete;
  ProcScope& operator=(const ProcScope&) = delete;

  static std::shared_ptr<ProcScope> init();
  static std::shared_ptr<ProcScope> init(bool goEasy);

  // Stores the callback, logs the start, registers for workspace events and
  // runs the audit loop on this thread; returns when that loop returns. The
  // callback runs on that thread, and on the inspection pool's for a start
  // handed on again once an inspection past its deadline has ended
  // (Process::earlier() set; a monitor held by a shared_ptr only).
  void start(ProcessCallback callback);
  // Ends workspace observation and asks the audit loop to stop.
  void stop();
  // Registers appEvent() for the workspace's launch and termination notices.
  void appMonitor();
  void appEvent(const platform::WorkspaceNotification& notification);
  // One record, with signing information, for each running process.
  std::vector<std::shared_ptr<Process>> currentProcesses();

  // Opens and configures the audit pipe and hands on its records until a
  // stop is requested; returns at once when the pipe cannot be had.
  void monitor();
  // The pipe at `path`, opened and configured as monitor() does; none when
  // either fails.
  static std::unique_ptr<platform::AuditStream> openPipe(const std::string& path);
  // True for exit, fork, exec, execve and posix_spawn.
  static bool shouldProcessRecord(std::uint16_t event);
  void handleProcessStart(const std::shared_ptr<Process>& process);
  void handleProcessExit(const std::shared_ptr<Process>& process);

  // Whether start() logs "Start monitoring" from the concurrent queue (true)
  // or "Start app monitoring" at once (false), for a real user ID and the
  // system version dictionary.
  static bool startsWithQueuedMessage(std::uint32_t realUid,
                                      const std::optional<Dictionary>& version);

  bool goEasy() const { return goEasy_.load(); }
  void setGoEasy(bool v) { goEasy_.store(v); }
  bool shouldStop() const { return shouldStop_.load(); }
  void setShouldStop(bool v);
  // Written once before any event source runs, read afterwards.
  const ProcessCallback& processCallback() const { return processCallback_; }
  void setProcessCallback(ProcessCallback callback) { processCallback_ = std::move(callback); }

  // Where monitor() reads its records: the live pipe by default, or a file or
  // FIFO of recorded records. Set before monitor() runs.
  const std::string& pipePath() const { return pipePath_; }
  void setPipePath(std::string path) { pipePath_ = std::move(path); }

  // A drained recorded input yields nothing more. With this set the loop then
  // requests its own stop (replays); otherwise it waits, without spinning,
  // until someone else does.
  bool stopWhenInputExhausted() const { return stopWhenInputExhausted_.load(); }
  void setStopWhenInputExhausted(bool v) { stopWhenInputExhausted_.store(v); }

 private:
  // What one run of the read loop keeps across the tokens of a record and
  // across records.
  // What a live start showed of a process's executable: its path and where
  // it was looked up (in the agent's own root only).
  struct KnownStart {
    std::string pathBytes;
    ExecutableSite site;
  };

  struct LoopState {
    std::shared_ptr<Process> current;   // the process under construction
    std::shared_ptr<Process> lastFork;  // the last fork that reached the start stage
    bool pathsAtEvent = false;          // the stream's exec paths are as of the event
    const platform::AuditStream* stream = nullptr;
    // The live starts of processes not known to have ended, by pid, while
    // the stream has lost nothing since `lossesSeen`.
    std::unordered_map<std::int32_t, KnownStart> starts;
    std::uint64_t lossesSeen = 0;
  };

  void walkRecord(const std::uint8_t* data, std::size_t size, bsm::Token& token, LoopState& state);
  void actOnToken(const bsm::Token& token, LoopState& state);
  void completeRecord(LoopState& state);
  // A fork's child runs what its creator ran: when the child shows the very
  // file its parent's start did, its path and site are taken from there.
  static bool takeParentsStart(Process& child, LoopState& state);
  static void keepStart(const Process& process, LoopState& state);

  std::atomic<bool> goEasy_{false};
  std::atomic<bool> shouldStop_{false};
  std::atomic<bool> stopWhenInputExhausted_{false};
  ProcessCallback processCallback_;
  std::string pipePath_ = platform::kAuditPipePath;

  // The workspace registrations, ended by stop(), which may run on any thread.
  std::mutex observersMutex_;
  std::vector<std::pair<std::shared_ptr<platform::Workspace>, platform::Workspace::ObserverId>>
      observers_;
};

}  // namespace procscope
