#include "procscope/ApplicationIdentity.hpp"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>

#include "procscope/ExecutableSite.hpp"
#include "procscope/FileDescriptor.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/Utilities.hpp"

namespace procscope {
namespace {

struct KeyFileDeleter {
  void operator()(GKeyFile* f) const { g_key_file_free(f); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileDeleter>;

KeyFile loadKeyFile(std::string_view bytes) {
  // A NUL ends a value early where GLib reads it: such a file says two things.
  if (bytes.find('\0') != std::string_view::npos) return nullptr;
  KeyFile file(g_key_file_new());
  if (!g_key_file_load_from_data(file.get(), bytes.data(), bytes.size(), G_KEY_FILE_NONE,
                                 nullptr)) {
    return nullptr;
  }
  return file;
}

std::optional<std::string> stringOf(GKeyFile* file, const char* group, const char* key) {
  gchar* value = g_key_file_get_string(file, group, key, nullptr);
  if (!value) return std::nullopt;
  std::string out(value);
  g_free(value);
  return out;
}

std::string_view fileNameOf(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool allOf(std::string_view s, bool (*ok)(char)) {
  return std::all_of(s.begin(), s.end(), ok);
}

// The Exec= argument vector, quoting undone (g_shell_parse_argv follows the
// same rules as the entry's quoting), "%%" made "%", other field codes gone.
std::vector<std::string> execArguments(const std::string& exec) {
  gint argc = 0;
  gchar** argv = nullptr;
  if (!g_shell_parse_argv(exec.c_str(), &argc, &argv, nullptr)) return {};
  std::vector<std::string> out;
  for (gint i = 0; i < argc; ++i) {
    std::string arg(argv[i]);
    if (arg.size() == 2 && arg[0] == '%') {
      if (arg[1] == '%') out.emplace_back("%");
      continue;  // %f, %U, %i, %c, %k ...: expanded by the launcher
    }
    out.push_back(std::move(arg));
  }
  g_strfreev(argv);
  return out;
}

// The program `env` runs in `args` from `at` on: past its options and
// NAME=value assignments. None where what it runs cannot be told (-S splits
// a string of its own).
std::optional<std::size_t> pastEnv(const std::vector<std::string>& args, std::size_t at) {
  while (at < args.size()) {
    const std::string& arg = args[at];
    if (arg == "-S" || arg.starts_with("--split-string") ||
        (arg.starts_with("-") && !arg.starts_with("--") && arg.find('S') != std::string::npos)) {
      return std::nullopt;
    }
    if (arg == "--") return at + 1;
    if (arg == "-u" || arg == "-C" || arg == "--unset" || arg == "--chdir") {
      at += 2;
    } else if (arg.starts_with("-") || arg.find('=') != std::string::npos) {
      ++at;
    } else {
      return at;
    }
  }
  return std::nullopt;
}

std::optional<std::string> canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return std::nullopt;
  return std::string(resolved);
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The canonical path of an entry's program as written; none for a relative
// path, one not found, or a launcher (by either name).
std::optional<std::string> resolveProgram(const std::string& program,
                                          const std::string& searchPath) {
  if (program.empty() || isLauncherName(fileNameOf(program))) return std::nullopt;
  std::optional<std::string> found;
  if (program.find('/') != std::string::npos) {
    if (program.front() != '/') return std::nullopt;
    if (isExecutableFile(program)) found = canonical(program);
  } else {
    std::string_view rest = searchPath;
    while (!found && !rest.empty()) {
      const auto colon = rest.find(':');
      const std::string_view dir = rest.substr(0, colon);
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
      if (dir.empty() || dir.front() != '/') continue;
      const std::string candidate = std::string(dir) + "/" + program;
      if (isExecutableFile(candidate)) found = canonical(candidate);
    }
  }
  if (!found || isLauncherName(fileNameOf(*found))) return std::nullopt;
  return found;
}

// One entry file's bytes: a regular file (no symbolic link), bounded.
std::optional<std::string> readEntry(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > ApplicationIndex::kMaxEntryBytes) {
    return std::nullopt;
  }
  return readText(fd.get(), static_cast<std::size_t>(st.st_size));
}

// Every .desktop file below `top`, with its path relative to `top`.
void listEntries(const std::filesystem::path& top, std::size_t& budget,
                 std::vector<std::pair<std::filesystem::path, std::string>>& out,
                 std::vector<std::string>* directories) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::recursive_directory_iterator it(top, fs::directory_options::none, error), end;
  if (error) return;
  if (directories) directories->push_back(top.string());
  for (; it != end && budget > 0; it.increment(error)) {
    if (error) break;
    const auto status = it->symlink_status(error);
    if (error) continue;
    if (fs::is_directory(status)) {
      if (it.depth() + 1 >= ApplicationIndex::kMaxDepth) {
        it.disable_recursion_pending();
      } else if (directories) {
        directories->push_back(it->path().string());
      }
      continue;
    }
    if (!fs::is_regular_file(status) || it->path().extension() != ".desktop") continue;
    --budget;
    out.emplace_back(it->path(), it->path().lexically_relative(top).string());
  }
}

// Every root a sandbox's processes were seen in lately, with what its
// /.flatpak-info says. Each entry holds the root's descriptor, which holds
// its mount: the mount's id and the root's device stay its own (not reused
// by another tmpfs) for as long as the entry lives.
class Sandboxes {
 public:
  static constexpr std::size_t kMax = 64;
  static constexpr std::chrono::seconds kLifetime{60};

