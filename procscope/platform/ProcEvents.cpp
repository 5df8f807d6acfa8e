#include "procscope/platform/ProcEvents.hpp"

#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "procscope/Log.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/ThreadPriority.hpp"
#include "procscope/platform/ParentTable.hpp"
#include "procscope/platform/ProcessStates.hpp"

namespace procscope::platform {
namespace {

constexpr int kReceiveBuffer = 16 << 20;  // the default holds only ~256 events
constexpr auto kAckTimeout = std::chrono::milliseconds(1000);
constexpr std::uint32_t kNoCpu = 0xFFFFFFFFu;
// Datagrams taken per receive: the connector sends one small event in each.
constexpr unsigned kBatch = 64;
constexpr std::size_t kDatagramBytes = 1024;
// How long a listener may hold something back while nothing arrives.
constexpr int kQuietMs = 5;
// How long a consumer that holds the reading role may stay away from the
// socket before the reader thread reads again.
constexpr auto kTakeBackAfter = std::chrono::milliseconds(20);

// The subscription with an event-type filter (Linux 6.6 and later); older
// headers lack it.
struct ListenWithFilter {
  std::uint32_t op;
  std::uint32_t events;
};
// What the listeners use: records keep users and groups, so their changes
// come too. Comm (renames by prctl or /proc), sid, ptrace and coredump events are left out.
constexpr std::uint32_t kWantedEvents = proc_event::PROC_EVENT_FORK | proc_event::PROC_EVENT_EXEC |
                                        proc_event::PROC_EVENT_EXIT | proc_event::PROC_EVENT_UID |
                                        proc_event::PROC_EVENT_GID;

// A request to the connector: nlmsghdr, cn_msg and the operation (at most a
// ListenWithFilter), laid out back to back.
bool sendRequest(int fd, const void* op, std::uint16_t size, std::uint32_t seq) {
  alignas(nlmsghdr) std::uint8_t req[NLMSG_SPACE(sizeof(cn_msg) + sizeof(ListenWithFilter))] = {};
  if (size > sizeof(ListenWithFilter)) return false;
  auto* hdr = reinterpret_cast<nlmsghdr*>(req);
  hdr->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + size);
  hdr->nlmsg_type = NLMSG_DONE;
  auto* msg = static_cast<cn_msg*>(NLMSG_DATA(hdr));
  msg->id.idx = CN_IDX_PROC;
  msg->id.val = CN_VAL_PROC;
  msg->seq = seq;
  msg->len = size;
  std::memcpy(msg->data, op, size);
  return send(fd, req, hdr->nlmsg_len, 0) == static_cast<ssize_t>(hdr->nlmsg_len);
}

using Clock = std::chrono::steady_clock;

// /proc makes these files whole on each read and hands over all that fits:
// a read that leaves room in the buffer has reached the end, and asking
// again for the end would cost a syscall per event.
ssize_t readFile(const char* path, char* buf, size_t cap) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t got = 0;
  while (got < cap) {
    ssize_t n = ::read(fd, buf + got, cap - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (got < cap) break;
  }
  ::close(fd);
  return static_cast<ssize_t>(got);
}

// The event after a connector header sits 4 bytes off its natural (8-byte)
// alignment: copy it out rather than read it in place.
proc_event eventOf(const cn_msg& msg) {
  proc_event ev;
  std::memcpy(&ev, msg.data, sizeof ev);
  return ev;
}

// Reads /proc/<pid>/<file> into `buf`; the bytes read, or -1.
ssize_t readProcFile(std::int32_t pid, const char* file, char* buf, size_t cap) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/%s", pid, file);
  return readFile(path, buf, cap);
}

}  // namespace

struct ProcEventHub::Impl {
  std::mutex mu;
  // Copied on change so that the reader thread reads it without the lock.
  std::shared_ptr<const std::vector<std::shared_ptr<ProcEventListener>>> listeners =
      std::make_shared<std::vector<std::shared_ptr<ProcEventListener>>>();
  int fd = -1;
  bool opened = false;
  bool failed = false;
  std::string failure;  // why the reader stopped, once it has (empty before)
  std::atomic<int> injectedError{0};

