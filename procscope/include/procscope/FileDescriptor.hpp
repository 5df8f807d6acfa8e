// A file descriptor closed when its owner goes, and the one way the library
// opens files that a process or a bundle names.
#pragma once

#include <unistd.h>

#include <string>
#include <utility>

namespace procscope {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Where the paths of a process are looked up: its own root (a descriptor of
// /proc/<pid>/root), in its own mount namespace. Lookups through it resolve
// absolute symbolic links and ".." inside that root (RESOLVE_IN_ROOT), never
// in the agent's; a plain path under /proc/<pid>/root would let an absolute
// link escape.
class LookupRoot {
 public:
  explicit LookupRoot(FileDescriptor fd) : fd_(std::move(fd)) {}
  int fd() const { return fd_.get(); }

  // The root the calling thread's lookups go through until the scope ends:
  // `root`, or the agent's own where it is null. `unreachable` makes every
  // lookup fail (a root that is gone must not turn into the agent's own).
  class Scope {
   public:
    explicit Scope(const LookupRoot* root, bool unreachable = false);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    const LookupRoot* previous_;
    bool previousUnreachable_;
  };

 private:
  FileDescriptor fd_;
};

// Looks `path` up through the calling thread's root (LookupRoot::Scope):
// open(2) with `flags` for the agent's own, openat2(2) inside the process's
// root otherwise. `noSymlinks` refuses a symbolic link anywhere on the way.
FileDescriptor lookUp(const std::string& path, int flags, bool noSymlinks = false);

// Paths that users control may name a FIFO or a device, and opening a device
// can have effects of its own (a watchdog, a tape, a terminal). So the path is
// only looked up (O_PATH, which opens nothing), the descriptor examined, and
// only a regular file is reopened, through /proc/self/fd, which reaches the
// very file examined whatever happens to the path meanwhile.

// A descriptor naming the regular file at `path`, without opening it; -1 when
// there is none, with errno set (EINVAL for an item of another type).
// `followLinks` false examines a final symbolic link itself, which is then no
// regular file.
FileDescriptor locateRegularFile(const std::string& path, bool followLinks);

// The path through which the file a descriptor names is reached again.
std::string descriptorPath(int fd);

// The regular file at `path` (symbolic links followed), open for reading; -1
// when there is none or it cannot be read, with errno set.
FileDescriptor openRegularFile(const std::string& path);

}  // namespace procscope
