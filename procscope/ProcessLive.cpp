// The Process fillers that ask the kernel about a live process.
#include <sys/stat.h>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "procscope/BinaryCache.hpp"
#include "procscope/Digest.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/LoadedProgram.hpp"
#include "procscope/Process.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/Signing.hpp"
#include "procscope/Utf8.hpp"
#include "procscope/platform/Kernel.hpp"

namespace procscope {

using platform::Kernel;

std::shared_ptr<Process> Process::init(std::int32_t pid) {
  auto process = init();
  if (!process) return nullptr;
  // Pinned before anything is read, so that what is read belongs to the
  // pinned process (or to nobody) and a kill on the record reaches only it.
  // A process already gone gets an identity that matches nothing.
  auto identity = Kernel::get()->pin(pid);
  process->setIdentity(identity ? std::move(identity) : ProcessIdentity::vanished(pid));
  process->setPid(pid);
  process->setPpid(getParentID(pid));
  process->pathFromPid();
  if (!process->path() || process->path()->empty()) return nullptr;
  process->getArgs();
  process->getUser();
  process->enumerateAncestors();
  process->inspectBinary(false);
  return process;
}

namespace {

constexpr std::string_view kDeleted = " (deleted)";

// The kernel marks the link of an executable removed (or replaced) after its
// start; the mark is no part of the name, but a file may really be named so,
// hence the question whether it is unlinked. Asked while the number is still
// the pinned process's, checked after. The path's bytes without the mark, or
// nothing when they stand as they are.
std::optional<std::string> unmarkedDeletedPath(
    std::int32_t pid, const std::string& bytes,
    const std::shared_ptr<const ProcessIdentity>& identity) {
  if (!bytes.ends_with(kDeleted) || pid <= 0) return std::nullopt;
  const auto unlinked = Kernel::get()->executableUnlinked(pid);
  const bool same = !identity || !identity->verifiable() || identity->alive();
  if (!unlinked.value_or(false) || !same) return std::nullopt;
  return bytes.substr(0, bytes.size() - kDeleted.size());
}

// What an inspection found.
struct Inspected {
  std::shared_ptr<Binary> binary;
  std::optional<Dictionary> signingInfo;
  std::optional<std::string> unmarkedBytes;
};

}  // namespace

// Hands a late result on as a copy of the first record, and only once that
// record is whole (its binary, and its loader's program when it has one):
// the step may end before its caller has stopped waiting, and the late
// record's reader may look at the first one. The binary, the digest and a
// loader's program may each be late, each handed on in a copy of its own.
class Process::LateHandOff {
 public:
  using Fill = std::function<void(const Process& first, Process& copy)>;

  LateHandOff(std::shared_ptr<const Process> first,
              std::function<void(const std::shared_ptr<Process>&)> late)
      : first_(std::move(first)), late_(std::move(late)) {}

  void deliver(Inspected found) {
    if (!found.binary) return;
    deliver([found = std::move(found)](const Process& first, Process& copy) {
      if (found.unmarkedBytes) copy.setPathBytes(*found.unmarkedBytes);
      copy.setBinary(found.binary);
      if (found.signingInfo) copy.setSigningInfo(found.signingInfo);
      // Whether the process runs a loader was asked of its file by the pid,
      // not of the binary: a program learnt late comes in a copy of its own.
      copy.setLoadedProgram(first.loadedProgram());
    });
  }

  // A digest found late: judged with the first record's binary, as it was.
  void deliverDigest(std::string sha256) {
    deliver([sha256 = std::move(sha256)](const Process& first, Process& copy) {
      copy.setBinary(first.binary());
      copy.setSigningInfo(first.signingInfo());
      copy.setSha256(sha256);
      copy.setLoadedProgram(first.loadedProgram());
    });
  }

  // The program of a loader run directly, found late: the record is judged
  // again as that program.
  void deliverProgram(std::shared_ptr<const LoadedProgram> program) {
    deliver([program = std::move(program)](const Process& first, Process& copy) {
      copy.setBinary(first.binary());
      copy.setSigningInfo(first.signingInfo());
      copy.setLoadedProgram(program);
    });
  }

