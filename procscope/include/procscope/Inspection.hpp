// Bounded file inspection. Building a record touches files that users
// control (statx, extended attributes, Info.plist), and a file system whose
// server never answers would hold the caller, and with it every later
// verdict, for ever. So the file-touching steps run on a small fixed pool of
// their own and the caller waits for them only until a deadline; a record
// not inspected in time is judged at once with what is known without its
// files, and again when its inspection ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace procscope::inspection {

// How long a record waits for the inspection of its files.
inline constexpr std::chrono::milliseconds kDeadline{100};

// How long a file system where an inspection step blocked past the deadline
// is left uninspected, counted from the moment that step ends (or for as long
// as it does not), so that a program started from a stalled mount over and
// over costs no deadline per start.
inline constexpr std::chrono::seconds kBackoff{10};

// Which file system a step touches: the kernel's unique id of the mount
// (statx's STATX_MNT_ID_UNIQUE, never reused while the system runs), or
// kUnknownMount (a command name that is no path, or a kernel that has no such
// id: then the mount table's reusable id stands in).
using MountId = std::uint64_t;
inline constexpr MountId kUnknownMount = 0;

// The mount `path` lies on, after this process's mount table (see
// mountPointOf). Costs no file access.
MountId mountOf(const std::string& path);
// The mount whose reusable id (statx's STATX_MNT_ID) is `id`: its unique id
// where this process's table lists it, else `id` itself (a mount of another
// namespace, which this table does not list; reusable ids stay below the
// range of unique ones).
MountId mountWithReusableId(std::uint64_t id);

// Runs `work`, which touches files on `mount`, on the inspection pool and
// waits until it ends or the deadline passes. True when it ended in time.
//
// False, without waiting, when `mount` is left alone (a step there blocked
// past the deadline lately) or every inspection thread is held by a step that
// overran; and false when the deadline passed. Only a step that overran while
// blocked (neither on a CPU nor waiting for one) leaves its mount alone: one
// that computes, however long, costs its own record a late result and
// nothing more. An overrunning step is moved to normal priority for the rest
// of its run.
//
// Without `late`, a step whose deadline passed never starts, or runs to its
// end unobserved. With it, a step not run in time still runs (when a thread
// is free; `mount` left alone excepted) and `late` is called on the pool's
// thread once it has ended: the caller's record is judged again. `work`
// writes only into state of its own, which the caller reads only after true,
// and `late` reads after it.
bool run(MountId mount, std::function<void()> work, std::function<void()> late = {});
// run(mount, work), waiting no later than `until` either: for a caller
// whose own answer is due by then.
bool runUntil(MountId mount, std::chrono::steady_clock::time_point until,
              std::function<void()> work);
// run(mountOf(path), work).
bool run(const std::string& path, std::function<void()> work);

// Marks, while it lives, a wait of the running step on something other than
// the files it inspects (account names from NSS, which may load modules or
// ask a directory service): no stall of the step's file system. Nothing off
// the pool.
class WaitElsewhere {
 public:
  WaitElsewhere();
  ~WaitElsewhere();
  WaitElsewhere(const WaitElsewhere&) = delete;
  WaitElsewhere& operator=(const WaitElsewhere&) = delete;

 private:
  void* task_;
};

// Runs on the calling thread each time run() is about to wait for the pool,
// so that a thread holding something others need while it works (the live
// events' reading role) lets go of it first. One per thread; empty clears it.
void setBeforeWait(std::function<void()> hook);

// Whether a step on `path` may run on the calling thread instead: the path
// lies on a local file system (no server that could fail to answer) that is
// not left alone after a stall. Costs no file access: the mount table is
// kept and read again only after the mounts change.
bool answersInline(const std::string& path);

// Whether `mount` is left alone after a step there blocked past the deadline.
bool leftAlone(MountId mount);
// Sets the back-off counted from now on, at a stall or at the end of the
// step that stalled (kBackoff until then), so that tests need not wait it out.
void setBackoff(std::chrono::steady_clock::duration backoff);

// The value `work` makes, when run() gives true. With `late`, a value made
// after the deadline is handed to it instead (on the pool's thread).
template <class T>
std::optional<T> bounded(MountId mount, std::function<T()> work, std::function<void(T)> late = {}) {
  auto slot = std::make_shared<std::optional<T>>();
  std::function<void()> lateStep;
  if (late) {
    lateStep = [slot, late = std::move(late)] {
      if (*slot) late(std::move(**slot));
    };
  }
  if (!run(
          mount, [slot, work = std::move(work)] { slot->emplace(work()); }, std::move(lateStep))) {
    return std::nullopt;
  }
  return std::move(*slot);
}
template <class T>
std::optional<T> bounded(const std::string& path, std::function<T()> work) {
  return bounded<T>(mountOf(path), std::move(work));
}

// A mount point as /proc/self/mountinfo writes it (space, tab, newline and
// backslash escaped as \ooo), unescaped to its bytes.
std::string unescapeMountPoint(std::string_view field);

// One line of /proc/self/mountinfo: "id parent major:minor root mount-point
// options [optional...] - type source super-options". `type` is empty when
// the line has none; none at all when it has fewer than five fields.
struct MountInfoLine {
  std::uint64_t id = 0;      // the mount's id (as statx STATX_MNT_ID gives it)
  std::uint64_t parent = 0;  // the id of the mount it sits on
  std::string_view device;   // major:minor
  std::string mountPoint;    // unescaped
  std::string_view type;
  std::string_view superOptions;  // the field after the source
};
std::optional<MountInfoLine> parseMountInfoLine(std::string_view line);

// The directories of an overlay's layers, as its super options name them
// (lowerdir, upperdir, workdir, datadir and their "+" forms), unescaped: the
// open of an overlay's file is an open of its layer's.
std::vector<std::string> overlayLayers(std::string_view superOptions);

// A mount reached by a lookup in some process's mount namespace.
struct MountQuery {
  std::int32_t pid = -1;             // a process of that namespace
  std::uint64_t namespaceInode = 0;  // of its /proc/<pid>/ns/mnt; 0: the agent's own
  std::uint64_t mountId = 0;         // statx STATX_MNT_ID of what was reached
  std::uint32_t major = 0;           // its device
  std::uint32_t minor = 0;
  std::string path;  // where it was reached, as that namespace names it
};

// Whether a lookup that reached that mount waited on no server: the mount
// and every mount above it are of local file system types, as the
// namespace's own mount table says (a user's FUSE mount can sit where the
// agent's table shows ext4). The tables are kept per namespace and read
// again only after a change (the agent's own) or when the mount asked about
// is missing from them (others'); never per question. False when unknown.
bool mountIsLocal(const MountQuery& query);
// The clock by which reads of other namespaces' tables are spaced out (each
// read is followed by a pause twenty times as long); tests hand in their
// own, none restores the steady clock. Either way no table is kept.
void setForeignTablesClock(std::function<std::chrono::steady_clock::time_point()> clock);
// The same question asked of one mount table's text; none when the mount is
// not in it as asked. Exposed for tests.
std::optional<bool> mountIsLocalIn(std::string_view mountinfo, const MountQuery& query);

// The mount point under which `path` lies, after /proc/self/mountinfo (the
// longest mount point that is `path` or one of its leading directories, the
// later of equal ones); "/" when none is found. Exposed for tests.
std::string mountPointOf(const std::string& path);

}  // namespace procscope::inspection
