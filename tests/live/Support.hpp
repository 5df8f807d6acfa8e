// Test helpers: crafted argument areas and a kernel whose processes are
// whatever a test says they are (the monitor tests use it too).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

#include "procscope/platform/Kernel.hpp"

namespace test {

inline std::string countBytes(std::int32_t argc) {
  std::string out(sizeof argc, '\0');
  std::memcpy(out.data(), &argc, sizeof argc);
  return out;
}

// argc, then `rest` verbatim (path, padding, strings: whatever the case needs).
inline std::string area(std::int32_t argc, std::string_view rest) {
  return countBytes(argc) + std::string(rest);
}

// A pid it was not told about names no process.
struct FakeKernel : procscope::platform::KernelQueries {
  struct Entry {
    std::int32_t ppid = 1;
    std::optional<std::string> exe;
    std::uint32_t euid = 501;
  };
  std::map<std::int32_t, Entry> processes;
  std::map<std::int32_t, std::string> areas;  // argument areas
  std::int64_t areaMax = 1 << 20;
  std::atomic<int> parentQueries{0}, pathQueries{0};

  std::int32_t parentID(std::int32_t pid) override {
    ++parentQueries;
    const Entry* p = find(pid);
    return p ? p->ppid : -1;
  }
  std::optional<std::uint32_t> effectiveUser(std::int32_t pid) override {
    const Entry* p = find(pid);
    return p ? std::optional(p->euid) : std::nullopt;
  }
  std::optional<std::string> executablePath(std::int32_t pid) override {
    ++pathQueries;
    const Entry* p = find(pid);
    return p ? p->exe : std::nullopt;
  }
  std::int64_t argumentAreaMax() override { return areaMax; }
  std::optional<std::string> argumentArea(std::int32_t pid, std::size_t capacity) override {
    auto it = areas.find(pid);
    if (it == areas.end()) return std::nullopt;
    return it->second.substr(0, capacity);
  }
  bool isAlive(std::int32_t pid) override { return find(pid) != nullptr; }
  // The name each process's exec was given, and the names that lead to the
  // file a process runs.
  std::map<std::int32_t, std::string> execNames;
  std::vector<std::string> reaching;
  std::optional<std::string> execFileName(std::int32_t pid) override {
    auto it = execNames.find(pid);
    return it == execNames.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<procscope::ExecutableSite> executableSiteByName(
      std::int32_t, const procscope::ProcessIdentity*, const std::vector<std::string>& names,
      std::string& found) override {
    for (const auto& name : names) {
      if (std::find(reaching.begin(), reaching.end(), name) == reaching.end()) continue;
      found = name;
      return procscope::ExecutableSite{};
    }
    return std::nullopt;
  }
  // The file each process executes; a process listed here is looked up
  // with it.
  std::map<std::int32_t, procscope::ExecutedFile> executed;
  std::optional<procscope::ExecutedFile> executedFile(std::int32_t pid) override {
    auto it = executed.find(pid);
    return it == executed.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<procscope::ExecutableSite> executableSite(
      std::int32_t pid, const procscope::ProcessIdentity* identity,
      const std::string& path) override {
    procscope::ExecutableSite site = *KernelQueries::executableSite(pid, identity, path);
    if (auto file = executedFile(pid)) {
      site.executed = file->file;
      site.mountId = file->mountId;
    }
    return site;
  }
  std::vector<std::int32_t> allPids() override {
    std::vector<std::int32_t> pids;
    for (const auto& entry : processes) pids.push_back(entry.first);
    return pids;
  }

 private:
  const Entry* find(std::int32_t pid) const {
    auto it = processes.find(pid);
    return it == processes.end() ? nullptr : &it->second;
  }
};

}  // namespace test
