// The live source when the monitor stops reading: what is dropped is reported
// as a certain loss, once when the drops begin and once, with their number,
// when records flow again, never a line per record. And no loss is reported
// where nothing was lost. Records cross to the reader in batches, exits held
// back for a while: none is torn or out of its process's order. A monitor
// that reads the events itself hands the reading back while it waits.
#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "live/ChildProcess.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/bsm/Token.hpp"
#include "procscope/platform/LiveAuditPipe.hpp"
#include "procscope/platform/ProcEvents.hpp"
#include "support/Capture.hpp"

using namespace std::chrono_literals;
using procscope::platform::openLiveAuditPipe;
using procscope::platform::setLiveLossHandler;

namespace {

pid_t runTrue() {
  pid_t pid = -1;
  char* argv[] = {const_cast<char*>("true"), nullptr};
  if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) return -1;
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return pid;
}

// Another program's subscription to the connector, ended at once: the
// kernel sends its acknowledgement to every listener.
void subscribeElsewhere() {
  const int fd = socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  ASSERT_GE(fd, 0);
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = CN_IDX_PROC;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  alignas(nlmsghdr) std::uint8_t req[NLMSG_SPACE(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))] = {};
  auto* hdr = reinterpret_cast<nlmsghdr*>(req);
  hdr->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
  hdr->nlmsg_type = NLMSG_DONE;
  auto* msg = static_cast<cn_msg*>(NLMSG_DATA(hdr));
  msg->id = {CN_IDX_PROC, CN_VAL_PROC};
  msg->len = sizeof(proc_cn_mcast_op);
  const proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
  std::memcpy(msg->data, &op, sizeof op);
  EXPECT_EQ(send(fd, req, hdr->nlmsg_len, 0), static_cast<ssize_t>(hdr->nlmsg_len));
  close(fd);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace

TEST(LiveAuditPipe, FullQueueIsACertainLossReportedPerBurst) {
  if (geteuid() != 0) GTEST_SKIP() << "the process-events connector needs root";
  std::mutex mu;
  std::vector<std::pair<std::uint64_t, bool>> calls;
  auto callsSoFar = [&] {
    std::lock_guard lock(mu);
    return calls;
  };
  auto waitForCalls = [&](std::size_t n) {
    for (int i = 0; i < 500 && callsSoFar().size() < n; ++i) {
      runTrue();
      std::this_thread::sleep_for(10ms);
    }
  };
  setLiveLossHandler([&](std::uint64_t lost, bool certain) {
    std::lock_guard lock(mu);
    calls.emplace_back(lost, certain);
  });
  test::StderrCapture capture;
  {
    auto stream = openLiveAuditPipe();
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->setQueueLimit(1), 0);
    for (int i = 0; i < 5; ++i) runTrue();  // three events each, one record fits
    waitForCalls(1);
    std::vector<std::uint8_t> record;
    EXPECT_GT(stream->readRecord(record), 0);  // room again: the next record ends the burst
    waitForCalls(2);
  }
  setLiveLossHandler(nullptr);
  const std::string log = capture.take();

  const auto seen = callsSoFar();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(std::uint64_t{1}, true));
  EXPECT_TRUE(seen[1].second);
  EXPECT_GE(seen[1].first, 5u);
  // A line per burst (one more may have begun as the stream closed).
  const std::size_t begun = count(log, "records are being dropped");
  EXPECT_GE(begun, 1u);
  EXPECT_LE(begun, seen.size() / 2 + 1);
  EXPECT_GE(count(log, "records were dropped while the monitor was behind"), 1u);
}

TEST(LiveAuditPipe, AnotherListenersSubscriptionIsNoLoss) {
  if (geteuid() != 0) GTEST_SKIP() << "the process-events connector needs root";
  std::atomic<int> losses{0};
  setLiveLossHandler([&](std::uint64_t, bool) { ++losses; });
  test::StderrCapture capture;
  {
    auto stream = openLiveAuditPipe();
    ASSERT_TRUE(stream);
    // Events on every CPU before and after each acknowledgement.
    for (int i = 0; i < 20; ++i) {
      runTrue();
      subscribeElsewhere();
      runTrue();
    }
    std::this_thread::sleep_for(100ms);
  }
  setLiveLossHandler(nullptr);
  EXPECT_EQ(losses.load(), 0) << capture.take();
}