  ParentTable* parents = &ParentTable::shared();
  std::unique_ptr<ParentTable> ownParents;  // a detached hub's

  // The reading role: who receives and handles events. All the state below
  // it is touched only by the role's holder; handing the role over under
  // roleMu orders what one holder did before what the next does.
  enum class Role {
    None,    // no reader thread (not opened, or a detached hub)
    Reader,  // the reader thread reads
    Asked,   // the reader thread reads, and lends the role after its batch
    Lent,    // a consumer reads; the reader thread waits on roleBack
    Ended,   // reading failed for good
  };
  std::mutex roleMu;
  std::condition_variable roleBack;
  Role role = Role::None;          // under roleMu
  std::function<void()> granted;   // under roleMu: whom to tell once lent
  std::atomic<bool> asked{false};  // role == Asked, read without the lock per batch
  // A consumer held up elsewhere (in its callback, say) would leave the
  // socket unread and every snapshot late: the reader thread takes the role
  // back when the consumer has not come to read for a while.
  bool consumerReading = false;      // under roleMu: inside read()
  std::uint64_t consumerRounds = 0;  // under roleMu: reads so far
  bool takenBack = false;            // under roleMu: for the consumer to learn

  // The role holder's state.
  // What is known of each process, fed with every event.
  std::unique_ptr<ProcessStates> states;
  std::unordered_map<std::uint32_t, std::uint32_t> nextSeq;  // per cpu
  // The kernel numbers events before it filters them: with its filter in
  // effect, gaps in the numbers are what it left out, and only an overflow
  // tells of a loss. Whether a kernel honours the filter is learnt from two
  // events of the reader's own making (see probeFilter): until then gaps
  // are not counted either.
  enum class Filter { Off, Unknown, On };
  Filter filter = Filter::Off;
  std::int32_t probeComm = -1;  // the thread whose comm event the filter drops
  std::int32_t probeFork = -1;  // the thread whose start the filter passes
  std::string pathBuf = std::string(4096, '\0');
  std::vector<char> argBuf = std::vector<char>(kMaxEventArgumentBytes + 1);
  std::vector<std::string_view> args;
  // Everything the socket holds is taken per wake-up, up to kBatch datagrams
  // in one call, and the listeners hear of the batch's end once.
  struct Datagrams {
    alignas(nlmsghdr) char bufs[kBatch][kDatagramBytes];
    std::array<iovec, kBatch> iov{};
    std::array<mmsghdr, kBatch> msgs{};
  };
  std::unique_ptr<Datagrams> datagrams;
  std::vector<pollfd> fds;
  bool heldBack = false;  // a listener waits for a quiet spell

  bool open();
  void requestFilter();
  void probeFilter();
  void noteFilter(const proc_event& ev);
  void take(const char* data, std::size_t size);
  bool endBatch(bool quiet);
  void run();
  bool receive(bool wait);
  bool lend();
  void endReading();
  void dispatch(const ProcEvent& e);
  void lost(std::uint64_t n, bool overflow);
  void fail(const std::string& reason);
  void handle(const proc_event& ev);
  void useParents(ParentTable& table) {
    parents = &table;
    states = std::make_unique<ProcessStates>(table, [this](const ProcEvent& e) { dispatch(e); });
  }
  Impl() { useParents(ParentTable::shared()); }
};

bool ProcEventHub::Impl::open() {
  fd = ::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  if (fd < 0) return false;
  int size = kReceiveBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = CN_IDX_PROC;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    fd = -1;
    return false;
  }

  // Ask to listen, and wait for the kernel's acknowledgement of our request:
  // without it (another PID or network namespace) nothing would ever arrive.
  const std::uint32_t cookie = static_cast<std::uint32_t>(getpid()) ^ 0x5A5A0000u;
  const proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
  if (!sendRequest(fd, &op, sizeof op, cookie)) {
    ::close(fd);
    fd = -1;
    return false;
  }
  auto deadline = Clock::now() + kAckTimeout;
  alignas(nlmsghdr) char buf[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) continue;
    auto* hdr = reinterpret_cast<nlmsghdr*>(buf);
    if (!NLMSG_OK(hdr, static_cast<unsigned>(n))) continue;
    auto* msg = static_cast<cn_msg*>(NLMSG_DATA(hdr));
    if (msg->len < sizeof(proc_event)) continue;
    const proc_event ev = eventOf(*msg);
    // The kernel numbers its acknowledgement itself (the request's sequence
    // number is not echoed); it is the one event of kind "none" with ack 1.
    if (ev.what == proc_event::PROC_EVENT_NONE && msg->ack == 1) {
      if (ev.event_data.ack.err != 0) break;
      requestFilter();
      return true;
    }
  }
  ::close(fd);
  fd = -1;
  return false;
}

