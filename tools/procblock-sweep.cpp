// procblock-sweep: checks the processes that are running now against
// vornik.txt in the working directory, as the agent would have at their
// start, and kills the process group of every forbidden one. It clears what
// was running before the agent started. Must run as root.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "procblock/BlockList.hpp"
#include "procblock/CommandLine.hpp"
#include "procblock/Kill.hpp"
#include "procblock/Sweep.hpp"
#include "procblock/Verdict.hpp"
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

constexpr const char* kUsage =
    "usage: procblock-sweep [--help | --version]\n"
    "\n"
    "Checks the processes that are running now against the block list vornik.txt\n"
    "in the working directory, as the procblock agent would have at their start,\n"
    "kills the process group of every forbidden one, reports each as the agent\n"
    "does, and prints a one-line summary. The agent only sees programs that\n"
    "start while it runs: this clears those that were running before. Run as\n"
    "root from the directory that holds the list:\n"
    "  cd /Library/Corventa/Tessor_Agent && procblock-sweep\n"
    "Exits 1 without root or when the list cannot be read.\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
  // Checked before anything else: a mistyped option must never run a sweep,
  // which kills.
  if (const auto status = procblock::answerStandardOption(argc, argv, "procblock-sweep", kUsage)) {
    return *status;
  }
  if (argc > 1) return procblock::refuseArguments(kUsage);
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
  std::string whyNot;
  auto list = procblock::readBlockList(listPath, &whyNot);
  if (!list) {
    std::fprintf(stderr, "procblock-sweep: cannot read the block list %s: %s\n", listPath.c_str(),
                 whyNot.c_str());
    return 1;
  }
  if (const auto warning = procblock::trailingLineFeedWarning(*list); !warning.empty()) {
    std::fprintf(stderr, "procblock-sweep: warning: %s\n", warning.c_str());
  }
  const std::size_t entries = list->size();
  procblock::setItems(std::move(list));
  // As the agent does: digest entries have each process's file hashed.
  procblock::prepareVerdict();

  auto killed = std::make_shared<std::atomic<unsigned>>(0);
  procblock::SweepHooks hooks;
  hooks.kill = countingKill(killed);
  hooks.source = procblock::platform::BlockSource::SweepTool;
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
