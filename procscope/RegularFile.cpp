#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>

#include "procscope/FileDescriptor.hpp"

namespace procscope {

namespace {

thread_local const LookupRoot* currentRoot = nullptr;
thread_local bool currentUnreachable = false;

}  // namespace

LookupRoot::Scope::Scope(const LookupRoot* root, bool unreachable)
    : previous_(currentRoot), previousUnreachable_(currentUnreachable) {
  currentRoot = root;
  currentUnreachable = unreachable;
}

LookupRoot::Scope::~Scope() {
  currentRoot = previous_;
  currentUnreachable = previousUnreachable_;
}

FileDescriptor lookUp(const std::string& path, int flags, bool noSymlinks) {
  if (currentUnreachable) {
    errno = ENOENT;
    return FileDescriptor(-1);
  }
  if (!currentRoot && !noSymlinks) return FileDescriptor(::open(path.c_str(), flags));
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  // Magic links (/proc/<pid>/fd/...) would lead out of the root.
  how.resolve = noSymlinks ? RESOLVE_NO_SYMLINKS : RESOLVE_NO_MAGICLINKS;
  if (currentRoot) how.resolve |= RESOLVE_IN_ROOT;
  const int dir = currentRoot ? currentRoot->fd() : AT_FDCWD;
  return FileDescriptor(
      static_cast<int>(::syscall(SYS_openat2, dir, path.c_str(), &how, sizeof how)));
}

FileDescriptor locateRegularFile(const std::string& path, bool followLinks) {
  const int flags = O_PATH | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
  FileDescriptor fd = lookUp(path, flags);
  if (fd.get() < 0) return fd;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return FileDescriptor(-1);
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return FileDescriptor(-1);
  }
  return fd;
}

std::string descriptorPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

FileDescriptor openRegularFile(const std::string& path) {
  FileDescriptor located = locateRegularFile(path, true);
  if (located.get() < 0) return located;
  return FileDescriptor(
      ::open(descriptorPath(located.get()).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
}

}  // namespace procscope
