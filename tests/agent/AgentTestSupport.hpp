// Shared pieces of the agent's tests: a private log directory, a bundle and a
// notice layer that only record, and file reading.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "procblock/platform/Notice.hpp"
#include "procscope/platform/Bundle.hpp"

namespace agenttest {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/procblock-agent-XXXXXX";
    path_ = ::mkdtemp(name) ? name : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole contents, or none when the file cannot be read.
inline std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class FakeBundle final : public procscope::platform::Bundle {
 public:
  FakeBundle(std::string path, std::optional<procscope::Dictionary> info)
      : path_(std::move(path)), info_(std::move(info)) {}
  std::string bundlePath() const override { return path_; }
  std::optional<std::string> executablePath() const override { return std::nullopt; }
  const std::optional<procscope::Dictionary>& infoDictionary() const override { return info_; }
  std::optional<std::string> pathForResource(const std::optional<std::string>&,
                                             const std::optional<std::string>&) const override {
    return std::nullopt;
  }

 private:
  std::string path_;
  std::optional<procscope::Dictionary> info_;
};

class RecordingNotices final : public procblock::platform::NoticeLayer {
 public:
  void post(const procblock::platform::Notice& notice) override {
    std::lock_guard lock(mu_);
    posted_.push_back(notice);
  }
  std::vector<procblock::platform::Notice> posted() {
    std::lock_guard lock(mu_);
    return posted_;
  }

 private:
  std::mutex mu_;
  std::vector<procblock::platform::Notice> posted_;
};

}  // namespace agenttest
