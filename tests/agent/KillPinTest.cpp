// The pins a kill acts on: the identity of one process, the records built
// from a live process, the live source's table, the live monitor handing a
// record the pin taken at the event, and a pid taken over by another process.
// Pid reuse is forced through the last pid of a private pid namespace (root).
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "AgentTestSupport.hpp"
#include "procblock/Kill.hpp"
#include "procscope/Process.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/ProcessMonitor.hpp"
#include "procscope/bsm/Token.hpp"
#include "procscope/platform/ProcEvents.hpp"
#include "support/PidReuse.hpp"

namespace procblock {
namespace {

using agenttest::killedBySigkill;
using agenttest::SessionChild;
using agenttest::Sleeper;
using agenttest::stillRunning;
using procscope::ProcessIdentity;
using procscope::platform::LivePins;
using namespace std::chrono_literals;

TEST(ProcessIdentityPin, HoldsTheProcessUntilItIsReaped) {
  Sleeper sleeper;
  SessionChild child(sleeper.start());
  const pid_t pid = child.pid();
  ASSERT_GT(pid, 0);

  auto pin = ProcessIdentity::pin(pid);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(pin->pid(), pid);
  EXPECT_GE(pin->pidfd(), 0);
  EXPECT_TRUE(pin->verifiable());
  ASSERT_TRUE(pin->startTime().has_value());
  EXPECT_EQ(pin->startTime(), procscope::readStartTime(pid));
  EXPECT_TRUE(pin->alive());

  ::kill(pid, SIGKILL);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(pin->alive()) << "a zombie is still the pinned process";
  ASSERT_TRUE(child.wait().has_value());
  EXPECT_FALSE(pin->alive());
  EXPECT_EQ(ProcessIdentity::pin(pid), nullptr);
  EXPECT_EQ(ProcessIdentity::pin(0), nullptr);
  EXPECT_EQ(ProcessIdentity::pin(agenttest::impossiblePid()), nullptr);
}

TEST(ProcessIdentityPin, StartTimeIsTheTwentySecondStatField) {
  const std::string stat = agenttest::readFile("/proc/self/stat").value_or(")");
  std::istringstream rest(stat.substr(stat.rfind(')') + 1));  // past the name
  std::string field;
  for (int i = 3; i <= 22; ++i) rest >> field;
  EXPECT_EQ(procscope::readStartTime(::getpid()), std::stoull(field));
  EXPECT_FALSE(procscope::readStartTime(-1).has_value());
  EXPECT_FALSE(procscope::readStartTime(agenttest::impossiblePid()).has_value());
}

TEST(ProcessIdentityPin, AVanishedIdentityIsNeverSignalled) {
  Sleeper sleeper;
  SessionChild child(sleeper.start());
  ASSERT_GT(child.pid(), 0);
  auto vanished = ProcessIdentity::vanished(child.pid());
  EXPECT_FALSE(vanished->verifiable());
  EXPECT_FALSE(vanished->alive());
  EXPECT_EQ(vanished->pidfd(), -1);
  // The number is held, but not by the process the identity names.
  EXPECT_EQ(killPinnedProcessGroup(child.pid(), vanished.get()), KillResult::ProcessReplaced);
  EXPECT_TRUE(stillRunning(child.pid(), 100ms));
}

// A record read from a live process carries its pin; one built without a pin
// is pinned at the kill. Once the process has ended, nothing is signalled.
TEST(ProcessIdentityPin, ARecordIsKilledThroughItsPin) {
  for (const bool readLive : {true, false}) {
    SCOPED_TRACE(readLive ? "read from the process" : "built without a pin");
    Sleeper sleeper;
    SessionChild child(sleeper.start());
    ASSERT_GT(child.pid(), 0);
    auto record = readLive ? procscope::Process::init(child.pid()) : procscope::Process::init();
    ASSERT_NE(record, nullptr);
    if (readLive) {
      ASSERT_NE(record->identity(), nullptr);
      EXPECT_EQ(record->identity()->pid(), child.pid());
      EXPECT_GE(record->identity()->pidfd(), 0);
      EXPECT_EQ(record->description().find("identity"), std::string::npos);
    } else {
      record->setPid(child.pid());
    }
    EXPECT_EQ(killProcessGroupOf(*record), KillResult::SignalledGroup);
    EXPECT_TRUE(killedBySigkill(child.wait()));
    EXPECT_EQ(killProcessGroupOf(*record), KillResult::ProcessGone);
  }
}

TEST(LivePins, PairEachProcessWithEachOfItsRecordsWhileOpen) {
  Sleeper sleeper;
  SessionChild child(sleeper.start());
  const pid_t pid = child.pid();
  ASSERT_GT(pid, 0);
  auto& pins = LivePins::shared();
  ASSERT_FALSE(pins.active());
  pins.forked(pid);  // closed: nothing is pinned
  pins.executed(pid);
  EXPECT_EQ(pins.size(), 0u);
  EXPECT_FALSE(pins.take(pid).has_value());

  pins.open();
  struct Close {
    ~Close() { LivePins::shared().close(); }
  } close;
  pins.forked(pid);
  pins.executed(pid);
  pins.executed(pid);  // an exec chain: still the same process
  EXPECT_EQ(pins.size(), 1u);
  auto a = pins.take(pid), b = pins.take(pid), c = pins.take(pid);
  ASSERT_TRUE(a && *a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(*a, *c);
  EXPECT_EQ((*a)->pid(), pid);
  EXPECT_FALSE(pins.take(pid).has_value());
  EXPECT_EQ(pins.size(), 0u);

  // A fork's pin outlives its record until the process's exec, which counts
  // on it, or its exit.
  pins.forked(pid);
  auto forkPin = pins.take(pid);
  pins.executed(pid);
  auto execPin = pins.take(pid);
  ASSERT_TRUE(forkPin && *forkPin && execPin);
  EXPECT_EQ(*forkPin, *execPin);
  pins.forked(pid);
  pins.take(pid);
  EXPECT_EQ(pins.size(), 1u);
  pins.exited(pid);
  EXPECT_EQ(pins.size(), 0u);

  // A full table is emptied rather than growing.
  for (std::size_t i = 0; i < pins.capacity(); ++i) pins.forked(pid);
  EXPECT_EQ(pins.size(), pins.capacity());
  pins.forked(pid);
  EXPECT_EQ(pins.size(), 1u);
  while (pins.take(pid)) {
  }

  // A process gone before it could be pinned is marked so.
  ASSERT_TRUE(child.stop().has_value());
  pins.executed(pid);
  auto gone = pins.take(pid);
  ASSERT_TRUE(gone.has_value());
  EXPECT_EQ(*gone, nullptr);
}

// The pins of two processes that held one pid in turn pair with their own
// records, in event order.
TEST(LivePins, UnderReusePairEachRecordWithItsOwnProcess) {
  if (::geteuid() != 0) GTEST_SKIP() << "a private pid namespace needs root";
  Sleeper first("first"), second("second");
  test::inPrivatePidNamespace([&] {
    auto& pins = LivePins::shared();
    pins.open();
    struct Close {
      ~Close() { LivePins::shared().close(); }
    } close;

    SessionChild firstChild(first.start());
    const pid_t pid = firstChild.pid();
    ASSERT_GT(pid, 0);
    pins.forked(pid);
    pins.executed(pid);
    ASSERT_TRUE(firstChild.stop().has_value());

    std::string why;
    auto taken = test::startWithPid(
        pid, [&] { return second.start(); }, why);
    ASSERT_TRUE(taken) << "the pid could not be reused: " << why;
    SessionChild secondChild(*taken);
    pins.forked(pid);
    pins.executed(pid);

    auto r1 = pins.take(pid), r2 = pins.take(pid), r3 = pins.take(pid), r4 = pins.take(pid);
    ASSERT_TRUE(r1 && *r1 && r2 && *r2 && r3 && *r3 && r4 && *r4);
    EXPECT_EQ(*r1, *r2);
    EXPECT_EQ(*r3, *r4);
    EXPECT_NE(*r1, *r3);
    EXPECT_FALSE((*r1)->alive());
    EXPECT_TRUE((*r3)->alive());
    EXPECT_FALSE(pins.take(pid).has_value());
    // The first record's kill reaches nothing; the second process lives on.
    EXPECT_EQ(killPinnedProcessGroup(pid, r1->get()), KillResult::ProcessReplaced);
    EXPECT_TRUE(stillRunning(*taken, 100ms));
  });
}

class KillReuseTest : public agenttest::KillModeTest {};

// Makes pidfd_open fail with ENOSYS in this process and its children, as on
// a kernel without pidfds: a pin then holds the start time alone.
bool denyPidfds() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A forbidden process ends, and a harmless one takes over its pid (and so its
// group id) before the kill of its record runs: the harmless one is never
// signalled, on any of the kill's paths. Without pidfds the record's pin is
// its start time, which the harmless one's differs from.
TEST_P(KillReuseTest, NeverSignalsAProcessThatTookOverTheMatchedPid) {
  if (::geteuid() != 0) GTEST_SKIP() << "a private pid namespace needs root";
  Sleeper forbidden("forbidden"), harmless("harmless");
  const bool pidfds = GetParam().capabilities.pidfds;
  test::inPrivatePidNamespace([&] {
    if (!pidfds) {
      ASSERT_TRUE(denyPidfds()) << std::strerror(errno);
    }
    SessionChild forbiddenChild(forbidden.start());
    const pid_t pid = forbiddenChild.pid();
    ASSERT_GT(pid, 0);
    // The record as the verdict gets it: pinned before anything was read.
    auto record = procscope::Process::init(pid);
    ASSERT_NE(record, nullptr);
    ASSERT_NE(record->identity(), nullptr);
    EXPECT_EQ(record->path(), forbidden.path());
    EXPECT_EQ(record->identity()->pidfd() >= 0, pidfds);
    ASSERT_TRUE(record->identity()->startTime().has_value());

    ASSERT_TRUE(forbiddenChild.stop().has_value());
    // Past the start time's clock tick, which the path without pidfds compares.
    std::this_thread::sleep_for(30ms);
    std::string why;
    auto taken = test::startWithPid(
        pid, [&] { return harmless.start(); }, why);
    ASSERT_TRUE(taken) << "the pid could not be reused: " << why;
    SessionChild harmlessChild(*taken);
    ASSERT_EQ(::getpgid(*taken), pid);

    EXPECT_EQ(killProcessGroupOf(*record), KillResult::ProcessReplaced);
    EXPECT_TRUE(stillRunning(*taken, 200ms)) << "the process that took over the pid was signalled";
  });
}

INSTANTIATE_TEST_SUITE_P(Paths, KillReuseTest, ::testing::ValuesIn(agenttest::kKillModes),
                         agenttest::killModeName);

// The live monitor, in a helper (its event reader and table end with it):
// while the monitor is held up in its callback, a target process starts, is
// pinned by the event reader, ends and is reaped. Its record, handed on
// afterwards, carries the pin taken at the event, and a kill on it sends
// nothing. The helper reports "S" without a live source, else the faults.
TEST(LiveMonitorPins, TheRecordCarriesThePinTakenAtTheEvent) {
  Sleeper stall("stall"), target("target");
  const auto out = agenttest::inHelper([&]() -> std::string {
    if (!procscope::ProcScope::openPipe(procscope::platform::kAuditPipePath)) return "S";
    std::mutex mu;
    std::condition_variable changed;
    bool stalled = false, released = false;
    std::shared_ptr<procscope::Process> targetRecord;
    std::atomic<pid_t> targetPid{-1};
    auto monitor = procscope::ProcScope::init(true);
    monitor->setProcessCallback([&](const std::shared_ptr<procscope::Process>& process) {
      if (process->type() != procscope::bsm::AUE_EXECVE) return;
      std::unique_lock lock(mu);
      if (process->pid() == targetPid.load()) {
        targetRecord = process;
        changed.notify_all();
      } else if (!stalled && process->path() == stall.path()) {
        stalled = true;
        changed.notify_all();
        changed.wait_for(lock, 30s, [&] { return released; });
      }
    });
    std::thread loop([&] { monitor->monitor(); });
    // posix_spawn, not fork: a fork of this many-threaded helper can hang in
    // the sanitizers' fork handling. The copy sleeps no longer than the
    // helper may live.
    auto spawnInSession = [](const std::string& path, const char* arg) {
      posix_spawnattr_t attr;
      ::posix_spawnattr_init(&attr);
      ::posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
      char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(arg), nullptr};
      pid_t pid = -1;
      if (::posix_spawn(&pid, path.c_str(), nullptr, &attr, argv, environ) != 0) pid = -1;
      ::posix_spawnattr_destroy(&attr);
      return pid;
    };
    auto startDying = [&](const Sleeper& s) { return spawnInSession(s.path(), "60"); };
    auto stopAndReap = [](pid_t pid) {
      if (pid <= 0) return;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    };

    // The monitor subscribes as it starts: retry until the stall's record comes.
    pid_t stallPid = -1;
    bool seen = false;
    for (int attempt = 0; attempt < 10 && !seen; ++attempt) {
      std::this_thread::sleep_for(100ms);
      stopAndReap(stallPid);
      stallPid = startDying(stall);
      std::unique_lock lock(mu);
      seen = changed.wait_for(lock, 1s, [&] { return stalled; });
    }
    std::string faults = seen ? "" : "the monitor never reported the stall process";
    const pid_t pid = seen ? startDying(target) : -1;
    if (seen) {
      targetPid.store(pid);
      std::this_thread::sleep_for(500ms);
      stopAndReap(pid);
    }
    {
      std::unique_lock lock(mu);
      released = true;
      changed.notify_all();
      if (seen) changed.wait_for(lock, 10s, [&] { return targetRecord != nullptr; });
    }
    if (seen && (!targetRecord || !targetRecord->identity())) {
      faults = "no record of the target, or one without identity";
    } else if (seen) {
      const auto& identity = *targetRecord->identity();
      if (identity.pid() != pid) faults += "the pin is of another pid; ";
      if (identity.pidfd() < 0) faults += "the pin was not taken at the event; ";
      if (identity.alive()) faults += "the pinned process is still there; ";
      const KillResult result = killProcessGroupOf(*targetRecord);
      if (result != KillResult::ProcessGone && result != KillResult::ProcessReplaced) {
        faults += "the kill reported " + std::string(describe(result)) + "; ";
      }
    }
    // An event wakes the loop to see the stop.
    monitor->setShouldStop(true);
    const pid_t waker = spawnInSession("/bin/true", nullptr);
    if (waker > 0) ::waitpid(waker, nullptr, 0);
    loop.join();
    stopAndReap(stallPid);
    return "F" + faults;
  });
  ASSERT_TRUE(out.has_value()) << "the helper failed";
  if (*out == "S") GTEST_SKIP() << "the process-events connector cannot be used here";
  EXPECT_EQ(*out, "F");
}

}  // namespace
}  // namespace procblock
