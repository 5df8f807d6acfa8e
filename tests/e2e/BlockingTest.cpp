// The agent's main job, end to end: listed programs die with their whole
// process group the moment they start; nothing else is touched.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eSupport.hpp"

namespace e2e {
namespace {

namespace fs = std::filesystem;

using BlockingTest = AgentTest;

TEST_F(BlockingTest, KillsListedNameWithItsWholeGroupWhereverItRunsAndSparesOthers) {
  const std::string forbidden = makeProgram();
  const std::string member = makeProgram();
  const std::string harmless = makeProgram();
  // The same name in another directory is the same forbidden program.
  const std::string elsewhere = makeProgramNamed(root_ + "/elsewhere", nameOf(forbidden));
  writeList(canaryName_ + "," + nameOf(forbidden));
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t bystander = children_.startInSession(harmless);
  const auto [leader, memberPid] = children_.startGroup(forbidden, member);
  ASSERT_GT(memberPid, 0);
  EXPECT_TRUE(killedBySigkill(leader)) << "the listed program";
  EXPECT_TRUE(killedBySigkill(memberPid)) << "the other member of its process group";
  const pid_t copy = children_.startInSession(elsewhere);
  EXPECT_TRUE(killedBySigkill(copy)) << "the listed name in another directory";

  // By the time its row is written, the agent has judged the bystander too.
  EXPECT_TRUE(accessRowsFor(nameOf(forbidden)));
  EXPECT_TRUE(stillRunning(bystander)) << "an unlisted program in a session of its own";
}

TEST_F(BlockingTest, KillsListedFullPathButNotTheSameNameElsewhere) {
  const std::string forbidden = makeProgram();
  const std::string twin = makeProgramNamed(root_ + "/elsewhere", nameOf(forbidden));
  writeList(canaryName_ + "," + forbidden);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t twinPid = children_.startInSession(twin);
  const pid_t pid = children_.startInSession(forbidden);
  EXPECT_TRUE(killedBySigkill(pid));
  EXPECT_TRUE(accessRowsFor(nameOf(forbidden)));
  EXPECT_TRUE(stillRunning(twinPid)) << "only the listed path is forbidden, not its file name";
}

// The dynamic loader run directly runs the program it is given: that program
// is judged, whatever the loader is called and wherever it lies.
TEST_F(BlockingTest, LoaderRunDirectlyIsJudgedAsTheProgramItRuns) {
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  if (::access(loader.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << loader << " here";
  const std::string forbidden = makeProgram();
  const std::string harmless = makeProgram();
  const std::string copy = makeProgram(root_ + "/elsewhere");
  std::filesystem::copy_file(loader, copy, std::filesystem::copy_options::overwrite_existing);
  writeList(canaryName_ + "," + nameOf(forbidden));
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t bystander = children_.startCommandInSession(
      {loader, "--inhibit-cache", "./" + nameOf(harmless), "60"}, dir_);
  const pid_t direct =
      children_.startCommandInSession({loader, "./" + nameOf(forbidden), "60"}, dir_);
  EXPECT_TRUE(killedBySigkill(direct)) << "the loader given a listed program";
  const pid_t copied = children_.startCommandInSession(
      {copy, "--argv0", "unlisted", "--library-path", "/nowhere", forbidden, "60"}, root_);
  EXPECT_TRUE(killedBySigkill(copied)) << "a copy of the loader under another name";
  // The report names the program judged, by its full path.
  EXPECT_TRUE(waitForDiagnostic("Blocking process with name: " + nameOf(forbidden) +
                                ", bundle identifier: (null)" + ", path: " + forbidden));
  EXPECT_TRUE(stillRunning(bystander)) << "the loader given an unlisted program";
}

// A test application bundle: <app>.app/Contents/{Info.plist,MacOS/<executable>}.
class BundleBlockingTest : public AgentTest {
 protected:
  std::string makeBundle(const std::string& identifier, const std::string& executable,
                         const std::string& parent = "") {
    const std::string contents =
        (parent.empty() ? dir_ : parent) + "/" + uniqueName() + ".app/Contents";
    makeProgramNamed(contents + "/MacOS", executable);
    writeInfoPlist(contents,
                   {{"CFBundleIdentifier", identifier}, {"CFBundleExecutable", executable}});
    return contents;
  }
};

TEST_F(BundleBlockingTest, IdentifierKillsTheMainExecutableOnly) {
  const std::string identifier = "com.example." + uniqueName();
  const std::string executable = uniqueName();
  const std::string contents = makeBundle(identifier, executable);
  const std::string main = contents + "/MacOS/" + executable;
  // Another program inside the same bundle is not its main executable.
  const std::string helper = makeProgram(contents + "/MacOS");
  writeList(canaryName_ + "," + identifier);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t helperPid = children_.startInSession(helper);
  const pid_t mainPid = children_.startInSession(main);
  EXPECT_TRUE(killedBySigkill(mainPid));
  EXPECT_TRUE(waitForDiagnostic("Blocking process with name: " + executable +
                                ", bundle identifier: " + identifier + ", path: " + main));
  EXPECT_TRUE(accessRowsFor(executable));
  EXPECT_TRUE(stillRunning(helperPid)) << "a helper executable inside the listed bundle";

  // Found by the path's own bytes where its text is not UTF-8.
  const std::string odd = makeBundle(identifier, executable, root_ + "/bad\xff");
  EXPECT_TRUE(killedBySigkill(children_.startInSession(odd + "/MacOS/" + executable)))
      << "the bundle under a directory whose name is not UTF-8";
}

// A program at the bottom of many nested bundles, each with a large
// Info.plist, costs a bounded search: nothing is switched off, and a listed
// bundle started right after it still dies.
TEST_F(BundleBlockingTest, DeeplyNestedBundlesSwitchNoInspectionOff) {
  const std::string identifier = "com.example." + uniqueName();
  const std::string executable = uniqueName();
  const std::string main = makeBundle(identifier, executable) + "/MacOS/" + executable;
  std::vector<std::string> levels{root_ + "/deep/X.app/Contents"};
  while (levels.size() < 150)
    levels.push_back(levels.back() + "/MacOS/X.app/Contents");  // PATH_MAX
  const std::string bottom = makeProgram(levels.back() + "/MacOS");
  // Many small items (just under the size bound): the costly kind to read.
  std::string items;
  for (int i = 0; i < 12000; ++i) items += "<string>x</string>";
  for (const auto& contents : levels) {
    writeFile(contents + "/Info.plist",
              "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
              "<string>x</string><key>Padding</key><array>" +
                  items + "</array></dict></plist>\n");
  }
  writeList(canaryName_ + "," + identifier);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  for (int start = 0; start < 3; ++start) {
    SCOPED_TRACE(start);
    const pid_t deepPid = children_.startInSession(bottom);
    EXPECT_TRUE(killedBySigkill(children_.startInSession(main))) << "the listed bundle";
    EXPECT_TRUE(stillRunning(deepPid)) << "the unlisted program at the bottom";
  }
  EXPECT_EQ(agent_.diagnosticLog().find("File inspection under"), std::string::npos)
      << "no file system left uninspected";
}

// A user's own mount namespace: the installed bundle, bind-mounted by
// nobody at a place where the agent's namespace holds no bundle, is still
// found (through the process's root) and its main executable dies.
TEST_F(BundleBlockingTest, IdentifierKillsTheBundleMountedElsewhereInAUserNamespace) {
  if (!nobodyMayUnshare()) GTEST_SKIP() << "nobody may not make a user namespace here";
  const std::string identifier = "com.example." + uniqueName();
  const std::string executable = uniqueName();
  const std::string app = fs::path(makeBundle(identifier, executable)).parent_path();
  const std::string place = directoryForNobody(root_) + "/Game.app";
  writeList(canaryName_ + "," + identifier);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const std::string script = "mkdir " + place + " && mount --bind " + app + " " + place +
                             " && exec " + place + "/Contents/MacOS/" + executable + " 60";
  const pid_t pid =
      children_.startPrepared({"/usr/bin/unshare", "-Urm", "/bin/sh", "-c", script}, becomeNobody);
  EXPECT_TRUE(killedBySigkill(pid));
  EXPECT_TRUE(waitForDiagnostic("bundle identifier: " + identifier + ", path: " + place));
}

// A chroot: the bundle's property list is an absolute link, which leads to
// the chroot's own copy for the process, and to nothing in the agent's root.
TEST_F(BundleBlockingTest, IdentifierKillsTheBundleOfAChrootThroughItsAbsoluteLink) {
  const std::string identifier = "com.example." + uniqueName();
  const std::string executable = uniqueName();
  const std::string jail = root_ + "/jail";
  const std::string contents = makeBundle(identifier, executable, jail);
  const std::string plist = "/" + uniqueName() + ".plist";
  fs::rename(contents + "/Info.plist", jail + plist);
  fs::create_symlink(plist, contents + "/Info.plist");
  fs::create_directories(jail + "/usr");
  fs::create_symlink("usr/lib", jail + "/lib");
  fs::create_symlink("usr/lib64", jail + "/lib64");
  writeList(canaryName_ + "," + identifier);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const std::string inJail = contents.substr(jail.size()) + "/MacOS/" + executable;
  const std::string script =
      "mount --bind /usr " + jail + "/usr && exec chroot " + jail + " " + inJail + " 60";
  const pid_t pid =
      children_.startPrepared({"/usr/bin/unshare", "-m", "/bin/sh", "-c", script}, [] {});
  EXPECT_TRUE(killedBySigkill(pid));
}

// A path longer than PATH_MAX, run as ./program after a cd: judged by the
// name its exec was given (checked against the file it runs) and by its
// bundle.
TEST_F(BundleBlockingTest, ProgramsDeeperThanPathMaxAreJudgedByNameAndBundle) {
  const int deep = makeDeepDirectory(root_, 4200);
  ASSERT_GE(deep, 0);
  const std::string there = "/proc/self/fd/" + std::to_string(deep);
  const std::string byName = nameOf(makeProgramNamed(there, uniqueName()));
  const std::string identifier = "com.example." + uniqueName();
  const std::string executable = uniqueName();
  const std::string contents = makeBundle(identifier, executable, there);
  // The same directory by its path, which is longer than PATH_MAX.
  std::string deepPath = root_;
  while (deepPath.size() <= 4200) deepPath += "/" + std::string(200, 'd');
  const std::string byPath = deepPath + "/" + nameOf(makeProgramNamed(there, uniqueName()));
  writeList(canaryName_ + "," + byName + "," + identifier + "," + byPath);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  auto runFrom = [&](const std::string& directory, const std::string& program) {
    return children_.startPrepared({"./" + program, "60"}, [directory] {
      if (::chdir(directory.c_str()) != 0) ::_exit(127);
    });
  };
  EXPECT_TRUE(killedBySigkill(runFrom(there, byName))) << "by its name";
  EXPECT_TRUE(killedBySigkill(runFrom(contents + "/MacOS", executable))) << "by its bundle";
  EXPECT_TRUE(killedBySigkill(runFrom(there, nameOf(byPath)))) << "by its whole path";
  EXPECT_TRUE(waitForDiagnostic("bundle identifier: " + identifier + ", path: " + deepPath));
  ::close(deep);
}

// Programs listed by the SHA-256 of their file: every copy of that content
// dies, whatever its name or place, also run from memory; nothing else does.
class DigestBlockingTest : public AgentTest {
 protected:
  // Runs `content` from a memfd (memfd_create + execveat), as `sleep 60`.
  pid_t startFromMemory(const std::string& content) {
    return children_.startPrepared({"/nonexistent"}, [&content] {
      const int fd = static_cast<int>(::syscall(SYS_memfd_create, "pbmem", 0));
      if (fd < 0 ||
          ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        ::_exit(126);
      }
      char name[] = "pbmem";
      char seconds[] = "60";
      char* argv[] = {name, seconds, nullptr};
      ::syscall(SYS_execveat, fd, "", argv, environ, AT_EMPTY_PATH);
      ::_exit(127);
    });
  }

  // Starts `program` and waits until the agent has read at least its size
  // more, so that it has been hashed once; then stops it.
  void runOnceHashed(const std::string& program) {
    const auto before = agent_.bytesRead().value_or(0);
    const pid_t pid = children_.startInSession(program);
    EXPECT_TRUE(waitUntil(
        [&] { return agent_.bytesRead().value_or(0) >= before + fs::file_size(program); }, 10s))
        << "the agent never read " << program;
    ::kill(pid, SIGKILL);
    children_.waitForEnd(pid, 10s);
  }

  // Whether the agent read less than `bytes` while `step` ran, and then
  // until it had judged a later start (its canary's).
  ::testing::AssertionResult readsLessThan(std::uintmax_t bytes,
                                           const std::function<void()>& step) {
    const auto before = agent_.bytesRead().value_or(0);
    step();
    if (auto live = agentIsLive(); !live) return live;
    const auto read = agent_.bytesRead().value_or(0) - before;
    if (read < bytes) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the agent read " << read << " bytes";
  }
};

TEST_F(DigestBlockingTest, CopiesUnderAnyNameAndFromMemoryDieOthersRun) {
  const std::string listed = makeUniqueContentProgram();
  const std::string copy = makeProgram(root_ + "/elsewhere");
  fs::copy_file(listed, copy, fs::copy_options::overwrite_existing);
  const std::string harmless = makeUniqueContentProgram();
  writeList(canaryName_ + "," + sha256sumOf(listed));
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t bystander = children_.startInSession(harmless);
  EXPECT_TRUE(killedBySigkill(children_.startInSession(copy))) << "a copy elsewhere";
  EXPECT_TRUE(killedBySigkill(startFromMemory(readFile(listed)))) << "run from a memfd";
  EXPECT_TRUE(accessRowsFor(nameOf(copy)));
  EXPECT_TRUE(stillRunning(bystander)) << "other content";
}

// A file hashed once and then given the listed content, by a write or
// through a shared mapping, is hashed again at its next start.
TEST_F(DigestBlockingTest, ContentChangedToTheListedOneDiesAtItsNextStart) {
  const std::string listed = makeUniqueContentProgram();
  const std::string written = makeUniqueContentProgram();
  const std::string mapped = makeUniqueContentProgram();
  const std::string content = readFile(listed);  // as long as the others'
  writeList(canaryName_ + "," + sha256sumOf(listed));
  startAgent();
  ASSERT_TRUE(agentIsLive());
  runOnceHashed(written);
  runOnceHashed(mapped);

  std::ofstream(written, std::ios::binary | std::ios::trunc) << content;
  const int fd = ::open(mapped.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  void* map = ::mmap(nullptr, content.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  std::memcpy(map, content.data(), content.size());
  ::munmap(map, content.size());
  ::close(fd);
  // Past the time a change takes to settle, so that a digest remembered
  // under a key blind to the change would be served.
  std::this_thread::sleep_for(300ms);

  EXPECT_TRUE(killedBySigkill(children_.startInSession(written))) << "written in place";
  EXPECT_TRUE(killedBySigkill(children_.startInSession(mapped))) << "written through a mapping";
}

// Hashing is bounded: a listed file that takes long to hash dies late; one
// past the size hashed is not read and runs; a list without digest entries
// has nothing read at all.
TEST_F(DigestBlockingTest, LargeFilesDieLatePastTheBoundRunAndNamesOnlyReadNothing) {
  const std::string slow = makeUniqueContentProgram();
  fs::resize_file(slow, std::uintmax_t{200} << 20);  // sparse
  const std::string huge = makeUniqueContentProgram();
  fs::resize_file(huge, (std::uintmax_t{256} << 20) + 1);
  writeList(canaryName_ + "," + sha256sumOf(slow) + "," + sha256sumOf(huge));
  startAgent();
  ASSERT_TRUE(agentIsLive());

  EXPECT_TRUE(killedBySigkill(children_.startInSession(slow))) << "hashed past the deadline";
  pid_t pastBound = -1;
  EXPECT_TRUE(
      readsLessThan(fs::file_size(huge) / 2, [&] { pastBound = children_.startInSession(huge); }));
  EXPECT_TRUE(stillRunning(pastBound)) << "past the size hashed";
  EXPECT_TRUE(waitForDiagnostic("was not hashed"));

  agent_.stop();
  writeList(canaryName_ + "," + nameOf(slow));
  startAgent();
  ASSERT_TRUE(agentIsLive());
  const std::string unlisted = makeUniqueContentProgram();
  fs::resize_file(unlisted, std::uintmax_t{64} << 20);
  EXPECT_TRUE(readsLessThan(std::uintmax_t{64} << 20, [&] { children_.startInSession(unlisted); }))
      << "a list of names only";
}

}  // namespace
}  // namespace e2e
