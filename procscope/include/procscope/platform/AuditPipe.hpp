// The audit pipe: where the monitor's BSM records come from. "/dev/auditpipe"
// is the machine's live process events; any other path is a file or FIFO of
// recorded records.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "procscope/platform/Service.hpp"

namespace procscope::platform {

inline constexpr const char* kAuditPipePath = "/dev/auditpipe";

class AuditStream {
 public:
  virtual ~AuditStream() = default;

  // The configuration requests; each returns 0, or -1 when it cannot be honoured.
  virtual int setPreselectMode(int mode) = 0;
  virtual int getQueueLimitMax(std::uint32_t& limit) = 0;
  virtual int setQueueLimit(std::uint32_t limit) = 0;
  virtual int setPreselectFlags(std::uint32_t successMask, std::uint32_t failureMask) = 0;
  virtual int setPreselectNaFlags(std::uint32_t successMask, std::uint32_t failureMask) = 0;

  // One whole record into `buffer` (reused by the caller); its length, or 0
  // or -1 when this attempt yields none.
  virtual std::int64_t readRecord(std::vector<std::uint8_t>& buffer) = 0;

  // True once a recorded input is drained (end of file, or a read error that
  // will not go away); a live source never is. Once true it stays true.
  virtual bool exhausted() const = 0;

  // Whether an exec record's path was read at the event itself (the live
  // source), rather than written who knows how long ago.
  virtual bool pathsTakenAtEvent() const { return false; }

  // How many times records were lost so far (a live source that fell
  // behind, or whose kernel dropped events); 0 for a stream that loses none.
  virtual std::uint64_t losses() const { return 0; }
};

class AuditPipeLayer {
 public:
  virtual ~AuditPipeLayer() = default;
  // None when the pipe cannot be opened.
  virtual std::unique_ptr<AuditStream> open(const std::string& path) = 0;
};

using AuditPipes = Service<AuditPipeLayer>;

// Opens the machine's live process events; none when they cannot be had.
using LiveAuditSource = std::function<std::unique_ptr<AuditStream>()>;

// The layer the library installs by default: kAuditPipePath goes to `live`
// (nothing opens when it is empty), any other path is a recorded stream.
std::shared_ptr<AuditPipeLayer> makeAuditPipeLayer(LiveAuditSource live);

// A file or FIFO of recorded BSM records ("/dev/stdin" works too), read as a
// buffered stream. It accepts every configuration request; none when the
// path cannot be opened for reading.
std::unique_ptr<AuditStream> openRecordedAuditStream(const std::string& path);

}  // namespace procscope::platform
