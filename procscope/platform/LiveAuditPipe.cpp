#include "procscope/platform/LiveAuditPipe.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "procscope/Inspection.hpp"
#include "procscope/Log.hpp"
#include "procscope/ThreadPriority.hpp"
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

// The consumer's scheduling while it reads the events itself: at least as
// urgent as the reader thread, whose work it does, and back to its own after.
class ReadingUrgency {
 public:
  void raise() {
    tid_ = static_cast<pid_t>(syscall(SYS_gettid));
    policy_ = sched_getscheduler(tid_);
    if (policy_ < 0 || sched_getparam(tid_, &param_) != 0) policy_ = -1;
    errno = 0;
    nice_ = getpriority(PRIO_PROCESS, static_cast<id_t>(tid_));
    const bool niceKnown = errno == 0;
    const int plain = policy_ & ~SCHED_RESET_ON_FORK;
    if ((plain == SCHED_FIFO || plain == SCHED_RR) &&
        param_.sched_priority >= static_cast<int>(Urgency::Reading)) {
      return;  // as urgent already
    }
    renice_ = !raiseThreadPriority(Urgency::Reading) && niceKnown;
  }
  void restore() {
    if (policy_ >= 0) sched_setscheduler(tid_, policy_, &param_);
    if (renice_) setpriority(PRIO_PROCESS, static_cast<id_t>(tid_), nice_);
    policy_ = -1;
    renice_ = false;
  }

 private:
  pid_t tid_ = 0;
  int policy_ = -1;
  sched_param param_{};
  int nice_ = 0;
  bool renice_ = false;
};

// Encodes events on the thread that reads them and queues the records for
// the monitor. While the monitor would wait for records it reads the events
// itself (ProcEventHub::askToRead): no thread is woken per batch then.
class Encoder final : public ProcEventListener, public std::enable_shared_from_this<Encoder> {
 public:
  explicit Encoder(ProcEventHub& hub) : hub_(hub) {}

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
        if (e.pathKnown) builder_.path(e.path);
        // Without a path, argv[0] may still lead to the file (checked there).
        builder_.execArgs(e.arguments);
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
    // Counted before any later record is queued, so that the monitor sees
    // the count by the time it reads past the gap.
    if (dropped) losses_.fetch_add(1, std::memory_order_release);
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

  void onLoss(std::uint64_t lost, bool overflow) override {
    losses_.fetch_add(1, std::memory_order_release);
    reportKernelLoss(lost, overflow);
  }

  // Each drop of records and each loss of the kernel's events counts one.
  std::uint64_t losses() const { return losses_.load(std::memory_order_acquire); }

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
    if (granted_.load(std::memory_order_acquire)) startReading();
    // What came while the last record was handled: a short-lived program's
    // snapshot is not left waiting for the rest of the taken batch. (With
    // the batch used up, the receive below comes first anyway.)
    if (reading_ && next_ < taken_.ends.size()) readSome(false);
    if (next_ == taken_.ends.size()) {
      taken_.clear();
      for (;;) {
        std::unique_lock lock(mu_);
        if (granted_.load(std::memory_order_acquire)) {
          lock.unlock();
          startReading();
          continue;
        }
        if (!queued_.ends.empty()) {
          std::swap(taken_, queued_);
          startQueued_ = false;
          heldSince_.reset();
          next_ = 0;
          break;
        }
        lock.unlock();
        if (reading_) {
          readSome(true);
          continue;
        }
        if (!asked_ && !readingEnded_) {
          std::weak_ptr<Encoder> self = weak_from_this();
          asked_ = hub_.askToRead([self] {
            if (auto encoder = self.lock()) encoder->grant();
          });
          if (asked_) continue;  // the reader may have lent it already
        }
        lock.lock();
        waiting_ = true;
        ready_.wait(lock, [this] {
          return !queued_.ends.empty() || granted_.load(std::memory_order_relaxed);
        });
        waiting_ = false;
      }
    }
    const std::size_t begin = next_ == 0 ? 0 : taken_.ends[next_ - 1];
    const std::size_t end = taken_.ends[next_++];
    buffer.assign(taken_.bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                  taken_.bytes.begin() + static_cast<std::ptrdiff_t>(end));
    return static_cast<std::int64_t>(buffer.size());
  }

  // Hands the reading role back, or withdraws the ask for it: the consumer
  // is about to wait for something else, or stops.
  void stopReading() {
    if (inRead_) return;  // a listener waits mid-batch: the batch ends first
    if (reading_) {
      reading_ = false;
      inspection::setBeforeWait({});
      urgency_.restore();
      hub_.giveBackReading();
    } else if (asked_) {
      hub_.giveBackReading();
    }
    asked_ = false;
    granted_.store(false, std::memory_order_relaxed);
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
  // The reader thread, once the role is lent to this consumer.
  void grant() {
    {
      std::lock_guard lock(mu_);
      granted_.store(true, std::memory_order_release);
    }
    ready_.notify_one();
  }

  void startReading() {
    granted_.store(false, std::memory_order_relaxed);
    asked_ = false;
    reading_ = true;
    urgency_.raise();
    // A wait for the inspection pool may be long: the reader thread reads
    // meanwhile. (Only this thread runs the hook.)
    std::weak_ptr<Encoder> self = weak_from_this();
    inspection::setBeforeWait([self] {
      if (auto encoder = self.lock()) encoder->stopReading();
    });
  }

  void readSome(bool wait) {
    inRead_ = true;
    const bool more = hub_.read(wait);
    inRead_ = false;
    if (more && !hub_.tookReadingBack()) return;
    reading_ = false;
    readingEnded_ = !more;
    inspection::setBeforeWait({});
    urgency_.restore();
  }

  ProcEventHub& hub_;
  // The consumer's thread only: whether it holds the reading role, has asked
  // for it, or reading has ended for good.
  bool reading_ = false;
  bool asked_ = false;
  bool readingEnded_ = false;
  bool inRead_ = false;
  ReadingUrgency urgency_;
  std::atomic<bool> granted_{false};  // set under mu_: the role is lent to this consumer

  bsm::RecordBuilder builder_{bsm::AUE_EXECVE};  // the reading thread only
  std::uint64_t dropped_ = 0;                    // the reading thread only: the burst so far
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
  std::atomic<std::uint64_t> losses_{0};
  std::atomic<bool> wantProcess_{true};
  std::atomic<bool> wantExec_{true};
};

class LiveStream final : public AuditStream {
 public:
  LiveStream(ProcEventHub& hub, std::shared_ptr<Encoder> encoder)
      : hub_(hub), encoder_(std::move(encoder)) {}
  ~LiveStream() override {
    hub_.unsubscribe(encoder_.get());
    encoder_->stopReading();
  }

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
  std::uint64_t losses() const override { return encoder_->losses(); }

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
  auto encoder = std::make_shared<Encoder>(hub);
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
