#include "procscope/BinaryCache.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <variant>

#include "procscope/ApplicationIdentity.hpp"
#include "procscope/FileDescriptor.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/Utilities.hpp"
#include "procscope/platform/PropertyList.hpp"

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

// The digest of a property list's bytes: a write through a mapping held
// open changes them without changing the file's times, so a remembered
// bundle is checked against them on every hit, and parsed again only when
// they changed. Reached as look() reaches it; a file past the size any
// information dictionary may have is marked so (no bundle is made of it).
// At that size bound (1 MiB) this costs one read and SHA-256 of 1 MiB, about
// a millisecond; a real Info.plist is a few KiB.
Look appendContentDigest(std::string& out, const std::string& path, const LookupRoot* root) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | (root ? RESOLVE_IN_ROOT : 0);
  const int dir = root ? root->fd() : AT_FDCWD;
  const FileDescriptor located(
      static_cast<int>(::syscall(SYS_openat2, dir, path.c_str(), &how, sizeof how)));
  if (located.get() < 0)
    return errno == ENOENT || errno == ENOTDIR ? Look::kAbsent : Look::kUnknown;
  struct stat st {};
  if (::fstat(located.get(), &st) != 0) return Look::kUnknown;
  if (!S_ISREG(st.st_mode) || st.st_size <= 0 ||
      static_cast<std::size_t>(st.st_size) > platform::kMaxPropertyListBytes) {
    out += 'n';  // no dictionary is read from it
    return Look::kFound;
  }
  const FileDescriptor fd(
      ::open(descriptorPath(located.get()).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return Look::kUnknown;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return Look::kUnknown;
  char chunk[16384];
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Look::kUnknown;
    if (n == 0) break;
    total += static_cast<std::size_t>(n);
    if (total > platform::kMaxPropertyListBytes) {
      out += 'n';
      return Look::kFound;
    }
    if (EVP_DigestUpdate(ctx.get(), chunk, static_cast<std::size_t>(n)) != 1) return Look::kUnknown;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return Look::kUnknown;
  out += 'd';
  out.append(reinterpret_cast<const char*>(digest), length);
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

// Each value's own bytes and a fixed 48 for its node: near enough to bound
// the whole, which is what the estimate is for.
struct ValueBytes {
  static constexpr std::size_t kNode = 48;
  std::size_t operator()(const std::string& s) const { return kNode + s.size(); }
  std::size_t operator()(const Data& d) const { return kNode + d.size(); }
  std::size_t operator()(const Array& a) const {
    std::size_t n = kNode;
    for (const Value& v : a) n += std::visit(*this, v.storage());
    return n;
  }
  std::size_t operator()(const Dictionary& d) const {
    std::size_t n = kNode;
    for (const auto& [k, v] : d) n += kNode + k.size() + std::visit(*this, v.storage());
    return n;
  }
  std::size_t operator()(const auto&) const { return kNode; }
};

}  // namespace

bool BinaryCache::settledNow(const struct statx& sx) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return settled(sx, now);
}

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
  // goes (as far as it goes): its Info.plist, or that it has none.
  std::string current = bytes;
  for (std::size_t levels = 0; levels < platform::BundleLayer::kMaxLevels;) {
    if (layer.mayHoldExecutable(current, bytes)) {
      ++levels;
      std::string dir = withoutTrailingSlashes(current);
      struct statx info {};
      const std::string plist = (dir == "/" ? std::string() : dir) + "/Contents/Info.plist";
      switch (look(plist, info, root)) {
        case Look::kUnknown:
          return std::nullopt;
        case Look::kAbsent:
          key.bytes += 'a';
          break;
        case Look::kFound:
          key.bytes += 'f';
          appendIdentity(key.bytes, info);
          key.settled = key.settled && settled(info, now);
          if (appendContentDigest(key.bytes, plist, root) != Look::kFound) return std::nullopt;
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
  const std::size_t size = estimatedBytes(key.bytes, *binary);
  if (size > maxBytes_) return;
  Entry entry{std::move(binary), std::move(layer), Clock::now(), size};
  std::lock_guard lock(mu_);
  if (auto found = entries_.find(key.bytes); found != entries_.end()) {
    bytes_ -= found->second.bytes;
    found->second = std::move(entry);
    bytes_ += size;
    // Served again as it was stored, it may now push the whole past the bound.
    while (bytes_ > maxBytes_ && order_.size() > 1) eraseOldest();
    return;
  }
  while (!order_.empty() && (entries_.size() >= capacity_ || bytes_ + size > maxBytes_)) {
    eraseOldest();
  }
  entries_.emplace(key.bytes, std::move(entry));
  order_.push_back(key.bytes);
  bytes_ += size;
}

void BinaryCache::eraseOldest() {
  if (auto found = entries_.find(order_.front()); found != entries_.end()) {
    bytes_ -= found->second.bytes;
    entries_.erase(found);
  }
  order_.pop_front();
}

std::size_t BinaryCache::size() const {
  std::lock_guard lock(mu_);
  return entries_.size();
}

std::size_t BinaryCache::bytes() const {
  std::lock_guard lock(mu_);
  return bytes_;
}

std::size_t BinaryCache::estimatedBytes(const std::string& key, const Binary& binary) {
  const ValueBytes walk;
  const auto text = [](const std::optional<std::string>& s) { return s ? s->size() : 0; };
  const auto dictionary = [&walk](const std::optional<Dictionary>& d) { return d ? walk(*d) : 0; };
  std::size_t n = 512 + 2 * key.size();  // the key is held twice: map and order
  n += text(binary.path()) + text(binary.fileSystemPath()) + text(binary.name()) +
       text(binary.bundleIdentifier()) + text(binary.sha256()) + text(binary.identifier());
  n += dictionary(binary.attributes()) + dictionary(binary.metadata()) +
       dictionary(binary.signingInfo());
  if (binary.bundle()) n += dictionary(binary.bundle()->infoDictionary());
  return n;
}

BinaryCache& BinaryCache::shared() {
  static auto* cache = new BinaryCache;  // used until the very end of the run
  return *cache;
}

std::shared_ptr<Binary> withApplicationIdentity(std::shared_ptr<Binary> binary,
                                                const ExecutableSite* site) {
  if (!binary) return binary;
  auto id = site ? sandboxApplicationId(*site) : std::nullopt;
  if (!id) id = binary->applicationIdentifierOfFile();
  if (id == binary->applicationIdentifier()) return binary;
  // The shared Binary is the file's, as it was when it was made; the sandbox
  // is this process's, and the desktop entries may have changed since.
  auto own = std::make_shared<Binary>(*binary);
  own->setApplicationIdentifier(std::move(id));
  return own;
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
                                          const ExecutableSite* site,
                                          std::function<void(std::shared_ptr<Binary>)> late) {
  auto& cache = BinaryCache::shared();
  auto layer = platform::Bundles::get();
  std::optional<BinaryCache::Key> key;
  // Where the process's mount is known, its locality is asked of the mount
  // table of its own namespace; else of the agent's, by the path.
  const inspection::MountId mount = site && site->mountId != 0
                                        ? inspection::mountWithReusableId(site->mountId)
                                        : inspection::mountOf(bytes);
  const bool inline_ = site && site->executed ? site->local && !inspection::leftAlone(mount)
                                              : inspection::answersInline(bytes);
  if (inline_) {
    key = BinaryCache::keyOf(path, bytes, *layer, site);
    if (key && !key->executed) return nullptr;  // another file there now: not guessed at
    if (key) {
      if (auto hit = cache.find(*key, layer)) return withApplicationIdentity(std::move(hit), site);
    }
  }
  std::function<void(std::shared_ptr<Binary>)> whenLate;
  if (late) {
    std::optional<ExecutableSite> lateSite;
    if (site) lateSite = *site;
    whenLate = [late = std::move(late), lateSite](std::shared_ptr<Binary> binary) {
      if (binary && (!lateSite || isOfExecutedFile(*binary, *lateSite))) {
        late(withApplicationIdentity(std::move(binary), lateSite ? &*lateSite : nullptr));
      }
    };
  }
  std::shared_ptr<const LookupRoot> root = site ? site->root : nullptr;
  auto inspected = inspection::bounded<std::shared_ptr<Binary>>(
      mount, [path, bytes, root] { return Binary::init(path, bytes, root); }, std::move(whenLate));
  if (!inspected || !*inspected) return nullptr;
  if (site && !isOfExecutedFile(**inspected, *site)) return nullptr;
  if (key) cache.store(*key, std::move(layer), *inspected);
  return withApplicationIdentity(std::move(*inspected), site);
}

}  // namespace procscope
