// Start-up conditions: a list that cannot be used, entries that cannot match,
// an agent without root, and one started with its standard descriptors amiss.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "e2e/E2eSupport.hpp"

namespace e2e {
namespace {

class StartupTest : public AgentTest {
 protected:
  // Waits until the agent is live without a canary, then checks that the
  // listed-looking program it would otherwise kill keeps running.
  void expectNothingKilled(const std::string& program) {
    ASSERT_TRUE(waitForDiagnostic(startMessage()));
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

TEST_F(StartupTest, WorkingDirectoryNameTooLongForAPathStillGivesTheList) {
  // Deeper than PATH_MAX: the agent cannot have the directory's name, yet
  // vornik.txt in it is its list.
  const std::string component(200, 'd');
  // Too deep for the teardown's removal by path: undone level by level.
  struct Levels {
    std::vector<int> fds;
    const std::string& component;
    ~Levels() {
      ::unlinkat(fds.back(), "vornik.txt", 0);
      for (size_t i = fds.size() - 1; i > 0; --i) {
        ::close(fds[i]);
        ::unlinkat(fds[i - 1], component.c_str(), AT_REMOVEDIR);
      }
      ::close(fds[0]);
    }
  } levels{{::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)}, component};
  ASSERT_GE(levels.fds.back(), 0);
  std::string deep = dir_;
  while (deep.size() <= 4096) {
    ASSERT_EQ(::mkdirat(levels.fds.back(), component.c_str(), 0755), 0);
    const int next =
        ::openat(levels.fds.back(), component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(next, 0);
    levels.fds.push_back(next);
    deep += "/" + component;
  }
  const int list = ::openat(levels.fds.back(), "vornik.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(list, 0);
  ASSERT_EQ(::write(list, canaryName_.data(), canaryName_.size()),
            static_cast<ssize_t>(canaryName_.size()));
  ::close(list);

  agent_.start(deep, output_, {});
  EXPECT_TRUE(agentIsLive());
  EXPECT_TRUE(waitForDiagnostic("got items: (\n    " + canaryName_ + "\n)"));
  agent_.stop();
}

TEST_F(StartupTest, StandardErrorClosedOrBrokenWithoutLogDirectoryStillKills) {
  using StandardError = AgentOptions::StandardError;
  for (const auto standardError : {StandardError::Closed, StandardError::BrokenPipe}) {
    SCOPED_TRACE(standardError == StandardError::Closed ? "closed" : "broken pipe");
    writeList(canaryName_);
    AgentOptions options;
    options.withoutLogDirectory = true;
    options.standardError = standardError;
    startAgent(options);
    // Each diagnostic line goes to standard error: into a pipe nobody reads,
    // or into /dev/null, never into a descriptor the agent opened since.
    EXPECT_TRUE(agentIsLive());
    std::error_code ec;
    const auto target =
        std::filesystem::read_symlink("/proc/" + std::to_string(agent_.pid()) + "/fd/2", ec);
    if (standardError == StandardError::Closed) {
      EXPECT_EQ(target, "/dev/null");
    }
    EXPECT_TRUE(agent_.running()) << describeStatus(agent_.endStatus().value_or(0));
    agent_.stop();
  }
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