  void firstJudged() {
    std::vector<Fill> waiting;
    {
      std::lock_guard lock(mu_);
      firstJudged_ = true;
      waiting.swap(waiting_);
    }
    for (const Fill& fill : waiting) handOn(fill);
  }

 private:
  void deliver(Fill fill) {
    {
      std::lock_guard lock(mu_);
      if (!firstJudged_) {
        waiting_.push_back(std::move(fill));
        return;
      }
    }
    handOn(fill);
  }

  void handOn(const Fill& fill) {
    auto copy = first_->lateCopy();
    fill(*first_, *copy);
    late_(copy);
  }

  std::shared_ptr<const Process> first_;
  std::function<void(const std::shared_ptr<Process>&)> late_;
  std::mutex mu_;
  bool firstJudged_ = false;
  std::vector<Fill> waiting_;
};

namespace {

// The digest of what process `pid` executes: on a local file system one
// seen before is served at once; otherwise it is read on the bounded pool
// (a whole file may take long, and a late digest still judges the start).
std::optional<std::string> boundedDigest(std::int32_t pid,
                                         const std::shared_ptr<const ProcessIdentity>& identity,
                                         const std::optional<ExecutableSite>& site,
                                         const std::string& bytes,
                                         std::function<void(std::string)> late) {
  const bool local = site && site->local;
  const std::optional<FileIdentity> executed = site ? site->executed : std::nullopt;
  const inspection::MountId mount = site && site->mountId != 0
                                        ? inspection::mountWithReusableId(site->mountId)
                                        : inspection::mountOf(bytes);
  // Opened here only where no server can hold the open.
  std::shared_ptr<FileDescriptor> opened;
  const auto open = [pid, identity, executed]() -> std::shared_ptr<FileDescriptor> {
    auto fd = std::make_shared<FileDescriptor>(digest::openExecutable(pid, identity.get()));
    struct stat st {};
    if (fd->get() < 0 || ::fstat(fd->get(), &st) != 0) return nullptr;
    // Another program run by the process since: not this start's.
    if (executed && !(*executed == FileIdentity{st.st_dev, st.st_ino})) return nullptr;
    return fd;
  };
  if (local && !inspection::leftAlone(mount)) {
    opened = open();
    if (!opened) return std::nullopt;
    if (auto kept = digest::rememberedFor(opened->get())) return kept;
  }
  std::function<void(std::optional<std::string>)> whenLate;
  if (late) {
    whenLate = [late = std::move(late)](std::optional<std::string> sha256) {
      if (sha256) late(std::move(*sha256));
    };
  }
  auto found = inspection::bounded<std::optional<std::string>>(
      mount,
      [opened, open, local]() -> std::optional<std::string> {
        const auto fd = opened ? opened : open();
        return fd ? digest::ofOpenFile(fd->get(), local) : std::nullopt;
      },
      std::move(whenLate));
  return found ? std::move(*found) : std::nullopt;
}

}  // namespace

void Process::inspectBinary(bool signingAndIcon,
                            std::function<void(const std::shared_ptr<Process>&)> late) {
  if (!path_) return;
  std::shared_ptr<LateHandOff> handOff;
  if (late) {
    if (auto self = weak_from_this().lock()) {
      handOff = std::make_shared<LateHandOff>(std::move(self), std::move(late));
    }
  }
  // The record is whole once this ends: a late result waits for that.
  struct FirstJudged {
    LateHandOff* handOff;
    ~FirstJudged() {
      if (handOff) handOff->firstJudged();
    }
  } firstJudged{handOff.get()};
  // Where the process lives: its root, its namespace's mounts, the file it
  // runs. A process gone before that could be read is judged by its name.
  if (!site_) site_ = Kernel::get()->executableSite(pid(), identity_.get(), *fileSystemPath());
  const std::optional<ExecutableSite>& site = site_;
  inspectFiles(signingAndIcon, site, handOff);
  // A loader run directly is judged as the program it runs, also when that
  // is learnt only after the deadline.
  LateLoadedProgram whenLate;
  if (handOff) {
    whenLate = [handOff](std::shared_ptr<const LoadedProgram> program) {
      handOff->deliverProgram(std::move(program));
    };
  }
  setLoadedProgram(findLoadedProgram(*this, whenLate, site ? site->executed : std::nullopt));
}

void Process::inspectFiles(bool signingAndIcon, const std::optional<ExecutableSite>& site,
                           const std::shared_ptr<LateHandOff>& handOff) {
  // Before the binary, so that a late binary's copy has it. A memfd or a
  // file of another namespace is hashed as well: it is reached by the pid.
  if (digest::wanted()) {
    std::function<void(std::string)> whenLate;
    if (handOff) {
      whenLate = [handOff](std::string sha256) { handOff->deliverDigest(std::move(sha256)); };
    }
    sha256_ = boundedDigest(pid(), identity_, site, *fileSystemPath(), std::move(whenLate));
  }
  if (!site) {
    setBinary(Binary::uninspected(*path_));
    return;
  }
  // The common case, a file as it is on disk, judged without its signature or
  // icon: one Binary per file, remembered. A path marked deleted is a
  // question about this process, and signing and icon are filled per record.
  if (!signingAndIcon && !fileSystemPath()->ends_with(kDeleted)) {
    std::function<void(std::shared_ptr<Binary>)> whenLate;
    if (handOff) {
      whenLate = [handOff](std::shared_ptr<Binary> binary) {
        handOff->deliver({std::move(binary), std::nullopt, std::nullopt});
      };
    }
    auto binary = inspectRemembered(*path_, site->lookupPath.value_or(*fileSystemPath()), &*site,
                                    std::move(whenLate));
    if (binary) {
      setBinary(std::move(binary));
      return;
    }
    setBinary(Binary::uninspected(*path_));
    return;
  }
  const std::string path = *path_;
  const std::string bytes = site->lookupPath.value_or(*fileSystemPath());
  const std::int32_t id = pid();
  const auto identity = identity_;
  std::function<void(Inspected)> whenLate;
  if (handOff) whenLate = [handOff](Inspected found) { handOff->deliver(std::move(found)); };
  auto inspected = inspection::bounded<Inspected>(
      site->mountId != 0 ? inspection::mountWithReusableId(site->mountId)
                         : inspection::mountOf(bytes),
      [path, bytes, id, identity, signingAndIcon, site] {
        Inspected out;
        out.unmarkedBytes = unmarkedDeletedPath(id, bytes, identity);
        if (out.unmarkedBytes) {
          out.binary = Binary::init(decodeLossy(*out.unmarkedBytes), out.unmarkedBytes, site->root);
        } else {
          out.binary = Binary::init(path, bytes, site->root);
          if (!isOfExecutedFile(*out.binary, *site)) out.binary = Binary::uninspected(path);
        }
        if (signingAndIcon && out.binary) {
          // A record of the inspection's own, so that a late end touches
          // nothing the caller holds.
          Process scratch;
          scratch.setPid(id);
          scratch.setBinary(out.binary);
          scratch.generateSigningInfo(0);  // kSecCSDefaultFlags
          out.signingInfo = scratch.signingInfo();
          out.binary->getIcon();
        }
        return out;
      },
      std::move(whenLate));
  if (!inspected) {
    setBinary(Binary::uninspected(path));
    return;
  }
  if (inspected->unmarkedBytes) setPathBytes(std::move(*inspected->unmarkedBytes));
  setBinary(withApplicationIdentity(std::move(inspected->binary), &*site));
  if (inspected->signingInfo) setSigningInfo(std::move(inspected->signingInfo));
}

std::optional<bool> Process::learnPathByName() {
  auto kernel = Kernel::get();
  struct Learnt {
    bool named = false;  // a name was there to try
    std::optional<ExecutableSite> site;
    std::string name;
  };
  const std::int32_t id = pid();
  const auto identity = identity_;
  const std::optional<std::string> argv0 =
      arguments_.empty() ? std::nullopt : std::optional<std::string>(arguments_.front());
  // The exec's name is read from the process's memory, which it may make
  // wait (userfaultfd), and looked up from its working directory, which may
  // lie on a file system that does not answer: both on the pool.
  auto learnt = inspection::bounded<Learnt>(
      // Not a path: a stall here is this process's alone.
      "name of process " + std::to_string(id), [kernel, id, identity, argv0] {
        Learnt out;
        std::vector<std::string> names;
        if (auto given = kernel->execFileName(id)) names.push_back(std::move(*given));
        if (argv0) names.push_back(*argv0);
        out.named = !names.empty();
        if (out.named) out.site = kernel->executableSiteByName(id, identity.get(), names, out.name);
        return out;
      });
  if (!learnt) return false;
  if (!learnt->named) return std::nullopt;
  if (!learnt->site) return false;
  setPathBytes(std::move(learnt->name));
  site_ = std::move(learnt->site);
  return true;
}

std::int32_t Process::getParentID(std::int32_t pid) {
  return Kernel::get()->parentID(pid);
}

void Process::getUser() {
  if (auto uid = Kernel::get()->effectiveUser(pid())) setUid(*uid);
}

void Process::pathFromPid() {
  auto kernel = Kernel::get();
  // Paths are bytes here: a path that is not UTF-8 is decoded lossily rather
  // than dropped, or the record would fall back on a caller-chosen argv[0] and
  // a forbidden program in such a directory would escape its path entry.
  if (auto exe = kernel->executablePath(pid()); exe && !exe->empty() && (*exe)[0] != '\0') {
    setPathBytes(std::move(*exe));
    return;
  }
  // Fall back on the path recorded in the argument area at exec time.
  std::int64_t max = kernel->argumentAreaMax();
  if (max <= 0) return;
  auto area = kernel->argumentArea(pid(), static_cast<std::size_t>(max));
  if (!area) return;
  if (auto recorded = platform::argarea::executablePath(*area)) setPathBytes(std::move(*recorded));
}

void Process::getArgs() {
  auto kernel = Kernel::get();
  std::int64_t max = kernel->argumentAreaMax();
  if (max <= 0) return;
  auto area = kernel->argumentArea(pid(), static_cast<std::size_t>(max));
  if (!area) return;
  auto found = platform::argarea::arguments(*area);
  arguments_.insert(arguments_.end(), std::make_move_iterator(found.begin()),
                    std::make_move_iterator(found.end()));
}

void Process::enumerateAncestors() {
  // Each step reads a different process at a different moment, so pid reuse
  // during the walk could in principle close a loop that the "parent equals
  // current" test misses; no real chain comes near this bound.
  constexpr std::size_t kMaxDepth = 1 << 16;
  std::int32_t current = pid();
  if (ppid() != -1) {
    current = ppid();
    ancestors_.push_back(current);
  }
  for (std::size_t depth = 0; depth < kMaxDepth; ++depth) {
    std::int32_t parent = getParentID(current);
    if (parent == -1 || parent == 0 || parent == current) break;
    ancestors_.push_back(parent);
    current = parent;
  }
}

bool Process::isProcessAlive() const {
  return platform::Kernel::get()->isAlive(pid());
}

void Process::generateSigningInfo(std::uint32_t flags) {
  Dictionary info = extractSigningInfo(pid(), std::nullopt, flags);
  // Nothing at all learnt of the running process: judge its file instead,
  // with every architecture and nested code checked but resources skipped.
  if (info.empty() && binary_ && binary_->path()) {
    constexpr std::uint32_t kStaticFlags = 1 | 4 | 8;
    info = extractSigningInfo(pid(), binary_->fileSystemPath(), flags | kStaticFlags);
  }
  setSigningInfo(std::move(info));
}

}  // namespace procscope