TEST(LiveAuditPipe, RecordsComeWholeAndInTheirProcesssOrder) {
  if (geteuid() != 0) GTEST_SKIP() << "the process-events connector needs root";
  namespace bsm = procscope::bsm;
  auto stream = openLiveAuditPipe();
  ASSERT_TRUE(stream);
  std::map<std::uint32_t, std::string> kinds;  // of each program run here: f(ork), x, e(xit)
  for (int i = 0; i < 20; ++i) {
    const pid_t pid = runTrue();
    ASSERT_GT(pid, 0);
    kinds[static_cast<std::uint32_t>(pid)];
  }
  // The last exits come after a quiet spell, with nothing after them.
  std::size_t exited = 0;
  std::vector<std::uint8_t> record;
  for (int n = 0; n < 1'000'000 && exited < kinds.size(); ++n) {
    const std::int64_t size = stream->readRecord(record);
    ASSERT_EQ(size, static_cast<std::int64_t>(record.size()));
    bsm::TokenCursor cursor(record.data(), record.size());
    bsm::Token token;
    std::uint16_t type = 0;
    std::uint32_t pid = 0;
    bool whole = false;
    while (cursor.next(token)) {
      if (token.id == bsm::AUT_HEADER32) type = token.header.e_type;
      if (token.id == bsm::AUT_SUBJECT32 && type != bsm::AUE_FORK) pid = token.subject.pid;
      if (token.id == bsm::AUT_ARG32) pid = static_cast<std::uint32_t>(token.arg.val);
      whole = token.id == bsm::AUT_TRAILER;
    }
    ASSERT_TRUE(whole && !cursor.failed());
    auto it = kinds.find(pid);
    if (it == kinds.end()) continue;
    it->second += type == bsm::AUE_FORK ? 'f' : type == bsm::AUE_EXIT ? 'e' : 'x';
    if (type == bsm::AUE_EXIT) ++exited;
  }
  for (const auto& [pid, seen] : kinds) EXPECT_EQ(seen, "fxe") << pid;
}

// The consumer reads the events itself once its queue runs dry; a wait for
// the inspection pool gives the reading back, so a program started meanwhile
// is still seen at once with its path, and the records flow on after.
TEST(LiveAuditPipe, ReadingGoesBackWhileTheConsumerWaitsForThePool) {
  if (geteuid() != 0) GTEST_SKIP() << "the process-events connector needs root";
  namespace platform = procscope::platform;
  namespace bsm = procscope::bsm;
  // Each exec: the thread that read it, and whether its path was read.
  struct Execs final : platform::ProcEventListener {
    std::mutex mu;
    std::map<pid_t, std::pair<pid_t, bool>> seen;
    void onEvent(const platform::ProcEvent& e) override {
      if (e.kind != platform::ProcEvent::Kind::Exec) return;
      std::lock_guard lock(mu);
      seen[e.pid] = {gettid(), e.pathKnown};
    }
    void onLoss(std::uint64_t, bool) override {}
    std::optional<std::pair<pid_t, bool>> of(pid_t pid) {
      std::lock_guard lock(mu);
      auto it = seen.find(pid);
      if (it == seen.end()) return std::nullopt;
      return it->second;
    }
    void forget() {
      std::lock_guard lock(mu);
      seen.clear();
    }
    bool anyReadOn(pid_t tid) {
      std::lock_guard lock(mu);
      return std::any_of(seen.begin(), seen.end(),
                         [&](const auto& s) { return s.second.first == tid; });
    }
  };
  auto execs = std::make_shared<Execs>();
  auto stream = openLiveAuditPipe();
  ASSERT_TRUE(stream);
  auto& hub = platform::ProcEventHub::shared();
  ASSERT_TRUE(hub.subscribe(execs));
  std::vector<std::uint8_t> record;
  auto readUntilExitOf = [&](pid_t pid) {
    for (int n = 0; n < 100'000; ++n) {
      if (stream->readRecord(record) <= 0) continue;
      bsm::TokenCursor cursor(record.data(), record.size());
      bsm::Token token;
      std::uint16_t type = 0;
      while (cursor.next(token)) {
        if (token.id == bsm::AUT_HEADER32) type = token.header.e_type;
        if (token.id == bsm::AUT_SUBJECT32 && type == bsm::AUE_EXIT &&
            token.subject.pid == static_cast<std::uint32_t>(pid)) {
          return true;
        }
      }
    }
    return false;
  };
  // Reads while programs start now and then (so the queue runs dry in
  // between), until an exec is read on this thread; the programs go on
  // until then, so that no read waits for ever.
  const pid_t self = gettid();
  auto readHere = [&] {
    std::atomic<bool> stop{false}, gaveUp{false};
    std::thread starter([&] {
      for (int i = 0; !stop; ++i) {
        runTrue();
        std::this_thread::sleep_for(5ms);
        if (i == 400) gaveUp = true;
      }
    });
    execs->forget();
    while (!gaveUp && !execs->anyReadOn(self)) stream->readRecord(record);
    stop = true;
    starter.join();
    return !gaveUp;
  };
  ASSERT_TRUE(readHere());

  std::unique_ptr<test::ChildProcess> child;
  ASSERT_TRUE(procscope::inspection::run("reading-handover", [&] {
    child = std::make_unique<test::ChildProcess>(std::vector<std::string>{"sh"});
  }));
  ASSERT_GT(child->pid(), 0);
  std::optional<std::pair<pid_t, bool>> seen;
  for (int i = 0; i < 200 && !(seen = execs->of(child->pid())); ++i)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(seen) << "no event was read while the consumer waited";
  EXPECT_NE(seen->first, self);
  EXPECT_TRUE(seen->second);
  const pid_t pid = child->pid();
  child->stop();
  EXPECT_TRUE(readUntilExitOf(pid));
  EXPECT_TRUE(readHere());  // and the reading comes back
  hub.unsubscribe(execs.get());
}
