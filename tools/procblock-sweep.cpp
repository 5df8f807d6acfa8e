// procblock-sweep: checks the processes that are running now against
// vornik.txt in the working directory, as the agent would have at their
// start, and kills the process group of every forbidden one. It clears what
// was running before the agent started. Must run as root.
#include <fcntl.h>
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
#include "procscope/ApplicationIdentity.hpp"
#include "procscope/Binary.hpp"
#include "procscope/Digest.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/FileDescriptor.hpp"
#include "procscope/Log.hpp"
#include "procscope/Process.hpp"
#include "procscope/Value.hpp"

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
    "usage: procblock-sweep [--help | --version | --explain PID|FILE]\n"
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
    "      --version  show the version and exit\n"
    "      --explain PID|FILE\n"
    "                 kill nothing: print the values the agent compares each\n"
    "                 entry with for the running process PID (as root, to see\n"
    "                 into other users' sandboxes) or the executable FILE\n"
    "                 (sha256: the digest sha256sum prints, in upper case)\n";

// The values an entry is compared with, one "label: value" line each;
// control bytes are shown escaped.
int explain(const std::string& what) {
  procscope::ApplicationIndex::shared().set(
      procscope::ApplicationIndex::build(procscope::ApplicationIndex::Options()));
  std::shared_ptr<procscope::Binary> binary;
  std::optional<std::string> path;
  procscope::FileDescriptor executed(-1);  // the file whose digest an entry is compared with
  const bool isPid = !what.empty() && what.find_first_not_of("0123456789") == std::string::npos;
  if (isPid) {
    const auto process = procscope::Process::init(std::atoi(what.c_str()));
    if (!process || !process->binary()) {
      std::fprintf(stderr, "procblock-sweep: no process %s whose executable can be read\n",
                   what.c_str());
      return 1;
    }
    binary = process->binary();
    path = process->path();
    executed = procscope::digest::openExecutable(process->pid(), process->identity().get());
  } else {
    if (what.empty() || what.front() != '/') {
      std::fprintf(stderr, "procblock-sweep: --explain takes a pid or an absolute path\n");
      return 2;
    }
    // A process started from it runs the file its links lead to.
    std::error_code error;
    const auto file = std::filesystem::canonical(what, error);
    binary = procscope::Binary::init(error ? what : file.string());
    path = binary->path();
    executed = procscope::FileDescriptor(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  }
  const auto line = [](const char* label, const std::optional<std::string>& value) {
    std::printf("%s: %s\n", label, procscope::visibleText(procscope::orNull(value)).c_str());
  };
  line("name", binary->name());
  line("path", path);
  line("bundle identifier", procblock::bundleIdentifierOf(binary.get()));
  line("application identifier", binary->applicationIdentifier());
  line("sha256",
       executed.get() >= 0 ? procscope::digest::ofOpenFile(executed.get(), false) : std::nullopt);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Checked before anything else: a mistyped option must never run a sweep,
  // which kills.
  if (const auto status = procblock::answerStandardOption(argc, argv, "procblock-sweep", kUsage)) {
    return *status;
  }
  if (argc == 3 && std::strcmp(argv[1], "--explain") == 0) return explain(argv[2]);
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
