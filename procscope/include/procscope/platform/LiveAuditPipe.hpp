// "/dev/auditpipe" on Linux: the process-events connector, each event turned
// into one BSM record, so that the monitor reads the same format from the
// live machine as from a recorded trail.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "procscope/platform/AuditPipe.hpp"

namespace procscope::platform {

// Records waiting for the monitor; beyond this they are counted as lost.
inline constexpr std::uint32_t kLiveQueueLimitMax = 65536;

// None when the connector cannot be used (not root, no connector, another
// PID or network namespace).
std::unique_ptr<AuditStream> openLiveAuditPipe();

class ProcEventHub;
// The same over the events of `hub`, which must outlive the stream.
std::unique_ptr<AuditStream> openLiveAuditPipe(ProcEventHub& hub);

// Called (on the thread reading the events: the hub's reader thread, or the
// monitor's own while it reads them itself) when events were lost, with the count
// of events (0 when unknown) and whether the loss is certain: the kernel's
// buffer overflowed, or the monitor fell so far behind that its queue was
// full (called when such a burst begins and again when it ends). A gap in
// the kernel's sequence numbers is reported as uncertain. The agent sweeps
// for starts it may have missed after a certain loss.
void setLiveLossHandler(std::function<void(std::uint64_t lost, bool certain)> handler);

// Called (on the thread reading the events, after which nothing reads them)
// when the connector fails for good: no process start will be seen any more. The reason is
// already logged. A program that acts on starts is blind from then on.
void setLiveFailureHandler(std::function<void(std::string_view reason)> handler);

}  // namespace procscope::platform
