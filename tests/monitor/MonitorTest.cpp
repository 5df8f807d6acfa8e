// The audit-pipe loop: configuration, the token walk, the token actions and
// the completion rules at the trailer.
#include <gtest/gtest.h>

#include <string_view>

#include "monitor/MonitorFixture.hpp"

namespace monitortest {
namespace {

namespace bsm = procscope::bsm;
using procscope::platform::KernelQueries;
using procscope::platform::ScopedService;

constexpr std::uint32_t kUnset = 0xFFFFFFFFu;

Bytes forkRecord(std::uint32_t child, std::uint32_t parent, std::uint32_t euid = 1001) {
  return bsm::RecordBuilder(bsm::AUE_FORK)
      .arg32(0, child, "child PID")
      .subject32(subject(parent, euid))
      .return32(0, child)
      .finish();
}

// An exec-like record: path and argument tokens only where given.
Bytes execRecord(std::uint16_t event, std::uint32_t pid, std::optional<std::string_view> path,
                 std::vector<std::string_view> args = {}, bool withArgs = true) {
  bsm::RecordBuilder b(event);
  if (withArgs) b.execArgs(args);
  if (path) b.path(*path);
  b.subject32(subject(pid, 1001)).return32(0, 0);
  return b.finish();
}

Bytes exitRecord(std::uint32_t pid, std::uint32_t status) {
  return bsm::RecordBuilder(bsm::AUE_EXIT)
      .subject32(subject(pid, 1001))
      .exit(status, 0)
      .return32(0, 0)
      .finish();
}

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() { kernel->processes[1] = {0, "/sbin/init", 0}; }

  std::shared_ptr<FakeKernel> kernel = std::make_shared<FakeKernel>();
  ScopedService<KernelQueries> installed{kernel};
};

TEST_F(MonitorTest, ForkTakesChildFromArgumentAndParentFromSubject) {
  kernel->processes[4242] = {1, "/usr/bin/parent", 1001};
  kernel->processes[4243] = {4242, "/usr/bin/child", 1001};
  auto got = runMonitor({record(forkRecord(4243, 4242))});
  ASSERT_EQ(got.size(), 1u);
  const Process& p = *got[0];
  EXPECT_EQ(p.type(), bsm::AUE_FORK);
  EXPECT_EQ(p.pid(), 4243);
  EXPECT_EQ(p.ppid(), 4242);
  EXPECT_EQ(p.uid(), 1001u);
  EXPECT_EQ(p.path(), "/usr/bin/child");
  EXPECT_TRUE(p.arguments().empty());
  EXPECT_EQ(p.ancestors(), (std::vector<std::int32_t>{4242, 1}));
  ASSERT_TRUE(p.binary());
  EXPECT_EQ(p.binary()->path(), "/usr/bin/child");
  EXPECT_EQ(p.exit(), kUnset);
}

TEST_F(MonitorTest, ExecOfAnExitedProcessTakesParentFromItsFork) {
  // Neither the fork's child nor the exec's process is known by then: the
  // fork itself cannot be reported (no path) but is still remembered.
  auto got = runMonitor({
      record(forkRecord(4243, 4242)),
      record(execRecord(bsm::AUE_EXECVE, 4243, "/bin/true", {"true"})),
      record(execRecord(bsm::AUE_EXECVE, 4250, "/bin/false", {"false"})),
  });
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->pid(), 4243);
  EXPECT_EQ(got[0]->ppid(), 4242);
  EXPECT_EQ(got[0]->path(), "/bin/true");
  EXPECT_EQ(got[1]->pid(), 4250);
  EXPECT_EQ(got[1]->ppid(), -1);  // another pid: the fork says nothing about it
}

TEST_F(MonitorTest, LaterForkReplacesTheLastForkEvent) {
  auto got = runMonitor({
      record(forkRecord(4243, 4242)),
      record(forkRecord(4243, 4300)),
      record(execRecord(bsm::AUE_EXEC, 4243, "/bin/true")),
  });
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->ppid(), 4300);
}

