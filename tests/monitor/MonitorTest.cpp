// The audit-pipe loop: configuration, the token walk, the token actions and
// the completion rules at the trailer.
#include <gtest/gtest.h>

#include <string_view>

#include "bsm/BsmTestData.hpp"
#include "exec/ExecFixture.hpp"
#include "monitor/MonitorFixture.hpp"
#include "support/Capture.hpp"

namespace monitortest {
namespace {

using bsm::RecordBuilder;
using Strings = std::vector<std::string>;
constexpr std::uint32_t kUnset = 0xFFFFFFFFu;

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() { kernel->processes[1] = {0, "/sbin/init", 0}; }

  std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>();
  ScopedService<platform::KernelQueries> installed{kernel};
};

TEST_F(MonitorTest, ExecOfAnExitedProcessTakesParentFromItsLastFork) {
  // Neither the forks' child nor the execs' processes are known by then: the
  // forks cannot be reported (no path) but the last one is remembered.
  auto got = runMonitor({
      forkRecord(4243, 4242),
      forkRecord(4243, 4300),
      execRecord(bsm::AUE_EXECVE, 4243, {"/bin/true"}, {"true"}),
      execRecord(bsm::AUE_EXEC, 4250, {"/bin/false"}, {"false"}),
  });
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->pid(), 4243);
  EXPECT_EQ(got[0]->ppid(), 4300);
  EXPECT_EQ(got[0]->path(), "/bin/true");
  EXPECT_EQ(got[1]->pid(), 4250);
  EXPECT_EQ(got[1]->ppid(), -1);  // another pid: the fork says nothing about it
}

// Argument tokens name the child of a fork or spawn; other events ignore them.
TEST_F(MonitorTest, PidAndParentOfSpawnsAndExecs) {
  kernel->processes[4242] = {77, std::nullopt, 1001};
  const struct {
    const char* what;
    Bytes record;
    std::int32_t pid;
    std::optional<std::int32_t> ppid;  // none: not checked
  } cases[] = {
      {"spawn with a child argument",
       RecordBuilder(bsm::AUE_POSIX_SPAWN)
           .arg32(1, 4244, "child PID")
           .subject32(subject(4242))
           .path("/usr/bin/env")
           .finish(),
       4244, 4242},
      {"spawn without", execRecord(bsm::AUE_POSIX_SPAWN, 4242, {"/usr/bin/env"}), 4242, 77},
      {"the later argument wins",
       RecordBuilder(bsm::AUE_POSIX_SPAWN)
           .subject32(subject(4242))
           .arg64(1, 0x100001234ull, "pid")
           .arg32(2, 4245, "pid")
           .path("/bin/ls")
           .finish(),
       4245, std::nullopt},
      {"exec",
       RecordBuilder(bsm::AUE_EXECVE)
           .subject32(subject(4242))
           .arg64(2, 9, "fd")
           .path("/bin/ls")
           .finish(),
       4242, 77},
  };
  for (const auto& c : cases) {
    auto got = runMonitor({c.record});
    ASSERT_EQ(got.size(), 1u) << c.what;
    EXPECT_EQ(got[0]->pid(), c.pid) << c.what;
    EXPECT_EQ(got[0]->ppid(), c.ppid.value_or(got[0]->ppid())) << c.what;
  }
}

