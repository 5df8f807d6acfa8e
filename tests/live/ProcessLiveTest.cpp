// Process records filled from live processes (children the test starts
// itself, process 1) and from kernels faked or absent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "live/ChildProcess.hpp"
#include "live/Support.hpp"
#include "procscope/BinaryCache.hpp"
#include "procscope/ExecutableSite.hpp"
#include "procscope/Inspection.hpp"
#include "procscope/LoadedProgram.hpp"
#include "procscope/Process.hpp"
#include "procscope/ProcessIdentity.hpp"
#include "support/PidReuse.hpp"

using namespace std::string_literals;
using procscope::Process;
using procscope::platform::Kernel;
using procscope::platform::KernelQueries;
using procscope::platform::ScopedService;
using Strings = std::vector<std::string>;
using Pids = std::vector<std::int32_t>;

// sh waits on its standard input; argv[0] is not its path, and the empty
// operand must survive as an empty argument.
static const Strings kArgv = {"pslive-argv0", "-c", "read line", "", "third"};

// The child lives in a directory whose name is not UTF-8: its path is decoded
// lossily rather than dropped.
TEST(LiveProcess, InitFillsTheRecordOfAChild) {
  test::ChildProcess child(kArgv, "bad\xff");
  ASSERT_GT(child.pid(), 0);
  auto process = Process::init(child.pid());
  ASSERT_NE(process, nullptr);
  std::string path = std::filesystem::canonical(child.path()).string();
  path.replace(path.find("bad\xff"), 4, "bad\xEF\xBF\xBD");
  EXPECT_EQ(process->path(), path);
  EXPECT_EQ(process->ppid(), getpid());
  EXPECT_EQ(process->arguments(), kArgv);
  EXPECT_EQ(process->uid(), geteuid());
  EXPECT_FALSE(process->signingInfo().has_value());
  EXPECT_TRUE(process->isProcessAlive());

  // Nearest first, up to the top of the chain, whose own parent is 0
  // (process 1, or the entry point of a pid namespace).
  const Pids& ancestors = process->ancestors();
  ASSERT_FALSE(ancestors.empty());
  EXPECT_EQ(ancestors.front(), getpid());
  if (getppid() != 0) {
    EXPECT_EQ(ancestors.at(1), getppid());
  }
  EXPECT_EQ(Process::getParentID(ancestors.back()), 0);
}

// The kernel's " (deleted)" mark is dropped only when the executable is
// unlinked; a file really named so keeps its name.
TEST(LiveProcess, DeletedExecutableKeepsItsPath) {
  test::ChildProcess child(kArgv);
  ASSERT_GT(child.pid(), 0);
  const std::string named = child.path() + " (deleted)";
  ASSERT_EQ(rename(child.path().c_str(), named.c_str()), 0);
  const std::string shown = std::filesystem::canonical(named);
  for (bool unlinked : {false, true}) {
    if (unlinked) {
      ASSERT_EQ(unlink(named.c_str()), 0);
    }
    auto process = Process::init(child.pid());
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(process->path(),
              std::filesystem::canonical(std::filesystem::path(named).parent_path()) /
                  std::filesystem::path(named).filename())
        << unlinked;
    EXPECT_EQ(process->binary()->name(), std::filesystem::path(named).filename()) << unlinked;
  }
}

// `loader` run directly with `arguments`, in a session of its own, once it
// has mapped the file `mapped`.
static pid_t startLoader(const std::string& loader, Strings arguments, const std::string& mapped) {
  arguments.insert(arguments.begin(), loader);
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    execv(loader.c_str(), argv.data());
    _exit(127);
  }
  const auto mapsHold = [&] {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    return std::string(std::istreambuf_iterator<char>(maps), {}).find(mapped) != std::string::npos;
  };
  for (int i = 0; pid > 0 && i < 500 && !mapsHold(); ++i) usleep(10000);
  return pid;
}