TEST_F(MonitorTest, PosixSpawnWithAndWithoutArgumentToken) {
  kernel->processes[4242] = {77, std::nullopt, 1001};
  bsm::RecordBuilder withArg(bsm::AUE_POSIX_SPAWN);
  withArg.arg32(1, 4244, "child PID").subject32(subject(4242, 1001)).path("/usr/bin/env");
  auto got = runMonitor({
      record(withArg.finish()),
      record(execRecord(bsm::AUE_POSIX_SPAWN, 4242, "/usr/bin/env", {}, false)),
  });
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->pid(), 4244);
  EXPECT_EQ(got[0]->ppid(), 4242);
  EXPECT_EQ(got[1]->pid(), 4242);
  EXPECT_EQ(got[1]->ppid(), 77);  // looked up
  EXPECT_EQ(got[1]->type(), bsm::AUE_POSIX_SPAWN);
}

TEST_F(MonitorTest, ArgumentTokensOnlyCountForForkAndSpawn) {
  bsm::RecordBuilder b(bsm::AUE_EXECVE);
  b.subject32(subject(4242, 0)).arg64(2, 0x100009999ull, "fd").path("/bin/ls");
  bsm::RecordBuilder spawn(bsm::AUE_POSIX_SPAWN);
  spawn.subject32(subject(4242, 0)).arg64(1, 0x100001234ull, "pid").arg32(2, 4245, "pid");
  spawn.path("/bin/ls");
  auto got = runMonitor({record(b.finish()), record(spawn.finish())});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->pid(), 4242);
  EXPECT_EQ(got[1]->pid(), 4245);  // the later argument token wins
}

TEST_F(MonitorTest, PathFallsBackToFirstArgument) {
  struct Case {
    std::optional<std::string_view> pathToken;
    std::vector<std::string_view> args;
    std::optional<std::string> expected;  // none: not reported
  };
  const Case cases[] = {
      {"/dev/fd/3", {"/usr/local/bin/tool", "-v"}, "/usr/local/bin/tool"},
      {"/dev/fd/3", {}, "/dev/fd/3"},
      {"", {"tool"}, "tool"},
      {std::nullopt, {"tool", "x"}, "tool"},
      {std::nullopt, {}, std::nullopt},
      {"/devices/x", {"tool"}, "/devices/x"},
  };
  for (const Case& c : cases) {
    auto got = runMonitor({record(execRecord(bsm::AUE_EXECVE, 4242, c.pathToken, c.args))});
    SCOPED_TRACE(c.pathToken.value_or("(no path token)"));
    if (!c.expected) {
      EXPECT_TRUE(got.empty());
      continue;
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->path(), c.expected);
  }
}

TEST_F(MonitorTest, LiveExecutablePathReplacesPathTokens) {
  auto twoPaths = [] {
    return bsm::RecordBuilder(bsm::AUE_EXECVE)
        .path("/first")
        .path("/second")
        .subject32(subject(4242, 0))
        .finish();
  };
  auto got = runMonitor({record(twoPaths())});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->path(), "/second");

  kernel->processes[4242] = {1, "/usr/bin/live", 0};
  got = runMonitor({record(twoPaths())});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->path(), "/usr/bin/live");
}

TEST_F(MonitorTest, PathBytesThatAreNotUtf8AreKeptLossily) {
  auto got = runMonitor({record(execRecord(bsm::AUE_EXEC, 4242,
                                           "/opt/\xff"
                                           "dir/tool",
                                           {"x"}))});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->path(),
            "/opt/\xEF\xBF\xBD"
            "dir/tool");
}

TEST_F(MonitorTest, ExecArgumentsSkipInvalidUtf8) {
  auto got = runMonitor({record(
      execRecord(bsm::AUE_EXECVE, 4242, "/bin/x", {"first", "bad\xc3(", "", "th\xc3\xafrd"}))});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]->arguments(), (std::vector<std::string>{"first", "", "th\xc3\xafrd"}));
}

TEST_F(MonitorTest, ExitIsHandedOnWithoutLookups) {
  kernel->processes[4243] = {4242, "/usr/bin/child", 0};
  for (bool goEasy : {true, false}) {
    int pathQueriesBefore = kernel->pathQueries;
    auto got = runMonitor({record(exitRecord(4243, 9))}, goEasy);
    ASSERT_EQ(got.size(), 1u);
    const Process& p = *got[0];
    EXPECT_EQ(p.type(), bsm::AUE_EXIT);
    EXPECT_EQ(p.pid(), 4243);
    EXPECT_EQ(p.ppid(), 4242);  // from the subject's parent lookup
    EXPECT_EQ(p.uid(), 1001u);
    EXPECT_EQ(p.exit(), 9u);
    EXPECT_FALSE(p.path());
    EXPECT_FALSE(p.binary());
    EXPECT_FALSE(p.signingInfo());
    EXPECT_TRUE(p.ancestors().empty());
    EXPECT_EQ(kernel->pathQueries, pathQueriesBefore);
  }
}

