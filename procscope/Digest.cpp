#include "procscope/Digest.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "procscope/BinaryCache.hpp"
#include "procscope/Log.hpp"
#include "procscope/ProcessIdentity.hpp"

namespace procscope::digest {
namespace {

std::atomic<bool> hashing{false};
std::atomic<std::uint64_t> hashed{0};
std::atomic<bool> loggedTooLarge{false};

constexpr std::size_t kChunk = std::size_t{256} * 1024;
constexpr unsigned kMask = STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MTIME | STATX_CTIME;

template <class T>
void append(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Everything a write, a truncation or another file in its place changes.
std::string identityOf(const struct statx& sx) {
  std::string key;
  append(key, sx.stx_dev_major);
  append(key, sx.stx_dev_minor);
  append(key, sx.stx_ino);
  append(key, sx.stx_size);
  append(key, sx.stx_mtime.tv_sec);
  append(key, sx.stx_mtime.tv_nsec);
  append(key, sx.stx_ctime.tv_sec);
  append(key, sx.stx_ctime.tv_nsec);
  return key;
}

class Remembered {
 public:
  std::optional<std::string> find(const std::string& key) {
    std::lock_guard lock(mu_);
    const auto found = digests_.find(key);
    if (found == digests_.end()) return std::nullopt;
    return found->second;
  }
  void store(std::string key, std::string digest) {
    std::lock_guard lock(mu_);
    if (digests_.contains(key)) return;
    while (digests_.size() >= kCapacity && !order_.empty()) {
      digests_.erase(order_.front());
      order_.pop_front();
    }
    order_.push_back(key);
    digests_.emplace(std::move(key), std::move(digest));
  }

 private:
  std::mutex mu_;
  std::unordered_map<std::string, std::string> digests_;
  std::deque<std::string> order_;  // oldest stored first
};

Remembered& remembered() {
  static auto* instance = new Remembered;  // used by pool threads until the end
  return *instance;
}

bool statOf(int fd, struct statx& sx) {
  return ::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, kMask, &sx) == 0 &&
         (sx.stx_mask & kMask) == kMask;
}

// The whole file read from its start, whatever the descriptor's offset.
std::optional<std::string> hashWhole(int fd, std::uint64_t size) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::vector<unsigned char> chunk(kChunk);
  std::uint64_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;  // no digest rather than a wrong one
    if (n == 0) break;
    offset += static_cast<std::uint64_t>(n);
    if (offset > size) return std::nullopt;  // grew while read
    if (EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(n)) != 1) {
      return std::nullopt;
    }
  }
  if (offset != size) return std::nullopt;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) return std::nullopt;
  return upperHex(digest, length);
}

}  // namespace

std::string upperHex(const unsigned char* bytes, std::size_t length) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 0x0F];
  }
  return hex;
}

void setWanted(bool wanted) {
  hashing.store(wanted, std::memory_order_relaxed);
}

bool wanted() {
  return hashing.load(std::memory_order_relaxed);
}

std::uint64_t filesHashed() {
  return hashed.load(std::memory_order_relaxed);
}

std::optional<std::string> ofOpenFile(int fd, bool local) {
  struct statx before {};
  if (fd < 0 || !statOf(fd, before) || !S_ISREG(before.stx_mode)) return std::nullopt;
  if (before.stx_size > kMaxBytes) {
    if (!loggedTooLarge.exchange(true)) {
      logMessage("An executable larger than " + std::to_string(kMaxBytes >> 20) +
                 " MiB was not hashed: entries by digest do not match it");
    }
    return std::nullopt;
  }
  std::string key = identityOf(before);
  const bool remember = local && BinaryCache::settledNow(before);
  if (remember) {
    if (auto found = remembered().find(key)) return found;
  }
  hashed.fetch_add(1, std::memory_order_relaxed);
  auto digest = hashWhole(fd, before.stx_size);
  // The owner may have written while it was read (before the exec, or on a
  // file system that lets a running program be written): that content is
  // not the one hashed.
  struct statx after {};
  if (!digest || !statOf(fd, after) || identityOf(after) != key) return std::nullopt;
  if (remember) remembered().store(std::move(key), *digest);
  return digest;
}

std::optional<std::string> rememberedFor(int fd) {
  struct statx sx {};
  if (fd < 0 || !statOf(fd, sx) || !S_ISREG(sx.stx_mode) || !BinaryCache::settledNow(sx)) {
    return std::nullopt;
  }
  return remembered().find(identityOf(sx));
}

FileDescriptor openExecutable(std::int32_t pid, const ProcessIdentity* identity) {
  if (pid <= 0) return FileDescriptor(-1);
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  FileDescriptor fd(::open(link.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  // Opened while the pin still showed the process: the file is its own.
  if (fd.get() >= 0 && identity && identity->verifiable() && !identity->alive()) {
    return FileDescriptor(-1);
  }
  return fd;
}

}  // namespace procscope::digest
