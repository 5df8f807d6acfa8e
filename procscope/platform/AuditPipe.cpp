// The default audit-pipe layer: recorded streams from files and FIFOs, and the
// live source behind "/dev/auditpipe" when one is plugged in.
#include "procscope/platform/AuditPipe.hpp"

#include <cstdio>
#include <utility>

#include "procscope/bsm/Reader.hpp"
#include "procscope/platform/LiveAuditPipe.hpp"

namespace procscope::platform {
namespace {

// A recorded stream has no kernel queue; this is only what it reports.
constexpr std::uint32_t kRecordedQueueLimitMax = 65536;

class RecordedAuditStream final : public AuditStream {
 public:
  explicit RecordedAuditStream(std::FILE* file) : file_(file) {}
  ~RecordedAuditStream() override { std::fclose(file_); }
  RecordedAuditStream(const RecordedAuditStream&) = delete;
  RecordedAuditStream& operator=(const RecordedAuditStream&) = delete;

  int setPreselectMode(int) override { return 0; }
  int getQueueLimitMax(std::uint32_t& limit) override {
    limit = kRecordedQueueLimitMax;
    return 0;
  }
  int setQueueLimit(std::uint32_t) override { return 0; }
  int setPreselectFlags(std::uint32_t, std::uint32_t) override { return 0; }
  int setPreselectNaFlags(std::uint32_t, std::uint32_t) override { return 0; }

  std::int64_t readRecord(std::vector<std::uint8_t>& buffer) override {
    if (exhausted_) return -1;
    std::int64_t n = bsm::readRecord(file_, buffer);
    // A corrupt item fails too, but the reader has consumed at least one byte
    // of it, so reading on makes progress; only the end or an error drains.
    if (n <= 0 && (std::feof(file_) || std::ferror(file_))) exhausted_ = true;
    return n;
  }

  bool exhausted() const override { return exhausted_; }

 private:
  std::FILE* file_;
  bool exhausted_ = false;
};

class DefaultAuditPipeLayer final : public AuditPipeLayer {
 public:
  explicit DefaultAuditPipeLayer(LiveAuditSource live) : live_(std::move(live)) {}

  std::unique_ptr<AuditStream> open(const std::string& path) override {
    if (path == kAuditPipePath) return live_ ? live_() : nullptr;
    return openRecordedAuditStream(path);
  }

 private:
  LiveAuditSource live_;
};

// The machine's live process events: the kernel's process-events connector.
LiveAuditSource defaultLiveSource() {
  return [] { return openLiveAuditPipe(); };
}

}  // namespace

std::unique_ptr<AuditStream> openRecordedAuditStream(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return nullptr;
  return std::make_unique<RecordedAuditStream>(file);
}

std::shared_ptr<AuditPipeLayer> makeAuditPipeLayer(LiveAuditSource live) {
  return std::make_shared<DefaultAuditPipeLayer>(std::move(live));
}

template <>
std::shared_ptr<AuditPipeLayer> makeDefaultService<AuditPipeLayer>() {
  return makeAuditPipeLayer(defaultLiveSource());
}

}  // namespace procscope::platform
