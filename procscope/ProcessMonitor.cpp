// ProcScope: the audit-pipe read loop, the start and exit hand-offs, and the
// monitor's lifecycle.
#include "procscope/ProcessMonitor.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

#include "procscope/Binary.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/Log.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/Utf8.hpp"
#include "procscope/Utilities.hpp"
#include "procscope/bsm/Token.hpp"
#include "procscope/platform/Kernel.hpp"
#include "procscope/platform/ProcEvents.hpp"

namespace procscope {
namespace {

// Whether the pinned process has ended: gone before it could be pinned, or
// a zombie (its pidfd is readable then, while a signal 0 still reaches it).
bool hasEnded(std::int32_t pid, const ProcessIdentity* pin) {
  if (!pin || !pin->verifiable()) return !platform::Kernel::get()->isAlive(pid);
  if (pin->pidfd() < 0) return !pin->alive();
  pollfd ended{pin->pidfd(), POLLIN, 0};
  return ::poll(&ended, 1, 0) > 0;
}

constexpr int kPreselectModeLocal = 2;  // AUDITPIPE_PRESELECT_MODE_LOCAL

// Preselection: the process and exec classes. Records are handled alike
// whether the call succeeded or not, so failures are selected the same way.
constexpr std::uint32_t kPreselectMask = bsm::AU_PROCESS | bsm::AU_EXEC;

// Opening steps 2 to 6; each runs only if the one before it succeeded.
bool configure(platform::AuditStream& stream) {
  if (stream.setPreselectMode(kPreselectModeLocal) == -1) return false;
  std::uint32_t limit = 0;
  if (stream.getQueueLimitMax(limit) == -1) return false;
  if (stream.setQueueLimit(limit) == -1) return false;
  if (stream.setPreselectFlags(kPreselectMask, kPreselectMask) == -1) return false;
  return stream.setPreselectNaFlags(kPreselectMask, kPreselectMask) != -1;
}

bool isHeader(std::uint8_t id) {
  return id == bsm::AUT_HEADER32 || id == bsm::AUT_HEADER32_EX || id == bsm::AUT_HEADER64 ||
         id == bsm::AUT_HEADER64_EX;
}

bool isSubject(std::uint8_t id) {
  return id == bsm::AUT_SUBJECT32 || id == bsm::AUT_SUBJECT64 || id == bsm::AUT_SUBJECT32_EX ||
         id == bsm::AUT_SUBJECT64_EX;
}

// Whether the loop on this thread reads the live source, whose reader thread
// pins each process at its event (platform::LivePins).
thread_local bool readsLivePins = false;

// Takes part in the live source's pinning for as long as the loop runs.
class LivePinsUse {
 public:
  explicit LivePinsUse(bool live) : live_(live) {
    if (live_) platform::LivePins::shared().open();
    readsLivePins = live_;
  }
  ~LivePinsUse() {
    readsLivePins = false;
    if (live_) platform::LivePins::shared().close();
  }
  LivePinsUse(const LivePinsUse&) = delete;
  LivePinsUse& operator=(const LivePinsUse&) = delete;

