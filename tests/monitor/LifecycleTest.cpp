// The monitor object: the start-message gate, start/stop and workspace notices.
#include <gtest/gtest.h>
#include <unistd.h>

#include "monitor/MonitorFixture.hpp"
#include "procscope/Dispatch.hpp"
#include "support/Capture.hpp"

namespace monitortest {
namespace {

using procscope::Dictionary;

platform::WorkspaceNotification notice(const char* name, std::int32_t pid) {
  return {name, {{platform::kApplicationProcessIdentifier, pid}}};
}

// Live records of the running processes, each with signing information even
// when the monitor takes it easy with starts.
TEST(LifecycleTest, CurrentProcessesCarrySigningInfoWhateverGoEasySays) {
  auto monitor = ProcScope::init(true);
  const auto list = monitor->currentProcesses();
  bool sawSelf = false;
  for (const auto& process : list) {
    ASSERT_NE(process, nullptr);
    EXPECT_TRUE(process->signingInfo().has_value()) << process->pid();
    EXPECT_GT(process->pid(), 0);
    sawSelf = sawSelf || process->pid() == getpid();
  }
  EXPECT_TRUE(sawSelf);
}

TEST(LifecycleTest, StartMessageGate) {
  auto version = [](std::int64_t minor, std::int64_t bugfix) {
    return std::optional<Dictionary>(
        Dictionary{{"majorVersion", 10}, {"minorVersion", minor}, {"bugfixVersion", bugfix}});
  };
  const struct {
    std::uint32_t uid;
    std::optional<Dictionary> version;
    bool queued;
  } cases[] = {
      {501, version(15, 0), false},
      {0, version(11, 6), false},
      {0, version(12, 3), false},
      {0, version(12, 4), true},
      {0, version(13, 0), true},
      {0, std::nullopt, false},
      {0, Dictionary{{"minorVersion", 14}}, true},     // a missing entry reads 0
      {0, Dictionary{{"minorVersion", "13"}}, false},  // so does a non-number
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProcScope::startsWithQueuedMessage(c.uid, c.version), c.queued)
        << "uid " << c.uid << " has version " << c.version.has_value();
  }
}

class WorkspaceTest : public ::testing::Test {
 protected:
  WorkspaceTest() {
    kernel->processes[1] = {0, "/sbin/init", 0};
    kernel->processes[700] = {1, "/Applications/Tool.app/Contents/MacOS/Tool", 501};
    monitor->setProcessCallback([this](const std::shared_ptr<Process>& p) { got.push_back(p); });
  }

  std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>();
  ScopedService<platform::KernelQueries> installedKernel{kernel};
  std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
  ScopedService<platform::Workspace> installedWorkspace{workspace};
  std::shared_ptr<ProcScope> monitor = ProcScope::init(true);
  Delivered got;
};

TEST_F(WorkspaceTest, WithoutPipeStartReturnsAndNoticesArriveUntilStop) {
  ScopedService<platform::AuditPipeLayer> pipe(platform::makeAuditPipeLayer(nullptr));
  test::StderrCapture err;
  monitor->start(monitor->processCallback());
  procscope::dispatch::waitIdle();
  EXPECT_EQ(workspace->observers.size(), 2u);

  workspace->post(notice(platform::kWillLaunchApplication, 700));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->pid(), 700);

  monitor->stop();
  EXPECT_TRUE(monitor->shouldStop());
  EXPECT_TRUE(workspace->observers.empty());
  workspace->post(notice(platform::kWillLaunchApplication, 700));
  workspace->post(notice(platform::kDidTerminateApplication, 700));
  EXPECT_EQ(got.size(), 1u);

  std::string log = err.take();
  EXPECT_NE(log.find(" monitoring\n"), std::string::npos) << log;  // either start message
  EXPECT_NE(log.find("stoped\n"), std::string::npos) << log;
}

TEST_F(WorkspaceTest, StoppedMonitorReadsNothingWhenStartedAgain) {
  auto layer = std::make_shared<ScriptedLayer>(std::vector<Bytes>{{}, {}});
  ScopedService<platform::AuditPipeLayer> pipe(layer);
  test::StderrCapture err;
  monitor->stop();
  monitor->start(monitor->processCallback());
  procscope::dispatch::waitIdle();
  EXPECT_EQ(layer->script->readCount.load(), 0);
}

TEST_F(WorkspaceTest, LaunchIsAStartOfTypeZeroUnlessTheProcessIsGone) {
  monitor->appEvent(notice(platform::kWillLaunchApplication, 701));
  EXPECT_TRUE(got.empty());
  monitor->appEvent(notice(platform::kWillLaunchApplication, 700));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->type(), 0);
  EXPECT_EQ(got[0]->pid(), 700);
  EXPECT_EQ(got[0]->ppid(), 1);
  EXPECT_EQ(got[0]->uid(), 501u);
  EXPECT_EQ(got[0]->path(), "/Applications/Tool.app/Contents/MacOS/Tool");
  EXPECT_EQ(got[0]->ancestors(), (std::vector<std::int32_t>{1}));
  EXPECT_TRUE(got[0]->binary());
  EXPECT_FALSE(got[0]->signingInfo());  // goEasy
}

TEST_F(WorkspaceTest, TerminationIsAnExitWithOnlyThePid) {
  monitor->appEvent(notice(platform::kDidTerminateApplication, 700));
  monitor->appEvent({"SomeOtherNotification", {}});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->type(), 1);
  EXPECT_EQ(got[0]->pid(), 700);
  EXPECT_EQ(got[0]->ppid(), -1);
  EXPECT_EQ(got[0]->uid(), 0xFFFFFFFFu);
  EXPECT_FALSE(got[0]->path());
  EXPECT_EQ(got[1]->type(), 1);
  EXPECT_EQ(got[1]->pid(), 0);  // no identifier entry reads as 0
}

}  // namespace
}  // namespace monitortest
