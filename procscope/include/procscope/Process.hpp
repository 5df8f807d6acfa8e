// One process start, exit or running process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procscope/Binary.hpp"
#include "procscope/ExecutableSite.hpp"
#include "procscope/Value.hpp"

namespace procscope {

class ProcessIdentity;
struct LoadedProgram;

class Process : public std::enable_shared_from_this<Process> {
 public:
  using Clock = std::chrono::system_clock;

  Process();

  // A fresh record: type 0, pid/ppid -1, uid/exit 0xFFFFFFFF, empty lists,
  // timestamp now, everything else absent.
  static std::shared_ptr<Process> init();
  // A full record of a live process; none when no executable path is found.
  static std::shared_ptr<Process> init(std::int32_t pid);
  // The parent's process ID, or -1.
  static std::int32_t getParentID(std::int32_t pid);

  // Live-process fillers.
  void getUser();
  void pathFromPid();
  void getArgs();
  void enumerateAncestors();
  bool isProcessAlive() const;
  void generateSigningInfo(std::uint32_t flags);
  // Sets `binary` to Binary::init of `path` (looked up by the path's own
  // bytes; a path the kernel marked " (deleted)" loses the mark when the
  // executable is indeed unlinked) and, with `signingAndIcon`, fills
  // the signing information (default flags) and the binary's icon: all on
  // the bounded inspection pool (procscope/Inspection.hpp), since they touch
  // files that users control, bar a Binary served from BinaryCache (one of
  // an unchanged file on a local file system, without signing or icon). When
  // that does not end in time the record gets Binary::uninspected of its
  // path and no signing information; then, with `late` and a record held by
  // a shared_ptr, the inspection goes on and `late` gets, once it has ended,
  // a copy of this record with its result (see earlier()), on the pool's
  // thread.
  //
  // What is inspected is looked up in the process's own root and mount
  // namespace, and counts only when it is the very file the process runs;
  // otherwise, as when the process is gone, the record gets
  // Binary::uninspected of its path: its name, which is certain.
  //
  // Then sets loadedProgram() (findLoadedProgram): a loader's program
  // learnt late comes to `late` the same way, in a copy of its own.
  void inspectBinary(bool signingAndIcon,
                     std::function<void(const std::shared_ptr<Process>&)> late = {});
  // The record as first handed on, when this one is its late completion:
  // the same process and pin, judged again with its files inspected.
  const std::shared_ptr<const Process>& earlier() const { return earlier_; }
  // A copy of this record (held by a shared_ptr) for its late completion:
  // everything but the binary, the signing information and the loader's
  // program, earlier() this one.
  // (The digest is set before either is, so the copy has it.)
  std::shared_ptr<Process> lateCopy() const;
  // For a live process whose executable's path cannot be read (longer than
  // PATH_MAX): takes as its path the name its exec was given (AT_EXECFN, else
  // argv[0]) when that name, looked up from its working directory, reaches
  // the file it runs; the inspection then looks up from there. On the
  // bounded pool. False when no name does; none when the process has no
  // name left to go by (it has ended: its memory and arguments are gone).
  std::optional<bool> learnPathByName();

  // Scalars are read and written whole without a lock.
  std::uint16_t type() const { return type_.load(std::memory_order_relaxed); }
  void setType(std::uint16_t v) { type_.store(v, std::memory_order_relaxed); }
  std::int32_t pid() const { return pid_.load(std::memory_order_relaxed); }
  void setPid(std::int32_t v) { pid_.store(v, std::memory_order_relaxed); }
  std::uint32_t exit() const { return exit_.load(std::memory_order_relaxed); }
  void setExit(std::uint32_t v) { exit_.store(v, std::memory_order_relaxed); }
  std::int32_t ppid() const { return ppid_.load(std::memory_order_relaxed); }
  void setPpid(std::int32_t v) { ppid_.store(v, std::memory_order_relaxed); }
  std::uint32_t uid() const { return uid_.load(std::memory_order_relaxed); }
  void setUid(std::uint32_t v) { uid_.store(v, std::memory_order_relaxed); }