 private:
  bool live_;
};

// The pin for a start record: the one the live source took at the event, or
// one taken now (recorded streams, or no pin waiting). A process gone before
// it was pinned gets an identity that matches nothing, so that nothing acting
// on the record reaches a later owner of the number.
std::shared_ptr<const ProcessIdentity> pinFor(std::int32_t pid) {
  if (readsLivePins) {
    if (auto taken = platform::LivePins::shared().take(pid)) {
      return *taken ? std::move(*taken) : ProcessIdentity::vanished(pid);
    }
  }
  auto pinned = platform::Kernel::get()->pin(pid);
  return pinned ? pinned : ProcessIdentity::vanished(pid);
}

// The number under `key`; 0 when the dictionary, the entry or a number is missing.
std::int64_t integerForKey(const Dictionary* dict, const std::string& key) {
  if (dict == nullptr) return 0;
  auto it = dict->find(key);
  if (it == dict->end()) return 0;
  return it->second.integer().value_or(0);
}

// A start whose executable cannot be learnt at all cannot be judged: said,
// not dropped in silence; one line per kUnlearntLogEvery at most, with the
// count of those since.
constexpr std::chrono::seconds kUnlearntLogEvery{10};

void noteUnlearnt(std::int32_t pid) {
  static std::mutex mu;
  static std::optional<std::chrono::steady_clock::time_point> last;
  static std::uint64_t since = 0;
  const auto now = std::chrono::steady_clock::now();
  std::uint64_t count = 0;
  {
    std::lock_guard lock(mu);
    ++since;
    if (last && now - *last < kUnlearntLogEvery) return;
    last = now;
    count = std::exchange(since, 0);
  }
  logMessage("The executable of process " + std::to_string(pid) +
             " cannot be learnt (its path is too long and no name it was started by leads to "
             "it): not judged" +
             (count > 1 ? " (" + std::to_string(count) + " such starts since the last report)"
                        : std::string()));
}

}  // namespace

std::shared_ptr<ProcScope> ProcScope::init() {
  return std::make_shared<ProcScope>();
}

std::shared_ptr<ProcScope> ProcScope::init(bool goEasy) {
  auto monitor = init();
  if (monitor) monitor->setGoEasy(goEasy);
  return monitor;
}

void ProcScope::setShouldStop(bool v) {
  shouldStop_.store(v);
  // Wakes a loop that waits on a drained recorded input.
  shouldStop_.notify_all();
}

// ---- The audit-pipe loop ----

std::unique_ptr<platform::AuditStream> ProcScope::openPipe(const std::string& path) {
  auto layer = platform::AuditPipes::get();
  if (!layer) return nullptr;
  std::unique_ptr<platform::AuditStream> stream = layer->open(path);
  if (!stream || !configure(*stream)) return nullptr;
  return stream;
}

void ProcScope::monitor() {
  // Pinning starts before the stream opens: an event with no record leaves
  // an unclaimed pin, the harmless way round (see LivePins).
  LivePinsUse pins(pipePath_ == platform::kAuditPipePath);
  std::unique_ptr<platform::AuditStream> stream = openPipe(pipePath_);
  if (!stream) return;

  LoopState state;
  state.pathsAtEvent = stream->pathsTakenAtEvent();
  state.stream = stream.get();
  std::vector<std::uint8_t> buffer;  // reused for every record
  bsm::Token token;                  // likewise; its bodies point into `buffer`
  while (!shouldStop()) {
    state.current.reset();  // a record that ended without its trailer
    std::int64_t length = stream->readRecord(buffer);
    if (length > 0) {
      auto size = std::min(static_cast<std::size_t>(length), buffer.size());
      walkRecord(buffer.data(), size, token, state);
    } else if (stream->exhausted()) {
      // Nothing will come any more: stop, or sleep until told to.
      if (stopWhenInputExhausted()) {
        setShouldStop(true);
      } else {
        shouldStop_.wait(false);
      }
    }
  }
}

void ProcScope::walkRecord(const std::uint8_t* data, std::size_t size, bsm::Token& token,
                           LoopState& state) {
  bsm::TokenCursor cursor(data, size);
  while (cursor.next(token)) {
    // A record of an event we do not follow is abandoned at its second token.
    if (state.current && !shouldProcessRecord(state.current->type())) return;
    actOnToken(token, state);
    if (token.len == 0) return;  // cannot advance; never spin on a bad parse
  }
}

void ProcScope::actOnToken(const bsm::Token& token, LoopState& state) {
  if (isHeader(token.id)) {
    state.current = Process::init();
    state.current->setType(token.header.e_type);
    return;
  }
  if (!state.current) return;
  Process& process = *state.current;
  const std::uint16_t type = process.type();

  if (isSubject(token.id)) {
    auto subjectPid = static_cast<std::int32_t>(token.subject.pid);
    if ((type == bsm::AUE_POSIX_SPAWN && process.pid() != -1) || type == bsm::AUE_FORK) {
      process.setPpid(subjectPid);  // the spawning or forking process
    } else {
      process.setPid(subjectPid);
      process.setPpid(Process::getParentID(subjectPid));
    }
    process.setUid(token.subject.euid);
    return;
  }

  switch (token.id) {
    case bsm::AUT_ARG32:
    case bsm::AUT_ARG64:
      if (type == bsm::AUE_FORK || type == bsm::AUE_POSIX_SPAWN) {
        // A fork's path (the child's executable) is read once the record is
        // complete and the child pinned, not here.
        process.setPid(static_cast<std::int32_t>(static_cast<std::uint32_t>(token.arg.val)));
      }
      break;
    case bsm::AUT_PATH:
      // Linux paths are bytes: a path that is not UTF-8 keeps its valid parts
      // rather than vanishing, which would let argv[0] stand in for it.
      process.setPathBytes(std::string(token.path.path));
      break;
    case bsm::AUT_EXEC_ARGS: {
      auto count = std::min<std::size_t>(token.execArgs.count, bsm::kMaxExecArgs);
      for (std::size_t i = 0; i < count; ++i) {
        std::string_view arg = token.execArgs.text[i];
        if (isValidUtf8(arg)) process.arguments().emplace_back(arg);
      }
      break;
    }
    case bsm::AUT_EXIT:
      process.setExit(token.exit.status);
      break;
    case bsm::AUT_TRAILER:
      completeRecord(state);
      break;
    default:
      break;
  }
}

void ProcScope::completeRecord(LoopState& state) {
  std::shared_ptr<Process> process = std::move(state.current);  // leaves none under construction
  if (!process) return;
  if (process->type() == bsm::AUE_EXIT) {
    state.starts.erase(process->pid());
    handleProcessExit(process);
    return;
  }

  // Before anything more is read about the pid.
  if (!process->identity()) process->setIdentity(pinFor(process->pid()));
  // The live source read the executable's path at the exec event itself: it
  // is the truer one, as the process may have run another program since.
  // Forks carry none, and other streams' paths are read again as ever.
  const auto& given = process->path();
  const bool pathAtEvent =
      state.pathsAtEvent && process->type() != bsm::AUE_FORK && given && !given->empty();
  const bool parentsStart =
      state.pathsAtEvent && process->type() == bsm::AUE_FORK && takeParentsStart(*process, state);
  if (!pathAtEvent && !parentsStart) process->pathFromPid();
  const auto& path = process->path();
  const bool unknown = !path || path->empty();
  bool unusable = unknown || path->starts_with("/dev/");
  if (unknown && state.pathsAtEvent && process->pid() > 0) {
    // Most often the process has simply ended already (short-lived programs
    // outrun the reader): it needs no verdict, and asking its pin costs far
    // less than the pool's round trip below.
    if (hasEnded(process->pid(), process->identity().get())) return;
    // A live process whose path cannot be read (longer than PATH_MAX): the
    // name its exec was given stands in only when it leads to the file it
    // runs; argv[0], which its starter chose, never stands in alone.
    const auto learnt = process->learnPathByName();
    if (!learnt.value_or(false)) {
      // One that has ended already needs no verdict.
      if (learnt) noteUnlearnt(process->pid());
      return;
    }
    unusable = false;
  }
  if (unusable && !process->arguments().empty()) process->setPath(process->arguments().front());

  if (process->type() == bsm::AUE_FORK) {
    state.lastFork = process;
  } else if (process->ppid() == -1 && state.lastFork && state.lastFork->pid() == process->pid()) {
    // An exec following a fork of the same process: the fork knew the parent.
    process->setPpid(state.lastFork->ppid());
  }
  handleProcessStart(process);
  if (state.pathsAtEvent) keepStart(*process, state);
}

bool ProcScope::takeParentsStart(Process& child, LoopState& state) {
  // A lost record may have been the exit of a number now someone else's.
  if (const std::uint64_t losses = state.stream->losses(); losses != state.lossesSeen) {
    state.starts.clear();
    state.lossesSeen = losses;
  }
  const auto known = state.starts.find(child.ppid());
  if (known == state.starts.end()) return false;
  // The child's own executable, once (not its path and root as well): a
  // CLONE_PARENT child names its creator's parent, a child may have run
  // another program already, and a new mount namespace numbers its mounts
  // anew, so any of these falls back on the full reading.
  const auto shown = platform::Kernel::get()->executedFile(child.pid());
  const ExecutableSite& site = known->second.site;
  if (!shown || !site.executed || !(*shown == ExecutedFile{*site.executed, site.mountId})) {
    return false;
  }
  child.setPathBytes(known->second.pathBytes);
  child.setSite(site);
  return true;
}

void ProcScope::keepStart(const Process& process, LoopState& state) {
  // Few processes fork while they live; a table this full has missed exits.
  constexpr std::size_t kMaxStarts = 1024;
  const auto& site = process.site();
  const auto& bytes = process.fileSystemPath();
  if (!site || site->root || site->lookupPath || !site->executed || !bytes) {
    state.starts.erase(process.pid());
    return;
  }
  if (state.starts.size() >= kMaxStarts) state.starts.clear();
  state.starts[process.pid()] = {*bytes, *site};
}

bool ProcScope::shouldProcessRecord(std::uint16_t event) {
  if (event <= 23) return ((0x800086u >> event) & 1u) != 0;
  return event == bsm::AUE_POSIX_SPAWN;
}

void ProcScope::handleProcessStart(const std::shared_ptr<Process>& process) {
  if (process->pid() == -1) return;
  if (!process->path()) return;
  if (process->ppid() == -1) process->setPpid(Process::getParentID(process->pid()));
  if (process->ancestors().empty()) process->enumerateAncestors();
  // On the bounded pool: a file system that does not answer must not hold up
  // this loop, and with it every later verdict. An inspection that misses its
  // deadline hands its record on again when it ends.
  std::weak_ptr<ProcScope> self = weak_from_this();
  process->inspectBinary(!goEasy(), [self](const std::shared_ptr<Process>& late) {
    auto monitor = self.lock();
    if (monitor && !monitor->shouldStop() && monitor->processCallback_) {
      monitor->processCallback_(late);
    }
  });
  if (!process->binary()) return;
  // Events that arrive before a callback is set have nobody to go to.
  if (processCallback_) processCallback_(process);
}

void ProcScope::handleProcessExit(const std::shared_ptr<Process>& process) {
  if (processCallback_) processCallback_(process);
}

// ---- Lifecycle and workspace events ----

bool ProcScope::startsWithQueuedMessage(std::uint32_t realUid,
                                        const std::optional<Dictionary>& version) {
  if (realUid != 0) return false;
  std::int64_t minor = integerForKey(version ? &*version : nullptr, "minorVersion");
  std::int64_t bugfix = integerForKey(version ? &*version : nullptr, "bugfixVersion");
  return minor > 12 || (minor == 12 && bugfix >= 4);
}

void ProcScope::start(ProcessCallback callback) {
  setProcessCallback(std::move(callback));
  std::optional<Dictionary> version = PS_getOSVersion();
  if (startsWithQueuedMessage(getuid(), version)) {
    dispatch::async([] { logMessage("Start monitoring"); });
  } else {
    logMessage("Start app monitoring");
  }
  appMonitor();
  monitor();
}

void ProcScope::stop() {
  {
    std::lock_guard lock(observersMutex_);
    for (auto& [workspace, id] : observers_) workspace->removeObserver(id);
    observers_.clear();
  }
  setShouldStop(true);
  logMessage("stoped");
}

void ProcScope::appMonitor() {
  auto workspace = platform::Workspaces::get();
  if (!workspace) return;
  // The workspace does not own the monitor: a notice after it is gone is dropped.
  std::weak_ptr<ProcScope> self = weak_from_this();
  auto observer = [self](const platform::WorkspaceNotification* notification) {
    auto monitor = self.lock();
    if (monitor && notification) monitor->appEvent(*notification);
  };
  std::lock_guard lock(observersMutex_);
  for (const char* name : {platform::kWillLaunchApplication, platform::kDidTerminateApplication}) {
    observers_.emplace_back(workspace, workspace->addObserver(name, observer));
  }
}

void ProcScope::appEvent(const platform::WorkspaceNotification& notification) {
  auto pid = static_cast<std::int32_t>(
      integerForKey(&notification.userInfo, platform::kApplicationProcessIdentifier));
  if (notification.name == platform::kWillLaunchApplication) {
    std::shared_ptr<Process> process = Process::init(pid);
    if (!process) return;
    handleProcessStart(process);
    return;
  }
  std::shared_ptr<Process> process = Process::init();
  process->setPid(pid);
  process->setType(bsm::AUE_EXIT);
  handleProcessExit(process);
}

std::vector<std::shared_ptr<Process>> ProcScope::currentProcesses() {
  std::vector<std::shared_ptr<Process>> list;
  for (std::uint32_t id : PS_enumerateProcesses()) {
    std::shared_ptr<Process> process = Process::init(static_cast<std::int32_t>(id));
    if (!process) continue;
    process->generateSigningInfo(0);  // whatever goEasy says
    list.push_back(std::move(process));
  }
  return list;
}

}  // namespace procscope