TEST_F(MonitorTest, PathIsTheLiveOneElseTheLastPathTokenElseTheFirstArgument) {
  test::TempDir tmp;
  const std::string game = test::makeBundle(tmp / "bad\xff", "Game",
                                            {{"CFBundleExecutable", "Game"},
                                             {"CFBundleIdentifier", "com.example.game"}}) +
                           "/Contents/MacOS/Game";
  std::string gameShown = game;
  gameShown.replace(gameShown.find("bad\xff"), 4, "bad\xEF\xBF\xBD");
  const struct {
    std::vector<std::string_view> pathTokens;
    std::vector<std::string_view> args;
    std::optional<std::string> live;
    std::optional<std::string> expected;  // none: not reported
    std::optional<std::string> bundleIdentifier = {};
    bool atEvent = false;  // the live source: its path tokens are read at the exec
    std::optional<std::string> execName = {};  // where the live path cannot be read
  } cases[] = {
      {{"/dev/fd/3"}, {"/usr/local/bin/tool", "-v"}, {}, "/usr/local/bin/tool"},
      {{"/dev/fd/3"}, {}, {}, "/dev/fd/3"},
      {{""}, {"tool"}, {}, "tool"},
      {{}, {"tool", "x"}, {}, "tool"},
      {{}, {}, {}, std::nullopt},
      {{"/devices/x"}, {"tool"}, {}, "/devices/x"},
      {{"/first", "/second"}, {}, {}, "/second"},
      {{"/first", "/second"}, {"tool"}, "/usr/bin/live", "/usr/bin/live"},
      // Bytes that are not UTF-8 are kept lossily, not dropped for argv[0].
      {{"/opt/\xff/tool"}, {"x"}, {}, "/opt/\xEF\xBF\xBD/tool"},
      // ... and the file is still found by its own bytes.
      {{game}, {"x"}, {}, gameShown, "com.example.game"},
      // The live source's path, read at the exec, stands even when the
      // process runs another program by now; an empty one does not.
      {{"/first", "/second"}, {"tool"}, "/usr/bin/live", "/second", {}, true},
      {{""}, {"tool"}, "/usr/bin/live", "/usr/bin/live", {}, true},
      // A path the live source cannot read (longer than PATH_MAX): the name
      // the exec was given, or argv[0], only where it leads to the file run;
      // nothing to go by at all: the process has ended.
      {{}, {"./forged"}, {}, "./prog", {}, true, "./prog"},
      {{}, {"./prog"}, {}, "./prog", {}, true},
      {{}, {"./forged"}, {}, std::nullopt, {}, true},
      {{}, {}, {}, std::nullopt, {}, true},
  };
  kernel->reaching = {"./prog"};
  test::StderrCapture log;
  for (const auto& c : cases) {
    kernel->processes.erase(4242);
    // Alive unless nothing at all is known of it.
    if (c.live || !c.args.empty()) kernel->processes[4242] = {1, c.live, 0};
    kernel->execNames.erase(4242);
    if (c.execName) kernel->execNames[4242] = *c.execName;
    auto got =
        runMonitor({execRecord(bsm::AUE_EXECVE, 4242, c.pathTokens, c.args)}, true, c.atEvent);
    SCOPED_TRACE(c.expected.value_or("(not reported)"));
    ASSERT_LE(got.size(), 1u);
    EXPECT_EQ(got.empty() ? std::nullopt : got[0]->path(), c.expected);
    if (c.bundleIdentifier) {
      EXPECT_EQ(got.at(0)->binary()->bundleIdentifier(), c.bundleIdentifier);
    }
  }
  const std::string said = log.take();
  EXPECT_NE(said.find("The executable of process 4242 cannot be learnt"), std::string::npos)
      << said;
}

// A live fork's child runs what its parent's live start showed: the path
// is taken from there when the child shows that very file on that mount.
// Another file (a CLONE_PARENT child names its creator's parent), another
// mount (a new namespace), the parent's exit or a loss: the child's own.
TEST_F(MonitorTest, AForkTakesItsParentsStartOnlyForTheVeryFileItRuns) {
  const procscope::ExecutedFile parents{{1, 100}, 7};
  kernel->processes[10] = {1, "/usr/bin/parent", 0};
  kernel->executed[10] = parents;
  const struct {
    procscope::ExecutedFile shown;
    bool parentExited = false;
    int lossAfterRead = 1 << 30;
    const char* expected;
  } cases[] = {
      {parents, false, 1 << 30, "/usr/bin/parent"},
      {{{1, 200}, 7}, false, 1 << 30, "/usr/bin/own"},
      {{{1, 100}, 8}, false, 1 << 30, "/usr/bin/own"},
      {parents, true, 1 << 30, "/usr/bin/own"},
      {parents, false, 1, "/usr/bin/own"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.expected << " " << c.parentExited << c.lossAfterRead);
    kernel->processes[11] = {10, "/usr/bin/own", 0};
    kernel->executed[11] = c.shown;
    std::vector<Bytes> reads{execRecord(bsm::AUE_EXECVE, 10, {"/usr/bin/parent"})};
    if (c.parentExited) reads.push_back(exitRecord(10, 0));
    reads.push_back(forkRecord(11, 10));
    const auto got = runMonitor(reads, true, true, c.lossAfterRead);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back()->pid(), 11);
    EXPECT_EQ(got.back()->path(), c.expected);
  }
}