// Narrows the subscription to the events the listeners use. Asked only
// once the plain one is acknowledged: a kernel that does not know the filter
// ignores this request without an answer, and one that applies it filters
// its acknowledgement away, so neither can hold up the start.
void ProcEventHub::Impl::requestFilter() {
  const ListenWithFilter op{PROC_CN_MCAST_LISTEN, kWantedEvents};
  if (sendRequest(fd, &op, sizeof op, 0)) filter = Filter::Unknown;
}

// A comm event of this thread, then the start of another: a kernel that
// filters drops the first and passes the second, one that does not passes
// both, in this order (the socket queues one thread's events in turn).
void ProcEventHub::Impl::probeFilter() {
  char name[16] = {};
  if (prctl(PR_GET_NAME, name) != 0 || prctl(PR_SET_NAME, name) != 0) {
    filter = Filter::Off;  // no probe: count gaps, as without a filter
    return;
  }
  probeComm = static_cast<std::int32_t>(gettid());
  std::atomic<std::int32_t> started{-1};
  try {
    std::thread([&started] { started.store(static_cast<std::int32_t>(gettid())); }).join();
  } catch (const std::system_error&) {
    filter = Filter::Off;
    return;
  }
  probeFork = started.load();
}

void ProcEventHub::Impl::noteFilter(const proc_event& ev) {
  if (ev.what == proc_event::PROC_EVENT_COMM && ev.event_data.comm.process_pid == probeComm) {
    filter = Filter::Off;
    nextSeq.clear();  // numbers from here on
  } else if (ev.what == proc_event::PROC_EVENT_FORK && ev.event_data.fork.child_pid == probeFork) {
    filter = Filter::On;
  }
}

void ProcEventHub::Impl::dispatch(const ProcEvent& e) {
  auto current = std::atomic_load(&listeners);
  for (const auto& l : *current) l->onEvent(e);
}

void ProcEventHub::Impl::lost(std::uint64_t n, bool overflow) {
  // What was built from the events may miss exits, threads and changes of
  // user now.
  states->lost();
  auto current = std::atomic_load(&listeners);
  for (const auto& l : *current) l->onLoss(n, overflow);
}

void ProcEventHub::Impl::fail(const std::string& reason) {
  logMessage("process events: " + reason);
  {
    // A later subscriber is refused rather than left waiting for nothing.
    std::lock_guard lock(mu);
    failed = true;
    opened = false;
    failure = reason;
  }
  parents->stop();
  endReading();
  auto current = std::atomic_load(&listeners);
  for (const auto& l : *current) l->onFailure(reason);
}

