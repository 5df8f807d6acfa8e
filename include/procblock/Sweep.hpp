// Sweeps of what is already running: the launch-time verdict only sees
// processes that start while the monitor runs, so these catch the ones that
// were there before. Start-up calls neither; procblock-sweep runs `procs`.
// After lost events the agent judges what runs through its verdict instead
// (judgeRunningProcesses).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <memory>

#include "procblock/Kill.hpp"
#include "procblock/Verdict.hpp"
#include "procblock/platform/ProcessTable.hpp"
#include "procscope/platform/Workspace.hpp"

namespace procblock {

// Where the process-table buffer starts: the first read grows it by a tenth
// and should then hold the whole table of any ordinary machine. A failed read
// only grows the buffer when it wrote ten records or more, so the start must
// be at least that large.
inline constexpr std::size_t kProcessTableStartSize = 1024 * platform::kProcessRecordSize;

// What a sweep does to the world, handed in so that tests see it happen
// without a signal or a real allocation failure.
struct SweepHooks {
  // Given the pin of the matched process's record: the kill reaches that
  // process or nothing.
  std::function<KillResult(std::int32_t pid, const procscope::ProcessIdentity* pin)> kill =
      killPinnedProcessGroup;
  std::function<void*(void*, std::size_t)> reallocate = [](void* block, std::size_t size) {
    return std::realloc(block, size);
  };
  std::function<void(void*)> release = [](void* block) { std::free(block); };
  std::size_t startSize = kProcessTableStartSize;
  // The sweeping process itself and its descendants (its notice children)
  // are left alone.
  bool spareOwnProcessTree = true;
  // Named in each block's journal entry: the agent's sweeps follow lost events.
  platform::BlockSource source = platform::BlockSource::Resync;
};

class Block {
 public:
  Block();
  explicit Block(SweepHooks hooks);
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  // One pass over the process table: every process whose short name or
  // executable path equals an entry has its group killed, and the user is
  // told, once for each entry it equals. Returns once a match task is queued
  // for each process; each task looks up only the entries its process can
  // match.
  void procs();
  // Stores the workspace and registers a launch observer on it. Every launch
  // notice then writes the list to the access log and checks every running
  // application against every entry. The registration lasts for good; each
  // call adds one more.
  void apps();

  std::shared_ptr<procscope::platform::Workspace> workspace() const;
  void setWorkspace(std::shared_ptr<procscope::platform::Workspace> workspace);

 private:
  std::shared_ptr<const SweepHooks> hooks_;
  std::atomic<std::shared_ptr<procscope::platform::Workspace>> workspace_;
};

// Judges every running process as its start would have been judged: one
// record per process, pinned and read as the monitor makes a start record,
// handed to `judge` (the agent's verdict) on this thread. The calling process
// is skipped. How many records were handed on.
std::size_t judgeRunningProcesses(const procscope::ProcessCallback& judge);

}  // namespace procblock