// The loader run directly names its program through a link: the program is
// the file the loader mapped; once the link leads elsewhere, each file
// mapped is judged beside the one it leads to now.
TEST(LiveProcess, LoaderRunDirectlyGetsTheProgramItMapped) {
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  if (::access(loader.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << loader << " here";
  char dir[] = "/tmp/pslive-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string mapped = dir + "/mapped"s, other = dir + "/other"s, link = dir + "/link"s;
  std::filesystem::copy_file("/bin/sleep", mapped);
  std::filesystem::copy_file("/bin/sleep", other);
  std::filesystem::create_symlink(mapped, link);
  const pid_t pid = startLoader(loader, {link, "60"}, mapped);
  ASSERT_GT(pid, 0);
  const auto direct = Process::init(pid);
  ASSERT_TRUE(direct && direct->loadedProgram());
  EXPECT_EQ(direct->path(), std::filesystem::canonical(loader));  // the record's own
  EXPECT_EQ(direct->loadedProgram()->path, mapped);
  EXPECT_TRUE(direct->loadedProgram()->confirmed);
  EXPECT_TRUE(direct->loadedProgram()->mappedInstead.empty());

  std::filesystem::remove(link);
  std::filesystem::create_symlink(other, link);
  const auto turned = Process::init(pid);
  ASSERT_TRUE(turned && turned->loadedProgram());
  EXPECT_EQ(turned->loadedProgram()->path, other);
  EXPECT_FALSE(turned->loadedProgram()->confirmed);
  bool judged = false;
  for (const auto& instead : turned->loadedProgram()->mappedInstead) {
    judged = judged || (instead.path == mapped && instead.binary->name() == "mapped");
    EXPECT_NE(instead.path, turned->path()) << "the loader is no program it runs";
  }
  EXPECT_TRUE(judged);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  std::filesystem::remove_all(dir);
}

// A loader whose file is not read in time (every inspection thread held
// past its deadline) is judged as itself at once, and as the program it runs
// in a late copy once the read ends. A late read that finds another program
// run since answers nothing about the loader's file.
TEST(LiveProcess, LoaderNotRecognisedInTimeIsJudgedLateAsItsProgram) {
  namespace inspection = procscope::inspection;
  const std::string loader = "/lib64/ld-linux-x86-64.so.2";
  if (::access(loader.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << loader << " here";
  char dir[] = "/tmp/pslive-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  // A copy of the loader: a file whose answer nothing remembers.
  const std::string copy = dir + "/pbx-ld"s, program = dir + "/pbx-prog"s, go = dir + "/go"s;
  std::filesystem::copy_file(loader, copy);
  std::filesystem::copy_file("/bin/sleep", program);
  ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
  std::this_thread::sleep_for(procscope::BinaryCache::kSettle * 2);  // else not remembered
  const pid_t moving =
      startLoader(copy, {"/bin/sh", "-c", "read x <" + go + "; exec " + program + " 60"},
                  std::filesystem::canonical("/bin/sh"));
  const pid_t pid = startLoader(copy, {program, "60"}, program);
  ASSERT_GT(moving, 0);
  ASSERT_GT(pid, 0);
  const auto recordOf = [](pid_t id) {
    auto record = Process::init();
    record->setIdentity(Kernel::get()->pin(id));
    record->setPid(id);
    record->pathFromPid();
    record->getArgs();
    return record;
  };
  const auto first = recordOf(pid);
  // Its file inspected and remembered (as after an earlier run), but not
  // yet whether it is a loader.
  const auto site = Kernel::get()->executableSite(pid, first->identity().get(), *first->path());
  ASSERT_TRUE(site);
  ASSERT_TRUE(procscope::inspectRemembered(*first->path(),
                                           site->lookupPath.value_or(*first->path()), &*site));

  std::deque<std::promise<void>> holds;  // one per inspection thread held
  const auto holdAll = [&holds] {
    while (holds.size() < 64 && inspection::run(inspection::kUnknownMount, [] {})) {
      inspection::run(inspection::kUnknownMount,
                      [held = holds.emplace_back().get_future().share()] { held.wait(); });
    }
  };
  const auto lateProgramOf = [](const std::shared_ptr<Process>& record) {
    auto lateOne = std::make_shared<std::promise<std::shared_ptr<Process>>>();
    auto once = std::make_shared<std::once_flag>();
    record->inspectBinary(false, [lateOne, once](const std::shared_ptr<Process>& copy) {
      if (copy->loadedProgram()) std::call_once(*once, [&] { lateOne->set_value(copy); });
    });
    return lateOne->get_future();
  };
  holdAll();
  lateProgramOf(recordOf(moving));
  // Read and write: the open waits for no shell.
  const int fifo = ::open(go.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::write(fifo, "go\n", 3), 3);
  std::error_code error;
  const std::string exe = "/proc/" + std::to_string(moving) + "/exe";
  for (int i = 0; i < 500 && std::filesystem::read_symlink(exe, error) != program; ++i) {
    usleep(10000);
  }
  ::close(fifo);
  // One thread let go: the late read of that run ends before a step queued
  // after it does.
  holds.front().set_value();
  for (int i = 0; i < 2000 && !inspection::run(inspection::kUnknownMount, [] {}); ++i) {
    usleep(1000);  // until the thread is free
  }
  holdAll();
  auto late = lateProgramOf(first);
  // The system's loader is known by its file: judged as its program (by the
  // name given, while the lookup waits) at once.
  const pid_t direct = startLoader(loader, {program, "60"}, program);
  const auto known = recordOf(direct);
  lateProgramOf(known);
  for (std::size_t i = 1; i < holds.size(); ++i) holds[i].set_value();
  EXPECT_EQ(known->loadedProgram() ? known->loadedProgram()->path : "none", program);
  EXPECT_EQ(first->loadedProgram(), nullptr) << "judged as itself at once";
  std::shared_ptr<Process> copied;
  try {
    if (late.wait_for(std::chrono::seconds(20)) == std::future_status::ready) copied = late.get();
  } catch (const std::future_error&) {  // none will ever come
  }
  for (const pid_t child : {moving, pid, direct}) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(copied) << "never judged as the program it runs";
  EXPECT_EQ(copied->earlier(), first);
  EXPECT_EQ(copied->path(), first->path());
  EXPECT_EQ(copied->loadedProgram()->path, program);
  EXPECT_TRUE(copied->loadedProgram()->confirmed);
}

TEST(LiveProcess, GoneProcessHasNoParentAndNoRecord) {
  test::ChildProcess child(kArgv);
  ASSERT_GT(child.pid(), 0);
  const std::int32_t pid = child.pid();
  EXPECT_EQ(Process::getParentID(pid), getpid());  // asked once while it lived
  // Ended but not reaped: nothing left to read replaces a path already known.
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
  auto zombie = Process::init();
  zombie->setPid(pid);
  zombie->setPath("/bin/true");
  zombie->pathFromPid();
  EXPECT_EQ(zombie->path(), "/bin/true");
  child.stop();
  EXPECT_EQ(Process::getParentID(pid), -1);
  EXPECT_EQ(Process::init(pid), nullptr);
  auto record = Process::init();
  record->setPid(pid);
  record->getUser();
  EXPECT_EQ(record->uid(), 0xFFFFFFFFu);
  EXPECT_FALSE(record->isProcessAlive());
}

// A number asked about before is answered for the process that holds it now:
// the first holder's parent is a helper, the second's is this test. The
// second lives in another root, which a pin of the first never leads to.
TEST(LiveProcess, ParentOfAReusedNumberIsTheNewHolders) {
  if (::geteuid() != 0) GTEST_SKIP() << "a private pid namespace needs root";
  test::inPrivatePidNamespace([] {
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t helper = fork();
    ASSERT_GE(helper, 0);
    if (helper == 0) {  // async-signal-safe calls only
      close(report[0]);
      setsid();
      const pid_t first = fork();
      if (first == 0) {
        pause();
        _exit(0);
      }
      (void)!write(report[1], &first, sizeof first);
      while (waitpid(first, nullptr, 0) < 0 && errno == EINTR) {
      }
      (void)!write(report[1], &first, sizeof first);  // reaped: the number is free
      _exit(0);
    }
    close(report[1]);
    pid_t first = -1, reaped = -1;
    ASSERT_EQ(read(report[0], &first, sizeof first), static_cast<ssize_t>(sizeof first));
    EXPECT_EQ(Process::getParentID(first), helper);
    const auto pin = procscope::ProcessIdentity::pin(first);
    ASSERT_EQ(kill(first, SIGKILL), 0);
    ASSERT_EQ(read(report[0], &reaped, sizeof reaped), static_cast<ssize_t>(sizeof reaped));
    close(report[0]);
    while (waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
    }

    std::string why;
    auto second = test::startWithPid(
        first,
        [] {
          int rooted[2];
          if (pipe2(rooted, O_CLOEXEC) != 0) return pid_t{-1};
          const pid_t pid = fork();
          if (pid == 0) {
            if (chroot("/usr") != 0) _exit(1);
            close(rooted[1]);
            pause();
            _exit(0);
          }
          close(rooted[1]);
          char end;
          (void)!read(rooted[0], &end, 1);  // chrooted (or gone)
          close(rooted[0]);
          return pid;
        },
        why);
    ASSERT_TRUE(second) << "the pid could not be reused: " << why;
    EXPECT_EQ(Process::getParentID(first), getpid());
    const auto theirs = procscope::siteOfProcess(first, nullptr, "/bin/x");
    ASSERT_TRUE(theirs && theirs->root) << "the new holder is in a root of its own";
    EXPECT_FALSE(procscope::siteOfProcess(first, pin.get(), "/bin/x"));
    kill(*second, SIGKILL);
    while (waitpid(*second, nullptr, 0) < 0 && errno == EINTR) {
    }
  });
}

TEST(LiveProcess, ProcessOneHasParentZeroAndAncestorsZero) {
  EXPECT_EQ(Process::getParentID(0), 0);
  // A sandbox may hide process 1's executable, leaving init: without a path;
  // the walk itself does not depend on it.
  auto process = Process::init(1);
  if (!process) {
    process = Process::init();
    process->setPid(1);
    process->setPpid(Process::getParentID(1));
    process->enumerateAncestors();
  }
  EXPECT_EQ(process->ppid(), 0);
  EXPECT_EQ(process->ancestors(), Pids{0});
}

class FakedProcess : public ::testing::Test {
 protected:
  std::shared_ptr<test::FakeKernel> kernel = std::make_shared<test::FakeKernel>();
  ScopedService<KernelQueries> scope{kernel};
};

TEST_F(FakedProcess, PathFallsBackOnTheArgumentArea) {
  kernel->processes[42] = {1, "", 501};
  kernel->areas[42] = test::area(2, "/opt/recorded\0\0\0argv0\0x\0"s);
  auto process = Process::init(42);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->path(), "/opt/recorded");
  EXPECT_EQ(process->arguments(), (Strings{"argv0", "x"}));
  EXPECT_EQ(process->ancestors(), Pids{1});
  EXPECT_EQ(process->uid(), 501u);
}

TEST_F(FakedProcess, ShortOrUnreadableArgumentAreaLeavesFieldsAsTheyWere) {
  kernel->processes[42] = {};
  kernel->areas[42] = test::countBytes(1);
  EXPECT_EQ(Process::init(42), nullptr);
  for (std::int64_t max : {kernel->areaMax, std::int64_t{-1}}) {
    kernel->areaMax = max;
    kernel->areas[42] = max > 0 ? test::countBytes(1) : test::area(1, "/x\0a\0"s);
    auto record = Process::init();
    record->setPid(42);
    record->setArguments({"kept"});
    record->getArgs();
    record->pathFromPid();
    EXPECT_EQ(record->arguments(), Strings{"kept"});
    EXPECT_FALSE(record->path().has_value());
  }
}

TEST_F(FakedProcess, AncestorWalk) {
  // 40 -> 30 -> 20 -> 1 -> 0, and 7 is its own parent.
  for (auto [pid, ppid] : {std::pair{40, 30}, {30, 20}, {20, 1}, {1, 0}, {0, 0}, {7, 7}}) {
    kernel->processes[pid].ppid = ppid;
  }
  const std::pair<std::int32_t, Pids> cases[] = {
      {30, {30, 20, 1}}, {-1, {30, 20, 1}},  // unknown ppid: walk from pid
      {0, {0}},          {99, {99}},         // a gone parent is still listed
      {7, {7}},
  };
  for (const auto& [ppid, ancestors] : cases) {
    auto record = Process::init();
    record->setPid(40);
    record->setPpid(ppid);
    record->setAncestors({5});
    record->enumerateAncestors();
    Pids expected = {5};  // appended to, never cleared
    expected.insert(expected.end(), ancestors.begin(), ancestors.end());
    EXPECT_EQ(record->ancestors(), expected) << ppid;
  }
}

TEST(AbsentKernel, KnowsNoProcess) {
  ScopedService<KernelQueries> scope(procscope::platform::makeAbsentKernel());
  EXPECT_EQ(Process::getParentID(1), -1);
  EXPECT_EQ(Process::init(getpid()), nullptr);
  EXPECT_TRUE(Kernel::get()->allPids().empty());
  auto record = Process::init();
  record->setPid(getpid());
  record->setPpid(77);
  record->enumerateAncestors();
  record->getArgs();
  EXPECT_EQ(record->ancestors(), Pids{77});
  EXPECT_TRUE(record->arguments().empty());
  EXPECT_FALSE(record->isProcessAlive());
}
