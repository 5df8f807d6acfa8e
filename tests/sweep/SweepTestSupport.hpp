// Stand-ins for the sweeps' tests: a scripted process table, a watched
// allocator, a workspace, and the reports DisplayMessage makes.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent/AgentTestSupport.hpp"
#include "procblock/LogPaths.hpp"
#include "procblock/Sweep.hpp"
#include "procblock/platform/ProcessTable.hpp"
#include "procscope/platform/Workspace.hpp"

namespace sweeptest {

using agenttest::TempDir;
using agenttest::writeFile;
using procblock::platform::kinfo_proc;
using procblock::platform::kProcessRecordSize;

// The access log in a private directory and a notice layer that records.
class Reports {
 public:
  Reports() : logs_(dir_.path()), installed_(notices_), journalInstalled_(journal_) {
    writeFile(procblock::accessLogPath(), "");
  }
  std::vector<std::string> rows() const {
    return agenttest::lines(agenttest::readFile(procblock::accessLogPath()).value_or(""));
  }
  std::vector<std::string> notices() const { return notices_->messages(); }
  std::vector<std::vector<std::string>> journalEntries() const { return journal_->sent(); }

 private:
  TempDir dir_;
  procblock::ScopedLogDirectory logs_;
  std::shared_ptr<agenttest::RecordingNotices> notices_ =
      std::make_shared<agenttest::RecordingNotices>();
  procscope::platform::ScopedService<procblock::platform::NoticeLayer> installed_;
  std::shared_ptr<agenttest::RecordingJournal> journal_ =
      std::make_shared<agenttest::RecordingJournal>();
  procscope::platform::ScopedService<procblock::platform::JournalLayer> journalInstalled_;
};

// Answers from `records` as the sysctl query would, with scripted faults.
class FakeTable final : public procblock::platform::ProcessTable {
 public:
  std::vector<kinfo_proc> records;
  int failWith = 0;                     // errno of every query, 0 for none
  std::size_t strayBytes = 0;           // added to the size of a full answer
  std::optional<kinfo_proc> latecomer;  // appears between the first two queries
  std::vector<std::size_t> asked;       // the size each query was given

  int query(void* buffer, std::size_t* size) override {
    asked.push_back(*size);
    if (asked.size() == 2 && latecomer) records.push_back(*latecomer);
    if (failWith != 0) {
      errno = failWith;
      return -1;
    }
    const std::size_t n = std::min(*size / kProcessRecordSize, records.size());
    std::memcpy(buffer, records.data(), n * kProcessRecordSize);
    *size = n * kProcessRecordSize;
    if (n < records.size()) {
      errno = ENOMEM;
      return -1;
    }
    *size += strayBytes;
    return 0;
  }
  // As /proc tells it, so that a child of the test can own a listed pid.
  std::optional<std::uint64_t> startTime(std::int32_t pid) override {
    return procscope::platform::makeDefaultService<ProcessTable>()->startTime(pid);
  }
};

// The system allocator, watched; the call numbered `failAt` (from 1) fails.
struct WatchedAllocator {
  std::vector<std::size_t> sizes;
  void* current = nullptr;  // what the last successful call returned
  std::vector<void*> released;
  int failAt = 0;

  void hookInto(procblock::SweepHooks& hooks) {
    hooks.reallocate = [this](void* block, std::size_t size) -> void* {
      sizes.push_back(size);
      if (static_cast<int>(sizes.size()) == failAt) return nullptr;
      return current = std::realloc(block, size);
    };
    hooks.release = [this](void* block) {
      released.push_back(block);
      std::free(block);
    };
  }
};

struct FakeApplication final : procscope::platform::RunningApplication {
  FakeApplication(std::optional<std::string> id, std::optional<std::string> name,
                  std::optional<std::string> url, bool terminates = true)
      : id(std::move(id)), name(std::move(name)), url(std::move(url)), terminates(terminates) {}
  std::int32_t processIdentifier() const override { return agenttest::impossiblePid(); }
  std::optional<std::string> bundleIdentifier() const override { return id; }
  std::optional<std::string> localizedName() const override { return name; }
  std::optional<std::string> executableURL() const override { return url; }
  bool forceTerminate() override {
    ++terminations;
    return terminates;
  }
  std::optional<std::string> id, name, url;
  bool terminates;
  std::atomic<int> terminations{0};
};

class FakeWorkspace final : public procscope::platform::Workspace {
 public:
  std::vector<std::shared_ptr<procscope::platform::RunningApplication>> applications;
  std::vector<std::pair<std::string, Observer>> observers;

  ObserverId addObserver(const std::string& name, Observer observer) override {
    observers.emplace_back(name, std::move(observer));
    return observers.size();
  }
  void removeObserver(ObserverId) override {}
  std::vector<std::shared_ptr<procscope::platform::RunningApplication>> runningApplications()
      override {
    return applications;
  }
  // To every observer of launches, as the workspace's thread would.
  void postLaunch(const procscope::platform::WorkspaceNotification* notice) {
    for (const auto& [name, observer] : observers) {
      if (name == procscope::platform::kWillLaunchApplication) observer(notice);
    }
  }
};

}  // namespace sweeptest
