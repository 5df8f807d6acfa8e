// Linux application identifiers, end to end: a listed Flatpak application
// ID, snap name or desktop file ID kills the program that carries it, and
// nothing else: not another sandbox's program, not a launcher or
// interpreter an entry runs, not a program named by a user's own entry.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/E2eSupport.hpp"

namespace e2e {
namespace {

constexpr const char* kBwrap = "/usr/bin/bwrap";

class ApplicationIdentityTest : public AgentTest {
 protected:
  void SetUp() override {
    if (::access(kBwrap, X_OK) != 0) GTEST_SKIP() << "no bubblewrap (scripts/install-deps)";
    AgentTest::SetUp();
  }

  // `program` run in a new root laid out as Flatpak and snapd lay out theirs:
  // the system's /usr, the program's directory at `at`, and with `info` a
  // /.flatpak-info holding it.
  std::vector<std::string> sandboxed(const std::string& program, const std::string& at,
                                     const std::string& info = {}) {
    std::vector<std::string> argv = {
        kBwrap,      "--tmpfs",   "/",
        "--ro-bind", "/usr",      "/usr",
        "--symlink", "usr/bin",   "/bin",
        "--symlink", "usr/lib",   "/lib",
        "--symlink", "usr/lib64", "/lib64",
        "--proc",    "/proc",     "--dev",
        "/dev",      "--ro-bind", std::filesystem::path(program).parent_path().string(),
        at};
    if (!info.empty()) {
      const std::string file = root_ + "/" + uniqueName() + ".flatpak-info";
      writeFile(file, info);
      argv.insert(argv.end(), {"--ro-bind", file, "/.flatpak-info"});
    }
    argv.insert(argv.end(), {at + "/" + nameOf(program), "60"});
    return argv;
  }
};

TEST_F(ApplicationIdentityTest, FlatpakSandboxKilledByItsApplicationIdOnly) {
  const std::string listed = "org.example." + uniqueName();
  const std::string program = makeProgram(root_ + "/app");
  writeList(canaryName_ + "," + listed);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t other = children_.startCommandInSession(
      sandboxed(program, "/app/bin", "[Application]\nname=org.example.Other\n"), root_);
  const pid_t forbidden = children_.startCommandInSession(
      sandboxed(program, "/app/bin", "[Application]\nname=" + listed + "\nruntime=x\n"), root_);
  EXPECT_TRUE(killedBySigkill(forbidden)) << "the sandbox of the listed application";
  EXPECT_TRUE(accessRowsFor(nameOf(program)));
  EXPECT_TRUE(stillRunning(other)) << "the same program in another application's sandbox";
}

TEST_F(ApplicationIdentityTest, SnapKilledByItsName) {
  const std::string snap = uniqueName();
  const std::string program = makeProgram(root_ + "/snap");
  writeList(canaryName_ + "," + snap);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t other =
      children_.startCommandInSession(sandboxed(program, "/snap/" + uniqueName() + "/7"), root_);
  const pid_t forbidden =
      children_.startCommandInSession(sandboxed(program, "/snap/" + snap + "/7"), root_);
  EXPECT_TRUE(killedBySigkill(forbidden)) << "a program of the listed snap";
  EXPECT_TRUE(accessRowsFor(nameOf(program)));
  EXPECT_TRUE(stillRunning(other)) << "the same program in another snap";
}

// The entries are the agent's system ones (its own view of
// /usr/share/applications); a user's own directory is never read.
TEST_F(ApplicationIdentityTest, SystemDesktopEntryKillsItsProgramButNoLauncher) {
  const std::string apps = root_ + "/applications";
  const std::string own = root_ + "/home/.local/share/applications";
  std::filesystem::create_directories(apps);
  std::filesystem::create_directories(own);
  const auto entry = [](const std::string& exec) {
    return "[Desktop Entry]\nType=Application\nName=X\nExec=" + exec + "\n";
  };
  const auto id = [] { return "org.example." + uniqueName(); };
  const std::string program = makeProgram();
  const std::string launcher = makeProgram();
  const std::string interpreter = makeProgramNamed(root_ + "/interp", "python3");
  const std::string harmless = makeProgram();
  const std::string app = id(), shared = id(), script = id(), claimed = id();
  writeFile(apps + "/" + app + ".desktop", entry("env PBX=1 " + program + " %U"));
  writeFile(apps + "/" + shared + ".desktop", entry(launcher + " --one"));
  writeFile(apps + "/" + id() + ".desktop", entry(launcher + " --two"));
  writeFile(apps + "/" + script + ".desktop", entry(interpreter + " /opt/x/x.py"));
  writeFile(own + "/" + claimed + ".desktop", entry(harmless));
  writeList(canaryName_ + "," + app + "," + shared + "," + script + "," + claimed);
  AgentOptions options;
  options.bindMounts = {{apps, "/usr/share/applications"}};
  startAgent(options);
  ASSERT_TRUE(agentIsLive());

  const pid_t launcherPid = children_.startInSession(launcher);
  const pid_t interpreterPid = children_.startInSession(interpreter);
  const pid_t harmlessPid = children_.startInSession(harmless);
  const pid_t pid = children_.startInSession(program);
  EXPECT_TRUE(killedBySigkill(pid)) << "the program of the listed entry";
  // No application bundle: the diagnostic line's bundle identifier is absent.
  EXPECT_TRUE(waitForDiagnostic("Blocking process with name: " + nameOf(program) +
                                ", bundle identifier: (null), path: " + program));
  EXPECT_TRUE(accessRowsFor(nameOf(program)));
  EXPECT_TRUE(stillRunning(launcherPid)) << "a program that two entries run";
  EXPECT_TRUE(stillRunning(interpreterPid)) << "the interpreter an entry runs";
  EXPECT_TRUE(stillRunning(harmlessPid)) << "a program a user's own entry claims";
}

// A real package, built here and installed by dpkg under a root of the
// test's own (the machine's package database is untouched) while the agent
// runs: its entry, in the agent's view of /usr/share/applications, gives the
// program it installs its ID as soon as the index has read it.
TEST_F(ApplicationIdentityTest, PackageInstalledWhileTheAgentRunsKillsItsProgram) {
  if (::access("/usr/bin/dpkg-deb", X_OK) != 0) GTEST_SKIP() << "no dpkg-deb";
  const std::string staging = root_ + "/installed";
  const std::string package = root_ + "/package";
  const std::string id = "org.example." + uniqueName();
  const std::string program = staging + "/usr/bin/" + uniqueName();
  for (const char* dir :
       {"/usr/share/applications", "/var/lib/dpkg/info", "/var/lib/dpkg/updates"}) {
    std::filesystem::create_directories(staging + dir);
  }
  writeFile(staging + "/var/lib/dpkg/status", "");
  makeProgramNamed(package + "/usr/bin", nameOf(program));
  std::filesystem::create_directories(package + "/DEBIAN");
  writeFile(package + "/DEBIAN/control", "Package: " + nameOf(program) +
                                             "\nVersion: 1.0\nArchitecture: all\n"
                                             "Maintainer: procblock tests <root@localhost>\n"
                                             "Description: a program with a desktop entry\n");
  std::filesystem::create_directories(package + "/usr/share/applications");
  writeFile(package + "/usr/share/applications/" + id + ".desktop",
            "[Desktop Entry]\nType=Application\nName=Test\nExec=" + program + " %U\n");
  writeList(canaryName_ + "," + id);
  AgentOptions options;
  options.bindMounts = {{staging + "/usr/share/applications", "/usr/share/applications"}};
  startAgent(options);
  ASSERT_TRUE(agentIsLive());

  const auto run = [this](const std::vector<std::string>& argv) {
    const auto status = children_.waitForEnd(children_.startCommandInSession(argv, root_), 60s);
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  };
  ASSERT_TRUE(run({"/usr/bin/dpkg-deb", "--root-owner-group", "-b", package, root_ + "/p.deb"}));
  ASSERT_TRUE(run({"/usr/bin/dpkg", "--root=" + staging, "--admindir=" + staging + "/var/lib/dpkg",
                   "--force-not-root", "--force-script-chrootless", "-i", root_ + "/p.deb"}));
  // Each try runs for a second; the index is read again once the install's
  // changes have settled.
  bool killed = false;
  for (int tries = 0; tries < 20 && !killed; ++tries) {
    const auto status =
        children_.waitForEnd(children_.startCommandInSession({program, "1"}, root_), 10s);
    killed = status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
  }
  EXPECT_TRUE(killed) << "the installed program of the listed entry";
  EXPECT_TRUE(accessRowsFor(nameOf(program)));
}

// Deny mode judges the exec by the exec'ing process's sandbox: the
// program's exec fails, so the sandbox ends of its own, unsignalled.
using DenyExecApplicationIdentityTest = ApplicationIdentityTest;

TEST_F(DenyExecApplicationIdentityTest, AListedSandboxsProgramNeverRuns) {
  const std::string listed = "org.example." + uniqueName();
  const std::string program = makeProgram(root_ + "/app");
  writeList(listed);
  AgentOptions options;
  options.denyExec = true;
  startAgent(options);
  ASSERT_TRUE(waitForDiagnostic("file systems marked"));

  const pid_t pid = children_.startCommandInSession(
      sandboxed(program, "/app/bin", "[Application]\nname=" + listed + "\n"), root_);
  const auto status = children_.waitForEnd(pid, 10s);
  ASSERT_TRUE(status) << "the sandbox still runs";
  EXPECT_TRUE(WIFEXITED(*status)) << describeStatus(*status) << ": denied, not killed";
  EXPECT_TRUE(accessRowsFor(nameOf(program)));
}

}  // namespace
}  // namespace e2e