void ProcEventHub::Impl::handle(const proc_event& ev) {
  switch (ev.what) {
    case proc_event::PROC_EVENT_FORK: {
      const auto& f = ev.event_data.fork;
      if (f.child_pid != f.child_tgid) {  // a new thread, not a process
        // (Its parent fields name the process's parent, not its creator.)
        states->threadStarted(f.child_pid, f.child_tgid);
        return;
      }
      states->processStarted(f.child_tgid, f.parent_tgid);
      const auto pin = LivePins::shared().forked(f.child_tgid);
      ProcEvent e;
      e.kind = ProcEvent::Kind::Fork;
      e.pid = f.child_tgid;
      e.parent = f.parent_tgid;
      states->describeFork(e, f.parent_pid, pin ? pin->pidfd() : -1);
      dispatch(e);
      return;
    }
    case proc_event::PROC_EVENT_EXEC: {
      const std::int32_t pid = ev.event_data.exec.process_tgid;
      // First the pin, then the snapshot, so the snapshot is of the pinned process.
      const auto pin = LivePins::shared().executed(pid);
      states->executed(pid);
      ProcEvent e;
      e.kind = ProcEvent::Kind::Exec;
      e.pid = pid;
      char path[64];
      std::snprintf(path, sizeof path, "/proc/%d/exe", pid);
      ssize_t n = readlink(path, pathBuf.data(), pathBuf.size());
      if (n > 0 && static_cast<size_t>(n) < pathBuf.size()) {
        e.pathKnown = true;
        e.path = std::string_view(pathBuf.data(), static_cast<size_t>(n));
      }
      // Also without the path (one longer than PATH_MAX, which readlink
      // refuses): the name the program was started by may still lead to it.
      ssize_t len = readProcFile(pid, "cmdline", argBuf.data(), kMaxEventArgumentBytes);
      args.clear();
      if (len > 0) {
        const char* p = argBuf.data();
        const char* end = p + len;
        while (p < end && args.size() < kMaxEventArguments) {
          const char* nul = static_cast<const char*>(std::memchr(p, '\0', end - p));
          if (!nul) break;  // cut off at the byte cap: the piece is incomplete
          args.emplace_back(p, static_cast<size_t>(nul - p));
          p = nul + 1;
        }
      }
      e.arguments = args;
      states->describeExec(e, pin ? pin->pidfd() : -1);
      dispatch(e);
      return;
    }
    case proc_event::PROC_EVENT_EXIT: {
      const auto& x = ev.event_data.exit;
      if (x.process_pid == x.process_tgid) LivePins::shared().exited(x.process_tgid);
      states->exited(x.process_pid, x.process_tgid, x.exit_code);
      return;
    }
    case proc_event::PROC_EVENT_UID:
    case proc_event::PROC_EVENT_GID: {
      const auto& c = ev.event_data.id;
      const bool users = ev.what == proc_event::PROC_EVENT_UID;
      states->idsChanged(c.process_pid, c.process_tgid, users, users ? c.r.ruid : c.r.rgid,
                         users ? c.e.euid : c.e.egid);
      return;
    }
    default:
      return;  // sid, comm, ptrace and coredump events are not passed on
  }
}

// Whether a listener wants to hear again after a quiet spell.
bool ProcEventHub::Impl::endBatch(bool quiet) {
  auto current = std::atomic_load(&listeners);
  bool again = false;
  for (const auto& l : *current) again = l->onBatchEnd(quiet) || again;
  return again;
}

// The events of one datagram.
void ProcEventHub::Impl::take(const char* data, std::size_t size) {
  auto n = static_cast<unsigned>(size);
  for (const auto* hdr = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(hdr, n);
       hdr = NLMSG_NEXT(hdr, n)) {
    if (hdr->nlmsg_type == NLMSG_ERROR || hdr->nlmsg_type == NLMSG_NOOP) continue;
    const auto* msg = static_cast<const cn_msg*>(NLMSG_DATA(hdr));
    if (msg->id.idx != CN_IDX_PROC || msg->id.val != CN_VAL_PROC) continue;
    if (msg->len < sizeof(proc_event)) continue;
    const proc_event ev = eventOf(*msg);
    if (filter == Filter::Unknown) noteFilter(ev);
    // The kernel numbers the acknowledgement of any listener's subscription
    // among its CPU's events, and sends it to every listener: skipped
    // uncounted, it would read as one lost event each time another program
    // subscribes. (Kernels that do not number it leave its CPU at -1.)
    if (ev.cpu != kNoCpu && filter == Filter::Off) {
      auto [it, fresh] = nextSeq.try_emplace(ev.cpu, msg->seq);
      if (!fresh && msg->seq != it->second && msg->seq > it->second) {
        lost(msg->seq - it->second, false);
      }
      it->second = msg->seq + 1;
    }
    if (ev.what == proc_event::PROC_EVENT_NONE) continue;  // acknowledgements
    handle(ev);
  }
}

void ProcEventHub::Impl::run() {
  // Draining fast is what keeps the kernel from dropping events, and the
  // snapshot of a short-lived program must be taken before it is gone.
  raiseThreadPriority(Urgency::Reading);
  if (filter == Filter::Unknown) probeFilter();
  for (;;) {
    // A consumer that asked gets the role between batches: it holds no
    // half-handled event, and the next datagram wakes this thread anyway.
    if (asked.load(std::memory_order_relaxed) && !lend()) return;
    if (!receive(true)) return;
  }
}

