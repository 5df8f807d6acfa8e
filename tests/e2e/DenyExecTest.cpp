// Deny before exec, end to end: a listed program's exec fails with EPERM and
// its main never runs; everything else runs; each denial is reported once;
// the agent's death releases an exec it holds. Every exec on the machine waits
// for a deny-mode agent, so these run one at a time, each agent under a
// watchdog (AgentOptions::denyExec).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>

#include "e2e/E2eSupport.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// The exec's own failure, told apart from the program's exit statuses.
constexpr int kExecFailed = 100;

class DenyExecTest : public AgentTest {
 protected:
  ::testing::AssertionResult startDenyingAgent() {
    AgentOptions options;
    options.denyExec = true;
    startAgent(options);
    return waitForDiagnostic("file systems marked");
  }

  // A copy of /bin/touch named `name`: `program FILE` creates FILE once its
  // main runs.
  std::string makeToucher(const std::string& directory, const std::string& name) {
    fs::create_directories(directory);
    std::string path = directory + "/" + name;
    fs::copy_file("/bin/touch", path, fs::copy_options::overwrite_existing);
    fs::permissions(path, fs::perms(0755));
    return path;
  }

  // Forks a child in a session of its own that execs `program arguments...`
  // once `prepare` has run in it.
  static pid_t startExec(const std::string& program, std::vector<std::string> arguments,
                         const std::function<void()>& prepare = {}) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(125);
      ::setsid();
      if (prepare) prepare();
      ::execv(program.c_str(), argv.data());
      ::_exit(kExecFailed + errno);
    }
    return child;
  }
  static pid_t startExec(const std::string& program, const std::string& marker) {
    return startExec(program, std::vector<std::string>{marker});
  }

  // Runs `step` in a child in the agent's mount namespace; whether it held.
  bool inAgentNamespace(const std::function<bool()>& step) {
    const std::string ns = "/proc/" + std::to_string(agent_.pid()) + "/ns/mnt";
    const pid_t child = ::fork();
    if (child == 0) {
      const int fd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
      ::_exit(fd >= 0 && ::setns(fd, CLONE_NEWNS) == 0 && step() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }

  // The child's wait status once it has ended, or none after the time-out
  // (it is killed and reaped then).
  static std::optional<int> endOf(pid_t child, std::chrono::milliseconds timeout) {
    int status = 0;
    pid_t got = 0;
    waitUntil([&] { return (got = ::waitpid(child, &status, WNOHANG)) != 0; }, timeout, 10ms);
    if (got == 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return std::nullopt;
    }
    return got == child ? status : -1;
  }

  // Its exit status (-1 when it did not exit).
  static std::optional<int> exitOf(pid_t child, std::chrono::milliseconds timeout) {
    const auto status = endOf(child, timeout);
    if (!status) return std::nullopt;
    return *status != -1 && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  }

  static std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
  }
};

