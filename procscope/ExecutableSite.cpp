#include "procscope/ExecutableSite.hpp"

#include <elf.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <string_view>

#include "procscope/Inspection.hpp"
#include "procscope/ProcessIdentity.hpp"

namespace procscope {

namespace {

constexpr unsigned kRootMask = STATX_INO | STATX_MNT_ID;

std::string procPath(std::int32_t pid, const char* what) {
  return "/proc/" + std::to_string(pid) + "/" + what;
}

FileIdentity identityOf(const struct statx& sx) {
  return {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
}

// The agent's own root, as the roots of others are compared with it.
struct OwnRoot {
  bool known = false;
  FileIdentity identity;
  std::uint64_t mountId = 0;
  std::uint64_t namespaceInode = 0;
};

const OwnRoot& ownRoot() {
  static const OwnRoot own = [] {
    OwnRoot o;
    struct statx sx {};
    struct stat ns {};
    if (::statx(AT_FDCWD, "/", 0, kRootMask, &sx) == 0 && (sx.stx_mask & kRootMask) == kRootMask &&
        ::stat("/proc/self/ns/mnt", &ns) == 0) {
      o = {true, identityOf(sx), sx.stx_mnt_id, ns.st_ino};
    }
    return o;
  }();
  return own;
}

// A root other than the agent's, as one process of it was found: its
// descriptor, the part of the namespace's paths that leads to it (a chroot),
// and its namespace. A process's root and namespace cost /proc lookups that
// allocate for every new pid, so they are kept for the processes that share
// them. The descriptor holds the root's mount, whose id (part of the key) is
// therefore not reused meanwhile; entries are few and short-lived, so they
// pin little, and a chroot moved since is seen within their lifetime.
struct KnownRoot {
  std::uint64_t mountId = 0;
  FileIdentity identity;
  std::shared_ptr<const LookupRoot> root;
  std::string prefix;  // empty: the namespace's own root
  std::uint64_t namespaceInode = 0;
  std::chrono::steady_clock::time_point seen;
};

class KnownRoots {
 public:
  static constexpr std::size_t kMax = 64;
  static constexpr std::chrono::seconds kLifetime{10};

  std::optional<KnownRoot> find(std::uint64_t mountId, const FileIdentity& identity) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mu_);
    // Those past their time let go of their mounts.
    std::erase_if(roots_, [&](const KnownRoot& k) { return now - k.seen >= kLifetime; });
    for (const auto& known : roots_) {
      if (known.mountId == mountId && known.identity == identity) return known;
    }
    return std::nullopt;
  }

  void keep(KnownRoot known) {
    std::lock_guard lock(mu_);
    std::erase_if(roots_, [&](const KnownRoot& k) {
      return k.mountId == known.mountId && k.identity == known.identity;
    });
    if (roots_.size() >= kMax) roots_.erase(roots_.begin());  // the oldest
    roots_.push_back(std::move(known));
  }