// Lends the role to the consumer that asked and waits for it back; false
// when reading ended meanwhile.
bool ProcEventHub::Impl::lend() {
  std::unique_lock lock(roleMu);
  if (role != Role::Asked) return role != Role::Ended;  // the ask was withdrawn
  role = Role::Lent;
  takenBack = false;
  asked.store(false, std::memory_order_relaxed);
  // Told under the lock: an ask withdrawn meanwhile is never granted late.
  if (auto tell = std::exchange(granted, nullptr)) tell();
  std::uint64_t seen = consumerRounds;
  while (!roleBack.wait_for(lock, kTakeBackAfter, [this] { return role != Role::Lent; })) {
    if (!consumerReading && consumerRounds == seen) {
      role = Role::Reader;
      takenBack = true;
      return true;
    }
    seen = consumerRounds;
  }
  return role != Role::Ended;
}

void ProcEventHub::Impl::endReading() {
  {
    std::lock_guard lock(roleMu);
    role = Role::Ended;
    asked.store(false, std::memory_order_relaxed);
    granted = nullptr;
  }
  roleBack.notify_one();
}

// One round of taking events to the listeners: what the socket holds (up to
// a batch), waiting for it when `wait`, and the held exits of processes that
// have ended. False when reading failed for good.
bool ProcEventHub::Impl::receive(bool wait) {
  if (!datagrams) {
    datagrams = std::make_unique<Datagrams>();
    for (unsigned i = 0; i < kBatch; ++i) {
      datagrams->iov[i] = {datagrams->bufs[i], kDatagramBytes};
      datagrams->msgs[i].msg_hdr.msg_iov = &datagrams->iov[i];
      datagrams->msgs[i].msg_hdr.msg_iovlen = 1;
    }
  }
  // With no exit held, the receive itself waits for the first datagram.
  int flags = wait ? MSG_WAITFORONE : MSG_DONTWAIT;
  if (states->watching() || heldBack) {
    fds.clear();
    fds.push_back({fd, POLLIN, 0});
    states->watches(fds);
    int timeout = !wait ? 0 : heldBack ? kQuietMs : -1;
    // Wakes when a process seen gone may be released.
    if (const auto left = states->graceLeft(); left && wait) {
      const int ms = static_cast<int>(left->count());
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    int r = poll(fds.data(), fds.size(), timeout);
    if (r < 0) {
      if (errno == EINTR) return true;
      fail(std::string("poll failed: ") + std::strerror(errno));
      return false;
    }
    if (r == 0) {
      states->releaseGone();  // nothing came meanwhile
      // Quiet only when this round waited for something to come.
      heldBack = endBatch(wait);
      return true;
    }
    states->noteGone(std::span(fds).subspan(1));
    if (fds[0].revents == 0) {
      states->releaseGone();  // nothing was left to read
      heldBack = endBatch(false);
      return true;
    }
    flags = MSG_DONTWAIT;
  }
  int got = -1;
  if (const int injected = injectedError.exchange(0)) {
    errno = injected;
  } else {
    got = recvmmsg(fd, datagrams->msgs.data(), kBatch, flags, nullptr);
  }
  if (got < 0) {
    if (errno == EINTR || errno == EAGAIN) {
      if (errno == EAGAIN) states->releaseGone();
      heldBack = endBatch(false);
      return true;
    }
    if (errno == ENOBUFS) {
      // The kernel dropped events: the sequence numbers restart from unknown.
      nextSeq.clear();
      lost(0, true);
      heldBack = endBatch(false);
      return true;
    }
    fail(std::string("receive failed: ") + std::strerror(errno));
    return false;
  }
  for (int i = 0; i < got; ++i) take(datagrams->bufs[i], datagrams->msgs[i].msg_len);
  // A receive that did not fill the batch has emptied the socket: every
  // exit event sent before a held process was seen gone has been read.
  if (got < static_cast<int>(kBatch)) states->releaseGone();
  heldBack = endBatch(false);
  return true;
}

ProcEventHub::ProcEventHub() : impl_(std::make_shared<Impl>()) {}

std::unique_ptr<ProcEventHub> ProcEventHub::detached() {
  std::unique_ptr<ProcEventHub> hub(new ProcEventHub());
  hub->impl_->opened = true;
  hub->impl_->ownParents = std::make_unique<ParentTable>();
  hub->impl_->useParents(*hub->impl_->ownParents);
  hub->impl_->parents->start();
  return hub;
}

ParentTable& ProcEventHub::parents() {
  return *impl_->parents;
}

void ProcEventHub::feed(const void* event, std::size_t size) {
  proc_event ev{};
  std::memcpy(&ev, event, std::min(size, sizeof ev));
  impl_->handle(ev);
}

void ProcEventHub::settle() {
  impl_->states->settle();
}

// ---- Pins ----

LivePins::LivePins() = default;

namespace {

// Every pin holds a descriptor: leave most of the program's for its own use.
std::size_t pinCapacity() {
  rlimit files{};
  std::size_t limit = 1024;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    limit = files.rlim_cur == RLIM_INFINITY ? std::size_t{1} << 20
                                            : static_cast<std::size_t>(files.rlim_cur);
  }
  return std::clamp<std::size_t>(limit / 4, 64, 4096);
}

}  // namespace

