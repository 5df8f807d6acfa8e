// Shared pieces of the monitor tests: a workspace that posts what a test
// says, an audit stream that serves scripted reads, a runner that replays
// them through ProcScope::monitor() and collects what it delivers, and
// records to feed it.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "live/Support.hpp"
#include "procscope/ProcessMonitor.hpp"
#include "procscope/bsm/Encoder.hpp"
#include "procscope/platform/AuditPipe.hpp"
#include "procscope/platform/Workspace.hpp"

namespace monitortest {

namespace bsm = procscope::bsm;
namespace platform = procscope::platform;
using platform::ScopedService;
using procscope::Process;
using procscope::ProcScope;
using test::FakeKernel;
using Bytes = std::vector<std::uint8_t>;

// Delivers the notices a test posts, synchronously, to the observers of their name.
class FakeWorkspace final : public platform::Workspace {
 public:
  ObserverId addObserver(const std::string& name, Observer observer) override {
    observers[++lastId_] = {name, std::move(observer)};
    return lastId_;
  }
  void removeObserver(ObserverId id) override { observers.erase(id); }
  std::vector<std::shared_ptr<platform::RunningApplication>> runningApplications() override {
    return {};
  }
  void post(const platform::WorkspaceNotification& notification) {
    for (auto& [id, entry] : observers) {
      if (entry.first == notification.name) entry.second(&notification);
    }
  }
  std::map<ObserverId, std::pair<std::string, Observer>> observers;

 private:
  ObserverId lastId_ = 0;
};

// What a scripted stream serves, and what it was asked.
struct Script {
  std::deque<Bytes> reads;  // an empty one is a read that yields nothing
  int failingRequest = 0;   // 1-based configuration request that fails; 0: none
  std::vector<std::string> requests;
  std::atomic<int> readCount{0};  // read by the test while the loop runs
  bool pathsAtEvent = false;      // exec paths as the live source's are
  int lossAfterRead = 1 << 30;    // records are lost after this many reads
  bool closed = false;
};

class ScriptedStream final : public platform::AuditStream {
 public:
  explicit ScriptedStream(std::shared_ptr<Script> script) : s_(std::move(script)) {}
  ~ScriptedStream() override { s_->closed = true; }

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
    ++s_->readCount;
    if (s_->reads.empty()) return -1;
    buffer = std::move(s_->reads.front());
    s_->reads.pop_front();
    return buffer.empty() ? -1 : static_cast<std::int64_t>(buffer.size());
  }
  bool exhausted() const override { return s_->reads.empty(); }
  bool pathsTakenAtEvent() const override { return s_->pathsAtEvent; }
  std::uint64_t losses() const override { return s_->readCount > s_->lossAfterRead ? 1 : 0; }

 private:
  static std::string hex(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", v);
    return text;
  }
  int request(std::string what) {
    s_->requests.push_back(std::move(what));
    return static_cast<int>(s_->requests.size()) == s_->failingRequest ? -1 : 0;
  }
  std::shared_ptr<Script> s_;
};

class ScriptedLayer final : public platform::AuditPipeLayer {
 public:
  explicit ScriptedLayer(const std::vector<Bytes>& reads, int failingRequest = 0) {
    script->reads.assign(reads.begin(), reads.end());
    script->failingRequest = failingRequest;
  }
  std::unique_ptr<platform::AuditStream> open(const std::string& path) override {
    openedPath = path;
    return std::make_unique<ScriptedStream>(script);
  }
  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::string openedPath;
};

using Delivered = std::vector<std::shared_ptr<Process>>;

// Runs monitor() until its input is drained and returns what reached the
// callback. The monitor is handed in so a test can preset its fields.
inline Delivered runMonitor(ProcScope& monitor) {
  Delivered delivered;
  monitor.setProcessCallback([&](const std::shared_ptr<Process>& p) { delivered.push_back(p); });
  monitor.setStopWhenInputExhausted(true);
  monitor.monitor();
  return delivered;
}

inline Delivered runMonitor(const std::vector<Bytes>& reads, bool goEasy = true,
                            bool pathsAtEvent = false, int lossAfterRead = 1 << 30) {
  auto layer = std::make_shared<ScriptedLayer>(reads);
  layer->script->pathsAtEvent = pathsAtEvent;
  layer->script->lossAfterRead = lossAfterRead;
  ScopedService<platform::AuditPipeLayer> pipe(layer);
  return runMonitor(*ProcScope::init(goEasy));
}

inline bsm::SubjectFields subject(std::uint32_t pid, std::uint32_t euid = 1001) {
  return {1000, euid, 20, 1002, 21, pid, 100};
}

inline Bytes forkRecord(std::uint32_t child, std::uint32_t parent) {
  return bsm::RecordBuilder(bsm::AUE_FORK)
      .arg32(0, child, "child PID")
      .subject32(subject(parent))
      .return32(0, child)
      .finish();
}

inline Bytes exitRecord(std::uint32_t pid, std::uint32_t status) {
  return bsm::RecordBuilder(bsm::AUE_EXIT).subject32(subject(pid)).exit(status, 0).finish();
}

// An exec-like record: an argument token, then a token for each path.
inline Bytes execRecord(std::uint16_t event, std::uint32_t pid,
                        const std::vector<std::string_view>& paths,
                        const std::vector<std::string_view>& args = {}) {
  bsm::RecordBuilder b(event);
  b.execArgs(args);
  for (auto path : paths) b.path(path);
  return b.subject32(subject(pid)).return32(0, 0).finish();
}

}  // namespace monitortest
