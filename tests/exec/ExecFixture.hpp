// Scratch directories, files and bundles for the executable-model tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace test {

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/procscope-exec-XXXXXX";
    path_ = ::mkdtemp(name) ? name : "";
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