LivePins& LivePins::shared() {
  static LivePins* pins = new LivePins();  // the detached reader may outlive statics
  return *pins;
}

void LivePins::open() {
  std::lock_guard lock(mu_);
  // Read at each first open: the program may have raised its limit by then.
  if (consumers_.load() == 0) capacity_ = pinCapacity();
  consumers_.fetch_add(1);
}

void LivePins::close() {
  std::lock_guard lock(mu_);
  if (consumers_.fetch_sub(1) == 1) {
    byPid_.clear();
    entries_ = 0;
  }
}

void LivePins::makeRoomLocked() {
  for (auto it = byPid_.begin(); it != byPid_.end();) {
    const auto spent = std::erase_if(it->second, [](const Entry& e) { return e.spent(); });
    entries_ -= spent;
    it = it->second.empty() ? byPid_.erase(it) : std::next(it);
  }
  // Mostly pins still owed to records: start afresh, as without kept ones,
  // rather than scan again at the next push.
  if (entries_ >= capacity_ - capacity_ / 4) {
    byPid_.clear();
    entries_ = 0;
  }
}

void LivePins::push(std::int32_t pid, std::shared_ptr<const ProcessIdentity> pin, bool kept) {
  std::lock_guard lock(mu_);
  if (!active()) return;
  if (entries_ >= capacity_) makeRoomLocked();
  auto& at = byPid_[pid];
  // A new process under the number: the one before has ended.
  if (!at.empty()) releaseLastLocked(at);
  at.push_back(Entry{std::move(pin), 1, 0, kept});
  ++entries_;
}

void LivePins::releaseLastLocked(std::deque<Entry>& at) {
  Entry& last = at.back();
  last.kept = false;
  if (last.spent()) {
    at.pop_back();
    --entries_;
  }
}

std::shared_ptr<const ProcessIdentity> LivePins::forked(std::int32_t child) {
  if (!active()) return nullptr;
  auto pin = ProcessIdentity::pin(child);
  push(child, pin, true);  // always a new process
  return pin;
}

std::shared_ptr<const ProcessIdentity> LivePins::executed(std::int32_t pid) {
  if (!active()) return nullptr;
  {
    std::lock_guard lock(mu_);
    auto it = byPid_.find(pid);
    // A pinned process that is still unreaped holds the number: the exec is
    // its own, and its record pairs with the same pin.
    if (it != byPid_.end() && !it->second.empty()) {
      Entry& last = it->second.back();
      if (last.pin && last.pin->alive()) {
        ++last.events;
        last.kept = false;
        return last.pin;
      }
    }
  }
  auto pin = ProcessIdentity::pin(pid);
  push(pid, pin, false);
  return pin;
}

void LivePins::exited(std::int32_t pid) {
  if (!active()) return;
  std::lock_guard lock(mu_);
  auto it = byPid_.find(pid);
  if (it == byPid_.end() || it->second.empty()) return;
  releaseLastLocked(it->second);
  if (it->second.empty()) byPid_.erase(it);
}

