// The Process fillers that ask the kernel about a live process.
#include "procscope/Process.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/Signing.hpp"
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
  process->attachBinary();
  return process;
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

void Process::attachBinary() {
  if (!path_) return;
  // The kernel marks the link of an executable removed (or replaced) after
  // its start; the mark is no part of the name, but a file may really be
  // named so, hence the question whether it is unlinked. Asked while the
  // number is still the pinned process's, checked after.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path_->ends_with(kDeleted) && pid() > 0) {
    auto unlinked = Kernel::get()->executableUnlinked(pid());
    bool same = !identity_ || !identity_->verifiable() || identity_->alive();
    if (unlinked.value_or(false) && same) {
      std::string bytes = *fileSystemPath();
      bytes.resize(bytes.size() - kDeleted.size());
      setPathBytes(std::move(bytes));
    }
  }
  setBinary(Binary::init(*path_, fileSystemPath()));
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
