#include "procblock/platform/DenyExec.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "procblock/Verdict.hpp"
#include "procscope/Binary.hpp"
#include "procscope/BinaryCache.hpp"
#include "procscope/Digest.hpp"
#include "procscope/ExecutableSite.hpp"
#include "procscope/FileDescriptor.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/Log.hpp"
#include "procscope/Process.hpp"
#include "procscope/ThreadPriority.hpp"
#include "procscope/Utf8.hpp"

namespace procblock::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Linux 6.13: an event whose file the kernel could not open for the listener
// carries the error instead of failing the read. (The kernel has denied its
// exec by then either way.)
constexpr unsigned kReportFdError = 0x00002000;

// An event is judged only while the inspection's deadline still ends, with a
// margin, before the answer's: past that it is allowed unjudged.
constexpr auto kJudgeWindow =
    kAnswerDeadline - procscope::inspection::kDeadline - std::chrono::milliseconds(30);

// Left of the answer's deadline for judging and answering after the digest.
constexpr auto kAnswerMargin = std::chrono::milliseconds(20);

std::atomic<int> listenerDescriptor{-1};

void closeInChild() {
  const int fd = listenerDescriptor.load(std::memory_order_relaxed);
  if (fd >= 0) ::close(fd);
}

// Events taken per read: the kernel opens one descriptor for each.
constexpr std::size_t kEventsPerRead = 32;

void logOnce(bool& logged, const std::string& message) {
  if (logged) return;
  logged = true;
  procscope::logMessage(message);
}

void fallBack(const std::string& why) {
  procscope::logMessage("Deny before exec: " + why + "; falling back to the kill");
}

// File systems never marked: the kernel opens each event's file for the
// listener, and on these that open is a request to a server (over the
// network, or a user's process for FUSE) that may never answer, while every
// exec on the machine waits behind it. Their programs are left to the kill.
bool servedRemotely(std::string_view type) {
  static constexpr std::string_view kServed[] = {
      "nfs",    "nfs4",  "cifs",     "smb3",      "smbfs", "9p",    "ceph",     "afs",
      "coda",   "ncpfs", "lustre",   "glusterfs", "gfs2",  "ocfs2", "orangefs", "pvfs2",
      "beegfs", "gpfs",  "virtiofs", "vboxsf",    "davfs", "autofs"};
  return type == "fuse" || type == "fuseblk" || type.starts_with("fuse.") ||
         std::find(std::begin(kServed), std::end(kServed), type) != std::end(kServed);
}

// Whether `path` is one of the mount points or lies under one.
bool lies(const std::string& path, const std::vector<std::string>& points) {
  return std::any_of(points.begin(), points.end(), [&](const std::string& point) {
    return path.starts_with(point) &&
           (path.size() == point.size() || point.back() == '/' || path[point.size()] == '/');
  });
}

// Whether a layer of an overlay (its super options) lies on a file system
// left out.
bool layerLeftOut(std::string_view options, const std::vector<std::string>& leftOut) {
  const auto layers = procscope::inspection::overlayLayers(options);
  return std::any_of(layers.begin(), layers.end(),
                     [&](const std::string& layer) { return lies(layer, leftOut); });
}

// The file of the event's descriptor, as bytes. The kernel marks a file
// unlinked since it was opened " (deleted)"; the mark is no part of the name
// when the file has indeed no link left.
std::optional<std::string> pathOfDescriptor(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string bytes(4096, '\0');
  const ssize_t got = ::readlink(link.c_str(), bytes.data(), bytes.size());
  if (got <= 0 || static_cast<size_t>(got) >= bytes.size()) return std::nullopt;
  bytes.resize(static_cast<size_t>(got));
  constexpr std::string_view kDeleted = " (deleted)";
  struct stat st {};
  if (bytes.ends_with(kDeleted) && ::fstat(fd, &st) == 0 && st.st_nlink == 0) {
    bytes.resize(bytes.size() - kDeleted.size());
  }
  return bytes;
}

// Files recently judged harmless. Nearly every exec is of a program (and a
// loader) run many times over, and each permission event is a round trip
// that every exec waits for. So a harmless file gets an ignore mark on its
// inode: the kernel asks no more about it until it is modified or the marks
// are flushed, every kAllowedFor (its bundle's property list may change
// unseen meanwhile, or another name be given to it: the kill covers those).
// Where a mark cannot be added, the listener remembers the file itself, by
// path and identity.
constexpr auto kAllowedFor = std::chrono::seconds(10);
constexpr std::size_t kAllowedMax = 4096;
std::unordered_map<std::string, Clock::time_point> allowedFiles;  // listener only
std::atomic<std::size_t> ignoreMarks{0};