  // Text, for comparing and showing (bytes that are not UTF-8 decoded lossily).
  const std::optional<std::string>& path() const { return path_; }
  void setPath(std::optional<std::string> v) {
    path_ = std::move(v);
    pathBytes_.reset();
  }
  // The path as the kernel gave it, which is what finds the file.
  void setPathBytes(std::string bytes);
  const std::optional<std::string>& fileSystemPath() const {
    return pathBytes_ ? pathBytes_ : path_;
  }
  std::vector<std::int32_t>& ancestors() { return ancestors_; }
  const std::vector<std::int32_t>& ancestors() const { return ancestors_; }
  void setAncestors(std::vector<std::int32_t> v) { ancestors_ = std::move(v); }
  std::vector<std::string>& arguments() { return arguments_; }
  const std::vector<std::string>& arguments() const { return arguments_; }
  void setArguments(std::vector<std::string> v) { arguments_ = std::move(v); }
  Clock::time_point timestamp() const { return timestamp_; }
  void setTimestamp(Clock::time_point v) { timestamp_ = v; }
  const std::optional<Dictionary>& signingInfo() const { return signingInfo_; }
  void setSigningInfo(std::optional<Dictionary> v) { signingInfo_ = std::move(v); }
  const std::shared_ptr<Binary>& binary() const { return binary_; }
  void setBinary(std::shared_ptr<Binary> v) { binary_ = std::move(v); }
  // The SHA-256 of the file it executes (procscope/Digest.hpp), filled by
  // inspectBinary only while digests are wanted; none when not hashed.
  const std::optional<std::string>& sha256() const { return sha256_; }
  void setSha256(std::optional<std::string> v) { sha256_ = std::move(v); }
  // The process pinned when it was seen; a kill acts on it or on nothing.
  // Not part of the description.
  const std::shared_ptr<const ProcessIdentity>& identity() const { return identity_; }
  void setIdentity(std::shared_ptr<const ProcessIdentity> v) { identity_ = std::move(v); }
  // Where its executable was looked up (ExecutableSite): given by
  // learnPathByName or by the caller, else filled by inspectBinary. Not part
  // of the description.
  const std::optional<ExecutableSite>& site() const { return site_; }
  void setSite(std::optional<ExecutableSite> v) { site_ = std::move(v); }
  // When the executable is a dynamic loader run directly, the program it
  // was given (procscope/LoadedProgram.hpp); the record's own path and
  // binary stay the loader's. Not part of the description.
  const std::shared_ptr<const LoadedProgram>& loadedProgram() const { return loadedProgram_; }
  void setLoadedProgram(std::shared_ptr<const LoadedProgram> v) { loadedProgram_ = std::move(v); }

  // "pid: %d\npath: %@\nuser: %d\nargs: %@\nancestors: %@\n signing info: %@\n binary:\n%@"
  std::string description() const;

 private:
  class LateHandOff;
  // The file-touching part of inspectBinary, for the process living at
  // `site`; late results go to `handOff`.
  void inspectFiles(bool signingAndIcon, const std::optional<ExecutableSite>& site,
                    const std::shared_ptr<LateHandOff>& handOff);

  std::atomic<std::uint16_t> type_{0};
  std::atomic<std::int32_t> pid_{-1};
  std::atomic<std::uint32_t> exit_{0xFFFFFFFFu};
  std::atomic<std::int32_t> ppid_{-1};
  std::atomic<std::uint32_t> uid_{0xFFFFFFFFu};
  std::optional<std::string> path_;
  std::optional<std::string> pathBytes_;  // only when they differ from path_
  std::vector<std::int32_t> ancestors_;
  std::vector<std::string> arguments_;
  Clock::time_point timestamp_;
  std::optional<Dictionary> signingInfo_;
  std::shared_ptr<Binary> binary_;
  std::optional<std::string> sha256_;
  std::shared_ptr<const ProcessIdentity> identity_;
  std::shared_ptr<const Process> earlier_;
  std::shared_ptr<const LoadedProgram> loadedProgram_;
  std::optional<ExecutableSite> site_;
};

using ProcessCallback = std::function<void(const std::shared_ptr<Process>&)>;

}  // namespace procscope