TEST_F(DenyExecTest, ListedProgramsNeverRunOthersDoAndEachDenialIsReportedOnce) {
  const std::string byName = makeToucher(dir_, uniqueName());
  const std::string byPath = makeToucher(dir_, uniqueName());
  const std::string identifier = "com.example." + uniqueName();
  const std::string executable = uniqueName();
  const std::string contents = dir_ + "/" + uniqueName() + ".app/Contents";
  const std::string inBundle = makeToucher(contents + "/MacOS", executable);
  writeInfoPlist(contents,
                 {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", executable}});
  // The kill judges a script's interpreter alone; this mode the script too.
  const std::string script = dir_ + "/" + uniqueName();
  writeFile(script, "#!/bin/sh\nexec touch \"$1\"\n");
  fs::permissions(script, fs::perms(0755));
  const std::string harmless = makeToucher(dir_, uniqueName());
  // A sleeper: a kill that comes late (a loaded machine) still finds it.
  const std::string viaLoader = dir_ + "/" + uniqueName();
  fs::copy_file("/bin/sleep", viaLoader);
  fs::permissions(viaLoader, fs::perms(0755));
  // Listed by content: a copy under another name and folder, and a script
  // (its own exec is judged by the script file's digest).
  const std::string byDigest = makeToucher(dir_, uniqueName());
  std::ofstream(byDigest, std::ios::binary | std::ios::app) << uniqueName();
  const std::string digestCopy = makeToucher(root_ + "/elsewhere", uniqueName());
  fs::copy_file(byDigest, digestCopy, fs::copy_options::overwrite_existing);
  const std::string scriptByDigest = dir_ + "/" + uniqueName();
  writeFile(scriptByDigest, "#!/bin/sh\n# " + uniqueName() + "\nexec touch \"$1\"\n");
  fs::permissions(scriptByDigest, fs::perms(0755));
  writeList(nameOf(byName) + "," + byPath + "," + identifier + "," + nameOf(script) + "," +
            nameOf(viaLoader) + "," + sha256sumOf(byDigest) + "," + sha256sumOf(scriptByDigest));
  ASSERT_TRUE(startDenyingAgent());

  struct Case {
    const char* label;
    std::string program;
    bool denied;
  };
  const Case cases[] = {{"listed name", byName, true},
                        {"listed path", byPath, true},
                        {"listed bundle identifier", inBundle, true},
                        {"script named after an entry", script, true},
                        {"copy of a program listed by digest", digestCopy, true},
                        {"script listed by digest", scriptByDigest, true},
                        {"unlisted program", harmless, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string marker = root_ + "/ran-" + nameOf(c.program);
    EXPECT_EQ(exitOf(startExec(c.program, marker), 10s), c.denied ? kExecFailed + EPERM : 0);
    EXPECT_EQ(fs::exists(marker), !c.denied) << "whether its main ran";
  }
  for (const Case& c : cases) {
    if (!c.denied) continue;
    SCOPED_TRACE(c.label);
    const std::string name = nameOf(c.program);
    ASSERT_TRUE(accessRowsFor(name));
    std::this_thread::sleep_for(300ms);  // time for a second report, were there one
    std::size_t rows = 0;
    for (const AccessRow& row : accessRows(agent_.accessLog())) rows += row.name == name;
    EXPECT_EQ(rows, 1u);
    EXPECT_EQ(occurrences(agent_.diagnosticLog(), "Blocking process with name: " + name + ","), 1u);
  }

  // The loader run directly is let through (ldd runs it so), and the kill
  // judges it as the program it was given.
  EXPECT_EQ(exitOf(startExec("/usr/bin/ldd", std::vector<std::string>{harmless}), 10s), 0);
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  if (::access(loader.c_str(), X_OK) != 0) return;
  EXPECT_EQ(exitOf(startExec(loader, {viaLoader, "5"}), 10s), -1) << "killed, not denied";
  EXPECT_TRUE(accessRowsFor(nameOf(viaLoader)));
}

// Where the exec'ing process lives: a bundle bind-mounted by nobody in a
// user namespace of its own, and a program deeper than PATH_MAX run as
// ./program after a cd, are refused like any other.
TEST_F(DenyExecTest, AListedProgramIsRefusedInAUserNamespaceAndDeeperThanPathMax) {
  if (!nobodyMayUnshare()) GTEST_SKIP() << "nobody may not make a user namespace here";
  const std::string identifier = "com.example." + uniqueName();
  const std::string executable = uniqueName();
  const std::string contents = dir_ + "/" + uniqueName() + ".app/Contents";
  makeToucher(contents + "/MacOS", executable);
  writeInfoPlist(contents,
                 {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", executable}});
  const std::string mine = directoryForNobody(root_);
  const int deep = makeDeepDirectory(root_, 4200);
  ASSERT_GE(deep, 0);
  const std::string there = "/proc/self/fd/" + std::to_string(deep);
  const std::string deepName = uniqueName();
  makeToucher(there, deepName);
  writeList(identifier + "," + deepName);
  ASSERT_TRUE(startDenyingAgent());

  const std::string place = mine + "/Game.app";
  const std::string marker = mine + "/ran";
  const std::string script = "mkdir " + place + " && mount --bind " +
                             fs::path(contents).parent_path().string() + " " + place + " && exec " +
                             place + "/Contents/MacOS/" + executable + " " + marker;
  const auto status =
      exitOf(startExec("/usr/bin/unshare", {"-Urm", "/bin/sh", "-c", script}, becomeNobody), 10s);
  EXPECT_NE(status, 0) << "the bundle in a user namespace";
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_TRUE(accessRowsFor(executable));

  const std::string deepMarker = root_ + "/ran-deep";
  EXPECT_EQ(exitOf(startExec("./" + deepName, {deepMarker},
                             [there] {
                               if (::chdir(there.c_str()) != 0) ::_exit(125);
                             }),
                   10s),
            kExecFailed + EPERM)
      << "the program deeper than PATH_MAX";
  EXPECT_FALSE(fs::exists(deepMarker));
  ::close(deep);
}

// The kill lets a few percent of starts reach main, and a program whose first
// act is to start a helper in a new session then leaves it behind: here none
// ever runs. (A copy of setsid(1), which forks and runs the helper.)
TEST_F(DenyExecTest, AProgramThatSpawnsAHelperAsItsFirstActLeavesNoneBehind) {
  constexpr int kStarts = 300;
  std::string spawner = dir_ + "/" + uniqueName();
  fs::copy_file("/usr/bin/setsid", spawner);
  const std::string helper = makeProgram();
  writeList(nameOf(spawner));
  ASSERT_TRUE(startDenyingAgent());

  int denied = 0;
  for (int start = 0; start < kStarts; ++start) {
    denied += exitOf(startExec(spawner, {"-f", helper, "60"}), 10s) == kExecFailed + EPERM;
  }
  EXPECT_EQ(denied, kStarts);
  std::vector<pid_t> helpers;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (readFile("/proc/" + pid + "/comm") == nameOf(helper) + "\n")
      helpers.push_back(std::stoi(pid));
  }
  for (const pid_t pid : helpers) ::kill(pid, SIGKILL);  // ours: its name is unique
  EXPECT_TRUE(helpers.empty()) << helpers.size() << " helpers left running";
}

TEST_F(DenyExecTest, TheAgentsDeathReleasesAnExecItHolds) {
  const std::string program = makeToucher(dir_, uniqueName());
  writeList(canaryName_);
  ASSERT_TRUE(startDenyingAgent());
  const std::string marker = root_ + "/ran";

  // The one stop of a deny-mode agent: every exec on the machine waits while
  // it lasts, so it is brief, and nothing here execs meanwhile.
  ASSERT_EQ(::kill(agent_.pid(), SIGSTOP), 0);
  const pid_t child = startExec(program, marker);
  std::this_thread::sleep_for(300ms);
  int status = 0;
  const bool held = ::waitpid(child, &status, WNOHANG) == 0;
  ::kill(agent_.pid(), SIGKILL);

  EXPECT_TRUE(held) << "the exec waited for the stopped agent's answer";
  EXPECT_EQ(held ? exitOf(child, 10s) : std::optional<int>(WEXITSTATUS(status)), 0)
      << "the exec went ahead once the agent was gone";
  EXPECT_TRUE(fs::exists(marker));
}

// A FUSE file system whose server never answers is never marked: its
// program is left to the kill, and every other exec is answered as before.
TEST_F(DenyExecTest, StalledFuseFileSystemHoldsUpNoExec) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
  const std::string forbidden = makeToucher(dir_, uniqueName());
  const std::string harmless = makeToucher(dir_, uniqueName());
  const std::string stalledName = uniqueName();
  writeList(nameOf(forbidden) + "," + stalledName);
  ASSERT_TRUE(startDenyingAgent());
  StalledFileSystem stalled(agent_.pid(), root_ + "/fuse", stalledName);
  ASSERT_TRUE(stalled.mounted());

  for (int start = 0; start < 3; ++start) {
    SCOPED_TRACE(start);
    const pid_t onStalled = children_.startInSession(root_ + "/fuse/" + stalledName, agent_.pid());
    const std::string marker = root_ + "/ran" + std::to_string(start);
    EXPECT_EQ(exitOf(startExec(harmless, marker), 10s), 0) << "an unlisted program";
    EXPECT_EQ(exitOf(startExec(forbidden, marker + "-forbidden"), 10s), kExecFailed + EPERM);
    EXPECT_TRUE(killedBySigkill(onStalled)) << "the program on the stalled file system";
  }
}

// A file system mounted where the agent runs is marked even when the kernel
// gives it the device number (or the mount id) of one it saw before and that
// has gone since: its listed programs are refused, not only killed.
TEST_F(DenyExecTest, AFileSystemMountedAgainIsMarkedAgain) {
  const std::string name = uniqueName();
  writeList(name);
  ASSERT_TRUE(startDenyingAgent());
  const std::string point = root_ + "/mnt";
  fs::create_directory(point);
  // The agent's mounts are private to it; its root reaches them from here.
  const std::string there = "/proc/" + std::to_string(agent_.pid()) + "/root" + point;
  std::optional<dev_t> device;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first mount" : "mounted again");
    ASSERT_TRUE(inAgentNamespace(
        [&] { return ::mount("pbe2e", point.c_str(), "tmpfs", 0, "mode=0755") == 0; }));
    struct stat st {};
    ASSERT_EQ(::stat(there.c_str(), &st), 0);
    if (device) {
      EXPECT_EQ(st.st_dev, *device) << "a device number seen before";
    }
    device = st.st_dev;
    const std::string program = makeToucher(there, name);
    const std::string marker = root_ + "/ran" + std::to_string(round);
    // Marked once the agent has seen the mount: tried until then.
    EXPECT_TRUE(waitUntil(
        [&] { return exitOf(startExec(program, marker), 10s) == kExecFailed + EPERM; }, 5s, 20ms))
        << "refused";
    ASSERT_TRUE(inAgentNamespace([&] { return ::umount(point.c_str()) == 0; }));
  }
}

// A user's own mount namespace is not the agent's: its mounts are not
// marked, and their programs are left to the kill.
TEST_F(DenyExecTest, AUsersPrivateMountIsLeftToTheKill) {
  const std::string name = uniqueName();
  writeList(name);
  ASSERT_TRUE(startDenyingAgent());
  // As nobody: a tmpfs of its own over /tmp with a copy of sleep named after
  // the entry, run from there.
  std::string script =
      "mount -t tmpfs pbe2e /tmp && cp /bin/sleep /tmp/" + name + " && exec /tmp/" + name + " 60";
  std::vector<std::string> command{
      "--reuid=65534", "--regid=65534", "--clear-groups", "unshare", "-Urm", "/bin/sh", "-c",
      script};
  const auto status = endOf(startExec("/usr/bin/setpriv", command), 10s);
  ASSERT_TRUE(status) << "still running after 10 s";
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << describeStatus(*status);
  EXPECT_TRUE(accessRowsFor(name));
}

// The kernel allows an exec unasked when the listener's queue is full. Its
// bound is read when the listener starts: shrunk to 4 meanwhile, then many
// listed programs exec at once; none may run.
TEST_F(DenyExecTest, ExecsBeyondTheKernelsQueueBoundAreStillRefused) {
  constexpr int kExecs = 100;
  // Copies apart, each in a bundle of its own with a long property list to
  // read: the listener falls behind.
  const std::string name = uniqueName();
  const std::string padding(200 * 1024, 'x');
  std::vector<std::string> programs;
  for (int i = 0; i < kExecs; ++i) {
    const std::string contents = dir_ + "/" + std::to_string(i) + ".app/Contents";
    programs.push_back(makeToucher(contents + "/MacOS", name));
    writeInfoPlist(contents, {{"CFBundleExecutable", name}, {"Padding", padding}});
  }
  writeList(name);
  const std::string bound = "/proc/sys/fs/fanotify/max_queued_events";
  const std::string saved = readFile(bound);
  ASSERT_FALSE(saved.empty());
  {
    // Restored as soon as the listener is running (other groups on the
    // machine would get the small queue too), and whatever happens.
    struct Restore {
      const std::string& path;
      const std::string& value;
      ~Restore() { std::ofstream(path) << value; }
    } restore{bound, saved};
    std::ofstream(bound) << "4\n";
    ASSERT_EQ(readFile(bound), "4\n");
    ASSERT_TRUE(startDenyingAgent());
  }
  ASSERT_EQ(readFile(bound), saved);

  int gate[2];
  ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kExecs; ++i) {
    children.push_back(startExec(programs[i], {root_ + "/ran" + std::to_string(i)}, [&gate] {
      char byte = 0;
      if (::read(gate[0], &byte, 1) != 1) ::_exit(125);
    }));
  }
  const std::string bytes(kExecs, 'x');  // all at once
  EXPECT_EQ(::write(gate[1], bytes.data(), bytes.size()), kExecs);
  ::close(gate[0]);
  ::close(gate[1]);
  int denied = 0;
  for (const pid_t child : children) denied += exitOf(child, 10s) == kExecFailed + EPERM;
  const std::string log = agent_.diagnosticLog();
  EXPECT_EQ(log.find("queue of exec events overflowed"), std::string::npos);
  // On a loaded machine a few may wait past the time to judge them: those
  // are asked, allowed and left to the kill, and said so.
  if (log.find("allowed unjudged") == std::string::npos) {
    EXPECT_EQ(denied, kExecs);
  }
}

// Under the unit's capability set and read-only system: with the drop-in the
// mode works; without it the agent names the drop-in and kills as before.
TEST_F(DenyExecTest, UnderTheUnitDeniesWithTheDropInAndFallsBackToTheKillWithout) {
  const std::string forbidden = makeToucher(dir_, uniqueName());
  const std::string sleeper = makeProgram();
  writeList(canaryName_ + "," + nameOf(forbidden) + "," + nameOf(sleeper));
  for (const bool dropIn : {true, false}) {
    SCOPED_TRACE(dropIn ? "with the drop-in" : "without the drop-in");
    AgentOptions options;
    options.denyExec = true;
    options.unitCapabilities = true;
    options.denyExecDropIn = dropIn;
    options.readOnlySystem = true;
    startAgent(options);
    if (dropIn) {
      ASSERT_TRUE(waitForDiagnostic("file systems marked"));
      const std::string marker = root_ + "/ran";
      EXPECT_EQ(exitOf(startExec(forbidden, marker), 10s), kExecFailed + EPERM);
      EXPECT_FALSE(fs::exists(marker));
      EXPECT_TRUE(accessRowsFor(nameOf(forbidden)));
    } else {
      EXPECT_TRUE(waitForDiagnostic("Configuration error: deny before exec is refused"));
      EXPECT_TRUE(waitForDiagnostic("deny-exec.conf"));
      ASSERT_TRUE(agentIsLive());
      EXPECT_TRUE(killedBySigkill(children_.startInSession(sleeper)));
      EXPECT_TRUE(accessRowsFor(nameOf(sleeper)));
    }
    agent_.stop();
  }
}

// A large file not hashed before is not hashed while its exec waits: it is
// let through, and the kill, which hashes it, ends it.
TEST_F(DenyExecTest, ALargeListedFileRunsIsKilledAndIsDeniedNextTime) {
  const std::string slow = makeUniqueContentProgram();
  fs::resize_file(slow, std::uintmax_t{200} << 20);  // sparse
  writeList(sha256sumOf(slow));
  ASSERT_TRUE(startDenyingAgent());
  EXPECT_TRUE(killedBySigkill(children_.startInSession(slow)));
  EXPECT_TRUE(accessRowsFor(nameOf(slow)));
  // Hashed by the kill, it is known when it is run again.
  EXPECT_EQ(exitOf(startExec(slow, root_ + "/ran"), 10s), kExecFailed + EPERM);
}

}  // namespace
}  // namespace e2e
