#include "procscope/BinaryCache.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "procscope/Inspection.hpp"
#include "procscope/Utilities.hpp"

namespace procscope {

namespace {

constexpr unsigned kIdentityMask =
    STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME | STATX_MNT_ID;

// File systems that stamp whole seconds (or coarser, as FAT's two) may leave
// a change within the same stamp; they are known by stamps in whole
// milliseconds and given longer to settle.
constexpr std::chrono::seconds kSettleCoarse{3};

enum class Look { kFound, kAbsent, kUnknown };

// The item at `path`, reached without following any symbolic link (a link's
// target may change, or lie on another file system, while the link does
// not). Times as the kernel holds them: no round trip to a server. A plain
// statx would cost less (no O_PATH file to make and close) but follows links
// in leading directories, and through /proc/<pid>/root or /proc/<pid>/fd a
// link reaches mounts that no mount table of this process lists (another
// namespace's FUSE mount, made by any user in a user namespace; a detached
// mount): the walk could wait on a server that never answers.
// Through `root`, a process's own, where one is given.
Look look(const std::string& path, struct statx& sx, const LookupRoot* root) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | (root ? RESOLVE_IN_ROOT : 0);
  const int dir = root ? root->fd() : AT_FDCWD;
  const int fd = static_cast<int>(::syscall(SYS_openat2, dir, path.c_str(), &how, sizeof how));
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? Look::kAbsent : Look::kUnknown;
  const int rc = ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, kIdentityMask, &sx);
  ::close(fd);
  if (rc != 0 || (sx.stx_mask & kIdentityMask) != kIdentityMask) return Look::kUnknown;
  return Look::kFound;
}