TEST_F(MonitorTest, ExecArgumentsSkipInvalidUtf8) {
  auto got = runMonitor(
      {execRecord(bsm::AUE_EXECVE, 4242, {"/bin/x"}, {"first", "bad\xc3(", "", "th\xc3\xafrd"})});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->arguments(), (Strings{"first", "", "th\xc3\xafrd"}));
}

TEST_F(MonitorTest, ExitIsHandedOnWithoutLookupsAndStartsGetSigningUnlessGoEasy) {
  kernel->processes[4243] = {4242, "/usr/bin/child", 0};
  for (bool goEasy : {true, false}) {
    SCOPED_TRACE(goEasy);
    int pathQueriesBefore = kernel->pathQueries;
    auto got = runMonitor({exitRecord(4243, 9)}, goEasy);
    ASSERT_EQ(got.size(), 1u);
    const Process& p = *got[0];
    EXPECT_EQ(p.type(), bsm::AUE_EXIT);
    EXPECT_EQ(p.pid(), 4243);
    EXPECT_EQ(p.ppid(), 4242);  // from the subject's parent lookup
    EXPECT_EQ(p.uid(), 1001u);
    EXPECT_EQ(p.exit(), 9u);
    EXPECT_FALSE(p.path() || p.binary() || p.signingInfo());
    EXPECT_TRUE(p.ancestors().empty());
    EXPECT_EQ(kernel->pathQueries, pathQueriesBefore);

    got = runMonitor({execRecord(bsm::AUE_EXECVE, 4242, {"/bin/sh"}, {"sh"})}, goEasy);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->signingInfo().has_value(), !goEasy);
  }
}

TEST_F(MonitorTest, OtherEventsAreAbandonedAtTheirSecondToken) {
  auto open = RecordBuilder(bsm::AUE_OPEN_R).subject32(subject(4242)).path("/etc/passwd").finish();
  EXPECT_TRUE(runMonitor({open}).empty());
  EXPECT_EQ(kernel->parentQueries, 0);  // the subject was never acted on

  for (int event = 0; event <= 0xFFFF; ++event) {
    bool expected = event == 1 || event == 2 || event == 7 || event == 23 || event == 43190;
    ASSERT_EQ(ProcScope::shouldProcessRecord(static_cast<std::uint16_t>(event)), expected) << event;
  }
}

TEST_F(MonitorTest, BrokenRecordsAndEmptyReadsYieldNothingAndTheNextOneIsHandled) {
  Bytes noTrailer = execRecord(bsm::AUE_EXECVE, 4250, {"/bin/cut"}, {"cut"});
  noTrailer.resize(noTrailer.size() - 7);
  Bytes midToken = execRecord(bsm::AUE_EXECVE, 4251, {"/bin/cut"}, {"cut"});
  midToken.resize(midToken.size() - 10);
  // A path length that runs past the record: the walk stops there.
  Bytes badToken = RecordBuilder(bsm::AUE_EXECVE).subject32(subject(4252)).finish();
  const std::uint8_t badPath[] = {bsm::AUT_PATH, 0x7f, 0xff, '/', 0};
  badToken.insert(badToken.end() - 7, std::begin(badPath), std::end(badPath));

  auto got = runMonitor({noTrailer,
                         execRecord(bsm::AUE_EXECVE, 4242, {"/bin/good"}),
                         {},
                         midToken,
                         exitRecord(4243, 0),
                         {},
                         badToken,
                         exitRecord(4244, 256)});
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0]->path(), "/bin/good");
  EXPECT_EQ(got[1]->pid(), 4243);
  EXPECT_EQ(got[2]->exit(), 256u);
}