  struct Key {
    std::uint64_t mountId = 0;
    FileIdentity root;
    bool operator==(const Key&) const = default;
  };

  std::optional<std::optional<std::string>> find(const Key& key) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(mu_);
    std::erase_if(entries_, [&](const Entry& e) { return now - e.seen >= kLifetime; });
    for (const auto& entry : entries_) {
      if (entry.key == key) return entry.id;
    }
    return std::nullopt;
  }

  void keep(const Key& key, std::shared_ptr<const LookupRoot> root, std::optional<std::string> id) {
    std::lock_guard lock(mu_);
    std::erase_if(entries_, [&](const Entry& e) { return e.key == key; });
    if (entries_.size() >= kMax) entries_.erase(entries_.begin());  // the oldest
    entries_.push_back({key, std::move(root), std::move(id), std::chrono::steady_clock::now()});
  }

 private:
  struct Entry {
    Key key;
    std::shared_ptr<const LookupRoot> root;
    std::optional<std::string> id;
    std::chrono::steady_clock::time_point seen;
  };
  std::mutex mu_;
  std::vector<Entry> entries_;
};

Sandboxes& sandboxes() {
  static auto* instance = new Sandboxes;  // used until the very end of the run
  return *instance;
}

// /.flatpak-info read inside `root`: its symbolic links resolve there.
std::optional<std::string> readSandboxInfo(const LookupRoot& root) {
  LookupRoot::Scope scope(&root);
  FileDescriptor fd = openRegularFile("/.flatpak-info");
  if (fd.get() < 0) return std::nullopt;
  const auto bytes = readText(fd.get(), kMaxSandboxInfoBytes + 1);
  // No such key file is this big.
  if (!bytes || bytes->size() > kMaxSandboxInfoBytes) return std::nullopt;
  return flatpakApplicationId(*bytes);
}

}  // namespace

std::optional<std::string> flatpakApplicationId(std::string_view keyFile) {
  const KeyFile file = loadKeyFile(keyFile);
  if (!file) return std::nullopt;
  auto name = stringOf(file.get(), "Application", "name");
  const auto valid = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
  };
  if (!name || name->empty() || name->size() > 255 || !allOf(*name, valid)) return std::nullopt;
  return name;
}

std::optional<std::string> snapNameOf(std::string_view path) {
  constexpr std::string_view kSnaps = "/snap/";
  if (!path.starts_with(kSnaps)) return std::nullopt;
  path.remove_prefix(kSnaps.size());
  const auto nameEnd = path.find('/');
  if (nameEnd == std::string_view::npos) return std::nullopt;
  const std::string_view name = path.substr(0, nameEnd);
  const std::string_view rest = path.substr(nameEnd + 1);
  const auto revisionEnd = rest.find('/');
  if (revisionEnd == std::string_view::npos || revisionEnd == 0 || revisionEnd + 1 >= rest.size()) {
    return std::nullopt;
  }
  const std::string_view revision = rest.substr(0, revisionEnd);
  const auto nameChar = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
  };
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  // /snap/bin holds the commands that run `snap`, no snap.
  if (name.empty() || name.size() > 40 || name == "bin" || !allOf(name, nameChar)) {
    return std::nullopt;
  }
  const std::string_view number = revision.front() == 'x' ? revision.substr(1) : revision;
  if (revision != "current" && (number.empty() || !allOf(number, digit))) return std::nullopt;
  return std::string(name);
}

