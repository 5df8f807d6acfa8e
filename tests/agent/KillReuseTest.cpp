// A forbidden process that ends, and whose pid a harmless process takes over
// before the stalled kill task runs: the harmless one is never signalled.
// The reuse is forced through the pid namespace's last pid (root); where it
// cannot be had, the test is skipped with the reason.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>

#include "KillTestSupport.hpp"
#include "procblock/Kill.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/Process.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "procscope/platform/ProcEvents.hpp"

namespace procblock {
namespace {

using killtest::SessionChild;
using killtest::Sleeper;
using namespace std::chrono_literals;

// A kill task on the process-wide queue that waits until it is let go. When
// the test ends early it is abandoned and signals nothing.
class StalledKill {
 public:
  explicit StalledKill(std::shared_ptr<procscope::Process> record)
      : state_(std::make_shared<State>()) {
    result_ = state_->done.get_future();
    procscope::dispatch::async(
        [record = std::move(record), state = state_, go = state_->go.get_future().share()] {
          const bool run = go.get();
          state->done.set_value(run ? killProcessGroupOf(*record) : KillResult::NotAProcess);
        });
  }
  ~StalledKill() {
    if (!released_) state_->go.set_value(false);
  }
  StalledKill(const StalledKill&) = delete;
  StalledKill& operator=(const StalledKill&) = delete;

  std::optional<KillResult> release() {
    released_ = true;
    state_->go.set_value(true);
    if (result_.wait_for(30s) != std::future_status::ready) return std::nullopt;
    return result_.get();
  }

 private:
  struct State {
    std::promise<bool> go;
    std::promise<KillResult> done;
  };
  std::shared_ptr<State> state_;
  std::future<KillResult> result_;
  bool released_ = false;
};

class KillReuseTest : public killtest::KillModeTest {};

TEST_P(KillReuseTest, NeverSignalsAProcessThatTookOverTheMatchedPid) {
  Sleeper forbidden("forbidden");
  Sleeper harmless("harmless");
  const pid_t pid = forbidden.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild forbiddenChild(pid);

  // The record as the verdict gets it: pinned before anything was read.
  auto record = procscope::Process::init(pid);
  ASSERT_NE(record, nullptr);
  ASSERT_NE(record->identity(), nullptr);
  EXPECT_EQ(record->path(), std::filesystem::canonical(forbidden.path()).string());
  StalledKill task(record);

  // The forbidden process ends and is reaped before the task runs...
  ASSERT_TRUE(forbiddenChild.stop().has_value());
  // ...(past the start time's clock tick, which the path without pidfds compares)...
  std::this_thread::sleep_for(30ms);
  // ...and a harmless process, in a session (so a group) of that number, takes the pid.
  std::string why;
  auto taken = test::startWithPid(
      pid, [&] { return harmless.startInOwnSession(); }, why);
  if (!taken) GTEST_SKIP() << "the pid could not be reused: " << why;
  SessionChild harmlessChild(*taken);
  ASSERT_EQ(::getpgid(*taken), pid);

  const auto result = task.release();
  ASSERT_TRUE(result.has_value()) << "the kill task did not end";
  EXPECT_EQ(*result, KillResult::ProcessReplaced);
  EXPECT_TRUE(killtest::stillRunning(*taken, 200ms))
      << "the process that took over the pid was signalled";
}

// The pins of two processes that held one pid in turn pair with their own
// records, in event order.
TEST(LivePinsUnderReuse, PairEachRecordWithItsOwnProcess) {
  auto& pins = procscope::platform::LivePins::shared();
  pins.open();
  struct Close {
    ~Close() { procscope::platform::LivePins::shared().close(); }
  } close;

  Sleeper first("first");
  Sleeper second("second");
  const pid_t pid = first.startInOwnSession();
  ASSERT_GT(pid, 0);
  SessionChild firstChild(pid);
  // The events of the first process: its fork, then its exec.
  pins.forked(pid);
  pins.executed(pid);
  ASSERT_TRUE(firstChild.stop().has_value());

  std::string why;
  auto taken = test::startWithPid(
      pid, [&] { return second.startInOwnSession(); }, why);
  if (!taken) GTEST_SKIP() << "the pid could not be reused: " << why;
  SessionChild secondChild(*taken);
  pins.forked(pid);
  pins.executed(pid);

  // Four records, two of each process, taken in the order they were made.
  auto r1 = pins.take(pid);
  auto r2 = pins.take(pid);
  auto r3 = pins.take(pid);
  auto r4 = pins.take(pid);
  ASSERT_TRUE(r1 && *r1 && r2 && *r2 && r3 && *r3 && r4 && *r4);
  EXPECT_EQ(*r1, *r2);
  EXPECT_EQ(*r3, *r4);
  EXPECT_NE(*r1, *r3);
  EXPECT_FALSE((*r1)->alive());
  EXPECT_TRUE((*r3)->alive());
  EXPECT_FALSE(pins.take(pid).has_value());

  // The first record's kill reaches nothing; the second process lives on.
  EXPECT_EQ(killPinnedProcessGroup(pid, r1->get()), KillResult::ProcessReplaced);
  EXPECT_TRUE(killtest::stillRunning(*taken, 100ms));
}

INSTANTIATE_TEST_SUITE_P(Paths, KillReuseTest, ::testing::ValuesIn(killtest::kKillModes),
                         killtest::killModeName);

}  // namespace
}  // namespace procblock