// The pipe is read only once all five configuration requests succeeded, and
// only until a stop; it is closed whatever happened.
TEST_F(MonitorTest, ConfiguresTheLivePipeBeforeReading) {
  const Strings all = {"mode 2", "qlimit max", "qlimit 4321", "flags 0x40000080 0x40000080",
                       "naflags 0x40000080 0x40000080"};
  for (int failing = 0; failing <= 5; ++failing) {
    for (bool stopped : {false, true}) {
      auto layer = std::make_shared<ScriptedLayer>(std::vector<Bytes>{exitRecord(1, 0)}, failing);
      ScopedService<platform::AuditPipeLayer> pipe(layer);
      auto monitor = ProcScope::init();
      monitor->setShouldStop(stopped);
      const bool reads = failing == 0 && !stopped;
      EXPECT_EQ(runMonitor(*monitor).size(), reads ? 1u : 0u);
      EXPECT_EQ(layer->openedPath, "/dev/auditpipe");
      EXPECT_EQ(layer->script->requests,
                Strings(all.begin(), all.begin() + (failing ? failing : 5)));
      EXPECT_EQ(layer->script->readCount > 0, reads);
      EXPECT_TRUE(layer->script->closed);
    }
  }
}

// The reference set's process-event records become the records the token
// actions prescribe; only the fork's child is known to the kernel. A fork
// takes its child from the argument and its parent from the subject.
TEST_F(MonitorTest, ProcessEventVectors) {
  kernel->processes[4243] = {4242, "/usr/bin/forked", 1001};
  const struct {
    const char* name;
    std::uint16_t type;
    std::int32_t pid, ppid;
    std::optional<std::string> path;
    Strings args;
    std::vector<std::int32_t> ancestors;
    std::uint32_t exit;
  } cases[] = {
      {"execve_record",
       bsm::AUE_EXECVE,
       4242,
       -1,
       "/bin/echo",
       {"/bin/echo", "hello", "", "w\xc3\xb6rld"},
       {},
       kUnset},
      {"posix_spawn_record",
       bsm::AUE_POSIX_SPAWN,
       4244,
       4242,
       "/usr/bin/env",
       {"/usr/bin/env", "-i", "/usr/bin/true"},
       {4242},
       kUnset},
      // A fork is reported only with the child's live path.
      {"fork_record", bsm::AUE_FORK, 4243, 4242, "/usr/bin/forked", {}, {4242}, kUnset},
      {"exit_record", bsm::AUE_EXIT, 4243, 4242, std::nullopt, {}, {}, 9},
  };
  for (const auto& c : cases) {
    auto got = runMonitor({bsm::testing::readVector(c.name)});
    ASSERT_EQ(got.size(), 1u) << c.name;
    const Process& p = *got[0];
    EXPECT_EQ(p.type(), c.type) << c.name;
    EXPECT_EQ(p.pid(), c.pid) << c.name;
    EXPECT_EQ(p.ppid(), c.ppid) << c.name;
    EXPECT_EQ(p.uid(), 1001u) << c.name;
    EXPECT_EQ(p.path(), c.path) << c.name;
    EXPECT_EQ(p.binary() ? std::optional(p.binary()->path()) : std::nullopt, c.path) << c.name;
    EXPECT_EQ(p.arguments(), c.args) << c.name;
    EXPECT_EQ(p.ancestors(), c.ancestors) << c.name;
    EXPECT_EQ(p.exit(), c.exit) << c.name;
  }
}

TEST_F(MonitorTest, RecordsOfTheReferenceSetDeliverNothing) {
  // Event 0 records of every token kind: walked, never reported.
  std::vector<Bytes> reads;
  for (const char* name : {"execve_long_args_record", "subject32_record", "path_record",
                           "process64ex_record-IPv6", "EPERM_record", "file_record"}) {
    reads.push_back(bsm::testing::readVector(name));
  }
  auto got = runMonitor(reads);
  ASSERT_EQ(got.size(), 1u);  // only the real execve
  EXPECT_EQ(got[0]->path(), "/usr/bin/grep");
  EXPECT_FALSE(got[0]->arguments().empty());
}

}  // namespace
}  // namespace monitortest
