#include "procscope/LoadedProgram.hpp"

#include <elf.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "procscope/BinaryCache.hpp"
#include "procscope/ExecutableSite.hpp"
#include "procscope/FileDescriptor.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/Process.hpp"
#include "procscope/Utf8.hpp"
#include "procscope/Utilities.hpp"
#include "procscope/platform/Kernel.hpp"

namespace procscope {
namespace loader {
namespace {

// Little- or big-endian fields of an image, bounds-checked.
class Fields {
 public:
  Fields(std::string_view image, bool bigEndian) : image_(image), big_(bigEndian) {}
  bool has(std::uint64_t offset, std::uint64_t size) const {
    return offset <= image_.size() && size <= image_.size() - offset;
  }
  std::uint64_t get(std::uint64_t offset, unsigned size) const {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i) {
      const auto byte = static_cast<unsigned char>(image_[offset + (big_ ? i : size - 1 - i)]);
      value = (value << 8) | byte;
    }
    return value;
  }

 private:
  std::string_view image_;
  bool big_;
};

// The names glibc and musl give their loaders (musl's is its libc).
bool isLoaderName(std::string_view soname) {
  return soname.starts_with("ld-linux") || soname.starts_with("ld-musl-") ||
         soname.starts_with("ld.so.") || soname.starts_with("ld64.so.") || soname == "libc.so";
}

// Options of the loader that take the next argument as their value (glibc's
// and musl's; "--glibc-hwcaps-prefer" as it is also spelled).
constexpr std::string_view kValueOptions[] = {
    "--library-path",
    "--preload",
    "--audit",
    "--argv0",
    "--inhibit-rpath",
    "--glibc-hwcaps-prepend",
    "--glibc-hwcaps-prefer",
    "--glibc-hwcaps-mask",
};

}  // namespace

std::optional<bool> isLoaderImage(std::string_view image) {
  if (image.size() < SELFMAG) return std::nullopt;
  if (std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) return false;
  if (image.size() < EI_NIDENT) return std::nullopt;
  const auto elfClass = static_cast<unsigned char>(image[EI_CLASS]);
  const auto data = static_cast<unsigned char>(image[EI_DATA]);
  if ((elfClass != ELFCLASS32 && elfClass != ELFCLASS64) ||
      (data != ELFDATA2LSB && data != ELFDATA2MSB)) {
    return false;
  }
  const bool wide = elfClass == ELFCLASS64;
  const Fields f(image, data == ELFDATA2MSB);
  const unsigned word = wide ? 8 : 4;
  const std::uint64_t headerSize = wide ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
  if (!f.has(0, headerSize)) return std::nullopt;
  if (f.get(16, 2) != ET_DYN) return false;
  const std::uint64_t phoff = f.get(wide ? 32 : 28, word);
  const std::uint64_t phentsize = f.get(wide ? 54 : 42, 2);
  const std::uint64_t phnum = f.get(wide ? 56 : 44, 2);
  if (phentsize < (wide ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr))) return false;
  if (!f.has(phoff, phentsize * phnum)) return std::nullopt;

  // The segments: none may name an interpreter, one must be the dynamic one.
  struct Segment {
    std::uint64_t offset, vaddr, filesz;
  };
  std::vector<Segment> loads;
  std::optional<Segment> dynamic;
  for (std::uint64_t i = 0; i < phnum; ++i) {
    const std::uint64_t at = phoff + i * phentsize;
    const auto type = f.get(at, 4);
    const Segment s{f.get(at + (wide ? 8 : 4), word), f.get(at + (wide ? 16 : 8), word),
                    f.get(at + (wide ? 32 : 16), word)};
    if (type == PT_INTERP) return false;
    if (type == PT_LOAD) loads.push_back(s);
    if (type == PT_DYNAMIC) dynamic = s;
  }
  if (!dynamic) return false;
  if (!f.has(dynamic->offset, dynamic->filesz)) return std::nullopt;

