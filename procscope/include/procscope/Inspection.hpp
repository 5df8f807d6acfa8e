// Bounded file inspection. Building a record touches files that users
// control (statx, extended attributes, Info.plist), and a file system whose
// server never answers would hold the caller, and with it every later
// verdict, for ever. So the file-touching steps run on a small fixed pool of
// their own and the caller waits for them only until a deadline; a record
// not inspected in time is judged with what is known without its files.
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

// How long a file system whose inspection overran the deadline is left
// uninspected, counted from the moment the overrunning step ends (or for as
// long as it does not), so that a program started from a stalled mount over
// and over costs no deadline per start.
inline constexpr std::chrono::seconds kBackoff{10};

// Runs `work`, which touches the file at `path` or files near it, on the
// inspection pool and waits until it ends or the deadline passes. True when
// it ended in time. False, without waiting, when every inspection thread is
// held by a step that overran, or when the file system of `path` overran
// recently; and false when the deadline passed, after which `work` never
// starts, or runs to its end unobserved. `work` therefore writes only into
// state of its own, which the caller reads only after true.
bool run(const std::string& path, std::function<void()> work);

// Runs on the calling thread each time run() is about to wait for the pool,
// so that a thread holding something others need while it works (the live
// events' reading role) lets go of it first. One per thread; empty clears it.
void setBeforeWait(std::function<void()> hook);

// Whether a step on `path` may run on the calling thread instead: the path
// lies on a local file system (no server that could fail to answer) that is
// not left alone after an overrun. Costs no file access: the mount table is
// kept and read again only after the mounts change.
bool answersInline(const std::string& path);

// Whether the file system of `path` is left alone after an overrun.
bool leftAlone(const std::string& path);

// The value `work` makes, when run() gives true.
template <class T>
std::optional<T> bounded(const std::string& path, std::function<T()> work) {
  auto slot = std::make_shared<std::optional<T>>();
  if (!run(path, [slot, work = std::move(work)] { slot->emplace(work()); })) return std::nullopt;
  return std::move(*slot);
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
// The same question asked of one mount table's text; none when the mount is
// not in it as asked. Exposed for tests.
std::optional<bool> mountIsLocalIn(std::string_view mountinfo, const MountQuery& query);

// The mount point under which `path` lies, after /proc/self/mountinfo (the
// longest mount point that is `path` or one of its leading directories, the
// later of equal ones); "/" when none is found. Exposed for tests.
std::string mountPointOf(const std::string& path);

}  // namespace procscope::inspection
