#include "procscope/ProcessIdentity.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

// The system call numbers are the same on every architecture (they were
// added after the tables were unified).
#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

namespace procscope {
namespace {

// "/proc/<pid>/stat" into `out` without the C library's formatting.
void statPath(std::int32_t pid, char (&out)[32]) {
  constexpr char kPrefix[] = "/proc/";
  std::size_t at = 0;
  for (const char* p = kPrefix; *p != '\0'; ++p) out[at++] = *p;
  char digits[12];
  std::size_t count = 0;
  auto value = static_cast<std::uint32_t>(pid);
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) out[at++] = digits[--count];
  for (const char* p = "/stat"; *p != '\0'; ++p) out[at++] = *p;
  out[at] = '\0';
}

}  // namespace

namespace pidfd {

int open(std::int32_t pid) noexcept {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int sendSignal(int fd, int sig, unsigned flags) noexcept {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, flags));
}

bool alive(int fd) noexcept {
  // Root may signal anything; a refusal still means the process is there.
  return sendSignal(fd, 0, 0) == 0 || errno == EPERM;
}

}  // namespace pidfd

std::optional<std::uint64_t> readStartTime(std::int32_t pid) noexcept {
  if (pid <= 0) return std::nullopt;
  char path[32];
  statPath(pid, path);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // The name is at most 64 bytes; the first 22 fields fit well within this.
  // /proc hands over the whole file in one read when it fits.
  char buf[1024];
  ssize_t n = 0;
  do {
    n = ::read(fd, buf, sizeof buf);
  } while (n < 0 && errno == EINTR);
  const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
  ::close(fd);
  // The name may hold anything, ')' too: the fields start after the last one.
  std::size_t close = got;
  for (std::size_t i = got; i > 0; --i) {
    if (buf[i - 1] == ')') {
      close = i - 1;
      break;
    }
  }
  if (close == got) return std::nullopt;
  // After ") " come fields 3, 4, ...: field 22 follows the 19th space.
  std::size_t field = 2;
  std::size_t i = close + 1;
  while (i < got && field < 22) {
    if (buf[i] == ' ') ++field;
    ++i;
  }
  if (field != 22 || i >= got || buf[i] < '0' || buf[i] > '9') return std::nullopt;
  std::uint64_t value = 0;
  for (; i < got && buf[i] >= '0' && buf[i] <= '9'; ++i) {
    value = value * 10 + static_cast<std::uint64_t>(buf[i] - '0');
  }
  return value;
}

std::shared_ptr<const ProcessIdentity> ProcessIdentity::pin(std::int32_t pid) {
  if (pid <= 0) return nullptr;
  const int fd = pidfd::open(pid);
  if (fd < 0) {
    // ESRCH: no such process; EINVAL: the number is only a thread's or a
    // group's whose leader has gone. Anything else (ENOSYS, EMFILE): pin by
    // the start time alone.
    if (errno == ESRCH || errno == EINVAL) return nullptr;
    auto started = readStartTime(pid);
    if (!started) return nullptr;
    return std::shared_ptr<const ProcessIdentity>(new ProcessIdentity(pid, -1, started));
  }
  // The pidfd names the process that held the number at the call: the kernel
  // refuses one for a number whose process was reaped (above), so it needs no
  // check of its own here. One reaped since is simply not alive on it, as any
  // pin's process may end. The start time is read only if asked for (see
  // startTime): a pin is taken for every process start, and is mostly never
  // used.
  return std::shared_ptr<const ProcessIdentity>(new ProcessIdentity(pid, fd, std::nullopt));
}

std::optional<std::uint64_t> ProcessIdentity::startTime() const {
  if (startTime_ || pidfd_ < 0) return startTime_;
  // Read while pinned: if the process is still unreaped afterwards, the
  // number was its own throughout and the start time is its.
  auto started = readStartTime(pid_);
  if (!started || !pidfd::alive(pidfd_)) return std::nullopt;
  return started;
}

std::shared_ptr<const ProcessIdentity> ProcessIdentity::vanished(std::int32_t pid) {
  return std::shared_ptr<const ProcessIdentity>(new ProcessIdentity(pid, -1, std::nullopt));
}

ProcessIdentity::~ProcessIdentity() {
  if (pidfd_ >= 0) ::close(pidfd_);
}

bool ProcessIdentity::alive() const {
  if (pidfd_ >= 0) return pidfd::alive(pidfd_);
  if (!startTime_) return false;
  return readStartTime(pid_) == startTime_;
}

}  // namespace procscope