  std::optional<std::uint64_t> soname, strtab;
  std::uint64_t strsz = 0;
  const std::uint64_t entrySize = 2ULL * word;
  for (std::uint64_t at = dynamic->offset; at + entrySize <= dynamic->offset + dynamic->filesz;
       at += entrySize) {
    const std::uint64_t tag = f.get(at, word);
    const std::uint64_t value = f.get(at + word, word);
    if (tag == DT_NULL) break;
    if (tag == DT_SONAME) soname = value;
    if (tag == DT_STRTAB) strtab = value;
    if (tag == DT_STRSZ) strsz = value;
  }
  if (!soname || !strtab || *soname >= strsz) return false;
  // The string table is given as an address: found in the file through the
  // loaded segment that holds it.
  const auto load = std::find_if(loads.begin(), loads.end(), [&](const Segment& s) {
    return *strtab >= s.vaddr && *strtab - s.vaddr < s.filesz;
  });
  if (load == loads.end()) return false;
  const std::uint64_t at = load->offset + (*strtab - load->vaddr) + *soname;
  constexpr std::uint64_t kLongestName = 64;
  const std::uint64_t span = std::min(kLongestName, strsz - *soname);
  if (!f.has(at, span)) return std::nullopt;
  const std::string_view name = image.substr(at, span);
  const auto end = name.find('\0');
  if (end == std::string_view::npos) return false;
  return isLoaderName(name.substr(0, end));
}

std::optional<std::string> interpreterOf(std::string_view image) {
  if (image.size() < EI_NIDENT || std::memcmp(image.data(), ELFMAG, SELFMAG) != 0) {
    return std::nullopt;
  }
  const bool wide = static_cast<unsigned char>(image[EI_CLASS]) == ELFCLASS64;
  const Fields f(image, static_cast<unsigned char>(image[EI_DATA]) == ELFDATA2MSB);
  const unsigned word = wide ? 8 : 4;
  if (!f.has(0, wide ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr))) return std::nullopt;
  const std::uint64_t phoff = f.get(wide ? 32 : 28, word);
  const std::uint64_t phentsize = f.get(wide ? 54 : 42, 2);
  const std::uint64_t phnum = f.get(wide ? 56 : 44, 2);
  if (phentsize < (wide ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr))) return std::nullopt;
  for (std::uint64_t i = 0; i < phnum && f.has(phoff + i * phentsize, phentsize); ++i) {
    const std::uint64_t at = phoff + i * phentsize;
    if (f.get(at, 4) != PT_INTERP) continue;
    const std::uint64_t offset = f.get(at + (wide ? 8 : 4), word);
    const std::uint64_t size = f.get(at + (wide ? 32 : 16), word);
    if (!f.has(offset, size)) return std::nullopt;
    const std::string_view name = image.substr(offset, size);
    return std::string(name.substr(0, name.find('\0')));
  }
  return std::nullopt;
}

std::optional<std::size_t> programArgument(const std::vector<std::string>& argv) {
  std::size_t i = 1;
  while (i < argv.size()) {
    const std::string_view arg = argv[i];
    if (!arg.starts_with("--")) break;  // the program, even "-x"
    ++i;
    if (arg == "--") break;  // musl: the options end here
    if (arg == "--version") return std::nullopt;
    if (std::find(std::begin(kValueOptions), std::end(kValueOptions), arg) !=
        std::end(kValueOptions)) {
      if (i == argv.size()) return std::nullopt;  // the loader refuses it
      ++i;
    }
    // Anything else is a flag (--list, --verify, --inhibit-cache, --help, or
    // an option given as --name=value).
  }
  if (i >= argv.size()) return std::nullopt;
  return i;
}