std::optional<std::string> desktopFileId(std::string_view relativePath) {
  constexpr std::string_view kSuffix = ".desktop";
  if (relativePath.size() <= kSuffix.size() || !relativePath.ends_with(kSuffix)) {
    return std::nullopt;
  }
  std::string id(relativePath.substr(0, relativePath.size() - kSuffix.size()));
  std::replace(id.begin(), id.end(), '/', '-');
  return id;
}

std::vector<std::string> desktopEntryPrograms(std::string_view keyFile) {
  constexpr const char* kGroup = "Desktop Entry";
  const KeyFile file = loadKeyFile(keyFile);
  if (!file || stringOf(file.get(), kGroup, "Type") != "Application" ||
      g_key_file_get_boolean(file.get(), kGroup, "Hidden", nullptr)) {
    return {};
  }
  std::vector<std::string> programs;
  if (const auto exec = stringOf(file.get(), kGroup, "Exec")) {
    const auto args = execArguments(*exec);
    std::optional<std::size_t> at = args.empty() ? std::nullopt : std::optional<std::size_t>(0);
    // `env NAME=value ... program`: the program is what runs as the
    // application (env itself stays a launcher).
    while (at && *at < args.size() && fileNameOf(args[*at]) == "env") {
      programs.push_back(args[*at]);
      at = pastEnv(args, *at + 1);
    }
    if (at && *at < args.size()) programs.push_back(args[*at]);
  }
  if (auto tryExec = stringOf(file.get(), kGroup, "TryExec"); tryExec && !tryExec->empty()) {
    programs.push_back(std::move(*tryExec));
  }
  return programs;
}

