// Where the file a process runs lives: the process's own root and mount
// namespace, which need not be the agent's (a user namespace with its own
// bind mounts, a chroot, a container). Its executable and bundle are looked
// up there, and what is found counts only when it is the very file executed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procscope/FileDescriptor.hpp"

namespace procscope {

class ProcessIdentity;

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct ExecutableSite {
  // Where the process's paths are looked up; null for the agent's own root.
  std::shared_ptr<const LookupRoot> root;
  // The file executed; none where nothing is known of it (a recorded
  // stream, a test's kernel), and then nothing is checked against it.
  std::optional<FileIdentity> executed;
  // The mount the executed file lies on (statx STATX_MNT_ID, with its
  // device): what a backoff after a stall keys by.
  std::uint64_t mountId = 0;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  // That mount and all above it are local in the process's namespace, so
  // lookups there wait on no server (inspection::mountIsLocal).
  bool local = false;
  // The path the lookups take inside `root`, where it is not the record's
  // own: without the part that leads to a chroot, or for a path longer than
  // PATH_MAX, the way from a directory near the file.
  std::optional<std::string> lookupPath;
};

// The site of what process `pid` runs now, read through /proc while its pin
// still shows it there; none when it is gone or /proc does not answer.
std::optional<ExecutableSite> siteOfProcess(std::int32_t pid, const ProcessIdentity* identity,
                                            const std::string& path);

// The file process `pid` executes now and the mount it lies on, as its
// /proc/<pid>/exe shows them (cached attributes only); none when it is gone.
struct ExecutedFile {
  FileIdentity file;
  std::uint64_t mountId = 0;
  bool operator==(const ExecutedFile&) const = default;
};
std::optional<ExecutedFile> executedFileOf(std::int32_t pid);

// Whether process `pid` has this process's root (same mount, same
// directory): then it is in this mount namespace too, as another namespace
// numbers its mounts anew. False when that cannot be told.
bool sharesOwnRoot(std::int32_t pid);

// The site of the file at descriptor `fd` that process `pid` is executing
// (its old image still runs); none when that cannot be told.
std::optional<ExecutableSite> siteOfExecFile(std::int32_t pid, int fd, const std::string& path);

// The site of the executable of `pid` where its path cannot be read (longer
// than PATH_MAX): the first of `names` (the name its exec was given, argv[0])
// that, looked up from its working directory (an absolute one from its
// root), reaches the very file it runs. The site's root is then the
// directory two levels above the file when the file is its
// Contents/MacOS/<name> (so that its bundle is found), else the file's own
// directory. `found` receives the file's absolute path in the process's
// root where it can be told (pathFromRoot), else the name that did. Touches
// the process's file systems: call it off the event loop. None when no name
// does.
std::optional<ExecutableSite> siteByName(std::int32_t pid, const ProcessIdentity* identity,
                                         const std::vector<std::string>& names, std::string& found);

// Makes `site` look its executable up as `base` in `dir` (a directory
// reached without its path): from two levels above it when it is the
// Contents/MacOS/ of a bundle that holds the executed file, so that the
// bundle is found; else from `dir`. Touches the file system.
void placeByName(ExecutableSite& site, FileDescriptor dir, const std::string& base);

// The name under which directory `dir` lists the file `file`, looking at no
// more than `maxEntries` entries; none when it is not found among them.
std::optional<std::string> nameInDirectory(int dir, const FileIdentity& file,
                                           std::size_t maxEntries);

// The absolute path of directory `dir` as seen from `root` (both
// descriptors of directories): each directory's name found in its parent, up
// to `root`. Bounded in levels and in entries looked at per directory; none
// when `dir` does not lie under `root` or a name is not found. Touches the
// file systems on the way: call it off the event loop.
std::optional<std::string> pathFromRoot(int dir, int root);

// The name the exec of `pid` was given (its AT_EXECFN), read from its
// memory; none when that cannot be read.
std::optional<std::string> execFileName(std::int32_t pid);

}  // namespace procscope