TEST_F(MonitorTest, OtherEventsAreAbandonedAtTheirSecondToken) {
  bsm::RecordBuilder open(bsm::AUE_OPEN_R);
  open.subject32(subject(4242, 0)).path("/etc/passwd").return32(0, 3);
  auto got = runMonitor({record(open.finish())});
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(kernel->parentQueries, 0);  // the subject was never acted on
}

TEST_F(MonitorTest, ShouldProcessRecordAcceptsTheFiveProcessEvents) {
  for (int event = 0; event <= 0xFFFF; ++event) {
    bool expected = event == 1 || event == 2 || event == 7 || event == 23 || event == 43190;
    ASSERT_EQ(ProcScope::shouldProcessRecord(static_cast<std::uint16_t>(event)), expected) << event;
  }
}

TEST_F(MonitorTest, GoEasyLeavesSigningInformationAbsent) {
  for (bool goEasy : {true, false}) {
    auto got = runMonitor({record(execRecord(bsm::AUE_EXECVE, 4242, "/bin/sh", {"sh"}))}, goEasy);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->signingInfo().has_value(), !goEasy) << "goEasy " << goEasy;
  }
}

TEST_F(MonitorTest, BrokenRecordsYieldNothingAndTheNextOneIsHandled) {
  Bytes good = execRecord(bsm::AUE_EXECVE, 4242, "/bin/good", {"good"});
  Bytes noTrailer = execRecord(bsm::AUE_EXECVE, 4243, "/bin/cut", {"cut"});
  noTrailer.resize(noTrailer.size() - 7);
  Bytes midToken = execRecord(bsm::AUE_EXECVE, 4244, "/bin/cut", {"cut"});
  midToken.resize(midToken.size() - 10);
  // A path length that runs past the record: the walk stops there.
  Bytes badToken = bsm::RecordBuilder(bsm::AUE_EXECVE).subject32(subject(4245, 0)).finish();
  const std::uint8_t badPath[] = {bsm::AUT_PATH, 0x7f, 0xff, '/', 0};
  badToken.insert(badToken.end() - 7, std::begin(badPath), std::end(badPath));

  for (const Bytes* broken : {&noTrailer, &midToken, &badToken}) {
    auto got = runMonitor({record(*broken), record(good)});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->pid(), 4242);
    EXPECT_EQ(got[0]->path(), "/bin/good");
  }
}

TEST_F(MonitorTest, FailedAndEmptyReadsAreFollowedByTheNext) {
  auto got = runMonitor({
      failedRead(),
      emptyRead(),
      record(exitRecord(4243, 0)),
      failedRead(),
      record(exitRecord(4244, 256)),
  });
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]->pid(), 4243);
  EXPECT_EQ(got[1]->exit(), 256u);
}

TEST_F(MonitorTest, OpensTheConfiguredPathAndConfiguresIt) {
  auto layer = std::make_shared<ScriptedLayer>(std::vector<Read>{record(exitRecord(1, 0))});
  ScopedService<procscope::platform::AuditPipeLayer> pipe(layer);
  auto monitor = ProcScope::init();
  EXPECT_EQ(monitor->pipePath(), "/dev/auditpipe");
  EXPECT_EQ(runMonitor(*monitor).size(), 1u);
  EXPECT_EQ(layer->openedPath, "/dev/auditpipe");
  EXPECT_EQ(layer->log->requests, (std::vector<std::string>{"mode 2", "qlimit max", "qlimit 4321",
                                                            "flags 0x40000080 0x40000080",
                                                            "naflags 0x40000080 0x40000080"}));
  EXPECT_TRUE(layer->log->closed);
}