bool isLauncherName(std::string_view name) {
  static constexpr std::array<std::string_view, 46> kLaunchers = {
      "env",      "sh",        "bash",       "dash",        "zsh",         "fish",       "ksh",
      "mksh",     "csh",       "tcsh",       "busybox",     "perl",        "ruby",       "node",
      "nodejs",   "gjs",       "java",       "mono",        "wine",        "flatpak",    "snap",
      "sudo",     "pkexec",    "su",         "xdg-open",    "gio",         "gtk-launch", "exo-open",
      "kde-open", "kioclient", "kioclient5", "dbus-launch", "systemd-run", "nice",       "ionice",
      "taskset",  "nohup",     "setsid",     "stdbuf",      "timeout",     "bwrap",      "firejail",
      "lua",      "php",       "tclsh",      "wish"};
  if (std::find(kLaunchers.begin(), kLaunchers.end(), name) != kLaunchers.end()) return true;
  // python, python3, python3.11; ld-linux-x86-64.so.2 and the like.
  const auto versioned = [&](std::string_view stem) {
    if (!name.starts_with(stem)) return false;
    const std::string_view rest = name.substr(stem.size());
    return std::all_of(rest.begin(), rest.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
  };
  return versioned("python") || versioned("perl") || versioned("ruby") || versioned("lua") ||
         name.starts_with("ld-linux") || name.starts_with("ld.so");
}

std::shared_ptr<const ApplicationIndex::Table> ApplicationIndex::build(const Options& options) {
  std::size_t budget = kMaxEntries;
  std::set<std::string> seen;  // IDs found in an earlier directory hide later ones
  std::map<std::string, std::set<std::string>> idsOf;
  for (const std::string& directory : options.directories) {
    std::vector<std::pair<std::filesystem::path, std::string>> entries;
    listEntries(directory, budget, entries, nullptr);
    for (const auto& [path, relative] : entries) {
      auto id = desktopFileId(relative);
      if (!id || !seen.insert(*id).second) continue;
      const auto bytes = readEntry(path);
      if (!bytes) continue;
      for (const std::string& program : desktopEntryPrograms(*bytes)) {
        if (auto found = resolveProgram(program, options.searchPath)) idsOf[*found].insert(*id);
      }
    }
  }
  auto table = std::make_shared<Table>();
  // A program that more than one entry runs launches each of them: none.
  for (auto& [program, ids] : idsOf) {
    struct stat st {};
    if (ids.size() != 1 || ::stat(program.c_str(), &st) != 0) continue;
    table->emplace(program, Program{*ids.begin(), st.st_dev, st.st_ino});
  }
  return table;
}

std::optional<std::string> ApplicationIndex::find(const std::string& path, std::uint64_t device,
                                                  std::uint64_t inode) const {
  std::lock_guard lock(mu_);
  if (!table_) return std::nullopt;
  const auto it = table_->find(path);
  if (it == table_->end() || it->second.device != device || it->second.inode != inode) {
    return std::nullopt;
  }
  return it->second.id;
}

bool ApplicationIndex::names(const std::string& path) const {
  std::lock_guard lock(mu_);
  return table_ && table_->contains(path);
}

std::size_t ApplicationIndex::size() const {
  std::lock_guard lock(mu_);
  return table_ ? table_->size() : 0;
}

std::shared_ptr<const ApplicationIndex::Table> ApplicationIndex::current() const {
  std::lock_guard lock(mu_);
  return table_;
}

void ApplicationIndex::set(std::shared_ptr<const Table> table) {
  {
    std::lock_guard lock(mu_);
    table_ = std::move(table);
  }
  built_.notify_all();
}

void ApplicationIndex::start(Options options) {
  {
    std::lock_guard lock(mu_);
    if (started_) return;
    started_ = true;
  }
  std::thread([this, options = std::move(options)] { watch(options); }).detach();
  // Entries may name programs anywhere, on a file system that never answers:
  // the agent starts without the table rather than not at all.
  std::unique_lock lock(mu_);
  built_.wait_for(lock, kFirstBuildWait, [this] { return table_ != nullptr; });
}

void ApplicationIndex::start() {
  start(Options());
}

ApplicationIndex& ApplicationIndex::shared() {
  static auto* index = new ApplicationIndex;  // its watcher runs until the very end
  return *index;
}

// Watches each applications directory, those below it and the one above it
// (where it may yet be made), and /etc/alternatives (where a program's
// link may change); after any change, once the changes have settled for a
// moment, reads everything again.
void ApplicationIndex::watch(const Options& options) {
  constexpr std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;
  constexpr int kSettleMs = 200;
  for (;;) {
    FileDescriptor fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (fd.get() < 0) {
      set(build(options));  // kept as it is now
      return;
    }
    std::vector<std::string> directories = {"/etc/alternatives"};
    std::size_t budget = kMaxEntries;
    for (const std::string& directory : options.directories) {
      directories.push_back(std::filesystem::path(directory).parent_path().string());
      std::vector<std::pair<std::filesystem::path, std::string>> ignored;
      listEntries(directory, budget, ignored, &directories);
    }
    // A program replaced (an upgrade) is another file at the same path.
    std::set<std::string> programDirectories;
    if (const auto table = current()) {
      for (const auto& [program, ignored] : *table) {
        programDirectories.insert(std::filesystem::path(program).parent_path().string());
      }
    }
    directories.insert(directories.end(), programDirectories.begin(), programDirectories.end());
    for (const std::string& directory : directories) {
      ::inotify_add_watch(fd.get(), directory.c_str(), kEvents);
    }
    // Changes made while the watches were being set are caught this way.
    set(build(options));
    alignas(inotify_event) char buffer[16384];
    pollfd wait{fd.get(), POLLIN, 0};
    while (::poll(&wait, 1, -1) < 0 && errno == EINTR) {
    }
    // Settled: no event for a moment.
    do {
      while (::read(fd.get(), buffer, sizeof buffer) > 0) {
      }
    } while (::poll(&wait, 1, kSettleMs) > 0);
  }
}

std::optional<std::string> sandboxApplicationId(const ExecutableSite& site) {
  if (!site.root) return std::nullopt;
  struct statx sx {};
  constexpr unsigned kMask = STATX_INO | STATX_MNT_ID;
  if (::statx(site.root->fd(), "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, kMask, &sx) != 0 ||
      (sx.stx_mask & kMask) != kMask) {
    return std::nullopt;
  }
  const Sandboxes::Key key{sx.stx_mnt_id,
                           {makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino}};
  if (auto known = sandboxes().find(key)) return *known;
  std::shared_ptr<const LookupRoot> root = site.root;
  // A read that ends late is kept for the sandbox's next processes.
  auto read = inspection::bounded<std::optional<std::string>>(
      inspection::mountWithReusableId(key.mountId), [root] { return readSandboxInfo(*root); },
      [key, root](std::optional<std::string> id) { sandboxes().keep(key, root, std::move(id)); });
  if (!read) return std::nullopt;
  sandboxes().keep(key, root, *read);
  return *read;
}

}  // namespace procscope
