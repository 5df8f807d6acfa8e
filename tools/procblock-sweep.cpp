// procblock-sweep: checks the processes that are running now against
// vornik.txt in the working directory, as the agent would have at their
// start, and kills the process group of every forbidden one. It clears what
// was running before the agent started. Must run as root.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "procblock/BlockList.hpp"
#include "procblock/Kill.hpp"
#include "procblock/Sweep.hpp"
#include "procscope/Dispatch.hpp"

namespace {

// The guarded kill of the pinned process, counting the groups (or lone
// processes) it signalled.
auto countingKill(const std::shared_ptr<std::atomic<unsigned>>& killed) {
  return [killed](std::int32_t pid, const procscope::ProcessIdentity* pin) {
    const procblock::KillResult result = procblock::killPinnedProcessGroup(pid, pin);
    if (result == procblock::KillResult::SignalledGroup ||
        result == procblock::KillResult::SignalledProcess) {
      ++*killed;
    }
    return result;
  };
}

}  // namespace

int main() {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "procblock-sweep: must run as root to stop other users' programs\n");
    return 1;
  }
  std::error_code error;
  const std::string directory = std::filesystem::current_path(error).string();
  if (error) {
    std::fprintf(stderr, "procblock-sweep: cannot tell the working directory: %s\n",
                 error.message().c_str());
    return 1;
  }
  const std::string listPath = procblock::blockListPath(directory);
  auto list = procblock::readBlockList(listPath);
  if (!list) {
    std::fprintf(stderr, "procblock-sweep: cannot read the block list %s\n", listPath.c_str());
    return 1;
  }
  const std::size_t entries = list->size();
  procblock::setItems(std::move(list));

  auto killed = std::make_shared<std::atomic<unsigned>>(0);
  procblock::SweepHooks hooks;
  hooks.kill = countingKill(killed);
  procblock::Block sweeper(std::move(hooks));
  sweeper.procs();
  // The kills happen in the queued tasks: wait for every one of them.
  procscope::dispatch::waitIdle();

  const unsigned groups = killed->load();
  std::printf("procblock-sweep: running processes checked against %zu %s, %u forbidden %s killed\n",
              entries, entries == 1 ? "entry" : "entries", groups,
              groups == 1 ? "process" : "processes");
  return 0;
}
