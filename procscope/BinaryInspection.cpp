// Fills a Binary from the file system. init runs for every process start on
// the machine, before the verdict on it, so it reads no file contents and
// spends a handful of system calls; the digest, the signature and the icon
// are left to those who ask for them.
#include <fcntl.h>
#include <grp.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <unordered_map>

#include "procscope/ApplicationIdentity.hpp"
#include "procscope/Binary.hpp"
#include "procscope/Digest.hpp"
#include "procscope/FileDescriptor.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/Signing.hpp"
#include "procscope/Utilities.hpp"
#include "procscope/platform/Icons.hpp"

namespace procscope {

namespace {

// Account names come from NSS, which may read files or ask a directory
// service each time; one executable's start should not wait on that, so
// answers (missing ones included) are kept for a minute.
class AccountNames {
 public:
  std::optional<std::string> user(std::uint32_t uid) { return lookup(users_, uid, &userName); }
  std::optional<std::string> group(std::uint32_t gid) { return lookup(groups_, gid, &groupName); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::optional<std::string> name;
    Clock::time_point when;
  };
  using Table = std::unordered_map<std::uint32_t, Entry>;
  static constexpr auto kLifetime = std::chrono::minutes(1);
  static constexpr std::size_t kMaxEntries = 4096;

  std::optional<std::string> lookup(Table& table, std::uint32_t id,
                                    std::optional<std::string> (*query)(std::uint32_t)) {
    auto now = Clock::now();
    {
      std::lock_guard lock(mutex_);
      auto it = table.find(id);
      if (it != table.end() && now - it->second.when < kLifetime) return it->second.name;
    }
    std::optional<std::string> name;
    {
      // Not the inspected file's file system: a slow answer is no stall there.
      inspection::WaitElsewhere elsewhere;
      name = query(id);
    }
    std::lock_guard lock(mutex_);
    if (table.size() >= kMaxEntries) table.clear();
    table[id] = Entry{name, now};
    return name;
  }

  // getpwuid_r and getgrgid_r fill their record from a buffer of ours,
  // which may prove too small.
  static std::optional<std::string> userName(std::uint32_t uid) {
    std::vector<char> buffer(1024);
    for (;;) {
      struct passwd record {};
      struct passwd* found = nullptr;
      int rc = ::getpwuid_r(uid, &record, buffer.data(), buffer.size(), &found);
      if (rc == ERANGE && buffer.size() < kMaxBuffer) {
        buffer.resize(buffer.size() * 4);
        continue;
      }
      if (rc != 0 || !found || !found->pw_name) return std::nullopt;
      return std::string(found->pw_name);
    }
  }
  static std::optional<std::string> groupName(std::uint32_t gid) {
    std::vector<char> buffer(1024);
    for (;;) {
      struct group record {};
      struct group* found = nullptr;
      int rc = ::getgrgid_r(gid, &record, buffer.data(), buffer.size(), &found);
      if (rc == ERANGE && buffer.size() < kMaxBuffer) {
        buffer.resize(buffer.size() * 4);
        continue;
      }
      if (rc != 0 || !found || !found->gr_name) return std::nullopt;
      return std::string(found->gr_name);
    }
  }
  static constexpr std::size_t kMaxBuffer = 1 << 20;

  std::mutex mutex_;
  Table users_;
  Table groups_;
};

AccountNames& accountNames() {
  static auto* names = new AccountNames;  // used until the very end of the run
  return *names;
}

Date dateOf(const struct statx_timestamp& t) {
  auto since = std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
  return Date{std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(since))};
}

const char* fileTypeName(std::uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "NSFileTypeRegular";
    case S_IFDIR:
      return "NSFileTypeDirectory";
    case S_IFLNK:
      return "NSFileTypeSymbolicLink";
    case S_IFCHR:
      return "NSFileTypeCharacterSpecial";
    case S_IFBLK:
      return "NSFileTypeBlockSpecial";
    case S_IFSOCK:
      return "NSFileTypeSocket";
    default:
      return "NSFileTypeUnknown";
  }
}

// The item itself, not what a final symbolic link points to.
std::optional<struct statx> examine(const std::string& path) {
  struct statx sx {};
  FileDescriptor item = lookUp(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (item.get() < 0) return std::nullopt;
  if (::statx(item.get(), "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
    return sx;
  }
  if (errno != ENOSYS) return std::nullopt;
  // Kernels or sandboxes without statx: the same facts bar the creation date.
  struct stat st {};
  if (::fstat(item.get(), &st) != 0) return std::nullopt;
  sx.stx_mask = STATX_BASIC_STATS;
  sx.stx_mode = static_cast<std::uint16_t>(st.st_mode);
  sx.stx_size = static_cast<std::uint64_t>(st.st_size);
  sx.stx_mtime = {st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec), 0};
  sx.stx_uid = st.st_uid;
  sx.stx_gid = st.st_gid;
  sx.stx_nlink = static_cast<std::uint32_t>(st.st_nlink);
  sx.stx_dev_major = major(st.st_dev);
  sx.stx_dev_minor = minor(st.st_dev);
  sx.stx_ino = st.st_ino;
  return sx;
}

constexpr std::size_t kHashChunk = std::size_t{256} * 1024;

}  // namespace

