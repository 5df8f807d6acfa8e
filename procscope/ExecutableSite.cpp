#include "procscope/ExecutableSite.hpp"

#include <elf.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
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
  FileDescriptor fd(::open(rootPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  site.root = std::make_shared<const LookupRoot>(std::move(fd));
  // The executable's path runs from its namespace's root; a chroot below
  // that sees it without the part leading to the chroot.
  char rootName[PATH_MAX];
  const ssize_t n = ::readlink(rootPath.c_str(), rootName, sizeof rootName);
  if (n > 1 && static_cast<std::size_t>(n) < sizeof rootName) {
    const std::string_view inside(rootName, static_cast<std::size_t>(n));
    if (path.size() > inside.size() && path.starts_with(inside) && path[inside.size()] == '/') {
      site.lookupPath = path.substr(inside.size());
    }
  }
  struct stat ns {};
  if (::stat(procPath(pid, "ns/mnt").c_str(), &ns) != 0) return false;
  if (ns.st_ino != own.namespaceInode) query.namespaceInode = ns.st_ino;
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
  if (!placeIn(pid, sx, path, site) || !stillPinned(identity)) return std::nullopt;
  return site;
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

std::optional<std::string> nameInDirectory(int dir, const FileIdentity& file,
                                           std::size_t maxEntries) {
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
      if (entry->inode != file.inode) continue;
      const std::string name(entry->name);
      auto sx = statAt(dir, name, false);
      if (sx && identityOf(*sx) == file) return name;
    }
  }
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
    found = name;
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
