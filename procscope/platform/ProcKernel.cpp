// Kernel process queries on Linux, read from /proc, and the readers of the
// argument area they produce. These run for every process start the monitor
// sees, and the agent must kill within a couple of milliseconds, so they use
// plain syscalls into stack buffers where the size is bounded, and nothing
// heavier than std::from_chars to parse.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "procscope/FileDescriptor.hpp"
#include "procscope/Utf8.hpp"
#include "procscope/platform/Kernel.hpp"
#include "procscope/platform/ParentTable.hpp"

namespace procscope::platform {

namespace procfs {

namespace {

template <class T>
std::optional<T> leadingNumber(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::optional<std::int32_t> parentFromStat(std::string_view stat) {
  // "pid (comm) state ppid ...": only numbers follow the last ")".
  auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  if (rest.empty() || rest[0] != ' ') return std::nullopt;
  rest.remove_prefix(1);
  auto stateEnd = rest.find(' ');
  if (stateEnd == 0 || stateEnd == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(stateEnd + 1);
  auto ppid = leadingNumber<std::int32_t>(rest);
  if (!ppid || *ppid < 0) return std::nullopt;
  return ppid;
}

std::optional<std::uint32_t> effectiveUidFromStatus(std::string_view status) {
  constexpr std::string_view kKey = "Uid:";
  std::size_t at = 0;
  while (at < status.size()) {
    std::size_t eol = status.find('\n', at);
    std::string_view line =
        status.substr(at, eol == std::string_view::npos ? std::string_view::npos : eol - at);
    if (line.substr(0, kKey.size()) == kKey) {
      line.remove_prefix(kKey.size());
      // Real, effective, saved and filesystem IDs; the second is wanted.
      for (int field = 0; field < 2; ++field) {
        std::size_t skip = 0;
        while (skip < line.size() && isBlank(line[skip])) ++skip;
        if (skip == 0) return std::nullopt;
        line.remove_prefix(skip);
        if (field == 0) {
          std::size_t digits = 0;
          while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
          if (digits == 0) return std::nullopt;
          line.remove_prefix(digits);
        }
      }
      return leadingNumber<std::uint32_t>(line);
    }
    if (eol == std::string_view::npos) break;
    at = eol + 1;
  }
  return std::nullopt;
}

std::string assembleArgumentArea(std::string_view cmdline,
                                 std::optional<std::string_view> environment, std::string_view path,
                                 std::size_t capacity) {
  // Every NUL ends one argument; a last piece without one (a process that
  // rewrote its argument area) is still an argument and gets its NUL here.
  std::int64_t count = 0;
  for (char c : cmdline) count += c == '\0';
  bool unterminated = !cmdline.empty() && cmdline.back() != '\0';
  count += unterminated;
  auto argc = static_cast<std::int32_t>(count > INT32_MAX ? INT32_MAX : count);

  // The path is padded to an 8-byte boundary, with at least one NUL.
  std::size_t pathEnd = sizeof argc + path.size() + 1;
  std::size_t padded = (pathEnd + 7) / 8 * 8;

  std::string area;
  area.reserve(padded + cmdline.size() + unterminated +
               (environment ? environment->size() + 1 : 0));
  area.append(reinterpret_cast<const char*>(&argc), sizeof argc);
  area.append(path);
  area.append(padded - sizeof argc - path.size(), '\0');
  area.append(cmdline);
  if (unterminated) area.push_back('\0');
  if (environment && !environment->empty()) {
    area.append(*environment);
    if (environment->back() != '\0') area.push_back('\0');
  }
  if (area.size() > capacity) area.resize(capacity);
  return area;
}

}  // namespace procfs

namespace argarea {

namespace {
constexpr std::size_t kCountSize = sizeof(std::int32_t);
}

std::optional<std::string> executablePath(std::string_view area) {
  if (area.size() <= kCountSize) return std::nullopt;
  std::string_view path = area.substr(kCountSize);
  return std::string(path.substr(0, path.find('\0')));
}

std::vector<std::string> arguments(std::string_view area) {
  std::vector<std::string> out;
  if (area.size() <= kCountSize) return out;
  const std::size_t end = area.size();

  // Past the executable path, then past its NUL padding.
  std::size_t cursor = area.find('\0', kCountSize);
  if (cursor == std::string_view::npos) return out;
  while (cursor < end && area[cursor] == '\0') ++cursor;
  if (cursor == end) return out;

  std::int32_t argc = 0;
  std::memcpy(&argc, area.data(), sizeof argc);
  // A count of 0 or below would never be reached, and scanning on would take
  // in the environment as arguments: collect nothing instead.
  if (argc <= 0) return out;
  const auto wanted = static_cast<std::size_t>(argc);

  std::size_t start = cursor;
  for (; cursor < end; ++cursor) {
    if (area[cursor] != '\0') continue;
    // Linux argument bytes need not be UTF-8; keep them readable rather than drop them.
    out.push_back(decodeLossy(area.substr(start, cursor - start)));
    if (out.size() == wanted) break;
    start = cursor + 1;
  }
  return out;
}

}  // namespace argarea

namespace {

// "/proc/<pid>/<leaf>" in a caller's stack buffer.
class ProcPath {
 public:
  ProcPath(std::int32_t pid, std::string_view leaf) {
    constexpr std::string_view kRoot = "/proc/";
    char* at = buffer_;
    std::memcpy(at, kRoot.data(), kRoot.size());
    at += kRoot.size();
    at = std::to_chars(at, buffer_ + sizeof buffer_, pid).ptr;
    *at++ = '/';
    std::size_t room = static_cast<std::size_t>(buffer_ + sizeof buffer_ - at) - 1;
    std::size_t n = leaf.size() < room ? leaf.size() : room;
    std::memcpy(at, leaf.data(), n);
    at[n] = '\0';
  }
  const char* c_str() const { return buffer_; }

 private:
  char buffer_[48];
};

FileDescriptor openForReading(const char* path) {
  return FileDescriptor(::open(path, O_RDONLY | O_CLOEXEC));
}

ssize_t readRetrying(int fd, char* into, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, into, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// /proc generates these files whole on each read and hands over all that fits,
// so a read that does not fill the buffer has reached the end: no second read
// (a syscall costs microseconds here, and they add up per process start).

// Reads up to `size` bytes into a fixed buffer; -1 when the file cannot be read.
ssize_t readInto(const char* path, char* into, std::size_t size) {
  const FileDescriptor fd = openForReading(path);
  if (fd.get() < 0) return -1;
  return readRetrying(fd.get(), into, size);
}

// Reads a whole file of unknown size, at most `limit` bytes.
bool readWhole(const char* path, std::string& out, std::size_t limit) {
  const FileDescriptor fd = openForReading(path);
  if (fd.get() < 0) return false;
  out.clear();
  char chunk[4096];
  while (out.size() < limit) {
    std::size_t want = limit - out.size() < sizeof chunk ? limit - out.size() : sizeof chunk;
    ssize_t n = readRetrying(fd.get(), chunk, want);
    if (n < 0) return false;
    out.append(chunk, static_cast<std::size_t>(n));
    if (static_cast<std::size_t>(n) < want) break;
  }
  return true;
}

std::optional<std::string> readLink(const char* path) {
  char stackBuffer[4096];
  ssize_t n = ::readlink(path, stackBuffer, sizeof stackBuffer);
  if (n < 0) return std::nullopt;
  if (static_cast<std::size_t>(n) < sizeof stackBuffer) {
    return std::string(stackBuffer, static_cast<std::size_t>(n));
  }
  // Longer than a page: grow until the whole target fits.
  std::string target(2 * sizeof stackBuffer, '\0');
  for (;;) {
    n = ::readlink(path, target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return target;
    }
    if (target.size() >= (std::size_t{1} << 20)) return std::nullopt;
    target.resize(target.size() * 2);
  }
}

// The /proc/<pid>/stat files of the processes asked about most recently, held
// open. Every start walks its ancestors, mostly the same few long-lived
// processes, and a held file costs one read where a fresh one costs three
// syscalls. A file belongs to its process, not to the number: once that
// process has been reaped the file reads nothing (ESRCH), even when the
// number has passed to another, so a held file never answers for another
// process; it is dropped and the number opened afresh.
class StatFiles {
 public:
  ssize_t read(std::int32_t pid, char* into, std::size_t size) {
    if (auto held = find(pid)) {
      ssize_t n = preadRetrying(held->get(), into, size);
      if (n > 0) return n;
      drop(pid, held);
    }
    auto fresh = std::make_shared<FileDescriptor>(
        ::open(ProcPath(pid, "stat").c_str(), O_RDONLY | O_CLOEXEC));
    if (fresh->get() < 0) return -1;
    ssize_t n = preadRetrying(fresh->get(), into, size);
    if (n > 0) keep(pid, std::move(fresh));
    return n;
  }

 private:
  static constexpr std::size_t kHeld = 64;
  struct Entry {
    std::int32_t pid;
    std::shared_ptr<FileDescriptor> file;  // shared: a reader may still use a dropped one
    std::uint64_t lastUse;
  };

  static ssize_t preadRetrying(int fd, char* into, std::size_t size) {
    for (;;) {
      ssize_t n = ::pread(fd, into, size, 0);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

  std::shared_ptr<FileDescriptor> find(std::int32_t pid) {
    std::lock_guard lock(mu_);
    for (auto& e : entries_) {
      if (e.pid == pid) {
        e.lastUse = ++clock_;
        return e.file;
      }
    }
    return nullptr;
  }

  void drop(std::int32_t pid, const std::shared_ptr<FileDescriptor>& file) {
    std::lock_guard lock(mu_);
    std::erase_if(entries_, [&](const Entry& e) { return e.pid == pid && e.file == file; });
  }

  void keep(std::int32_t pid, std::shared_ptr<FileDescriptor> file) {
    std::lock_guard lock(mu_);
    for (const auto& e : entries_) {
      if (e.pid == pid) return;  // another thread held it meanwhile
    }
    if (entries_.size() >= kHeld) {
      auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                     [](auto& a, auto& b) { return a.lastUse < b.lastUse; });
      entries_.erase(oldest);
    }
    entries_.push_back({pid, std::move(file), ++clock_});
  }

  std::mutex mu_;
  std::vector<Entry> entries_;
  std::uint64_t clock_ = 0;
};

class ProcKernel final : public KernelQueries {
 public:
  std::int32_t parentID(std::int32_t pid) override {
    if (pid == 0) return 0;
    if (pid < 0) return -1;
    ParentTable& table = ParentTable::shared();
    std::uint64_t epoch = UINT64_MAX;
    if (auto known = table.parentOf(pid, epoch)) return *known;
    // comm is at most 64 bytes, so field 4 always lies in the first kilobyte.
    char line[1024];
    ssize_t n = statFiles_.read(pid, line, sizeof line);
    if (n <= 0) return -1;
    const std::string_view stat(line, static_cast<std::size_t>(n));
    auto parent = procfs::parentFromStat(stat);
    if (!parent) return -1;
    // An ended process sends no event when it is reaped: only a live one is
    // kept, whose exit will come and take it out again.
    const auto close = stat.rfind(')');
    const char state = close + 2 < stat.size() ? stat[close + 2] : 'X';
    if (state != 'Z' && state != 'X' && state != 'x') table.learn(pid, *parent, epoch);
    return *parent;
  }

  std::optional<std::uint32_t> effectiveUser(std::int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    // Name (escaped, at most 256 bytes) and a few short lines come before "Uid:".
    char text[4096];
    ssize_t n = readInto(ProcPath(pid, "status").c_str(), text, sizeof text);
    if (n <= 0) return std::nullopt;
    return procfs::effectiveUidFromStatus(std::string_view(text, static_cast<std::size_t>(n)));
  }

  std::optional<std::string> executablePath(std::int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    return readLink(ProcPath(pid, "exe").c_str());
  }

  std::int64_t argumentAreaMax() override { return ::sysconf(_SC_ARG_MAX); }

  std::optional<std::string> argumentArea(std::int32_t pid, std::size_t capacity) override {
    if (pid <= 0) return std::nullopt;
    std::string cmdline;
    if (!readWhole(ProcPath(pid, "cmdline").c_str(), cmdline, capacity)) return std::nullopt;
    // A zombie (or a kernel thread) has neither: no area, so that a path
    // already known is kept rather than replaced by an empty one.
    std::string path = executablePath(pid).value_or(std::string());
    if (path.empty() && cmdline.empty()) return std::nullopt;
    std::string environment;
    bool haveEnvironment = readWhole(ProcPath(pid, "environ").c_str(), environment,
                                     capacity - std::min(capacity, cmdline.size()));
    return procfs::assembleArgumentArea(
        cmdline, haveEnvironment ? std::optional<std::string_view>(environment) : std::nullopt,
        path, capacity);
  }

  std::optional<ExecutableSite> executableSite(std::int32_t pid, const ProcessIdentity* identity,
                                               const std::string& path) override {
    return siteOfProcess(pid, identity, path);
  }

  std::optional<ExecutedFile> executedFile(std::int32_t pid) override {
    return executedFileOf(pid);
  }

  std::optional<ExecutableSite> executableSiteByName(std::int32_t pid,
                                                     const ProcessIdentity* identity,
                                                     const std::vector<std::string>& names,
                                                     std::string& found) override {
    return siteByName(pid, identity, names, found);
  }

  std::optional<std::string> execFileName(std::int32_t pid) override {
    return procscope::execFileName(pid);
  }

  std::optional<bool> executableUnlinked(std::int32_t pid) override {
    if (pid <= 0) return std::nullopt;
    struct stat st {};
    if (::stat(ProcPath(pid, "exe").c_str(), &st) != 0) return std::nullopt;
    return st.st_nlink == 0;
  }

  bool isAlive(std::int32_t pid) override {
    if (::kill(pid, 0) == 0) return true;
    return errno != ESRCH;
  }

  std::vector<std::int32_t> allPids() override {
    std::vector<std::int32_t> pids;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) return pids;
    while (const dirent* entry = ::readdir(dir)) {
      std::string_view name(entry->d_name);
      std::int32_t pid = 0;
      auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
      if (ec == std::errc() && end == name.data() + name.size() && pid > 0) pids.push_back(pid);
    }
    ::closedir(dir);
    return pids;
  }

 private:
  StatFiles statFiles_;
};

class AbsentKernel final : public KernelQueries {
 public:
  std::int32_t parentID(std::int32_t) override { return -1; }
  std::optional<std::uint32_t> effectiveUser(std::int32_t) override { return std::nullopt; }
  std::optional<std::string> executablePath(std::int32_t) override { return std::nullopt; }
  std::int64_t argumentAreaMax() override { return ::sysconf(_SC_ARG_MAX); }
  std::optional<std::string> argumentArea(std::int32_t, std::size_t) override {
    return std::nullopt;
  }
  bool isAlive(std::int32_t) override { return false; }
  std::vector<std::int32_t> allPids() override { return {}; }
  // A trail from elsewhere must not pin whatever holds its pids here.
  std::shared_ptr<const ProcessIdentity> pin(std::int32_t) override { return nullptr; }
};

}  // namespace

std::shared_ptr<const ProcessIdentity> KernelQueries::pin(std::int32_t pid) {
  return ProcessIdentity::pin(pid);
}

std::optional<bool> KernelQueries::executableUnlinked(std::int32_t) {
  return std::nullopt;
}

std::optional<ExecutableSite> KernelQueries::executableSite(std::int32_t, const ProcessIdentity*,
                                                            const std::string&) {
  return ExecutableSite{};
}

std::optional<ExecutedFile> KernelQueries::executedFile(std::int32_t) {
  return std::nullopt;
}

std::optional<ExecutableSite> KernelQueries::executableSiteByName(std::int32_t,
                                                                  const ProcessIdentity*,
                                                                  const std::vector<std::string>&,
                                                                  std::string&) {
  return std::nullopt;
}

std::optional<std::string> KernelQueries::execFileName(std::int32_t) {
  return std::nullopt;
}

std::shared_ptr<KernelQueries> makeAbsentKernel() {
  return std::make_shared<AbsentKernel>();
}

template <>
std::shared_ptr<KernelQueries> makeDefaultService<KernelQueries>() {
  return std::make_shared<ProcKernel>();
}

}  // namespace procscope::platform
