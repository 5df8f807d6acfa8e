#include "procblock/Verdict.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "procblock/AgentLog.hpp"
#include "procblock/BlockList.hpp"
#include "procblock/EntryIndex.hpp"
#include "procblock/ReportBudget.hpp"
#include "procblock/platform/Journal.hpp"
#include "procblock/platform/Notice.hpp"
#include "procscope/Digest.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/LoadedProgram.hpp"
#include "procscope/Log.hpp"
#include "procscope/Value.hpp"

namespace procblock {
namespace {

constexpr std::uint16_t kExitEvent = 1;

// An absent value equals no entry; an empty entry equals only an empty value.
bool equals(const std::string& entry, const std::optional<std::string>& value) {
  return value && *value == entry;
}

void logBlocking(const std::optional<std::string>& name,
                 const std::optional<std::string>& bundleIdentifier,
                 const std::optional<std::string>& path) {
  procscope::logMessage(
      "Blocking process with name: " + procscope::visibleText(procscope::orNull(name)) +
      ", bundle identifier: " + procscope::visibleText(procscope::orNull(bundleIdentifier)) +
      ", path: " + procscope::visibleText(procscope::orNull(path)));
}

// About what one report writes besides its three values: the diagnostic
// line's prefix and text, the access-log row, the notice's line where no
// desktop shows it.
constexpr std::size_t kReportFixedBytes = 400;

ReportBudget& reportBudget() {
  static auto* budget = new ReportBudget;  // used until the very end of the run
  return *budget;
}

// The summaries of counted blocks are written by a thread of their own,
// started with the first block counted; it sleeps until the next is due.
// Never destroyed: the writer waits on them until the very end of the run,
// and destroying a condition variable a thread waits on never returns.
struct SummaryWriter {
  std::mutex mutex;
  std::condition_variable wake;
  bool started = false;
};
SummaryWriter& summaryWriterState() {
  static auto* state = new SummaryWriter;
  return *state;
}

// The wall-clock time, "HH:mm:ss", of a moment on the budget's clock.
std::string wallTimeOf(ReportBudget::Clock::time_point when) {
  const auto ago = ReportBudget::Clock::now() - when;
  return formatTime(std::chrono::system_clock::now() -
                    std::chrono::duration_cast<std::chrono::system_clock::duration>(ago));
}

void writeSummary(const ReportBudget::Summary& summary) {
  const std::string count = std::to_string(summary.count);
  const std::string since = wallTimeOf(summary.since);
  if (!summary.program) {
    procscope::logMessage("Blocked " + count + " more times since " + since +
                          ", not reported one by one: programs beyond the first " +
                          std::to_string(ReportBudget::kMaxPrograms) + " counted");
    Printlog("(other programs) (blocked " + count + " more times since " + since + ")");
    platform::journalBlockedProgram(
        {platform::BlockSource::Start, std::string(), std::nullopt, std::nullopt, std::nullopt, -1,
         std::nullopt, "counted, not reported one by one", summary.count, std::nullopt});
    return;
  }
  const ReportBudget::Program& program = *summary.program;
  procscope::logMessage(
      "Blocked " + count + " more times since " + since + ", not reported one by one: name: " +
      procscope::visibleText(procscope::orNull(program.name)) + ", bundle identifier: " +
      procscope::visibleText(procscope::orNull(program.bundleIdentifier)) +
      ", path: " + procscope::visibleText(procscope::orNull(program.path)));
  Printlog(procscope::orNull(program.name) + " (blocked " + count + " more times since " + since +
           ")");
  platform::journalBlockedProgram(
      {program.source, program.entry, program.name, program.bundleIdentifier, program.path, -1,
       std::nullopt, "counted, not reported one by one", summary.count, std::nullopt});
}

[[noreturn]] void summaryWriter() {
  std::unique_lock lock(summaryWriterState().mutex);
  for (;;) {
    if (const auto next = reportBudget().nextDue()) {
      summaryWriterState().wake.wait_until(lock, *next);
    } else {
      summaryWriterState().wake.wait(lock);
    }
    lock.unlock();
    for (const auto& summary : reportBudget().due(ReportBudget::Clock::now())) {
      writeSummary(summary);
    }
    lock.lock();
  }
}

void wakeSummaryWriter() {
  std::lock_guard lock(summaryWriterState().mutex);
  if (!summaryWriterState().started) {
    summaryWriterState().started = true;
    std::thread(summaryWriter).detach();
  }
  summaryWriterState().wake.notify_one();
}

// Whether a block is reported on its own (and its notice posted), as the
// budget of reports allows; a block that is not is counted for its summary.
ReportBudget::Decision admitReport(platform::BlockSource source, const procscope::Process& process,
                                   const std::string& entry, const std::optional<std::string>& name,
                                   const std::optional<std::string>& bundleIdentifier,
                                   const std::optional<std::string>& path) {
  const std::uint32_t uid = process.uid();
  const auto length = [](const std::optional<std::string>& s) { return s ? s->size() : 0; };
  const std::size_t bytes =
      kReportFixedBytes + 3 * length(name) + length(bundleIdentifier) + length(path);
  const auto decision =
      reportBudget().admit({name, bundleIdentifier, path, entry, source},
                           uid == 0xFFFFFFFFu ? std::nullopt : std::optional<std::uint32_t>(uid),
                           bytes, ReportBudget::Clock::now());
  if (!decision.report) wakeSummaryWriter();
  return decision;
}

void postBlockedNotice(const std::optional<std::string>& name) {
  // The notice layer delivers on its own; a slow desktop never holds up a kill.
  if (auto notices = platform::Notices::get()) notices->post(platform::blockedNotice(name));
}

// What a record is judged, and reported, as: its own executable; a loader
// run directly as the program it was given, and, where the loader was seen
// to map other files than the one its name led to, as each of those too.
// View 0 is the first of these.
std::size_t viewsOf(const procscope::Process& process) {
  const auto& program = process.loadedProgram();
  return program ? 1 + program->mappedInstead.size() : 1;
}
const procscope::LoadedProgram* programOf(const procscope::Process& process, std::size_t view) {
  const auto& program = process.loadedProgram();
  if (!program) return nullptr;
  return view == 0 ? program.get() : &program->mappedInstead[view - 1];
}
const procscope::Binary* judgedBinary(const procscope::Process& process, std::size_t view = 0) {
  const auto* program = programOf(process, view);
  return program ? program->binary.get() : process.binary().get();
}
const std::optional<std::string>& judgedPath(const procscope::Process& process,
                                             std::size_t view = 0) {
  const auto* program = programOf(process, view);
  return program ? program->path : process.path();
}

// The access-log row, the notice and the journal entry of one block.
void reportBlocked(const procscope::Process& process, const std::string& entry,
                   const std::optional<std::string>& name,
                   const std::optional<std::string>& bundleIdentifier,
                   const std::optional<std::string>& path, std::string outcome,
                   platform::BlockSource source,
                   const std::optional<std::string>& applicationIdentifier) {
  DisplayMessage(name);
  // A user of all ones is the record's "unknown".
  const std::uint32_t uid = process.uid();
  platform::journalBlockedProgram(
      {source, entry, name, bundleIdentifier, path, process.pid(),
       uid == 0xFFFFFFFFu ? std::nullopt : std::optional<std::uint32_t>(uid), std::move(outcome), 1,
       applicationIdentifier});
}

// The Linux application identifier the record is judged by, beside the three.
std::optional<std::string> applicationIdentifierOf(const procscope::Binary* binary) {
  return binary ? binary->applicationIdentifier() : std::nullopt;
}

// The digest entries a record's file matches, each queued as judgeEntry;
// none that one of `values` equals (queued already), and none when the
// record's earlier judgement had the same digest.
template <class Queue>
void queueDigestEntries(const procscope::Process& process, const EntryIndex& index,
                        std::initializer_list<const std::optional<std::string>*> values,
                        const Queue& queue) {
  const auto& sha256 = process.sha256();
  if (!sha256) return;
  if (const auto& earlier = process.earlier(); earlier && earlier->sha256() == sha256) return;
  const auto [first, last] = index.findDigest(*sha256);
  for (auto it = first; it != last; ++it) {
    const std::string& entry = (*index.list)[static_cast<size_t>(*it)];
    if (std::any_of(values.begin(), values.end(),
                    [&](const std::optional<std::string>* v) { return equals(entry, *v); })) {
      continue;
    }
    queue(*it);
  }
}

// One entry against one record, on a worker thread.
void judgeEntry(const std::shared_ptr<procscope::Process>& process, std::size_t view,
                std::int32_t index, const RecordKillFunction& kill, platform::BlockSource source) {
  const auto list = items();
  if (!list || index < 0 || static_cast<size_t>(index) >= list->size()) return;
  const std::string& entry = (*list)[static_cast<size_t>(index)];

  const procscope::Binary* binary = judgedBinary(*process, view);
  const std::optional<std::string> bundleIdentifier = bundleIdentifierOf(binary);
  const std::optional<std::string> name = binary ? binary->name() : std::nullopt;
  const std::optional<std::string>& path = judgedPath(*process, view);
  const std::optional<std::string> application = applicationIdentifierOf(binary);

  // First the bundle identifier, then the name, then the path, then the
  // application identifier; and the digest of the file executed, which only
  // the record's own view has.
  if (!equals(entry, bundleIdentifier) && !equals(entry, name) && !equals(entry, path) &&
      !equals(entry, application) && !(view == 0 && isDigestOf(entry, process->sha256()))) {
    return;
  }

  const auto report = admitReport(source, *process, entry, name, bundleIdentifier, path);
  if (report.report) logBlocking(name, bundleIdentifier, path);
  const std::int32_t pid = process->pid();
  const KillResult result = kill(*process);
  if (!report.report) {
    if (report.notice) postBlockedNotice(name);
    return;
  }
  if (result != KillResult::SignalledGroup) {
    procscope::logMessage("Kill of pid " + std::to_string(pid) + ": " +
                          std::string(describe(result)));
  }
  reportBlocked(*process, entry, name, bundleIdentifier, path, std::string(describe(result)),
                source, application);
}

// This process's id without a system call per event; a forked child asks
// afresh.
std::atomic<std::int32_t> cachedOwnPid{0};

std::int32_t ownPid() {
  std::int32_t pid = cachedOwnPid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static const bool registered = [] {
    return ::pthread_atfork(nullptr, nullptr,
                            [] { cachedOwnPid.store(0, std::memory_order_relaxed); }) == 0;
  }();
  pid = ::getpid();
  if (registered) cachedOwnPid.store(pid, std::memory_order_relaxed);
  return pid;
}

}  // namespace

std::optional<std::string> bundleIdentifierOf(const procscope::Binary* binary) {
  if (!binary || !binary->bundle()) return std::nullopt;
  return procscope::stringForKey(binary->bundle()->infoDictionary(), "CFBundleIdentifier");
}

bool inOwnProcessTree(const procscope::Process& process) {
  const std::int32_t self = ownPid();
  const auto& ancestors = process.ancestors();
  return process.pid() == self ||
         std::find(ancestors.begin(), ancestors.end(), self) != ancestors.end();
}

void prepareVerdict() {
  procscope::dispatch::prepare();
  const auto list = items();
  // Files are hashed only for a list that names some program by its digest.
  procscope::digest::setWanted(list && !indexFor(list)->digests.empty());
}

procscope::ProcessCallback makeBlock(RecordKillFunction kill, platform::BlockSource source,
                                     bool spareOwnProcessTree) {
  auto sharedKill = std::make_shared<const RecordKillFunction>(std::move(kill));
  return [sharedKill, source,
          spareOwnProcessTree](const std::shared_ptr<procscope::Process>& process) {
    if (!process || process->type() == kExitEvent) return;
    // The agent's own children (the notices it forks) would otherwise be
    // killed and reported with a new notice, and so on without end.
    if (spareOwnProcessTree && inOwnProcessTree(*process)) return;
    const auto list = items();
    if (!list || list->empty()) return;
    const auto index = indexFor(list);

    for (std::size_t view = 0; view < viewsOf(*process); ++view) {
      const procscope::Binary* binary = judgedBinary(*process, view);
      const std::optional<std::string> bundleIdentifier = bundleIdentifierOf(binary);
      const std::optional<std::string> noName;
      const std::optional<std::string>& name = binary ? binary->name() : noName;
      const std::optional<std::string>& path = judgedPath(*process, view);
      const std::optional<std::string> application = applicationIdentifierOf(binary);

      // A start judged again once its files were inspected, late: only
      // values the first judgement did not have can match anew (one report
      // per match).
      std::optional<std::string> judged[4];
      if (const auto& earlier = process->earlier(); earlier && view < viewsOf(*earlier)) {
        const procscope::Binary* before = judgedBinary(*earlier, view);
        judged[0] = bundleIdentifierOf(before);
        judged[1] = before ? before->name() : std::nullopt;
        judged[2] = judgedPath(*earlier, view);
        judged[3] = applicationIdentifierOf(before);
      }

      // Every entry equal to one of the four values, each entry once:
      // entries equal to two of them (values that are equal) are looked up
      // only once. The callback runs on the monitor's event thread: queue
      // and return.
      const std::optional<std::string>* values[] = {&bundleIdentifier, &name, &path, &application};
      for (size_t v = 0; v < std::size(values); ++v) {
        const std::optional<std::string>& value = *values[v];
        if (!value) continue;  // absent equals nothing
        bool repeated = std::find(std::begin(judged), std::end(judged), value) != std::end(judged);
        for (size_t u = 0; u < v; ++u) repeated = repeated || (*values[u] && **values[u] == *value);
        if (repeated) continue;
        const auto [first, last] = index->find(*value);
        for (auto it = first; it != last; ++it) {
          const std::int32_t position = *it;
          // A kill must not queue behind a sweep's many tasks.
          procscope::dispatch::asyncUrgent([process, view, position, sharedKill, source] {
            judgeEntry(process, view, position, *sharedKill, source);
          });
        }
      }
      if (view == 0) {
        queueDigestEntries(
            *process, *index, {&bundleIdentifier, &name, &path, &application},
            [&](std::int32_t position) {
              procscope::dispatch::asyncUrgent([process, position, sharedKill, source] {
                judgeEntry(process, 0, position, *sharedKill, source);
              });
            });
      }
    }
  };
}

const procscope::ProcessCallback block = makeBlock(killProcessGroupOf);

ExecVerdict denyExec(const std::shared_ptr<procscope::Process>& process) {
  if (!process) return ExecVerdict::Unlisted;
  const auto list = items();
  if (!list || list->empty()) return ExecVerdict::Unlisted;
  const auto index = indexFor(list);

  const procscope::Binary* binary = process->binary().get();
  const std::optional<std::string> bundleIdentifier = bundleIdentifierOf(binary);
  const std::optional<std::string> name = binary ? binary->name() : std::nullopt;
  const std::optional<std::string>& path = process->path();
  const std::optional<std::string> application = applicationIdentifierOf(binary);

  // The first entry in the list that equals one of the four values: one
  // denial is one report, however many entries match.
  std::int32_t first = -1;
  for (const std::optional<std::string>* value : {&bundleIdentifier, &name, &path, &application}) {
    if (!*value) continue;
    const auto [from, to] = index->find(**value);
    if (from != to && (first < 0 || *from < first)) first = *from;
  }
  if (const auto& sha256 = process->sha256()) {
    const auto [from, to] = index->findDigest(*sha256);
    if (from != to && (first < 0 || *from < first)) first = *from;
  }
  if (first < 0) return ExecVerdict::Unlisted;
  // The caller is read only now: most execs match nothing, and each step
  // here is on the path of every exec on the machine.
  if (process->ancestors().empty()) process->enumerateAncestors();
  if (inOwnProcessTree(*process)) return ExecVerdict::Spared;
  if (process->uid() == 0xFFFFFFFFu) process->getUser();
  std::string entry = (*list)[static_cast<size_t>(first)];
  // Reported off the permission path, whose answer waits for nothing.
  procscope::dispatch::asyncUrgent(
      [process, entry = std::move(entry), name, bundleIdentifier, path, application] {
        const auto report =
            admitReport(platform::BlockSource::Deny, *process, entry, name, bundleIdentifier, path);
        if (!report.report) {
          if (report.notice) postBlockedNotice(name);
          return;
        }
        logBlocking(name, bundleIdentifier, path);
        reportBlocked(*process, entry, name, bundleIdentifier, path,
                      "exec denied, nothing signalled", platform::BlockSource::Deny, application);
      });
  return ExecVerdict::Denied;
}

void DisplayMessage(const std::optional<std::string>& name) {
  Printlog(name);
  postBlockedNotice(name);
}

}  // namespace procblock
