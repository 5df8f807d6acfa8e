// Shared pieces of the monitor tests: a kernel that knows only the processes a
// test names, an audit stream that serves scripted reads, and a runner that
// replays them through ProcScope::monitor() and collects what it delivers.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procscope/ProcessMonitor.hpp"
#include "procscope/bsm/Encoder.hpp"
#include "procscope/platform/AuditPipe.hpp"
#include "procscope/platform/Kernel.hpp"
#include "procscope/platform/Workspace.hpp"

namespace monitortest {

using procscope::Process;
using procscope::ProcScope;
using Bytes = std::vector<std::uint8_t>;

// ---- Kernel ----

struct FakeProcess {
  std::int32_t ppid = 1;
  std::optional<std::string> exe;
  std::uint32_t euid = 0;
};

// Knows the processes it is given and nothing else ("no such process").
class FakeKernel final : public procscope::platform::KernelQueries {
 public:
  // Tests fill `processes` before the monitor runs.
  std::map<std::int32_t, FakeProcess> processes;

  std::int32_t parentID(std::int32_t pid) override {
    ++parentQueries;
    if (pid == 0) return 0;
    auto it = processes.find(pid);
    return it == processes.end() ? -1 : it->second.ppid;
  }
  std::optional<std::uint32_t> effectiveUser(std::int32_t pid) override {
    auto it = processes.find(pid);
    if (it == processes.end()) return std::nullopt;
    return it->second.euid;
  }
  std::optional<std::string> executablePath(std::int32_t pid) override {
    ++pathQueries;
    auto it = processes.find(pid);
    if (it == processes.end()) return std::nullopt;
    return it->second.exe;
  }
  std::int64_t argumentAreaMax() override { return -1; }
  std::optional<std::string> argumentArea(std::int32_t, std::size_t) override {
    return std::nullopt;
  }
  bool isAlive(std::int32_t pid) override { return processes.count(pid) != 0; }
  std::vector<std::int32_t> allPids() override {
    std::vector<std::int32_t> pids;
    for (const auto& [pid, _] : processes) pids.push_back(pid);
    return pids;
  }

  std::atomic<int> parentQueries{0};
  std::atomic<int> pathQueries{0};
};

// ---- Workspace ----

// Delivers the notices a test posts, synchronously, to the observers of
// their name.
class FakeWorkspace final : public procscope::platform::Workspace {
 public:
  ObserverId addObserver(const std::string& name, Observer observer) override {
    observers[++lastId_] = {name, std::move(observer)};
    return lastId_;
  }
  void removeObserver(ObserverId id) override { observers.erase(id); }
  std::vector<std::shared_ptr<procscope::platform::RunningApplication>> runningApplications()
      override {
    return {};
  }
  void post(const procscope::platform::WorkspaceNotification& notification) {
    for (auto& [id, entry] : observers) {
      if (entry.first == notification.name) entry.second(&notification);
    }
  }

  std::map<ObserverId, std::pair<std::string, Observer>> observers;

 private:
  ObserverId lastId_ = 0;
};

// ---- Audit stream ----

// One scripted read: a record, or a read that yields nothing (-1 or 0).
struct Read {
  Bytes record;
  std::int64_t result = 0;  // used when `record` is empty
};
inline Read record(Bytes bytes) {
  return Read{std::move(bytes), 0};
}
inline Read failedRead() {
  return Read{{}, -1};
}
inline Read emptyRead() {
  return Read{{}, 0};
}

struct StreamLog {
  std::vector<std::string> requests;  // configuration requests, in order
  int reads = 0;
  bool closed = false;
};

class ScriptedStream final : public procscope::platform::AuditStream {
 public:
  ScriptedStream(std::deque<Read> reads, std::shared_ptr<StreamLog> log, int failingRequest)
      : reads_(std::move(reads)), log_(std::move(log)), failingRequest_(failingRequest) {}
  ~ScriptedStream() override { log_->closed = true; }

  int setPreselectMode(int mode) override { return request("mode " + std::to_string(mode)); }
  int getQueueLimitMax(std::uint32_t& limit) override {
    limit = 4321;
    return request("qlimit max");
  }
  int setQueueLimit(std::uint32_t limit) override {
    return request("qlimit " + std::to_string(limit));
  }
  int setPreselectFlags(std::uint32_t success, std::uint32_t failure) override {
    return request("flags " + hex(success) + " " + hex(failure));
  }
  int setPreselectNaFlags(std::uint32_t success, std::uint32_t failure) override {
    return request("naflags " + hex(success) + " " + hex(failure));
  }

  std::int64_t readRecord(Bytes& buffer) override {
    ++log_->reads;
    if (reads_.empty()) return -1;
    Read next = std::move(reads_.front());
    reads_.pop_front();
    if (next.record.empty()) return next.result;
    buffer = std::move(next.record);
    return static_cast<std::int64_t>(buffer.size());
  }
  bool exhausted() const override { return reads_.empty(); }

 private:
  static std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", v);
    return text;
  }
  int request(std::string what) {
    log_->requests.push_back(std::move(what));
    return static_cast<int>(log_->requests.size()) == failingRequest_ ? -1 : 0;
  }

  std::deque<Read> reads_;
  std::shared_ptr<StreamLog> log_;
  int failingRequest_;
};

class ScriptedLayer final : public procscope::platform::AuditPipeLayer {
 public:
  ScriptedLayer(std::vector<Read> reads, int failingRequest = 0)
      : reads_(reads.begin(), reads.end()), failingRequest_(failingRequest) {}
  std::unique_ptr<procscope::platform::AuditStream> open(const std::string& path) override {
    openedPath = path;
    return std::make_unique<ScriptedStream>(std::move(reads_), log, failingRequest_);
  }
  std::shared_ptr<StreamLog> log = std::make_shared<StreamLog>();
  std::string openedPath;

 private:
  std::deque<Read> reads_;
  int failingRequest_;  // 1-based configuration request that fails; 0: none
};

// ---- Running the monitor ----

using Delivered = std::vector<std::shared_ptr<Process>>;

// Runs monitor() until its stream is drained and returns what reached the
// callback. The monitor is handed in so a test can preset its fields.
inline Delivered runMonitor(ProcScope& monitor) {
  Delivered delivered;
  monitor.setProcessCallback([&](const std::shared_ptr<Process>& p) { delivered.push_back(p); });
  monitor.setStopWhenInputExhausted(true);
  monitor.monitor();
  return delivered;
}

inline Delivered runMonitor(std::vector<Read> reads, bool goEasy = true) {
  procscope::platform::ScopedService<procscope::platform::AuditPipeLayer> pipe(
      std::make_shared<ScriptedLayer>(std::move(reads)));
  auto monitor = ProcScope::init(goEasy);
  return runMonitor(*monitor);
}

// ---- Records ----

inline procscope::bsm::SubjectFields subject(std::uint32_t pid, std::uint32_t euid) {
  procscope::bsm::SubjectFields s;
  s.auid = 1000;
  s.euid = euid;
  s.egid = 20;
  s.ruid = 1002;
  s.rgid = 21;
  s.pid = pid;
  s.sid = 100;
  return s;
}

inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string vector(const std::string& name) {
  return std::string(PROCBLOCK_TESTDATA) + "/bsm/" + name;
}

}  // namespace monitortest