std::vector<MappedFile> mappedFiles(std::string_view maps) {
  std::vector<MappedFile> out;
  while (!maps.empty()) {
    const auto end = maps.find('\n');
    std::string_view line = maps.substr(0, end);
    maps.remove_prefix(end == std::string_view::npos ? maps.size() : end + 1);
    // address perms offset major:minor inode [path]
    std::string_view fields[5];
    bool whole = true;
    for (auto& field : fields) {
      const auto start = line.find_first_not_of(' ');
      if (start == std::string_view::npos) {
        whole = false;
        break;
      }
      line.remove_prefix(start);
      const auto stop = line.find(' ');
      field = line.substr(0, stop);
      line.remove_prefix(stop == std::string_view::npos ? line.size() : stop);
    }
    if (!whole) continue;
    MappedFile file;
    const auto colon = fields[3].find(':');
    if (colon == std::string_view::npos) continue;
    const std::string majorText(fields[3].substr(0, colon));
    const std::string minorText(fields[3].substr(colon + 1));
    const std::string inode(fields[4]);
    char* stop = nullptr;
    file.major = static_cast<std::uint32_t>(std::strtoul(majorText.c_str(), &stop, 16));
    if (*stop != '\0' || majorText.empty()) continue;
    file.minor = static_cast<std::uint32_t>(std::strtoul(minorText.c_str(), &stop, 16));
    if (*stop != '\0' || minorText.empty()) continue;
    file.inode = std::strtoull(inode.c_str(), &stop, 10);
    if (*stop != '\0' || inode.empty() || file.inode == 0) continue;
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) continue;
    // The kernel writes a newline in a name as \012, and nothing else so.
    std::string_view rest = line.substr(start);
    for (auto at = rest.find("\\012"); at != std::string_view::npos; at = rest.find("\\012")) {
      file.path.append(rest.substr(0, at)).push_back('\n');
      rest.remove_prefix(at + 4);
    }
    file.path.append(rest);
    const bool seen = std::any_of(out.begin(), out.end(), [&](const MappedFile& m) {
      return m.inode == file.inode && m.major == file.major && m.minor == file.minor;
    });
    if (!seen) out.push_back(std::move(file));
  }
  return out;
}

}  // namespace loader