std::shared_ptr<Binary> Binary::init(const std::string& pathOrCommand,
                                     const std::optional<std::string>& fileSystemPath,
                                     const std::shared_ptr<const LookupRoot>& root) {
  auto binary = std::make_shared<Binary>();
  binary->root_ = root;
  binary->rooted_ = root != nullptr;
  // A path found through a root may show otherwise than it is looked up
  // (one longer than PATH_MAX is looked up from a directory near it).
  if ((!pathOrCommand.empty() && pathOrCommand.front() == '/') || (root && fileSystemPath)) {
    binary->setPath(pathOrCommand);
    if (fileSystemPath && *fileSystemPath != pathOrCommand) binary->pathBytes_ = fileSystemPath;
  } else {
    binary->setPath(PS_which(pathOrCommand).value_or(pathOrCommand));
  }
  binary->getBundle();
  binary->getName();
  binary->getBundleIndentifier();
  binary->getAttributes();
  binary->getMetadata();
  binary->getApplicationIdentifier();
  return binary;
}

std::shared_ptr<Binary> Binary::uninspected(const std::string& pathOrCommand) {
  auto binary = std::make_shared<Binary>();
  binary->setPath(pathOrCommand);
  binary->getName();
  binary->getBundleIndentifier();
  return binary;
}

void Binary::getApplicationIdentifier() {
  applicationIdentifier_ = applicationIdentifierOfFile();
}

std::optional<std::string> Binary::applicationIdentifierOfFile() const {
  if (!path_) return std::nullopt;
  if (auto snap = snapNameOf(*path_)) return snap;
  if (!attributes_) return std::nullopt;
  // The entries name files as the agent sees them: the process must run the
  // very file found there, not merely one at the same path.
  const auto number = [this](const char* key) {
    const auto it = attributes_->find(key);
    return it == attributes_->end() ? std::nullopt : it->second.integer();
  };
  const auto device = number("NSFileSystemNumber");
  const auto inode = number("NSFileSystemFileNumber");
  if (!device || !inode) return std::nullopt;
  return ApplicationIndex::shared().find(*path_, static_cast<std::uint64_t>(*device),
                                         static_cast<std::uint64_t>(*inode));
}

void Binary::getBundle() {
  if (!path_) return;
  InRoot inRoot(*this);
  bundle_ = platform::Bundles::get()->bundleWithPath(*fileSystemPath());
  if (!bundle_) bundle_ = PS_findAppBundle(*fileSystemPath());
}

void Binary::getName() {
  if (bundle_) name_ = stringForKey(bundle_->infoDictionary(), "CFBundleName");
  if (!name_ && path_) name_ = lastPathComponent(*path_);
}

void Binary::getBundleIndentifier() {
  if (bundle_) {
    // A bundle without an identifier has none; its name does not stand in.
    bundleIdentifier_ = stringForKey(bundle_->infoDictionary(), "CFBundleIdentifier");
  } else {
    bundleIdentifier_ = name_;
  }
}

void Binary::getAttributes() {
  attributes_.reset();
  if (!path_) return;
  InRoot inRoot(*this);
  auto sx = examine(*fileSystemPath());
  if (!sx) return;

  Dictionary a;
  a["NSFileType"] = Value(fileTypeName(sx->stx_mode));
  a["NSFileSize"] = Value(static_cast<std::int64_t>(sx->stx_size));
  a["NSFileModificationDate"] = Value(dateOf(sx->stx_mtime));
  if (sx->stx_mask & STATX_BTIME) a["NSFileCreationDate"] = Value(dateOf(sx->stx_btime));
  a["NSFilePosixPermissions"] = Value(static_cast<std::int64_t>(sx->stx_mode & 07777));
  a["NSFileOwnerAccountID"] = Value(static_cast<std::int64_t>(sx->stx_uid));
  a["NSFileGroupOwnerAccountID"] = Value(static_cast<std::int64_t>(sx->stx_gid));
  if (auto user = accountNames().user(sx->stx_uid)) a["NSFileOwnerAccountName"] = Value(*user);
  if (auto group = accountNames().group(sx->stx_gid)) {
    a["NSFileGroupOwnerAccountName"] = Value(*group);
  }
  a["NSFileReferenceCount"] = Value(static_cast<std::int64_t>(sx->stx_nlink));
  a["NSFileSystemNumber"] =
      Value(static_cast<std::int64_t>(makedev(sx->stx_dev_major, sx->stx_dev_minor)));
  a["NSFileSystemFileNumber"] = Value(static_cast<std::int64_t>(sx->stx_ino));
  if (sx->stx_attributes_mask & STATX_ATTR_IMMUTABLE) {
    a["NSFileImmutable"] = Value((sx->stx_attributes & STATX_ATTR_IMMUTABLE) != 0);
  }
  if (sx->stx_attributes_mask & STATX_ATTR_APPEND) {
    a["NSFileAppendOnly"] = Value((sx->stx_attributes & STATX_ATTR_APPEND) != 0);
  }
  attributes_ = std::move(a);
}