// The path's bytes and the file's device, inode and change times (as
// cached: no round trip to a file system's server); none when unknown.
std::optional<std::string> fileKey(int fd, const std::string& bytes) {
  struct statx st {};
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_INO | STATX_MTIME | STATX_CTIME,
              &st) != 0) {
    return std::nullopt;
  }
  const std::uint64_t identity[] = {
      st.stx_dev_major,     st.stx_dev_minor,
      st.stx_ino,           static_cast<std::uint64_t>(st.stx_mtime.tv_sec),
      st.stx_mtime.tv_nsec, static_cast<std::uint64_t>(st.stx_ctime.tv_sec),
      st.stx_ctime.tv_nsec};
  std::string key(reinterpret_cast<const char*>(identity), sizeof identity);
  key += bytes;
  return key;
}

// Entries of a working directory looked through for an exec's file.
constexpr std::size_t kNameScanEntries = 4096;

// The exec of a file whose path is longer than PATH_MAX (readlink refuses
// it): the process's old image still runs, so its arguments are not the new
// program's; the usual `./prog` after a `cd` is found by the file's identity
// in the working directory. The name as the record shows it, with `site`
// made to look up from there; none (logged, the kill judges it) otherwise.
std::optional<std::string> learnByName(std::int32_t pid, procscope::ExecutableSite& site) {
  static bool logged = false;
  std::optional<std::string> name;
  const std::string cwdPath = "/proc/" + std::to_string(pid) + "/cwd";
  procscope::FileDescriptor cwd(::open(cwdPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct statx where {};
  // Only a directory on the executed file's own mount, and a local one, is
  // listed here: every exec on the machine waits meanwhile.
  if (site.executed && site.local && cwd.get() >= 0 &&
      ::statx(cwd.get(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_MNT_ID, &where) == 0 &&
      where.stx_mnt_id == site.mountId) {
    name = procscope::nameInDirectory(cwd.get(), *site.executed, kNameScanEntries);
  }
  if (!name) {
    logOnce(logged,
            "Deny before exec: an executable whose path is too long was not found in "
            "its starter's working directory; left to the kill");
    return std::nullopt;
  }
  procscope::placeByName(site, std::move(cwd), *name);
  return "./" + *name;
}

// A file not hashed before is hashed on the permission path only up to this
// size (about 15 ms of CPU): every exec on the machine waits meanwhile, and
// any user can make new large files. A larger one is left to the kill, which
// hashes it at its start and remembers it for its next exec here.
constexpr std::uint64_t kMaxHashedWhileWaiting = std::uint64_t{16} * 1024 * 1024;

// The digest of the event's file, read through its own descriptor (a copy:
// the step may outlive the answer) and ended by `until`; none past that.
std::optional<std::string> digestBy(int fd, const std::optional<procscope::ExecutableSite>& site,
                                    const std::string& bytes, Clock::time_point until) {
  const bool local = site && site->local;
  if (local) {
    if (auto kept = procscope::digest::rememberedFor(fd)) return kept;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) > kMaxHashedWhileWaiting) {
    return std::nullopt;
  }
  auto copy = std::make_shared<procscope::FileDescriptor>(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (copy->get() < 0) return std::nullopt;
  auto found = std::make_shared<std::optional<std::string>>();
  const auto mount = site && site->mountId != 0
                         ? procscope::inspection::mountWithReusableId(site->mountId)
                         : procscope::inspection::mountOf(bytes);
  if (!procscope::inspection::runUntil(mount, until, [copy, local, found] {
        *found = procscope::digest::ofOpenFile(copy->get(), local);
      })) {
    return std::nullopt;
  }
  return *found;
}

// True when the exec of the event's file by `pid` is to be denied; the
// answer is due by `answerBy`.
bool judge(int fanotify, int fd, std::int32_t pid, Clock::time_point answerBy) {
  auto bytes = pathOfDescriptor(fd);
  if (bytes && (bytes->empty() || (*bytes)[0] != '/')) return false;
  // Where the exec'ing process lives (its root and mount namespace).
  auto site = procscope::siteOfExecFile(pid, fd, bytes.value_or(std::string()));
  // Where that cannot be read, the file's own name still is certain.
  if (!bytes && !site) return false;
  if (!bytes) {
    bytes = learnByName(pid, *site);
    if (!bytes) return false;
  }
  const auto now = Clock::now();
  auto key = site && site->lookupPath ? std::nullopt : fileKey(fd, *bytes);
  if (key) {
    const auto found = allowedFiles.find(*key);
    if (found != allowedFiles.end() && now - found->second < kAllowedFor) return false;
  }
  auto record = procscope::Process::init();
  record->setPid(pid);
  record->setPathBytes(*bytes);
  const std::string path = *record->path();
  auto binary = site ? procscope::inspectRemembered(path, site->lookupPath.value_or(*bytes), &*site)
                     : nullptr;
  const bool inspected = binary != nullptr;
  // Not inspected in time: judged, as the kill judges it then, by what is
  // known without the file (its path and the name from it).
  record->setBinary(inspected ? std::move(binary) : procscope::Binary::uninspected(path));
  // A file not hashed by its answer's time (or past the size hashed) is let
  // through here, and never marked harmless: the kill hashes it at its start.
  bool hashed = true;
  if (procscope::digest::wanted()) {
    record->setSha256(digestBy(fd, site, *bytes, answerBy - kAnswerMargin));
    hashed = record->sha256().has_value();
  }
  const ExecVerdict verdict = denyExec(record);
  if (verdict == ExecVerdict::Denied) return true;
  if (verdict != ExecVerdict::Unlisted || !inspected || !hashed) return false;
  if (ignoreMarks.load(std::memory_order_relaxed) < kAllowedMax &&
      ::fanotify_mark(fanotify, FAN_MARK_ADD | FAN_MARK_IGNORED_MASK, FAN_OPEN_EXEC_PERM, fd,
                      nullptr) == 0) {
    ignoreMarks.fetch_add(1, std::memory_order_relaxed);
  } else if (key) {
    if (allowedFiles.size() >= kAllowedMax) allowedFiles.clear();
    allowedFiles[std::move(*key)] = now;
  }
  return false;
}

void answer(int fanotify, int fd, std::uint32_t response) {
  const fanotify_response reply{fd, response};
  while (::write(fanotify, &reply, sizeof reply) < 0 && errno == EINTR) {
  }
}

// What the listener has said once (it says each only once).
bool loggedNoDescriptor = false;
bool loggedOverflow = false;
bool loggedUnjudged = false;

[[noreturn]] void listen(int fanotify) {
  procscope::raiseThreadPriority();
  std::array<fanotify_event_metadata, kEventsPerRead> events{};
  for (;;) {
    const ssize_t got = ::read(fanotify, events.data(), sizeof events);
    const auto readAt = Clock::now();
    if (got < 0) {
      // The kernel could not open an event's file for us: it has denied
      // that exec. Logged once; the descriptors' headroom makes it rare.
      if (errno == EMFILE || errno == ENFILE) {
        logOnce(loggedNoDescriptor,
                "Deny before exec: no descriptor left for an exec's file; the kernel denied it");
      }
      continue;
    }
    answerEvents(fanotify, events.data(), static_cast<std::size_t>(got), readAt,
                 [fanotify, readAt](int fd, std::int32_t pid) {
                   return judge(fanotify, fd, pid, readAt + kAnswerDeadline);
                 });
  }
}

// Marks every file system mounted, again at each change of the mounts: the
// kernel gives a new file system a device number (and its mount an id) that
// an old one had, so none can be told as marked before. Adding a mark a file
// system has already is harmless. Logs the kernel's refusal of exec
// permission events once.
void markAll(int fanotify, int mountinfo, bool& loggedUnsupported, bool announce) {
  std::string text;
  char buf[8192];
  ssize_t got = 0;
  ::lseek(mountinfo, 0, SEEK_SET);
  while ((got = ::read(mountinfo, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(got));
  std::size_t marked = 0;
  bool refused = false;
  // Every mount point, not one per file system: the one picked could be
  // covered by another mount, which would get the mark instead.
  for (const std::string& point : mountPointsToMark(text)) {
    if (::fanotify_mark(fanotify, FAN_MARK_ADD | FAN_MARK_FILESYSTEM | FAN_MARK_DONT_FOLLOW,
                        FAN_OPEN_EXEC_PERM, AT_FDCWD, point.c_str()) == 0) {
      ++marked;
    } else {
      refused = refused || errno == EINVAL;
    }
  }
  // Not one file system takes the mark: the kernel has no such events.
  if (announce && marked == 0 && refused) {
    logOnce(loggedUnsupported,
            "Deny before exec: this kernel has no exec permission events; "
            "falling back to the kill");
    return;
  }
  if (announce) {
    procscope::logMessage("Deny before exec: file systems marked through " +
                          std::to_string(marked) + " mounts");
  }
}

[[noreturn]] void watchMounts(int fanotify, int mountinfo) {
  bool loggedUnsupported = false;
  markAll(fanotify, mountinfo, loggedUnsupported, true);
  auto flushed = Clock::now();
  for (;;) {
    pollfd changed{mountinfo, POLLPRI, 0};
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kAllowedFor);
    if (::poll(&changed, 1, static_cast<int>(wait.count())) > 0) {
      markAll(fanotify, mountinfo, loggedUnsupported, false);
    }
    if (Clock::now() - flushed >= kAllowedFor) {
      // Without a kind of mark named, a flush removes the marks on files
      // (the ignore marks) and leaves the file systems' marks.
      ::fanotify_mark(fanotify, FAN_MARK_FLUSH, 0, AT_FDCWD, nullptr);
      ignoreMarks.store(0, std::memory_order_relaxed);
      flushed = Clock::now();
    }
  }
}

// Every exec waits for its answer, and an event the kernel cannot open a
// descriptor for is denied: the agent takes every descriptor it may.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

std::vector<std::string> mountPointsToMark(std::string_view mountinfo) {
  std::vector<std::string> points;
  std::vector<std::string> leftOut;  // an overlay's layers are mounted before it
  while (!mountinfo.empty()) {
    const auto end = mountinfo.find('\n');
    std::string_view line = mountinfo.substr(0, end);
    mountinfo = end == std::string_view::npos ? std::string_view{} : mountinfo.substr(end + 1);
    auto parsed = procscope::inspection::parseMountInfoLine(line);
    if (!parsed || parsed->type.empty()) continue;
    if (servedRemotely(parsed->type) ||
        (parsed->type == "overlay" && layerLeftOut(parsed->superOptions, leftOut))) {
      leftOut.push_back(std::move(parsed->mountPoint));
    } else {
      points.push_back(std::move(parsed->mountPoint));
    }
  }
  return points;
}

void answerEvents(int fanotify, const void* read, std::size_t size,
                  std::chrono::steady_clock::time_point readAt,
                  const std::function<bool(int fd, std::int32_t pid)>& judgeExec) {
  const auto* event = static_cast<const fanotify_event_metadata*>(read);
  for (auto left = size;
       left >= sizeof *event && event->event_len >= sizeof *event && event->event_len <= left;
       left -= event->event_len, event = reinterpret_cast<const fanotify_event_metadata*>(
                                     reinterpret_cast<const char*>(event) + event->event_len)) {
    if ((event->mask & FAN_Q_OVERFLOW) != 0) {
      // Never expected with an unlimited queue; said, since the kernel
      // lets the execs it could not queue through unasked.
      logOnce(loggedOverflow,
              "Deny before exec: the kernel's queue of exec events overflowed; execs went "
              "unasked (the kill judges them)");
    }
    if (event->fd < 0) {
      if (event->fd != FAN_NOFD && (-event->fd == EMFILE || -event->fd == ENFILE)) {
        logOnce(loggedNoDescriptor,
                "Deny before exec: no descriptor left for an exec's file; the kernel denied it");
      }
      continue;
    }
    bool deny = false;
    const bool judgeable = Clock::now() - readAt < kJudgeWindow;
    if (!judgeable) {
      logOnce(loggedUnjudged,
              "Deny before exec: an exec waited past the time to judge it and was allowed "
              "unjudged (the kill judges it)");
    }
    if ((event->mask & FAN_OPEN_EXEC_PERM) != 0 && judgeable) {
      try {
        deny = judgeExec(event->fd, event->pid);
      } catch (const std::exception&) {
        deny = false;  // out of memory and the like: the kill decides
      }
    }
    answer(fanotify, event->fd, deny ? FAN_DENY : FAN_ALLOW);
    ::close(event->fd);
  }
}

int denyExecDescriptor() {
  return listenerDescriptor.load(std::memory_order_relaxed);
}

bool startDenyExec() {
  // Unlimited: a full queue would let an exec through unasked. With only
  // permission events the queue holds at most one event per task waiting.
  const unsigned flags = FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_UNLIMITED_QUEUE;
  const unsigned eventFlags = O_RDONLY | O_LARGEFILE | O_CLOEXEC;
  int fanotify = ::fanotify_init(flags | kReportFdError, eventFlags);
  if (fanotify < 0 && errno == EINVAL) fanotify = ::fanotify_init(flags, eventFlags);
  if (fanotify < 0) {
    const int error = errno;
    if (error == EPERM) {
      procscope::logMessage(
          "Configuration error: deny before exec is refused (fanotify_init: EPERM); under the "
          "service it needs the drop-in deny-exec.conf (CAP_SYS_ADMIN and the fanotify system "
          "calls); falling back to the kill");
    } else if (error == ENOSYS || error == EINVAL) {
      fallBack("this kernel has no exec permission events");
    } else {
      fallBack(std::string("fanotify_init: ") + std::strerror(error));
    }
    return false;
  }
  const int mountinfo = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
  if (mountinfo < 0) {
    ::close(fanotify);
    fallBack(std::string("/proc/self/mountinfo: ") + std::strerror(errno));
    return false;
  }
  raiseDescriptorLimit();
  listenerDescriptor.store(fanotify);
  ::pthread_atfork(nullptr, nullptr, closeInChild);
  // Marking runs apart from the answers: a path lookup that a file system
  // stalls holds up new marks, never an exec.
  std::thread(listen, fanotify).detach();
  std::thread(watchMounts, fanotify, mountinfo).detach();
  return true;
}

}  // namespace procblock::platform
