// Linux application identifiers: the reverse-DNS names the desktop itself
// tells applications apart by. A program gets one from, in this order, the
// Flatpak sandbox it runs in (/.flatpak-info), the snap it runs from
// (/snap/<name>/<revision>/...), or a system desktop entry whose program it
// is. Only what root controls can give a program outside a sandbox an
// identity: a user's own entries are never read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace procscope {

struct ExecutableSite;

// The application ID in the [Application] group of a Flatpak sandbox's
// /.flatpak-info; none when the bytes hold none, or one that is no
// application ID (letters, digits, '_', '-' and '.', at most 255 bytes).
std::optional<std::string> flatpakApplicationId(std::string_view keyFile);

// The snap an executable at `path` belongs to: <name> of
// /snap/<name>/<revision>/<file...>; none for any other path.
std::optional<std::string> snapNameOf(std::string_view path);

// The desktop file ID of the entry at `relativePath` below an applications
// directory: '/' becomes '-', and the ".desktop" suffix goes. None for a
// file without that suffix.
std::optional<std::string> desktopFileId(std::string_view relativePath);

// The programs a desktop entry runs, as written: its Exec= program (after
// quoting, field codes and an `env` prefix with its options and
// assignments) and its TryExec=. None for an entry that is no application,
// is hidden, or cannot be read as a key file.
std::vector<std::string> desktopEntryPrograms(std::string_view keyFile);

// Whether a program of this file name only runs other programs (shells,
// interpreters, `env`, `flatpak`, `snap` and their like): such a program
// gets no identity from an entry that runs it.
bool isLauncherName(std::string_view fileName);

// From executable (its canonical path, and the very file found there) to the
// desktop file ID of the one system entry that runs it. Built once from the
// applications directories, built again when they, /etc/alternatives or a
// directory of an indexed program change (inotify); a lookup is one
// hash-table find. The file is compared as well as the path: a process in
// another root or mount namespace may find another file at that path.
class ApplicationIndex {
 public:
  // At most this many entries are read, each of at most kMaxEntryBytes, in
  // directories at most kMaxDepth below each applications directory.
  static constexpr std::size_t kMaxEntries = 8192;
  static constexpr std::size_t kMaxEntryBytes = std::size_t{64} * 1024;
  static constexpr int kMaxDepth = 4;

  struct Options {
    // Searched in this order: an ID found in one hides the same ID later.
    std::vector<std::string> directories = {"/usr/local/share/applications",
                                            "/usr/share/applications"};
    // Where a bare program name is looked for; the agent's own PATH is not
    // what desktops search.
    std::string searchPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  };

  struct Program {
    std::string id;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const Program&) const = default;
  };
  using Table = std::unordered_map<std::string, Program>;
  // Reads the entries now.
  static std::shared_ptr<const Table> build(const Options& options);

  // The ID of the entry whose program is the file `device`/`inode` at
  // `path`, in the latest table.
  std::optional<std::string> find(const std::string& path, std::uint64_t device,
                                  std::uint64_t inode) const;
  // Whether some entry's program lies at `path` (whatever file is there now).
  bool names(const std::string& path) const;
  std::size_t size() const;
  // Builds the table, then keeps it current, on a thread of its own; waits
  // for the first table at most kFirstBuildWait. Once.
  static constexpr std::chrono::seconds kFirstBuildWait{2};
  void start(Options options);
  void start();  // the system's directories
  std::shared_ptr<const Table> current() const;
  // Puts `table` in place (tests; the watcher does it after each change).
  void set(std::shared_ptr<const Table> table);

  // The process's index; empty until started.
  static ApplicationIndex& shared();

 private:
  void watch(const Options& options);

  mutable std::mutex mu_;
  std::condition_variable built_;
  std::shared_ptr<const Table> table_;
  bool started_ = false;
};

// The application ID of the Flatpak sandbox whose root `site` names (none
// for the agent's own root). /.flatpak-info is read through that root, in
// the bounded inspection, once per root: it lies in a root its sandbox's
// user made, so it is read as untrusted input, a regular file of at most
// kMaxSandboxInfoBytes.
inline constexpr std::size_t kMaxSandboxInfoBytes = std::size_t{64} * 1024;
std::optional<std::string> sandboxApplicationId(const ExecutableSite& site);

}  // namespace procscope
