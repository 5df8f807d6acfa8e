#include "procblock/Sweep.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "procblock/AgentLog.hpp"
#include "procblock/BlockList.hpp"
#include "procblock/EntryIndex.hpp"
#include "procscope/Digest.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/Process.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/Utf8.hpp"
#include "procscope/platform/Kernel.hpp"

namespace procblock {
namespace {

using platform::kinfo_proc;
using platform::kProcessRecordSize;
using procscope::platform::RunningApplication;
using procscope::platform::Workspace;
using procscope::platform::WorkspaceNotification;
using Applications = std::vector<std::shared_ptr<RunningApplication>>;

// The process-table buffer of the sweep under way (null between sweeps), and
// what the latest reallocation returned (null when it failed).
kinfo_proc* process1 = nullptr;
kinfo_proc* newprocess = nullptr;

// The two above are single, so only one sweep may use them at a time.
std::mutex& sweepMutex() {
  static std::mutex instance;
  return instance;
}

// An absent value equals no entry.
bool equals(const std::string& entry, const std::optional<std::string>& value) {
  return value && *value == entry;
}

std::int32_t countOf(const std::shared_ptr<const BlockList>& list) {
  if (!list) return 0;
  constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
  return static_cast<std::int32_t>(std::min(list->size(), kMax));
}

std::optional<std::string> entryAt(std::int32_t j) {
  const auto list = items();
  if (!list || j < 0 || static_cast<std::size_t>(j) >= list->size()) return std::nullopt;
  return (*list)[static_cast<std::size_t>(j)];
}

// Reads the table into process1, growing the buffer by a tenth before every
// attempt. The number of records, or none when nothing is to be examined.
std::optional<std::size_t> readProcessTable(platform::ProcessTable& table,
                                            const SweepHooks& hooks) {
  std::size_t size = hooks.startSize;
  for (;;) {
    size += size / 10;
    newprocess = static_cast<kinfo_proc*>(hooks.reallocate(process1, size));
    if (!newprocess) {
      if (process1) hooks.release(process1);
      process1 = nullptr;
      return std::nullopt;
    }
    process1 = newprocess;

    // Twice in a row: the second answer decides.
    table.query(process1, &size);
    const int result = table.query(process1, &size);
    const int error = errno;
    if (result == -1 && error == ENOMEM) {
      // The next attempt starts from what was written. Fewer than ten records
      // give it no room for one more, and it would ask the same for ever.
      if (size / 10 < kProcessRecordSize) return std::nullopt;
      continue;
    }
    if (result == -1) return std::nullopt;
    if (size % kProcessRecordSize != 0) return std::nullopt;
    return size / kProcessRecordSize;
  }
}

// What the match task of one process knows of it from the table.
struct Listed {
  std::int32_t pid;
  std::string nameText;
  std::uint64_t startTime;
};

// The entries that one process matches, in list order: those equal to its
// short name, then, merged in, those equal to its path, to its application
// identifier and those that are its file's digest. An entry that matches
// twice is one match.
std::vector<std::int32_t> matchingEntries(const EntryIndex& index, const std::string& name,
                                          const std::optional<std::string>& path,
                                          const std::optional<std::string>& application,
                                          const std::optional<std::string>& sha256) {
  const auto [nameFirst, nameLast] = index.find(name);
  std::vector<std::int32_t> found(nameFirst, nameLast);
  const auto mergeIn = [&found](EntryIndex::Range range) {
    const auto middle = static_cast<std::ptrdiff_t>(found.size());
    found.insert(found.end(), range.first, range.second);
    std::inplace_merge(found.begin(), found.begin() + middle, found.end());
  };
  if (path && *path != name) mergeIn(index.find(*path));
  if (application && *application != name && application != path) {
    mergeIn(index.find(*application));
  }
  if (sha256) mergeIn(index.findDigest(*sha256));
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

// One process against the whole list: its record is built once and each
// entry it matches is then judged as a task per pair would judge it.
void processMatchTask(const Listed& listed, const SweepHooks& hooks) {
  const auto list = items();
  if (!list || list->empty()) return;
  // Built whether or not the name alone will decide, and pinned before
  // anything is read: the kill acts on this pin.
  const auto record = listed.pid > 0 ? procscope::Process::init(listed.pid) : nullptr;
  if (hooks.spareOwnProcessTree && record && inOwnProcessTree(*record)) return;
  std::optional<std::string> path;
  std::optional<std::string> application;
  if (record && record->binary()) {
    path = record->binary()->path();
    application = record->binary()->applicationIdentifier();
  }

  const auto positions = matchingEntries(*indexFor(list), listed.nameText, path, application,
                                         record ? record->sha256() : std::nullopt);
  if (positions.empty()) return;

  // No path, so no record: the process is pinned now for a match by name.
  std::shared_ptr<const procscope::ProcessIdentity> pin;
  if (record) {
    pin = record->identity();
  } else if (listed.pid > 0) {
    pin = procscope::platform::Kernel::get()->pin(listed.pid);
  }
  if (!pin) pin = procscope::ProcessIdentity::vanished(listed.pid);
  // No signal for the kernel's own entry (a group lookup for 0 would name our
  // own group), nor for a pid the listed process has ended and passed on.
  const bool sameProcess =
      listed.pid > 0 && (listed.startTime == 0 || pin->startTime() == listed.startTime);
  platform::BlockedProgram blocked;
  blocked.source = hooks.source;
  blocked.name = listed.nameText;
  blocked.path = path;
  blocked.pid = listed.pid;
  blocked.applicationIdentifier = application;
  if (record) {
    blocked.bundleIdentifier = bundleIdentifierOf(record->binary().get());
    if (record->uid() != 0xFFFFFFFFu) blocked.uid = record->uid();
  }
  for (const std::int32_t position : positions) {
    const KillResult result = sameProcess      ? hooks.kill(listed.pid, pin.get())
                              : listed.pid > 0 ? KillResult::ProcessReplaced
                                               : KillResult::NotAProcess;
    // As for a start, the block is reported whether or not a signal went out.
    DisplayMessage(listed.nameText);
    blocked.entry = (*list)[static_cast<std::size_t>(position)];
    blocked.kill = std::string(describe(result));
    platform::journalBlockedProgram(blocked);
  }
}

// The digest of one application's executable, read at most once per notice
// and only for a digest entry.
struct AppDigest {
  std::once_flag once;
  std::optional<std::string> sha256;
};
using AppDigests = std::vector<AppDigest>;

std::optional<std::string> digestOfProcess(std::int32_t pid) {
  if (pid <= 0) return std::nullopt;
  const auto pin = procscope::platform::Kernel::get()->pin(pid);
  if (!pin) return std::nullopt;
  // Not a path: a stall here is this process's alone.
  auto found = procscope::inspection::bounded<std::optional<std::string>>(
      procscope::inspection::kUnknownMount, [pid, pin]() -> std::optional<std::string> {
        const auto fd = procscope::digest::openExecutable(pid, pin.get());
        return procscope::digest::ofOpenFile(fd.get(), false);
      });
  return found ? std::move(*found) : std::nullopt;
}

void applicationMatchTask(const std::shared_ptr<RunningApplication>& app,
                          const std::shared_ptr<const Applications>& apps,
                          const std::shared_ptr<AppDigests>& digests, std::size_t i,
                          std::int32_t j) {
  const auto entry = entryAt(j);
  if (!entry || !app) return;
  bool byDigest = false;
  if (isDigestEntry(*entry) && procscope::digest::wanted()) {
    AppDigest& digest = (*digests)[i];
    std::call_once(digest.once, [&] { digest.sha256 = digestOfProcess(app->processIdentifier()); });
    byDigest = isDigestOf(*entry, digest.sha256);
  }
  if (!equals(*entry, app->bundleIdentifier()) && !equals(*entry, app->localizedName()) &&
      !equals(*entry, app->executableURL()) && !byDigest) {
    return;
  }
  if ((*apps)[i]->forceTerminate()) DisplayMessage(app->localizedName());
}

// Every notice leads to a full pass: which application is launching is not read.
void launchObserver(const std::weak_ptr<Workspace>& weakWorkspace,
                    const WorkspaceNotification* notification) {
  if (!notification) return;
  const auto workspace = weakWorkspace.lock();
  if (!workspace) return;
  const auto apps = std::make_shared<const Applications>(workspace->runningApplications());
  const auto a = static_cast<std::int64_t>(apps->size());

  const auto list = items();
  Printlog(describeItems(list));
  const std::int32_t c = countOf(list);
  if (c == 0 || a <= 0) return;
  const auto digests = std::make_shared<AppDigests>(apps->size());
  for (std::size_t i = 0; i < apps->size(); ++i) {
    const auto app = (*apps)[i];
    for (std::int32_t j = 0; j < c; ++j) {
      procscope::dispatch::async(
          [app, apps, digests, i, j] { applicationMatchTask(app, apps, digests, i, j); });
    }
  }
}

}  // namespace

Block::Block() : Block(SweepHooks{}) {}

Block::Block(SweepHooks hooks) : hooks_(std::make_shared<const SweepHooks>(std::move(hooks))) {}

void Block::procs() {
  std::lock_guard lock(sweepMutex());
  const auto table = platform::ProcessTables::get();
  const std::optional<std::size_t> n = table ? readProcessTable(*table, *hooks_) : std::nullopt;

  const std::int32_t c = countOf(items());
  if (c > 0 && n && process1) {
    // The last record of the table comes first.
    for (std::size_t k = *n; k-- > 0;) {
      kinfo_proc record;
      std::memcpy(&record,
                  reinterpret_cast<const unsigned char*>(process1) + k * kProcessRecordSize,
                  sizeof record);
      if (hooks_->spareOwnProcessTree && record.kp_proc.p_pid == ::getpid()) continue;
      // The task holds its own texts, never the buffer, which is freed below.
      // One task per process, not per entry: a long list must not multiply it.
      procscope::dispatch::async(
          [listed =
               Listed{record.kp_proc.p_pid, procscope::decodeLossy(platform::shortName(record)),
                      record.kp_proc.p_starttime},
           hooks = hooks_] { processMatchTask(listed, *hooks); });
    }
  }
  if (process1) hooks_->release(process1);
  process1 = nullptr;
}

std::size_t judgeRunningProcesses(const procscope::ProcessCallback& judge) {
  const pid_t self = ::getpid();
  std::size_t judged = 0;
  for (const std::int32_t pid : procscope::platform::Kernel::get()->allPids()) {
    if (pid == self) continue;
    // As a start is recorded: pinned first, then read; a process without an
    // executable path or a binary is not judged at its start either.
    const auto record = procscope::Process::init(pid);
    if (!record || !record->binary()) continue;
    judge(record);
    ++judged;
  }
  return judged;
}

void Block::apps() {
  auto shared = procscope::platform::Workspaces::get();
  setWorkspace(shared);
  if (!shared) return;
  // The registration is never removed, so its id is not kept. The observer
  // holds the workspace weakly: the workspace owns the observer.
  std::weak_ptr<Workspace> weak = shared;
  shared->addObserver(
      procscope::platform::kWillLaunchApplication,
      [weak](const WorkspaceNotification* notification) { launchObserver(weak, notification); });
}

std::shared_ptr<Workspace> Block::workspace() const {
  return workspace_.load(std::memory_order_acquire);
}

void Block::setWorkspace(std::shared_ptr<Workspace> workspace) {
  workspace_.store(std::move(workspace), std::memory_order_release);
}

}  // namespace procblock
