#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "procscope/FileDescriptor.hpp"

namespace procscope {

FileDescriptor locateRegularFile(const std::string& path, bool followLinks) {
  const int flags = O_PATH | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
  FileDescriptor fd(::open(path.c_str(), flags));
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
