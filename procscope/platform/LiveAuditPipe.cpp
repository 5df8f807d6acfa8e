#include "procscope/platform/LiveAuditPipe.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "procscope/Log.hpp"
#include "procscope/bsm/Encoder.hpp"
#include "procscope/platform/ProcEvents.hpp"

namespace procscope::platform {
namespace {

constexpr std::uint32_t kClassProcess = 0x00000080;
constexpr std::uint32_t kClassExec = 0x40000000;

std::mutex lossMu;
std::function<void(std::uint64_t, bool)> lossHandler;
std::function<void(std::string_view)> failureHandler;

void callLossHandler(std::uint64_t lost, bool certain) {
  std::function<void(std::uint64_t, bool)> handler;
  {
    std::lock_guard lock(lossMu);
    handler = lossHandler;
  }
  if (handler) handler(lost, certain);
}

// What the kernel reports: an overflow of its buffer certainly lost events;
// a gap in its sequence numbers suggests so.
void reportKernelLoss(std::uint64_t lost, bool overflow) {
  logMessage(overflow ? "process events: the kernel's buffer overflowed; events were lost"
                      : "process events: " + std::to_string(lost) + " events were lost");
  callLossHandler(lost, overflow);
}

// Encodes events on the reader thread and queues the records for the monitor.
class Encoder final : public ProcEventListener {
 public:
  void onEvent(const ProcEvent& e) override {
    using Kind = ProcEvent::Kind;
    if ((e.kind == Kind::Exec && !wantExec_) || (e.kind != Kind::Exec && !wantProcess_)) return;
    bsm::SubjectFields s;
    s.euid = e.euid;
    s.ruid = e.ruid;
    s.egid = e.egid;
    s.rgid = e.rgid;
    auto now = bsm::RecordTime::now();
    switch (e.kind) {
      case Kind::Fork:
        s.pid = static_cast<std::uint32_t>(e.parent);
        builder_.reset(bsm::AUE_FORK, now);
        builder_.arg32(0, static_cast<std::uint32_t>(e.pid), "child PID");
        builder_.subject32(s);
        builder_.return32(0, static_cast<std::uint32_t>(e.pid));
        break;
      case Kind::Exec:
        s.pid = static_cast<std::uint32_t>(e.pid);
        builder_.reset(bsm::AUE_EXECVE, now);
        builder_.subject32(s);
        if (e.pathKnown) {
          builder_.path(e.path);
          builder_.execArgs(e.arguments);
        }
        builder_.return32(0, 0);
        break;
      case Kind::Exit:
        s.pid = static_cast<std::uint32_t>(e.pid);
        builder_.reset(bsm::AUE_EXIT, now);
        builder_.subject32(s);
        builder_.exit(e.exitStatus, 0);
        builder_.return32(0, 0);
        break;
    }
    auto record = builder_.finishInPlace();
    bool dropped = false;
    {
      std::lock_guard lock(mu_);
      if (queued_.ends.size() >= limit_) {
        dropped = true;
      } else {
        queued_.bytes.insert(queued_.bytes.end(), record.begin(), record.end());
        queued_.ends.push_back(queued_.bytes.size());
        startQueued_ = startQueued_ || e.kind != Kind::Exit;
      }
    }
    if (!dropped) {
      const std::uint64_t droppedBefore = std::exchange(dropped_, 0);
      if (droppedBefore > 0) {
        // The burst is over: say how big it was, and ask again for what the
        // loss calls for, now that what came after it is queued.
        logMessage("process events: " + std::to_string(droppedBefore) +
                   " records were dropped while the monitor was behind");
        callLossHandler(droppedBefore, true);
      }
      return;
    }
    // One line when a burst of drops begins, not one per record.
    if (dropped_++ == 0) {
      logMessage("process events: the monitor is behind; records are being dropped");
      callLossHandler(1, true);
    }
  }

  void onLoss(std::uint64_t lost, bool overflow) override { reportKernelLoss(lost, overflow); }

  void onFailure(std::string_view reason) override {
    std::function<void(std::string_view)> handler;
    {
      std::lock_guard lock(lossMu);
      handler = failureHandler;
    }
    if (handler) handler(reason);
  }

  // The monitor is woken once per batch, and only when it sleeps: while it
  // works through records, new ones join the queue without a wake-up. Nobody
  // acts at once on an exit, so a batch of exits alone waits for the next
  // start or a quiet spell: on a busy machine that spares a wake-up per
  // process.
  bool onBatchEnd(bool quiet) override {
    bool wake = false;
    bool later = false;
    {
      std::lock_guard lock(mu_);
      if (waiting_ && !queued_.ends.empty()) {
        // Exits that never stop coming wait no longer than a quiet spell would.
        const auto now = std::chrono::steady_clock::now();
        if (!heldSince_) heldSince_ = now;
        wake = startQueued_ || quiet || now - *heldSince_ >= kLongestHold;
        later = !wake;
      }
      if (wake) {
        startQueued_ = false;
        heldSince_.reset();
      }
    }
    if (wake) ready_.notify_one();
    return later;
  }