namespace {

using std::chrono::milliseconds;

// The loader's header and program headers fit in this; the rest of a file is
// read only when they say it may be a loader (ld.so is about 200 KiB).
constexpr std::size_t kHeaderBytes = 4096;
constexpr std::size_t kLongestLoader = 4 << 20;
// The loader maps its program within a millisecond or so of its start; a
// record is judged about then. Each retry holds up the event loop.
constexpr int kMapLooks = 3;
constexpr milliseconds kBetweenLooks{1};
// A process's argument area, at most (the kernel's limit is a quarter of the
// stack limit; 8 MiB stacks give 2 MiB).
constexpr std::size_t kLongestArguments = 8 << 20;

std::string procPath(std::int32_t pid, std::string_view leaf) {
  return "/proc/" + std::to_string(pid) + "/" + std::string(leaf);
}

// The file's first `limit` bytes, or fewer when it is shorter.
std::string readUpTo(int fd, std::size_t limit) {
  std::string out;
  char chunk[16384];
  while (out.size() < limit) {
    const ssize_t n = ::pread(fd, chunk, std::min(sizeof chunk, limit - out.size()),
                              static_cast<off_t>(out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return out;
}

// Whether the process runs a loader, and whether that is an answer about
// the file asked of (to be remembered with it).
struct Runs {
  bool loader = false;
  bool fileAskedOf = true;
};

// The file a Binary was made of, where its inspection saw it.
std::optional<FileIdentity> fileOf(const Binary& binary) {
  const auto& a = binary.attributes();
  if (!a) return std::nullopt;
  const auto device = a->find("NSFileSystemNumber");
  const auto inode = a->find("NSFileSystemFileNumber");
  if (device == a->end() || inode == a->end()) return std::nullopt;
  const auto d = device->second.integer(), i = inode->second.integer();
  if (!d || !i) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(*d), static_cast<std::uint64_t>(*i)};
}

// Whether the executable the process runs is a loader: its own file, read
// through /proc/<pid>/exe (whatever namespace or root it lies in). Where it
// is not `expected` (the process has run another program since, or the
// record's binary is of a file put in the executable's place), the answer
// holds for this process only: remembered as the other file's, it would
// misjudge every later run of that.
Runs executableIsLoader(std::int32_t pid, const std::optional<FileIdentity>& expected) {
  const FileDescriptor fd(::open(procPath(pid, "exe").c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return {false, false};
  struct stat st {};
  const bool asked =
      !expected || (::fstat(fd.get(), &st) == 0 && *expected == FileIdentity{st.st_dev, st.st_ino});
  std::string image = readUpTo(fd.get(), kHeaderBytes);
  auto answer = loader::isLoaderImage(image);
  if (!answer && image.size() == kHeaderBytes) {
    image = readUpTo(fd.get(), kLongestLoader);
    answer = loader::isLoaderImage(image);
  }
  return {answer.value_or(false), asked};
}

// Whether `file` is a loader the system's own programs are run by: the
// interpreter the agent's own executable and the shell name, found once.
// Known so with no read of the file, nor a wait for the inspection pool.
bool isSystemLoader(const FileIdentity& file) {
  static const auto* loaders = new std::vector<FileIdentity>([] {  // used until the very end
    std::vector<FileIdentity> found;
    for (const char* program : {"/proc/self/exe", "/bin/sh"}) {
      const FileDescriptor fd(::open(program, O_RDONLY | O_CLOEXEC));
      if (fd.get() < 0) continue;
      const auto interpreter = loader::interpreterOf(readUpTo(fd.get(), kHeaderBytes));
      struct stat st {};
      if (!interpreter || ::stat(interpreter->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      const FileIdentity loader{st.st_dev, st.st_ino};
      if (std::find(found.begin(), found.end(), loader) == found.end()) found.push_back(loader);
    }
    return found;
  }());
  return std::find(loaders->begin(), loaders->end(), file) != loaders->end();
}

// The answer for each executable inspected, remembered with its Binary: a
// Binary remembered by BinaryCache is one unchanged file, so an ordinary
// exec, served from there, costs one lookup here and no read.
class Answers {
 public:
  std::optional<bool> find(const std::shared_ptr<Binary>& binary) {
    std::lock_guard lock(mu_);
    const auto found = answers_.find(binary.get());
    if (found == answers_.end() || !sameOwner(found->second.binary, binary)) return std::nullopt;
    return found->second.loader;
  }
  void store(const std::shared_ptr<Binary>& binary, bool loader) {
    std::lock_guard lock(mu_);
    if (answers_.size() >= BinaryCache::kCapacity) {
      std::erase_if(answers_, [](const auto& entry) { return entry.second.binary.expired(); });
      if (answers_.size() >= BinaryCache::kCapacity) answers_.clear();
    }
    answers_[binary.get()] = {binary, loader};
  }

 private:
  static bool sameOwner(const std::weak_ptr<Binary>& held, const std::shared_ptr<Binary>& binary) {
    return !held.owner_before(binary) && !binary.owner_before(held);
  }
  struct Answer {
    std::weak_ptr<Binary> binary;  // a gone Binary's address may be reused
    bool loader = false;
  };
  std::mutex mu_;
  std::unordered_map<const Binary*, Answer> answers_;
};

Answers& answers() {
  static auto* shared = new Answers;  // used until the very end of the run
  return *shared;
}

// argv as the process has it now, as bytes; none when unreadable.
std::optional<std::vector<std::string>> rawArguments(std::int32_t pid) {
  auto text = readFileText(procPath(pid, "cmdline"), kLongestArguments);
  if (!text || text->empty()) return std::nullopt;
  if (text->back() == '\0') text->pop_back();
  std::vector<std::string> out;
  std::string_view rest = *text;
  for (;;) {
    const auto end = rest.find('\0');
    out.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return out;
}

// What a resolved name is.
struct Resolved {
  std::uint32_t major = 0, minor = 0;
  std::uint64_t inode = 0;
  std::string bytes;  // its path, as /proc/<pid>/exe would give it
};

std::optional<std::string> linkOf(const std::string& path) {
  std::string bytes(4096, '\0');
  const ssize_t got = ::readlink(path.c_str(), bytes.data(), bytes.size());
  if (got <= 0 || static_cast<std::size_t>(got) >= bytes.size()) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(got));
  return bytes;
}

// A relative name as a path inside the process's root, when its working
// directory lies inside that root: then an absolute symbolic link on the way
// resolves inside the root too, as the process's own lookup does.
std::optional<std::string> insideRoot(std::int32_t pid, const std::string& name) {
  const auto root = linkOf(procPath(pid, "root"));
  const auto cwd = linkOf(procPath(pid, "cwd"));
  if (!root || !cwd || !cwd->starts_with('/')) return std::nullopt;
  if (*root == "/") return appendingPathComponent(*cwd, name);
  if (*cwd == *root) return "/" + name;
  if (!cwd->starts_with(*root + "/")) return std::nullopt;
  return appendingPathComponent(cwd->substr(root->size()), name);
}

// The regular file a name containing "/" names for the process: an absolute
// one within the process's root, a relative one from its working directory.
std::optional<Resolved> resolve(std::int32_t pid, std::string name) {
  if (!name.starts_with('/')) {
    if (auto inRoot = insideRoot(pid, name)) name = std::move(*inRoot);
  }
  const bool absolute = name.starts_with('/');
  const FileDescriptor base(
      ::open(procPath(pid, absolute ? "root" : "cwd").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (base.get() < 0) return std::nullopt;
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS | (absolute ? RESOLVE_IN_ROOT : 0);
  const FileDescriptor fd(
      static_cast<int>(::syscall(SYS_openat2, base.get(), name.c_str(), &how, sizeof how)));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  // Too long to be named: at least the name it was given is right.
  return Resolved{major(st.st_dev), minor(st.st_dev), st.st_ino,
                  linkOf(descriptorPath(fd.get())).value_or(name)};
}

struct Found {
  std::string bytes;
  bool confirmed = false;
  std::vector<std::string> mapped;  // when another file was mapped instead
};

// Files judged in place of one not confirmed, at most: each is inspected on
// the event loop's time.
constexpr std::size_t kMostMapped = 16;

// The kernel's mark on a mapped file unlinked since; a file renamed over the
// program shows so.
std::string withoutDeletedMark(std::string path) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path;
}

// Which program the loader process runs, given the name it was told.
Found locate(std::int32_t pid, const std::string& name) {
  const bool hasSlash = name.find('/') != std::string::npos;
  // A name without "/" is looked up by the loader along library paths:
  // found only among the mapped files, by its name.
  const std::optional<Resolved> resolved = hasSlash ? resolve(pid, name) : std::nullopt;
  const std::string leaf = lastPathComponent(name);
  struct stat self {};
  const bool selfKnown = ::stat(procPath(pid, "exe").c_str(), &self) == 0;
  const auto isSelf = [&](const loader::MappedFile& file) {
    return selfKnown && file.inode == self.st_ino && file.major == major(self.st_dev) &&
           file.minor == minor(self.st_dev);
  };

  for (int look = 0; look < kMapLooks; ++look) {
    if (look > 0) std::this_thread::sleep_for(kBetweenLooks);
    const auto maps = readFileText(procPath(pid, "maps"), 1 << 20);
    if (!maps) break;  // gone
    bool othersMapped = false;
    const auto files = loader::mappedFiles(*maps);
    const loader::MappedFile* sameName = nullptr;
    for (const auto& file : files) {
      if (isSelf(file)) continue;  // the loader itself
      othersMapped = true;
      if (resolved && file.inode == resolved->inode &&
          ((file.major == resolved->major && file.minor == resolved->minor) ||
           file.path == resolved->bytes)) {
        return Found{resolved->bytes, true, {}};
      }
      if (!sameName && lastPathComponent(withoutDeletedMark(file.path)) == leaf) sameName = &file;
    }
    if (!othersMapped) continue;
    // The program is the first file the loader maps: once others are, the
    // one resolved is not coming. A file of its name (found along a library
    // path) is the program; else another file stands where the name led when
    // the loader looked (a symbolic link turned, a file renamed over it), and
    // the program is one of those mapped: each is judged.
    if (sameName && !resolved) return Found{withoutDeletedMark(sameName->path), true, {}};
    // The loader maps a position-independent program right below itself,
    // and its libraries below that; a program of fixed addresses lies
    // lowest. So the lowest file first, then from the top down.
    Found found{resolved ? resolved->bytes : name, false, {}};
    std::vector<const loader::MappedFile*> order;
    for (const auto& file : files) {
      if (!isSelf(file)) order.push_back(&file);
    }
    if (!order.empty()) std::reverse(order.begin() + 1, order.end());
    for (const auto* file : order) {
      if (found.mapped.size() == kMostMapped) break;
      found.mapped.push_back(withoutDeletedMark(file->path));
    }
    return found;
  }
  return Found{resolved ? resolved->bytes : name, false, {}};
}

// The program whose file is at `bytes`, inspected as any executable is.
LoadedProgram programAt(const std::string& bytes) {
  LoadedProgram program;
  program.path = decodeLossy(bytes);
  if (bytes.starts_with('/')) program.binary = inspectRemembered(*program.path, bytes);
  if (!program.binary) program.binary = Binary::uninspected(*program.path);
  return program;
}

// The program named `name`, as far as it was found (not at all: the name).
std::shared_ptr<const LoadedProgram> programFound(const std::optional<Found>& found,
                                                  const std::string& name) {
  auto program = std::make_shared<LoadedProgram>(programAt(found ? found->bytes : name));
  program->confirmed = found && found->confirmed;
  if (found) {
    for (const std::string& bytes : found->mapped)
      program->mappedInstead.push_back(programAt(bytes));
  }
  return program;
}

// What a loader's program is learnt from, copied from the record when it is
// asked about: a late step reads nothing of a record its owner may change.
struct Asked {
  std::int32_t pid = -1;
  std::vector<std::string> arguments;  // as taken at the event
};

// The program of a process whose executable is a loader. When the lookup is
// late, `late` gets the program found, and the program as its name gives it
// is returned only with `guessMeanwhile` (a late pass has judged that
// already, or has nothing to add to it).
std::shared_ptr<const LoadedProgram> programOfLoader(const Asked& asked,
                                                     const LateLoadedProgram& late,
                                                     bool guessMeanwhile) {
  const std::int32_t pid = asked.pid;
  // The arguments taken at the event, unless some were left out of the
  // record (not UTF-8), which would shift the loader's options.
  std::vector<std::string> argv = asked.arguments;
  if (auto raw = rawArguments(pid); raw && (argv.empty() || raw->size() != argv.size())) {
    argv = std::move(*raw);
  }
  const auto index = loader::programArgument(argv);
  if (!index) return nullptr;  // it runs no program: judged as itself
  const std::string name = argv[*index];

  // Waited for as a file there is: a stalled file system holds only its own.
  const std::string where =
      name.starts_with('/')
          ? name
          : appendingPathComponent(linkOf(procPath(pid, "cwd")).value_or("/"), name);
  std::function<void(Found)> whenLate;
  if (late) {
    whenLate = [late, name](Found found) { late(programFound(found, name)); };
  }
  const auto found = inspection::bounded<Found>(
      inspection::mountOf(where), [pid, name] { return locate(pid, name); }, std::move(whenLate));
  if (!found && late && !guessMeanwhile) return nullptr;
  return programFound(found, name);
}

}  // namespace

std::shared_ptr<const LoadedProgram> findLoadedProgram(
    const Process& process, const LateLoadedProgram& late,
    const std::optional<FileIdentity>& executed) {
  const std::shared_ptr<Binary>& binary = process.binary();
  const std::int32_t pid = process.pid();
  if (!binary || pid <= 0) return nullptr;
  std::optional<bool> isLoader;
  if (executed && isSystemLoader(*executed)) isLoader = true;
  if (!isLoader) isLoader = answers().find(binary);
  if (isLoader == false) return nullptr;
  // The rest reads /proc: never for a trail replayed without this machine's
  // processes, whose pids name others here.
  if (!platform::Kernel::get()->isAlive(pid)) return nullptr;
  Asked asked{pid, process.arguments()};
  if (!isLoader) {
    // Not answered in time: judged as it is now, and as its program once
    // the answer comes (unless the process has ended, or run another
    // program, judged as a start of its own, by then).
    std::function<void(Runs)> whenLate;
    if (late) {
      whenLate = [binary, asked, late](Runs runs) {
        if (runs.fileAskedOf) answers().store(binary, runs.loader);
        if (!runs.loader || !platform::Kernel::get()->isAlive(asked.pid)) return;
        if (auto program = programOfLoader(asked, late, false)) late(std::move(program));
      };
    }
    const auto runs = inspection::bounded<Runs>(
        inspection::mountOf(binary->fileSystemPath().value_or("/")),
        [pid, file = fileOf(*binary)] { return executableIsLoader(pid, file); },
        std::move(whenLate));
    if (!runs) return nullptr;
    isLoader = runs->loader;
    if (runs->fileAskedOf) answers().store(binary, *isLoader);
  }
  if (!*isLoader) return nullptr;
  return programOfLoader(asked, late, true);
}

}  // namespace procscope
