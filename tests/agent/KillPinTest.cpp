// The pins a kill acts on: the identity of one process, the records built
// from a live process, the live source's table, and the live monitor handing
// a record the pin taken at the event. Every process here is one the test
// started, running a uniquely named copy of sleep in a session of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "KillTestSupport.hpp"
#include "procblock/Kill.hpp"
#include "procscope/Process.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/ProcessMonitor.hpp"
#include "procscope/bsm/Token.hpp"
#include "procscope/platform/ProcEvents.hpp"

namespace procblock {
namespace {

using killtest::SessionChild;
using killtest::Sleeper;
using procscope::ProcessIdentity;
using procscope::platform::LivePins;
using namespace std::chrono_literals;

TEST(ProcessIdentityPin, HoldsTheProcessUntilItIsReaped) {
  Sleeper sleeper;
  const pid_t pid = sleeper.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild child(pid);

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
  EXPECT_EQ(ProcessIdentity::pin(killtest::impossiblePid()), nullptr);
}

TEST(ProcessIdentityPin, StartTimeReadsTheTwentySecondField) {
  // Our own start time, as a plain parse of the stat line gives it.
  std::ifstream in("/proc/self/stat");
  std::string line;
  std::getline(in, line);
  const auto close = line.rfind(')');
  ASSERT_NE(close, std::string::npos);
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22; ++i) rest >> field;
  EXPECT_EQ(procscope::readStartTime(::getpid()), std::stoull(field));
  EXPECT_FALSE(procscope::readStartTime(-1).has_value());
  EXPECT_FALSE(procscope::readStartTime(killtest::impossiblePid()).has_value());
}

TEST(ProcessIdentityPin, AVanishedIdentityIsNeverSignalled) {
  Sleeper sleeper;
  const pid_t pid = sleeper.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild child(pid);

  auto vanished = ProcessIdentity::vanished(pid);
  EXPECT_FALSE(vanished->verifiable());
  EXPECT_FALSE(vanished->alive());
  EXPECT_EQ(vanished->pidfd(), -1);
  // The number is held, but not by the process the identity names.
  EXPECT_EQ(killPinnedProcessGroup(pid, vanished.get()), KillResult::ProcessReplaced);
  EXPECT_TRUE(killtest::stillRunning(pid, 100ms));
}

TEST(ProcessIdentityPin, InitPinsTheProcessItReads) {
  Sleeper sleeper;
  const pid_t pid = sleeper.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild child(pid);

  auto record = procscope::Process::init(pid);
  ASSERT_NE(record, nullptr);
  ASSERT_NE(record->identity(), nullptr);
  EXPECT_EQ(record->identity()->pid(), pid);
  EXPECT_GE(record->identity()->pidfd(), 0);
  EXPECT_EQ(record->description().find("identity"), std::string::npos);

  EXPECT_EQ(killProcessGroupOf(*record), KillResult::SignalledGroup);
  EXPECT_TRUE(killtest::killedBySigkill(child.wait()));
  // A record of a process that has ended: nothing to signal.
  EXPECT_EQ(killProcessGroupOf(*record), KillResult::ProcessGone);
}

TEST(ProcessIdentityPin, ARecordWithoutAPinIsPinnedAtTheKill) {
  Sleeper sleeper;
  const pid_t pid = sleeper.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild child(pid);

  auto record = procscope::Process::init();
  record->setPid(pid);
  EXPECT_EQ(killProcessGroupOf(*record), KillResult::SignalledGroup);
  EXPECT_TRUE(killtest::killedBySigkill(child.wait()));
}

// Runs a test with the table open and closes it after.
class LivePinsTest : public ::testing::Test {
 protected:
  void SetUp() override { LivePins::shared().open(); }
  void TearDown() override { LivePins::shared().close(); }
};

TEST(LivePinsClosed, PinsNothing) {
  Sleeper sleeper;
  const pid_t pid = sleeper.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild child(pid);
  auto& pins = LivePins::shared();
  ASSERT_FALSE(pins.active());
  pins.forked(pid);
  pins.executed(pid);
  EXPECT_EQ(pins.size(), 0u);
  EXPECT_FALSE(pins.take(pid).has_value());
}

TEST_F(LivePinsTest, OneProcessPairsWithEachOfItsRecords) {
  Sleeper sleeper;
  const pid_t pid = sleeper.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild child(pid);
  auto& pins = LivePins::shared();
  pins.forked(pid);
  pins.executed(pid);
  pins.executed(pid);  // an exec chain: still the same process
  EXPECT_EQ(pins.size(), 1u);
  auto a = pins.take(pid);
  auto b = pins.take(pid);
  auto c = pins.take(pid);
  ASSERT_TRUE(a && *a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(*a, *c);
  EXPECT_EQ((*a)->pid(), pid);
  EXPECT_FALSE(pins.take(pid).has_value());
  EXPECT_EQ(pins.size(), 0u);
}

TEST_F(LivePinsTest, AProcessGoneBeforeItsPinIsMarkedSo) {
  Sleeper sleeper;
  const pid_t pid = sleeper.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild child(pid);
  ASSERT_TRUE(child.stop().has_value());
  auto& pins = LivePins::shared();
  pins.executed(pid);
  auto taken = pins.take(pid);
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(*taken, nullptr);
}

TEST_F(LivePinsTest, AFullTableIsEmptied) {
  Sleeper sleeper;
  const pid_t pid = sleeper.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild child(pid);
  auto& pins = LivePins::shared();
  for (std::size_t i = 0; i < pins.capacity(); ++i) pins.forked(pid);
  EXPECT_EQ(pins.size(), pins.capacity());
  pins.forked(pid);
  EXPECT_EQ(pins.size(), 1u);
}

// The live monitor, in a helper process of its own session (its event reader
// and table then end with it): while the monitor is held up in its callback,
// a target process starts, is pinned by the event reader, ends and is reaped.
// Its record, handed on afterwards, carries the pin taken at the event, and a
// kill on it sends nothing.
TEST(LiveMonitorPins, TheRecordCarriesThePinTakenAtTheEvent) {
  Sleeper stall("stall");
  Sleeper target("target");
  enum : char { kPassed = 'P', kNoLiveSource = 'S', kFailed = 'F' };
  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  const pid_t helper = ::fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    ::setsid();
    ::close(results[0]);
    auto finish = [&](std::string text) {
      ::write(results[1], text.data(), text.size());
      ::_exit(0);
    };
    if (!procscope::ProcScope::openPipe(procscope::platform::kAuditPipePath)) {
      finish(std::string(1, kNoLiveSource));
    }
    const std::string stallPath = std::filesystem::canonical(stall.path()).string();
    const std::string targetPath = std::filesystem::canonical(target.path()).string();

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
      } else if (!stalled && process->path() == stallPath) {
        stalled = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
      }
    });
    std::thread loop([&] { monitor->monitor(); });
    auto startDying = [](const Sleeper& s) {
      // Ends with the helper, should the helper fail half-way.
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        s.exec();
      }
      return pid;
    };
    auto stopAndReap = [](pid_t pid) {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
      }
    };

    // The monitor subscribes as it starts: try a few times until the stall
    // child's record reaches it.
    pid_t stallPid = -1;
    bool seen = false;
    for (int attempt = 0; attempt < 10 && !seen; ++attempt) {
      std::this_thread::sleep_for(100ms);
      stopAndReap(stallPid);
      stallPid = startDying(stall);
      std::unique_lock lock(mu);
      seen = changed.wait_for(lock, 1s, [&] { return stalled; });
    }
    std::string text;
    if (seen) {
      // The target starts, is pinned at its events, ends and is reaped while
      // the monitor is held up.
      const pid_t pid = startDying(target);
      targetPid.store(pid);
      std::this_thread::sleep_for(500ms);
      stopAndReap(pid);
      {
        std::unique_lock lock(mu);
        released = true;
        changed.notify_all();
        changed.wait_for(lock, 10s, [&] { return targetRecord != nullptr; });
      }
      if (!targetRecord) {
        text = "no record of the target";
      } else if (!targetRecord->identity()) {
        text = "the record has no identity";
      } else {
        const auto& identity = *targetRecord->identity();
        if (identity.pid() != pid) text += "the pin is of another pid; ";
        if (identity.pidfd() < 0) text += "the pin was not taken at the event; ";
        if (identity.alive()) text += "the pinned process is still there; ";
        const KillResult result = killProcessGroupOf(*targetRecord);
        if (result != KillResult::ProcessGone && result != KillResult::ProcessReplaced) {
          text += "the kill reported " + std::string(describe(result)) + "; ";
        }
      }
    } else {
      text = "the monitor never reported the stall process";
      std::lock_guard lock(mu);
      released = true;
      changed.notify_all();
    }
    // An event wakes the loop to see the stop.
    monitor->setShouldStop(true);
    const pid_t waker = ::fork();
    if (waker == 0) ::_exit(0);
    ::waitpid(waker, nullptr, 0);
    loop.join();
    stopAndReap(stallPid);
    finish(text.empty() ? std::string(1, kPassed) : std::string(1, kFailed) + text);
  }
  SessionChild child(helper);
  ::close(results[1]);
  std::string out;
  for (;;) {  // the report, up to the helper's end (bounded, should it hang)
    const std::string piece = killtest::readBytes(results[0], 1);
    if (piece.empty()) break;
    out += piece;
  }
  ::close(results[0]);
  child.stop();
  ASSERT_FALSE(out.empty()) << "the helper ended without a report";
  if (out[0] == kNoLiveSource) GTEST_SKIP() << "the process-events connector cannot be used here";
  EXPECT_EQ(out[0], kPassed) << out.substr(1);
}

}  // namespace
}  // namespace procblock