  // The next record; the queue is taken whole when the last batch is used up.
  std::int64_t take(std::vector<std::uint8_t>& buffer) {
    if (next_ == taken_.ends.size()) {
      taken_.clear();
      std::unique_lock lock(mu_);
      waiting_ = true;
      ready_.wait(lock, [this] { return !queued_.ends.empty(); });
      waiting_ = false;
      std::swap(taken_, queued_);
      startQueued_ = false;
      heldSince_.reset();
      next_ = 0;
    }
    const std::size_t begin = next_ == 0 ? 0 : taken_.ends[next_ - 1];
    const std::size_t end = taken_.ends[next_++];
    buffer.assign(taken_.bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                  taken_.bytes.begin() + static_cast<std::ptrdiff_t>(end));
    return static_cast<std::int64_t>(buffer.size());
  }

  void setLimit(std::uint32_t limit) {
    std::lock_guard lock(mu_);
    limit_ = limit;
  }
  void select(std::uint32_t mask) {
    wantProcess_ = (mask & kClassProcess) != 0;
    wantExec_ = (mask & (kClassExec | kClassProcess)) != 0;
  }

 private:
  bsm::RecordBuilder builder_{bsm::AUE_EXECVE};  // reader thread only
  std::uint64_t dropped_ = 0;                    // reader thread only: the burst so far
  // Records back to back, and where each ends.
  struct Batch {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> ends;
    void clear() {
      // A burst's worth of room is not kept for ever.
      if (bytes.capacity() > kKeptBatchBytes) {
        bytes = {};
        ends = {};
      }
      bytes.clear();
      ends.clear();
    }
  };
  static constexpr std::size_t kKeptBatchBytes = 1 << 20;

  std::mutex mu_;
  std::condition_variable ready_;
  Batch queued_;              // under mu_
  bool waiting_ = false;      // under mu_: the monitor sleeps on ready_
  bool startQueued_ = false;  // under mu_: a fork or exec waits in queued_
  // Under mu_: since when exits alone wait for the monitor.
  std::optional<std::chrono::steady_clock::time_point> heldSince_;
  static constexpr auto kLongestHold = std::chrono::milliseconds(5);
  Batch taken_;  // the monitor's thread only, as is next_
  std::size_t next_ = 0;
  std::size_t limit_ = kLiveQueueLimitMax;
  std::atomic<bool> wantProcess_{true};
  std::atomic<bool> wantExec_{true};
};

class LiveStream final : public AuditStream {
 public:
  LiveStream(ProcEventHub& hub, std::shared_ptr<Encoder> encoder)
      : hub_(hub), encoder_(std::move(encoder)) {}
  ~LiveStream() override { hub_.unsubscribe(encoder_.get()); }

  // Only local preselection exists here: the stream itself selects events.
  int setPreselectMode(int mode) override { return mode == 2 ? 0 : -1; }
  int getQueueLimitMax(std::uint32_t& limit) override {
    limit = kLiveQueueLimitMax;
    return 0;
  }
  int setQueueLimit(std::uint32_t limit) override {
    if (limit == 0 || limit > kLiveQueueLimitMax) return -1;
    encoder_->setLimit(limit);
    return 0;
  }
  // Only process starts and exits exist to select from.
  int setPreselectFlags(std::uint32_t success, std::uint32_t) override { return select(success); }
  int setPreselectNaFlags(std::uint32_t success, std::uint32_t) override { return select(success); }

  std::int64_t readRecord(std::vector<std::uint8_t>& buffer) override {
    return encoder_->take(buffer);
  }
  bool exhausted() const override { return false; }
  bool pathsTakenAtEvent() const override { return true; }

 private:
  int select(std::uint32_t mask) {
    if ((mask & (kClassProcess | kClassExec)) == 0) return -1;
    encoder_->select(mask);
    return 0;
  }
  ProcEventHub& hub_;
  std::shared_ptr<Encoder> encoder_;
};

}  // namespace

std::unique_ptr<AuditStream> openLiveAuditPipe() {
  return openLiveAuditPipe(ProcEventHub::shared());
}

std::unique_ptr<AuditStream> openLiveAuditPipe(ProcEventHub& hub) {
  auto encoder = std::make_shared<Encoder>();
  if (!hub.subscribe(encoder)) return nullptr;
  return std::make_unique<LiveStream>(hub, std::move(encoder));
}

void setLiveLossHandler(std::function<void(std::uint64_t, bool)> handler) {
  std::lock_guard lock(lossMu);
  lossHandler = std::move(handler);
}

void setLiveFailureHandler(std::function<void(std::string_view)> handler) {
  std::lock_guard lock(lossMu);
  failureHandler = std::move(handler);
}

}  // namespace procscope::platform
