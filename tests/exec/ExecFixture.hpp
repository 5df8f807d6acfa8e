// Scratch directories, files and bundles for the executable-model tests.
#pragma once

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace test {

// A fresh directory (under /tmp unless another prefix is given), removed
// with everything in it at the end.
class TempDir {
 public:
  explicit TempDir(std::string prefix = "/tmp/procscope-exec-") {
    std::string name = prefix + "XXXXXX";
    path_ = ::mkdtemp(name.data()) ? name : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  ::chmod(path.c_str(), mode);
}

// An XML property list of string values (plain text, no escaping needed).
inline std::string plistOfStrings(const std::map<std::string, std::string>& entries) {
  std::string xml = "<plist version=\"1.0\"><dict>";
  for (const auto& [key, value] : entries) {
    xml += "<key>" + key + "</key><string>" + value + "</string>";
  }
  return xml + "</dict></plist>";
}

// <dir>/<name>.app with Contents/Info.plist holding `info`, and an executable
// at Contents/MacOS/<CFBundleExecutable> when that key is given. Returns the
// bundle's path.
inline std::string makeBundle(const std::string& dir, const std::string& name,
                              const std::map<std::string, std::string>& info) {
  std::string bundle = dir + "/" + name + ".app";
  writeFile(bundle + "/Contents/Info.plist", plistOfStrings(info));
  if (auto it = info.find("CFBundleExecutable"); it != info.end()) {
    writeFile(bundle + "/Contents/MacOS/" + it->second, "#!/bin/sh\n", 0755);
  }
  return bundle;
}

// Whether anything opened the watched items (inotify IN_OPEN, which a mere
// O_PATH lookup does not raise).
class OpenWatch {
 public:
  OpenWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  ~OpenWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;

  bool watch(const std::string& path) {
    return ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_DONT_FOLLOW) >= 0;
  }
  bool opened() const {
    alignas(struct inotify_event) char buffer[4096];
    return ::read(fd_, buffer, sizeof buffer) > 0;
  }

 private:
  int fd_;
};

// A null device of our own at `path` (the numbers of /dev/null): a device
// whose opening has no effect, watched without seeing the machine's other
// opens of /dev/null.
inline bool makeNullDevice(const std::string& path) {
  return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
}

// Sets an environment variable (or unsets it, given none) for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    value ? ::setenv(name_, value->c_str(), 1) : ::unsetenv(name_);
  }
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace test