TEST_F(MonitorTest, AFailedConfigurationRequestEndsTheMonitor) {
  for (int failing = 1; failing <= 5; ++failing) {
    auto layer =
        std::make_shared<ScriptedLayer>(std::vector<Read>{record(exitRecord(1, 0))}, failing);
    ScopedService<procscope::platform::AuditPipeLayer> pipe(layer);
    auto monitor = ProcScope::init();
    EXPECT_TRUE(runMonitor(*monitor).empty());
    EXPECT_EQ(layer->log->requests.size(), static_cast<std::size_t>(failing));
    EXPECT_EQ(layer->log->reads, 0);
    EXPECT_TRUE(layer->log->closed);
  }
}

TEST_F(MonitorTest, StopAlreadyRequestedReadsNothing) {
  auto layer = std::make_shared<ScriptedLayer>(std::vector<Read>{record(exitRecord(1, 0))});
  ScopedService<procscope::platform::AuditPipeLayer> pipe(layer);
  auto monitor = ProcScope::init();
  monitor->setShouldStop(true);
  EXPECT_TRUE(runMonitor(*monitor).empty());
  EXPECT_EQ(layer->log->requests.size(), 5u);
  EXPECT_EQ(layer->log->reads, 0);
  EXPECT_TRUE(layer->log->closed);
}

// The published process-event vectors become the records the token actions
// prescribe (no process is known to the kernel).
TEST_F(MonitorTest, ProcessEventVectors) {
  auto one = [](const std::string& name) {
    Bytes bytes = readFile(vector(name));
    EXPECT_FALSE(bytes.empty()) << name;
    auto got = runMonitor({record(bytes)});
    EXPECT_EQ(got.size(), 1u) << name;
    return got.empty() ? nullptr : got[0];
  };

  auto execve = one("execve_record");
  ASSERT_TRUE(execve);
  EXPECT_EQ(execve->type(), bsm::AUE_EXECVE);
  EXPECT_EQ(execve->pid(), 4242);
  EXPECT_EQ(execve->ppid(), -1);
  EXPECT_EQ(execve->uid(), 1001u);
  EXPECT_EQ(execve->path(), "/bin/echo");
  EXPECT_EQ(execve->arguments(),
            (std::vector<std::string>{"/bin/echo", "hello", "", "w\xc3\xb6rld"}));

  auto spawn = one("posix_spawn_record");
  ASSERT_TRUE(spawn);
  EXPECT_EQ(spawn->type(), bsm::AUE_POSIX_SPAWN);
  EXPECT_EQ(spawn->pid(), 4244);
  EXPECT_EQ(spawn->ppid(), 4242);
  EXPECT_EQ(spawn->path(), "/usr/bin/env");
  EXPECT_EQ(spawn->arguments(), (std::vector<std::string>{"/usr/bin/env", "-i", "/usr/bin/true"}));

  auto exit = one("exit_record");
  ASSERT_TRUE(exit);
  EXPECT_EQ(exit->type(), bsm::AUE_EXIT);
  EXPECT_EQ(exit->pid(), 4243);
  EXPECT_EQ(exit->uid(), 1001u);
  EXPECT_EQ(exit->exit(), 9u);

  // A fork is reported only with the child's live path.
  kernel->processes[4243] = {4242, "/usr/bin/forked", 1001};
  auto fork = one("fork_record");
  ASSERT_TRUE(fork);
  EXPECT_EQ(fork->type(), bsm::AUE_FORK);
  EXPECT_EQ(fork->pid(), 4243);
  EXPECT_EQ(fork->ppid(), 4242);
  EXPECT_EQ(fork->uid(), 1001u);
  EXPECT_EQ(fork->path(), "/usr/bin/forked");
  EXPECT_TRUE(fork->arguments().empty());
}

TEST_F(MonitorTest, RecordsOfTheReferenceSetDeliverNothing) {
  // Event 0 records of every token kind: walked, never reported.
  std::vector<Read> reads;
  for (const char* name : {"execve_long_args_record", "subject32_record", "path_record",
                           "process64ex_record-IPv6", "EPERM_record", "file_record"}) {
    reads.push_back(record(readFile(vector(name))));
  }
  auto got = runMonitor(std::move(reads));
  ASSERT_EQ(got.size(), 1u);  // only the real execve
  EXPECT_EQ(got[0]->path(), "/usr/bin/grep");
  EXPECT_FALSE(got[0]->arguments().empty());
}

}  // namespace
}  // namespace monitortest