void Binary::getMetadata() {
  if (!path_) return;
  InRoot inRoot(*this);
  // Asked of the regular file itself, reached through its descriptor; a
  // final symbolic link, like anything but a regular file, has none.
  FileDescriptor located = locateRegularFile(*fileSystemPath(), false);
  if (located.get() < 0) return;
  const std::string reached = descriptorPath(located.get());
  const char* path = reached.c_str();
  // The names, sized first; the list may grow between the two calls.
  std::vector<char> names;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ssize_t size = ::listxattr(path, nullptr, 0);
    if (size <= 0) return;
    names.resize(static_cast<std::size_t>(size));
    size = ::listxattr(path, names.data(), names.size());
    if (size >= 0) {
      names.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) return;
    names.clear();
  }
  if (names.empty()) return;

  Dictionary metadata;
  std::vector<char> value;
  std::size_t budget = kMaxAttributeBytes;
  std::int64_t omitted = 0;
  for (std::size_t at = 0; at < names.size();) {
    std::string name(names.data() + at);
    at += name.size() + 1;
    if (name.empty()) continue;
    // A size of 0 would ask for the value's size instead of the value.
    if (metadata.size() >= kMaxAttributes || budget == 0) {
      ++omitted;
      continue;
    }
    // Read into what is left of the budget: a larger value fails with
    // ERANGE and is left out, without being copied.
    value.resize(budget);
    ssize_t size = ::getxattr(path, name.c_str(), value.data(), budget);
    if (size < 0 && errno == ERANGE) {
      ++omitted;
      continue;
    }
    if (size < 0) continue;
    budget -= static_cast<std::size_t>(size);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(value.data());
    metadata[name] = Value(Data(bytes, bytes + size));
  }
  if (omitted > 0) metadata[kOmittedAttributesKey] = Value(omitted);
  if (!metadata.empty()) metadata_ = std::move(metadata);
}

void Binary::getIcon() {
  if (!path_) return;
  InRoot inRoot(*this);
  if ((path_->empty() || path_->front() != '/') && !bundle_) return;
  if (bundle_) {
    // Without "CFBundleIconFile" there is nothing to look up in the bundle.
    if (auto file = stringForKey(bundle_->infoDictionary(), "CFBundleIconFile")) {
      std::string type = pathExtension(*file);
      if (type.empty()) type = "icns";
      if (auto found = bundle_->pathForResource(deletingPathExtension(*file), type)) {
        icon_ = Image{*found, 0, 0};
      }
    }
  }
  if (!icon_) icon_ = platform::Icons::get()->iconForFile(*fileSystemPath());
  if (icon_) {
    icon_->width = 128.0;
    icon_->height = 128.0;
  }
}

void Binary::generateSigningInfo(std::uint32_t flags) {
  InRoot inRoot(*this);
  signingInfo_ = extractSigningInfo(0, fileSystemPath(), flags);
}

void Binary::generateHash() {
  if (!path_) return;
  InRoot inRoot(*this);
  // Read in chunks so that memory stays flat whatever the size; the length
  // of the whole file never passes through a 32-bit count, so files of
  // 4 GiB and more are hashed whole. Only regular files are opened: a FIFO
  // would block, a device never end or act on being opened.
  FileDescriptor fd = openRegularFile(*fileSystemPath());
  if (fd.get() < 0) return;
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return;
  std::vector<unsigned char> chunk(kHashChunk);
  std::uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;  // unreadable part way: no digest rather than a wrong one
    if (n == 0) break;
    if (EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(n)) != 1) return;
    total += static_cast<std::uint64_t>(n);
  }
  if (total == 0) return;

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return;
  sha256_ = digest::upperHex(digest, length);
}

void Binary::generateIdentifier() {
  if (!signingInfo_) generateSigningInfo(0);
  if (signingInfo_) {
    const Dictionary& info = *signingInfo_;
    // A missing status counts as 0, as a missing number's value does.
    auto status = info.find("signatureStatus");
    bool valid = status == info.end() || status->second.integer().value_or(0) == 0;
    auto authorities = info.find("signatureAuthorities");
    bool chained = authorities != info.end() && authorities->second.is<Array>() &&
                   !authorities->second.get<Array>()->empty();
    auto signingIdentifier = stringForKey(info, "signatureIdentifier");
    if (valid && chained && signingIdentifier) {
      identifier_ = std::move(signingIdentifier);
      return;
    }
  }
  if (!sha256_ || sha256_->empty()) generateHash();
  identifier_ = sha256_;
}

}  // namespace procscope