 private:
  std::mutex mu_;
  std::vector<KnownRoot> roots_;
};

KnownRoots& knownRoots() {
  static auto* roots = new KnownRoots;  // used until the very end of the run
  return *roots;
}

// The root of `pid` (statx'd as `sx`), read from /proc; none when /proc does
// not answer.
std::optional<KnownRoot> readRoot(std::int32_t pid, const struct statx& sx) {
  const std::string rootPath = procPath(pid, "root");
  KnownRoot known{sx.stx_mnt_id, identityOf(sx), nullptr, {}, 0, std::chrono::steady_clock::now()};
  FileDescriptor fd(::open(rootPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  // The descriptor must be of the root statx'd, not of one changed since.
  struct statx opened {};
  if (::statx(fd.get(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, kRootMask, &opened) != 0 ||
      opened.stx_mnt_id != known.mountId || identityOf(opened) != known.identity) {
    return std::nullopt;
  }
  known.root = std::make_shared<const LookupRoot>(std::move(fd));
  char rootName[PATH_MAX];
  const ssize_t n = ::readlink(rootPath.c_str(), rootName, sizeof rootName);
  if (n > 1 && static_cast<std::size_t>(n) < sizeof rootName) {
    known.prefix.assign(rootName, static_cast<std::size_t>(n));
  }
  struct stat ns {};
  if (::stat(procPath(pid, "ns/mnt").c_str(), &ns) != 0) return std::nullopt;
  if (ns.st_ino != ownRoot().namespaceInode) known.namespaceInode = ns.st_ino;
  return known;
}

// Fills the root and the namespace's locality for `pid`, whose executed file
// (`sx`, of `path`) is known. False when /proc does not answer.
bool placeIn(std::int32_t pid, const struct statx& sx, const std::string& path,
             ExecutableSite& site) {
  const OwnRoot& own = ownRoot();
  if (!own.known) return false;
  const std::string rootPath = procPath(pid, "root");
  struct statx root {};
  // Cached attributes only: a root on FUSE must not be asked.
  if (::statx(AT_FDCWD, rootPath.c_str(), AT_STATX_DONT_SYNC, kRootMask, &root) != 0 ||
      (root.stx_mask & kRootMask) != kRootMask) {
    return false;
  }
  site.executed = identityOf(sx);
  site.mountId = sx.stx_mnt_id;
  site.major = sx.stx_dev_major;
  site.minor = sx.stx_dev_minor;
  inspection::MountQuery query{pid, 0, sx.stx_mnt_id, sx.stx_dev_major, sx.stx_dev_minor, path};
  if (root.stx_mnt_id == own.mountId && identityOf(root) == own.identity) {
    site.local = inspection::mountIsLocal(query);
    return true;
  }
  // Another root (and perhaps another namespace): looked up through it.
  auto known = knownRoots().find(root.stx_mnt_id, identityOf(root));
  if (!known) {
    known = readRoot(pid, root);
    if (!known) return false;
    knownRoots().keep(*known);
  }
  site.root = known->root;
  // The executable's path runs from its namespace's root; a chroot below
  // that sees it without the part leading to the chroot.
  const std::string& inside = known->prefix;
  if (!inside.empty() && path.size() > inside.size() && path.starts_with(inside) &&
      path[inside.size()] == '/') {
    site.lookupPath = path.substr(inside.size());
  }
  query.namespaceInode = known->namespaceInode;
  // Mount points in a table are as its reader's root names them: a chroot's
  // path (from the namespace's root) does not match them, and is not local.
  site.local = inspection::mountIsLocal(query);
  return true;
}

// A getdents64 record.
struct linux_dirent64_view {
  std::uint64_t inode;
  std::int64_t offset;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

bool stillPinned(const ProcessIdentity* identity) {
  return !identity || !identity->verifiable() || identity->alive();
}

// A regular file's statx reached from `dir` by `name` (RESOLVE_IN_ROOT when
// `inRoot`; otherwise as the process would, bar absolute and magic links,
// which are refused, and in either case the identity is compared after).
std::optional<struct statx> statAt(int dir, const std::string& name, bool inRoot) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS | (inRoot ? RESOLVE_IN_ROOT : 0);
  FileDescriptor fd(static_cast<int>(::syscall(SYS_openat2, dir, name.c_str(), &how, sizeof how)));
  if (fd.get() < 0) return std::nullopt;
  struct statx sx {};
  if (::statx(fd.get(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &sx) != 0 ||
      !S_ISREG(sx.stx_mode)) {
    return std::nullopt;
  }
  return sx;
}

FileDescriptor directoryAt(int dir, const std::string& name, bool inRoot) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS | (inRoot ? RESOLVE_IN_ROOT : 0);
  return FileDescriptor(
      static_cast<int>(::syscall(SYS_openat2, dir, name.c_str(), &how, sizeof how)));
}

}  // namespace

std::optional<ExecutableSite> siteOfProcess(std::int32_t pid, const ProcessIdentity* identity,
                                            const std::string& path) {
  if (pid <= 0) return std::nullopt;
  // The magic link leads straight to the file; cached times only, so no
  // server is asked.
  struct statx sx {};
  if (::statx(AT_FDCWD, procPath(pid, "exe").c_str(), AT_STATX_DONT_SYNC, kRootMask, &sx) != 0 ||
      (sx.stx_mask & kRootMask) != kRootMask) {
    return std::nullopt;
  }
  ExecutableSite site;
  if (!placeIn(pid, sx, path, site)) return std::nullopt;
  // A number taken over meanwhile gave another process's root: asked of
  // the pin. In our own root it can only have given another executed file,
  // which the lookup's identity check turns into a judgement by name (and
  // the process it was about has ended): no question per start for that.
  if (site.root && !stillPinned(identity)) return std::nullopt;
  return site;
}

std::optional<ExecutedFile> executedFileOf(std::int32_t pid) {
  struct statx sx {};
  if (pid <= 0 ||
      ::statx(AT_FDCWD, procPath(pid, "exe").c_str(), AT_STATX_DONT_SYNC, kRootMask, &sx) != 0 ||
      (sx.stx_mask & kRootMask) != kRootMask) {
    return std::nullopt;
  }
  return ExecutedFile{identityOf(sx), sx.stx_mnt_id};
}

bool sharesOwnRoot(std::int32_t pid) {
  const OwnRoot& own = ownRoot();
  struct statx root {};
  return own.known && pid > 0 &&
         ::statx(AT_FDCWD, procPath(pid, "root").c_str(), AT_STATX_DONT_SYNC, kRootMask, &root) ==
             0 &&
         (root.stx_mask & kRootMask) == kRootMask && root.stx_mnt_id == own.mountId &&
         identityOf(root) == own.identity;
}

std::optional<ExecutableSite> siteOfExecFile(std::int32_t pid, int fd, const std::string& path) {
  struct statx sx {};
  if (pid <= 0 || ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, kRootMask, &sx) != 0 ||
      (sx.stx_mask & kRootMask) != kRootMask) {
    return std::nullopt;
  }
  ExecutableSite site;
  if (!placeIn(pid, sx, path, site)) return std::nullopt;
  return site;
}

void placeByName(ExecutableSite& site, FileDescriptor dir, const std::string& base) {
  // A bundle's main executable: its bundle is found from two levels up.
  // "/." is the bundle's directory itself: the search for an enclosing
  // bundle stops short of "/".
  FileDescriptor bundle = directoryAt(dir.get(), "../..", false);
  const std::string inBundle = "/./Contents/MacOS/" + base;
  site.local = false;  // no path to find its mount by: asked on the pool
  if (bundle.get() >= 0 && site.executed) {
    auto there = statAt(bundle.get(), inBundle, true);
    if (there && identityOf(*there) == *site.executed) {
      site.root = std::make_shared<const LookupRoot>(std::move(bundle));
      site.lookupPath = inBundle;
      return;
    }
  }
  site.root = std::make_shared<const LookupRoot>(std::move(dir));
  site.lookupPath = "/" + base;
}

namespace {

// The entry of `dir` that is `file`: a regular file, or with `directory` a
// directory. A directory on which another file system is mounted is listed
// with the inode beneath it, so with `mountRoot` every entry is looked at.
std::optional<std::string> entryNamed(int dir, const FileIdentity& file, std::size_t maxEntries,
                                      bool directory, bool mountRoot) {
  FileDescriptor listing(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listing.get() < 0) return std::nullopt;
  alignas(8) char buffer[16384];
  std::size_t seen = 0;
  for (;;) {
    const long got = ::syscall(SYS_getdents64, listing.get(), buffer, sizeof buffer);
    if (got <= 0) return std::nullopt;
    for (long at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const struct linux_dirent64_view*>(buffer + at);
      at += entry->reclen;
      if (++seen > maxEntries) return std::nullopt;
      if (!mountRoot && entry->inode != file.inode) continue;
      const std::string name(entry->name);
      if (name == "." || name == "..") continue;
      if (directory) {
        FileDescriptor there = directoryAt(dir, name, false);
        struct statx sx {};
        if (there.get() >= 0 &&
            ::statx(there.get(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_INO, &sx) == 0 &&
            identityOf(sx) == file) {
          return name;
        }
        continue;
      }
      auto sx = statAt(dir, name, false);
      if (sx && identityOf(*sx) == file) return name;
    }
  }
}

struct DirectoryIdentity {
  FileIdentity identity;
  bool mountRoot = false;
};

std::optional<DirectoryIdentity> directoryIdentity(int dir) {
  struct statx sx {};
  if (::statx(dir, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &sx) != 0 ||
      !S_ISDIR(sx.stx_mode)) {
    return std::nullopt;
  }
  return DirectoryIdentity{
      identityOf(sx), (sx.stx_attributes_mask & sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0};
}

// How far up a directory's absolute path is looked for, and how many entries
// of each directory on the way are looked at.
constexpr std::size_t kMaxPathLevels = 2048;
constexpr std::size_t kMaxEntriesPerLevel = 4096;

}  // namespace

std::optional<std::string> nameInDirectory(int dir, const FileIdentity& file,
                                           std::size_t maxEntries) {
  return entryNamed(dir, file, maxEntries, false, false);
}

std::optional<std::string> pathFromRoot(int dir, int root) {
  const auto top = directoryIdentity(root);
  if (!top) return std::nullopt;
  FileDescriptor current = directoryAt(dir, ".", false);
  std::vector<std::string> names;
  for (std::size_t level = 0; current.get() >= 0 && level < kMaxPathLevels; ++level) {
    const auto here = directoryIdentity(current.get());
    if (!here) return std::nullopt;
    if (here->identity == top->identity) {
      std::string path;
      for (auto name = names.rbegin(); name != names.rend(); ++name) path += "/" + *name;
      return path.empty() ? "/" : path;
    }
    FileDescriptor parent = directoryAt(current.get(), "..", false);
    const auto above = parent.get() >= 0 ? directoryIdentity(parent.get()) : std::nullopt;
    // The top of the namespace, and `root` never met: `dir` lies outside it.
    if (!above || above->identity == here->identity) return std::nullopt;
    auto name =
        entryNamed(parent.get(), here->identity, kMaxEntriesPerLevel, true, here->mountRoot);
    if (!name) return std::nullopt;
    names.push_back(std::move(*name));
    current = std::move(parent);
  }
  return std::nullopt;
}

std::optional<ExecutableSite> siteByName(std::int32_t pid, const ProcessIdentity* identity,
                                         const std::vector<std::string>& names,
                                         std::string& found) {
  auto site = siteOfProcess(pid, identity, std::string());
  if (!site || !site->executed) return std::nullopt;
  FileDescriptor cwd(::open(procPath(pid, "cwd").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  FileDescriptor root(::open(procPath(pid, "root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (cwd.get() < 0 || root.get() < 0 || !stillPinned(identity)) return std::nullopt;
  for (const std::string& name : names) {
    if (name.empty() || name.back() == '/') continue;
    const bool absolute = name.front() == '/';
    const auto slash = name.rfind('/');
    const std::string dirName = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    FileDescriptor dir = directoryAt(absolute ? root.get() : cwd.get(), dirName, absolute);
    if (dir.get() < 0) continue;
    auto file = statAt(dir.get(), base, false);
    if (!file || identityOf(*file) != *site->executed) continue;
    // The whole path where it can be told, so that an entry that long
    // matches; else the name as given.
    const auto above = pathFromRoot(dir.get(), root.get());
    found = above ? (*above == "/" ? "" : *above) + "/" + base : name;
    placeByName(*site, std::move(dir), base);
    return site;
  }
  return std::nullopt;
}

std::optional<std::string> execFileName(std::int32_t pid) {
  FileDescriptor auxv(::open(procPath(pid, "auxv").c_str(), O_RDONLY | O_CLOEXEC));
  if (auxv.get() < 0) return std::nullopt;
  Elf64_auxv_t entries[64];
  const ssize_t got = ::read(auxv.get(), entries, sizeof entries);
  if (got <= 0) return std::nullopt;
  std::uint64_t at = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof entries[0]; ++i) {
    if (entries[i].a_type == AT_EXECFN) at = entries[i].a_un.a_val;
    if (entries[i].a_type == AT_NULL) break;
  }
  if (at == 0) return std::nullopt;
  FileDescriptor mem(::open(procPath(pid, "mem").c_str(), O_RDONLY | O_CLOEXEC));
  if (mem.get() < 0) return std::nullopt;
  // The kernel takes exec names of at most PATH_MAX bytes.
  std::string name(PATH_MAX, '\0');
  const ssize_t n = ::pread(mem.get(), name.data(), name.size(), static_cast<off_t>(at));
  if (n <= 0) return std::nullopt;
  name.resize(::strnlen(name.data(), static_cast<std::size_t>(n)));
  if (name.empty()) return std::nullopt;
  return name;
}

}  // namespace procscope
