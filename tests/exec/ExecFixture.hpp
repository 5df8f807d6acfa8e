// Scratch directories, files and bundles for the executable-model tests.
#pragma once

#include <plist/plist.h>
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

enum class PlistForm { kXml, kBinary };

// A property list of string values in either form, written by libplist.
inline std::string plistOfStrings(const std::map<std::string, std::string>& entries,
                                  PlistForm form) {
  plist_t dict = plist_new_dict();
  for (const auto& [key, value] : entries) {
    plist_dict_set_item(dict, key.c_str(), plist_new_string(value.c_str()));
  }
  char* out = nullptr;
  uint32_t length = 0;
  std::string bytes;
  if (form == PlistForm::kXml) {
    plist_to_xml(dict, &out, &length);
    bytes.assign(out, length);
    plist_to_xml_free(out);
  } else {
    plist_to_bin(dict, &out, &length);
    bytes.assign(out, length);
    plist_to_bin_free(out);
  }
  plist_free(dict);
  return bytes;
}

// <dir>/<name>.app with Contents/Info.plist holding `info`, and an executable
// at Contents/MacOS/<CFBundleExecutable> when that key is given. Returns the
// bundle's path.
inline std::string makeBundle(const std::string& dir, const std::string& name,
                              const std::map<std::string, std::string>& info,
                              PlistForm form = PlistForm::kXml) {
  std::string bundle = dir + "/" + name + ".app";
  writeFile(bundle + "/Contents/Info.plist", plistOfStrings(info, form));
  if (auto it = info.find("CFBundleExecutable"); it != info.end()) {
    writeFile(bundle + "/Contents/MacOS/" + it->second, "#!/bin/sh\n", 0755);
  }
  return bundle;
}

// Sets an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Works in another directory for a scope.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~ScopedCwd() {
    std::error_code ignored;
    std::filesystem::current_path(old_, ignored);
  }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::filesystem::path old_;
};

}  // namespace test
