// Kernel process queries: who a process's parent is, whose it is, what it runs
// and with which arguments. The Linux backend reads /proc; the absent backend
// answers "no such process" to everything, for replaying trails recorded on
// another machine, whose pids mean nothing (or something else) here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procscope/ExecutableSite.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/platform/Service.hpp"

namespace procscope::platform {

// Paths and argument areas are raw bytes held in std::string.
class KernelQueries {
 public:
  virtual ~KernelQueries() = default;

  // The parent's pid; -1 when the process does not exist. The parent of 1 is
  // 0, and the parent of 0 is 0.
  virtual std::int32_t parentID(std::int32_t pid) = 0;
  // The effective user ID; none when the process does not exist.
  virtual std::optional<std::uint32_t> effectiveUser(std::int32_t pid) = 0;
  // The executable's path; none when it cannot be read.
  virtual std::optional<std::string> executablePath(std::int32_t pid) = 0;
  // The largest argument area a process can have; -1 when unknown.
  virtual std::int64_t argumentAreaMax() = 0;
  // The argument area, laid out as: signed 32-bit argc in host order, the
  // executable path, NUL padding, argv strings and environment strings, each
  // NUL-terminated. At most `capacity` bytes; none when it cannot be read.
  virtual std::optional<std::string> argumentArea(std::int32_t pid, std::size_t capacity) = 0;
  // False only when the process certainly does not exist (ESRCH).
  virtual bool isAlive(std::int32_t pid) = 0;
  // Every process ID now on the machine, in no particular order.
  virtual std::vector<std::int32_t> allPids() = 0;
  // The process pinned by a pidfd (see ProcessIdentity); none when it is gone.
  virtual std::shared_ptr<const ProcessIdentity> pin(std::int32_t pid);
  // Whether the executable the process runs has been unlinked (no name is
  // left on its file system); none when that cannot be told. Reaches the
  // executable's own file system, which may be slow.
  virtual std::optional<bool> executableUnlinked(std::int32_t pid);
  // Where the process's executable lives: its root, the executed file and
  // its mount (see ExecutableSite), read while `identity` still pins it;
  // none when it is gone. `path` is its executable's path. This default
  // knows nothing of the file, so nothing is checked against it, and looks
  // in the agent's own root.
  virtual std::optional<ExecutableSite> executableSite(std::int32_t pid,
                                                       const ProcessIdentity* identity,
                                                       const std::string& path);
  // The file the process executes now and its mount (executedFileOf); none
  // by default.
  virtual std::optional<ExecutedFile> executedFile(std::int32_t pid);
  // For a process whose executable's path cannot be read (longer than
  // PATH_MAX): the site reached by the first of `names` that leads to the
  // file it runs, which `found` receives (see siteByName). Touches its file
  // systems. None by default.
  virtual std::optional<ExecutableSite> executableSiteByName(std::int32_t pid,
                                                             const ProcessIdentity* identity,
                                                             const std::vector<std::string>& names,
                                                             std::string& found);
  // The name the process's exec was given (AT_EXECFN); none by default.
  virtual std::optional<std::string> execFileName(std::int32_t pid);
};

using Kernel = Service<KernelQueries>;

// A backend that knows no process at all.
std::shared_ptr<KernelQueries> makeAbsentKernel();

// The /proc text parsers, pure functions over bytes.
namespace procfs {

// Field 4 of a /proc/<pid>/stat line, read after the last ")" because the
// command name in field 2 may hold spaces and parentheses.
std::optional<std::int32_t> parentFromStat(std::string_view stat);
// The second number (the effective ID) of the "Uid:" line of /proc/<pid>/status.
std::optional<std::uint32_t> effectiveUidFromStatus(std::string_view status);
// An argument area from /proc/<pid>/cmdline, /proc/<pid>/environ (none when
// unreadable) and the executable path, cut to `capacity` bytes.
std::string assembleArgumentArea(std::string_view cmdline,
                                 std::optional<std::string_view> environment, std::string_view path,
                                 std::size_t capacity = SIZE_MAX);

}  // namespace procfs

// Readers of an argument area, whatever backend produced it.
namespace argarea {

// The executable path that follows the count; none when the data is 4 bytes
// or fewer. Raw bytes, up to the first NUL or the end of the data.
std::optional<std::string> executablePath(std::string_view area);
// argv[0] to argv[argc - 1], decoded lossily; nothing when the data is too
// short, ends inside the path or padding, or the count is 0 or below. The
// padding skip also swallows an empty argv[0], as the layout cannot tell them apart.
std::vector<std::string> arguments(std::string_view area);

}  // namespace argarea

}  // namespace procscope::platform