template <class T>
void append(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Everything that changes when the item does: a changed file, a file put in
// its place, a file system mounted over it.
void appendIdentity(std::string& out, const struct statx& sx) {
  append(out, sx.stx_mnt_id);
  append(out, sx.stx_dev_major);
  append(out, sx.stx_dev_minor);
  append(out, sx.stx_ino);
  append(out, sx.stx_size);
  append(out, sx.stx_mode);
  append(out, sx.stx_mtime.tv_sec);
  append(out, sx.stx_mtime.tv_nsec);
  append(out, sx.stx_ctime.tv_sec);
  append(out, sx.stx_ctime.tv_nsec);
}

// Whether the item's last change (every change moves its ctime, which no
// caller can set) lies far enough behind `now`.
bool settled(const struct statx& sx, const timespec& now) {
  const auto& changed = sx.stx_ctime;
  const std::chrono::nanoseconds margin = changed.tv_nsec % 1000000 == 0
                                              ? std::chrono::nanoseconds(kSettleCoarse)
                                              : std::chrono::nanoseconds(BinaryCache::kSettle);
  const auto at = std::chrono::seconds(changed.tv_sec) + std::chrono::nanoseconds(changed.tv_nsec);
  const auto current = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  return at + margin <= current;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::optional<BinaryCache::Key> BinaryCache::keyOf(const std::string& path,
                                                   const std::string& bytes,
                                                   platform::BundleLayer& layer,
                                                   const ExecutableSite* site) {
  if (bytes.empty() || bytes.front() != '/') return std::nullopt;
  const LookupRoot* root = site ? site->root.get() : nullptr;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct statx sx {};
  if (look(bytes, sx, root) != Look::kFound || !S_ISREG(sx.stx_mode)) return std::nullopt;
  Key key;
  // What is found at the path, in the process's root, must be what it runs.
  key.executed =
      !site || !site->executed ||
      *site->executed == FileIdentity{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
  key.settled = settled(sx, now);
  // The name comes from the path: hard links to one file are told apart.
  key.bytes.reserve(bytes.size() * 2 + 96);
  key.bytes = bytes;
  key.bytes += '\0';
  if (path != bytes) key.bytes += path;
  key.bytes += '\0';
  appendIdentity(key.bytes, sx);
  // Two roots (two namespaces, or a chroot) may hold different files at one
  // path: each has entries of its own.
  if (root) {
    struct statx top {};
    if (::statx(root->fd(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, kIdentityMask, &top) != 0) {
      return std::nullopt;
    }
    key.bytes += 'r';
    appendIdentity(key.bytes, top);
  }
  // Each directory whose bundle could claim the file, as the search for it
  // goes: its Info.plist, or that it has none.
  std::string current = bytes;
  for (;;) {
    if (layer.mayHoldExecutable(current, bytes)) {
      std::string dir = withoutTrailingSlashes(current);
      struct statx info {};
      switch (look((dir == "/" ? std::string() : dir) + "/Contents/Info.plist", info, root)) {
        case Look::kUnknown:
          return std::nullopt;
        case Look::kAbsent:
          key.bytes += 'a';
          break;
        case Look::kFound:
          key.bytes += 'f';
          appendIdentity(key.bytes, info);
          key.settled = key.settled && settled(info, now);
          break;
      }
    }
    std::string parent = deletingLastPathComponent(current);
    if (parent == "/" || parent.empty()) break;
    current = std::move(parent);
  }
  return key;
}

std::shared_ptr<Binary> BinaryCache::find(const Key& key,
                                          const std::shared_ptr<platform::BundleLayer>& layer) {
  const auto now = Clock::now();
  std::lock_guard lock(mu_);
  const auto found = entries_.find(key.bytes);
  if (found == entries_.end() || found->second.layer != layer ||
      now - found->second.stored >= kLifetime) {
    return nullptr;
  }
  return found->second.binary;
}

void BinaryCache::store(const Key& key, std::shared_ptr<platform::BundleLayer> layer,
                        std::shared_ptr<Binary> binary) {
  if (!key.settled || !binary) return;
  Entry entry{std::move(binary), std::move(layer), Clock::now()};
  std::lock_guard lock(mu_);
  if (auto found = entries_.find(key.bytes); found != entries_.end()) {
    found->second = std::move(entry);
    return;
  }
  while (!order_.empty() && entries_.size() >= capacity_) {
    entries_.erase(order_.front());
    order_.pop_front();
  }
  entries_.emplace(key.bytes, std::move(entry));
  order_.push_back(key.bytes);
}

std::size_t BinaryCache::size() const {
  std::lock_guard lock(mu_);
  return entries_.size();
}

BinaryCache& BinaryCache::shared() {
  static auto* cache = new BinaryCache;  // used until the very end of the run
  return *cache;
}

bool isOfExecutedFile(const Binary& binary, const ExecutableSite& site) {
  if (!site.executed) return true;
  const auto& a = binary.attributes();
  if (!a) return false;
  const auto device = a->find("NSFileSystemNumber");
  const auto inode = a->find("NSFileSystemFileNumber");
  if (device == a->end() || inode == a->end()) return false;
  return static_cast<std::uint64_t>(device->second.integer().value_or(-1)) ==
             site.executed->device &&
         static_cast<std::uint64_t>(inode->second.integer().value_or(-1)) == site.executed->inode;
}

std::shared_ptr<Binary> inspectRemembered(const std::string& path, const std::string& bytes,
                                          const ExecutableSite* site) {
  auto& cache = BinaryCache::shared();
  auto layer = platform::Bundles::get();
  std::optional<BinaryCache::Key> key;
  // Where the process's mount is known, its locality is asked of the mount
  // table of its own namespace; else of the agent's, by the path.
  const bool inline_ = site && site->executed ? site->local && !inspection::leftAlone(bytes)
                                              : inspection::answersInline(bytes);
  if (inline_) {
    key = BinaryCache::keyOf(path, bytes, *layer, site);
    if (key && !key->executed) return nullptr;  // another file there now: not guessed at
    if (key) {
      if (auto hit = cache.find(*key, layer)) return hit;
    }
  }
  std::shared_ptr<const LookupRoot> root = site ? site->root : nullptr;
  auto inspected = inspection::bounded<std::shared_ptr<Binary>>(
      bytes, [path, bytes, root] { return Binary::init(path, bytes, root); });
  if (!inspected || !*inspected) return nullptr;
  if (site && !isOfExecutedFile(**inspected, *site)) return nullptr;
  if (key) cache.store(*key, std::move(layer), *inspected);
  return std::move(*inspected);
}

}  // namespace procscope
