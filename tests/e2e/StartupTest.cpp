// Start-up conditions: a list that cannot be used, entries that cannot match,
// and an agent without root.
#include <thread>

#include "e2e/E2eSupport.hpp"

namespace e2e {
namespace {

class StartupTest : public AgentTest {
 protected:
  // Waits until the agent is live without a canary, then checks that the
  // listed-looking program it would otherwise kill keeps running.
  void expectNothingKilled(const std::string& program) {
    ASSERT_TRUE(waitForDiagnostic("Start monitoring"));
    ASSERT_TRUE(waitForConnector());
    const pid_t pid = children_.startInSession(program);
    const pid_t canary = children_.startInSession(canary_);
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(stillRunning(pid));
    EXPECT_TRUE(stillRunning(canary));
    EXPECT_EQ(agent_.diagnosticLog().find("Blocking process"), std::string::npos);
  }
};

TEST_F(StartupTest, MissingListGivesNullItemsAndBlocksNothing) {
  const std::string program = makeProgram();
  // A list beside the working directory is not the agent's list.
  writeFile(root_ + "/vornik.txt", canaryName_ + "," + nameOf(program));
  startAgent();
  EXPECT_TRUE(waitForDiagnostic("got items: (null)\n"));
  expectNothingKilled(program);
}

TEST_F(StartupTest, NonAsciiListGivesNullItemsAndBlocksNothing) {
  const std::string program = makeProgram();
  writeList(canaryName_ + "," + nameOf(program) + ",caf\xc3\xa9");
  startAgent();
  EXPECT_TRUE(waitForDiagnostic("got items: (null)\n"));
  expectNothingKilled(program);
}

TEST_F(StartupTest, EntryWithTrailingLineFeedDoesNotMatch) {
  const std::string program = makeProgram();
  writeList(canaryName_ + "," + nameOf(program) + "\n");
  startAgent();
  ASSERT_TRUE(agentIsLive());
  EXPECT_TRUE(waitForDiagnostic("got items: (\n    " + canaryName_ + ",\n    \"" + nameOf(program) +
                                "\\n\"\n)"));
  // The administrator is told, though the list means what it says.
  EXPECT_TRUE(waitForDiagnostic("warning: the last entry of vornik.txt ends in a line feed"));

  const pid_t pid = children_.startInSession(program);
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(stillRunning(pid));
  EXPECT_EQ(agent_.diagnosticLog().find("Blocking process with name: " + nameOf(program)),
            std::string::npos);
}

TEST_F(StartupTest, WithoutRootStartsKeepsRunningAndBlocksNothing) {
  const std::string program = makeProgram();
  writeList(canaryName_ + "," + nameOf(program));
  AgentOptions options;
  options.unprivileged = true;
  startAgent(options);
  ASSERT_TRUE(waitForDiagnostic("] started\n"));
  EXPECT_TRUE(
      waitForDiagnostic("got items: (\n    " + canaryName_ + ",\n    " + nameOf(program) + "\n)"));
  // Without root the start message comes at once, and start: returns.
  EXPECT_TRUE(waitForDiagnostic("Start app monitoring"));
  const std::string status = readFile("/proc/" + std::to_string(agent_.pid()) + "/status");
  ASSERT_NE(status.find("\nUid:\t65534\t65534\t65534\t65534\n"), std::string::npos) << status;

  const pid_t pid = children_.startInSession(program);
  const pid_t canary = children_.startInSession(canary_);
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(agent_.running()) << "ended with " << describeStatus(agent_.endStatus().value_or(0));
  EXPECT_TRUE(stillRunning(pid));
  EXPECT_TRUE(stillRunning(canary));
  EXPECT_EQ(agent_.diagnosticLog().find("Blocking process"), std::string::npos);
}

}  // namespace
}  // namespace e2e
