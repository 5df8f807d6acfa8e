// Inspected executables, remembered. Every process start (and fork) on the
// machine is judged with a Binary of its file, and a program started a
// thousand times is the same file a thousand times; so a Binary is kept
// under the identity of everything it was made from (the path, the file,
// the property list of any bundle that could claim it) and served again
// while all of that stands as it was. The Binary served is shared: it is
// read, never changed, once inspected.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "procscope/Binary.hpp"
#include "procscope/ExecutableSite.hpp"
#include "procscope/platform/Bundle.hpp"

struct statx;

namespace procscope {

class BinaryCache {
 public:
  // At most this many Binaries, and at most this many bytes in all by an
  // estimate of each (its key, strings, dictionaries and attribute values,
  // its bundle's property list, and a fixed 512 for what the estimate does
  // not see); the oldest stored go first.
  static constexpr std::size_t kCapacity = 4096;
  static constexpr std::size_t kMaxBytes = std::size_t{16} * 1024 * 1024;
  // A Binary is served for at most this long, as long as the account names
  // in its attributes are (they can change without the file changing).
  static constexpr std::chrono::minutes kLifetime{1};
  // A file changed this recently is not remembered: a second change within
  // one tick of the clock that stamps it would leave its times as they were.
  static constexpr std::chrono::milliseconds kSettle{100};
  // Whether a file whose times statx gave as `sx` last changed long enough
  // ago to be remembered under them (kSettle, more where stamps are coarse).
  static bool settledNow(const struct statx& sx);

  // What a Binary of `path` (its text; `bytes`, what finds the file) is
  // made from, as the file system stands now in the root of `site` (the
  // agent's when none), with `layer` looking for its bundle: none when that
  // cannot be told without following a symbolic link, or when the file is
  // no regular one. Touches the file system: call it only where the site's
  // mount is local (inspection::answersInline without a site).
  struct Key {
    std::string bytes;
    bool settled = false;  // nothing in it changed in the last kSettle
    bool executed = true;  // the file found is the site's executed one
  };
  static std::optional<Key> keyOf(const std::string& path, const std::string& bytes,
                                  platform::BundleLayer& layer,
                                  const ExecutableSite* site = nullptr);

  explicit BinaryCache(std::size_t capacity = kCapacity, std::size_t maxBytes = kMaxBytes)
      : capacity_(capacity), maxBytes_(maxBytes) {}

  // The Binary kept under `key`, with the bundle layer `layer`.
  std::shared_ptr<Binary> find(const Key& key, const std::shared_ptr<platform::BundleLayer>& layer);
  // Keeps `binary` under `key` when the key is settled.
  void store(const Key& key, std::shared_ptr<platform::BundleLayer> layer,
             std::shared_ptr<Binary> binary);
  std::size_t size() const;
  // The estimated bytes of all entries.
  std::size_t bytes() const;
  // The estimate for one entry.
  static std::size_t estimatedBytes(const std::string& key, const Binary& binary);

  // The process's cache.
  static BinaryCache& shared();

 private:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    std::shared_ptr<Binary> binary;
    // Bundles are looked up through it; another layer (tests, the replay
    // tool) may answer otherwise. Held, so its address is not reused.
    std::shared_ptr<platform::BundleLayer> layer;
    Clock::time_point stored;
    std::size_t bytes = 0;
  };

  void eraseOldest();

  const std::size_t capacity_;
  const std::size_t maxBytes_;
  std::size_t bytes_ = 0;
  mutable std::mutex mu_;
  std::unordered_map<std::string, Entry> entries_;
  std::deque<std::string> order_;  // keys, oldest stored first
};

// The Binary of the executable at `bytes` (`path` its text), as Binary::init
// makes it, looked up in the root of `site` (the agent's when none): served
// from the cache without leaving the calling thread when the file lies on a
// local mount and is unchanged, else inspected on the bounded pool (and
// remembered). None when that inspection did not end in time, or when what
// lies at the path is not the file the site says was executed; then, with
// `late`, the Binary is handed to it when the inspection has ended (on the
// pool's thread; see inspection::run).
std::shared_ptr<Binary> inspectRemembered(const std::string& path, const std::string& bytes,
                                          const ExecutableSite* site = nullptr,
                                          std::function<void(std::shared_ptr<Binary>)> late = {});

// `binary` as the process at `site` (none: the agent's root) runs it now: a
// copy carrying another application ID where the Flatpak sandbox whose root
// the site names has one, or the desktop entries changed since it was made.
// A lookup in memory but for a sandbox's first process.
std::shared_ptr<Binary> withApplicationIdentity(std::shared_ptr<Binary> binary,
                                                const ExecutableSite* site);

// Whether `binary` was made of the file `site` says was executed (its
// attributes name the file's device and inode); true where the site knows
// nothing of that file.
bool isOfExecutedFile(const Binary& binary, const ExecutableSite& site);

}  // namespace procscope