std::optional<std::shared_ptr<const ProcessIdentity>> LivePins::take(std::int32_t pid) {
  std::lock_guard lock(mu_);
  auto it = byPid_.find(pid);
  if (it == byPid_.end()) return std::nullopt;
  auto& at = it->second;
  // A kept pin whose records are all taken pairs with no record to come.
  while (!at.empty() && at.front().spent()) {
    at.pop_front();
    --entries_;
  }
  if (at.empty()) {
    byPid_.erase(it);
    return std::nullopt;
  }
  Entry& front = at.front();
  std::shared_ptr<const ProcessIdentity> pin = front.pin;
  if (++front.taken >= front.events && !front.kept) {
    at.pop_front();
    --entries_;
    if (at.empty()) byPid_.erase(it);
  }
  return pin;
}

std::size_t LivePins::size() const {
  std::lock_guard lock(mu_);
  return entries_;
}

std::size_t LivePins::capacity() const {
  std::lock_guard lock(mu_);
  return capacity_;
}

ProcEventHub& ProcEventHub::shared() {
  static ProcEventHub* hub = new ProcEventHub();  // lives as long as its detached reader
  return *hub;
}

bool ProcEventHub::subscribe(const std::shared_ptr<ProcEventListener>& listener) {
  std::unique_lock lock(impl_->mu);
  if (!impl_->opened) {
    if (impl_->failed || !impl_->open()) {
      impl_->failed = true;
      // A reader that failed before this listener came (another listener's
      // subscription started it) is told to this one too: it would otherwise
      // wait for events that never come.
      const std::string failure = impl_->failure;
      lock.unlock();
      if (!failure.empty()) listener->onFailure(failure);
      return false;
    }
    impl_->opened = true;
    impl_->parents->start();
    {
      std::lock_guard roleLock(impl_->roleMu);
      impl_->role = Impl::Role::Reader;
    }
    std::thread([impl = impl_] { impl->run(); }).detach();
  }
  auto next = std::make_shared<std::vector<std::shared_ptr<ProcEventListener>>>(*impl_->listeners);
  next->push_back(listener);
  std::atomic_store(&impl_->listeners,
                    std::shared_ptr<const std::vector<std::shared_ptr<ProcEventListener>>>(next));
  return true;
}

bool ProcEventHub::askToRead(std::function<void()> granted) {
  std::lock_guard lock(impl_->roleMu);
  if (impl_->role != Impl::Role::Reader) return false;
  impl_->role = Impl::Role::Asked;
  impl_->granted = std::move(granted);
  impl_->asked.store(true, std::memory_order_relaxed);
  return true;
}

bool ProcEventHub::read(bool wait) {
  {
    std::lock_guard lock(impl_->roleMu);
    if (impl_->role != Impl::Role::Lent) return impl_->role != Impl::Role::Ended;
    impl_->consumerReading = true;
  }
  const bool more = impl_->receive(wait);
  std::lock_guard lock(impl_->roleMu);
  impl_->consumerReading = false;
  ++impl_->consumerRounds;
  return more;
}

bool ProcEventHub::tookReadingBack() {
  std::lock_guard lock(impl_->roleMu);
  return std::exchange(impl_->takenBack, false);
}

void ProcEventHub::giveBackReading() {
  {
    std::lock_guard lock(impl_->roleMu);
    if (impl_->role != Impl::Role::Asked && impl_->role != Impl::Role::Lent) return;
    impl_->role = Impl::Role::Reader;
    impl_->asked.store(false, std::memory_order_relaxed);
    impl_->granted = nullptr;
  }
  impl_->roleBack.notify_one();
}

void ProcEventHub::failNextReceive(int error) {
  impl_->injectedError.store(error);
}

void ProcEventHub::unsubscribe(const ProcEventListener* listener) {
  std::lock_guard lock(impl_->mu);
  auto next = std::make_shared<std::vector<std::shared_ptr<ProcEventListener>>>(*impl_->listeners);
  std::erase_if(*next, [&](const auto& l) { return l.get() == listener; });
  std::atomic_store(&impl_->listeners,
                    std::shared_ptr<const std::vector<std::shared_ptr<ProcEventListener>>>(next));
}

}  // namespace procscope::platform
