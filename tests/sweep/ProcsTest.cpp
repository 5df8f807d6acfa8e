// The process sweep: the buffer protocol against a scripted table, the match
// tasks against a kill that only records, and real kills of this test's own
// children over the live /proc table.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>

#include "SweepTestSupport.hpp"
#include "procblock/BlockList.hpp"
#include "procscope/Digest.hpp"
#include "procscope/Dispatch.hpp"

namespace procblock {
namespace {

using agenttest::impossiblePid;
using platform::makeProcessRecord;

constexpr std::size_t kRecord = platform::kProcessRecordSize;

class ProcsProtocol : public ::testing::Test {
 protected:
  ProcsProtocol() {
    // Pids no process has: only the name can match, and nothing is signalled.
    for (int i = 0; i < 40; ++i) {
      table_->records.push_back(
          makeProcessRecord(impossiblePid() + i, i == 0 ? "pbsw-first" : "pbsw-other"));
    }
    setItems(BlockList{"pbsw-first"});
  }
  ~ProcsProtocol() override { setItems(std::nullopt); }

  // One sweep from `start` bytes, the allocation numbered `failAt` failing;
  // the pids the kill was asked for. The kill only records unless given.
  std::vector<std::int32_t> sweep(std::size_t start, int failAt = 0, KillFunction kill = nullptr) {
    allocator_ = sweeptest::WatchedAllocator{};
    allocator_.failAt = failAt;
    table_->asked.clear();
    SweepHooks hooks;
    hooks.startSize = start;
    // The test's own child stands for another program in one case.
    hooks.spareOwnProcessTree = false;
    hooks.kill = [this, kill](std::int32_t pid, const procscope::ProcessIdentity*) {
      std::lock_guard lock(mu_);
      killed_.push_back(pid);
      return kill ? kill(pid) : KillResult::SignalledGroup;
    };
    allocator_.hookInto(hooks);
    Block(std::move(hooks)).procs();
    procscope::dispatch::waitIdle();
    std::lock_guard lock(mu_);
    return std::exchange(killed_, {});
  }

  void expectBufferFreed() {
    ASSERT_EQ(allocator_.released.size(), 1u);
    EXPECT_EQ(allocator_.released[0], allocator_.current);
  }

  sweeptest::Reports reports_;
  std::shared_ptr<sweeptest::FakeTable> table_ = std::make_shared<sweeptest::FakeTable>();
  procscope::platform::ScopedService<platform::ProcessTable> installed_{table_};
  sweeptest::WatchedAllocator allocator_;
  std::mutex mu_;
  std::vector<std::int32_t> killed_;
};

TEST_F(ProcsProtocol, GrowsByATenthFromWhatEachFailedQueryWrote) {
  EXPECT_EQ(sweep(10 * kRecord), std::vector<std::int32_t>{impossiblePid()});
  std::size_t expected = 10 * kRecord;
  for (std::size_t size : allocator_.sizes) {
    expected += expected / 10;
    EXPECT_EQ(size, expected);
    expected = std::min<std::size_t>(size / kRecord, 40) * kRecord;
  }
  EXPECT_GE(allocator_.sizes.back(), 40 * kRecord);
  expectBufferFreed();

  // Twice per attempt, the second time with the size the first one left.
  sweep(100 * kRecord);
  EXPECT_EQ(table_->asked, (std::vector<std::size_t>{110 * kRecord, 40 * kRecord}));
}

TEST_F(ProcsProtocol, AProcessStartedBetweenTheTwoQueriesLeadsToAnotherAttempt) {
  table_->latecomer = makeProcessRecord(impossiblePid() + 40, "pbsw-first");
  EXPECT_EQ(sweep(100 * kRecord).size(), 2u);
  EXPECT_EQ(allocator_.sizes, (std::vector<std::size_t>{110 * kRecord, 44 * kRecord}));
  expectBufferFreed();
}

TEST_F(ProcsProtocol, NothingIsExaminedWhenTheTableCannotBeRead) {
  const struct {
    const char* what;
    int failWith;
    std::size_t strayBytes;
    std::size_t start;
  } cases[] = {
      {"an error other than ENOMEM", EIO, 0, 100 * kRecord},
      {"a size that is not a whole number of records", 0, 1, 100 * kRecord},
      {"a start of 0, which never grows", 0, 0, 0},
      {"a start below ten records, which never grows", 0, 0, 9 * kRecord},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    table_->failWith = c.failWith;
    table_->strayBytes = c.strayBytes;
    EXPECT_TRUE(sweep(c.start).empty());
    expectBufferFreed();
  }
  // A failed growth frees the old buffer; a failed first allocation asks nothing.
  table_->failWith = 0;
  table_->strayBytes = 0;
  EXPECT_TRUE(sweep(10 * kRecord, 2).empty());
  EXPECT_EQ(allocator_.sizes.size(), 2u);
  expectBufferFreed();
  EXPECT_TRUE(sweep(10 * kRecord, 1).empty());
  EXPECT_TRUE(allocator_.released.empty());
  EXPECT_TRUE(table_->asked.empty());
  EXPECT_TRUE(reports_.notices().empty());
}

TEST_F(ProcsProtocol, EachMatchingEntryKillsAndReportsOnItsOwn) {
  setItems(BlockList{"pbsw-first", "", "pbsw-first", "pbsw-firs"});
  EXPECT_EQ(sweep(100 * kRecord).size(), 2u);
  EXPECT_EQ(reports_.notices().size(), 2u);
  const auto rows = reports_.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NE(rows[0].find("\t pbsw-first"), std::string::npos) << rows[0];
  // The agent's sweeps follow lost events; their journal entries say so.
  for (const auto& entry : reports_.journalEntries()) {
    EXPECT_THAT(entry, ::testing::IsSupersetOf(
                           {"PROCBLOCK_ENTRY=pbsw-first", "PROCBLOCK_SOURCE=resync after loss"}));
  }
  EXPECT_EQ(reports_.journalEntries().size(), 2u);

  for (auto list : {std::optional<BlockList>(BlockList{}), std::optional<BlockList>()}) {
    setItems(list);
    EXPECT_TRUE(sweep(100 * kRecord).empty());
    expectBufferFreed();
  }
}

TEST_F(ProcsProtocol, TheKernelsEntryAndEndedProcessesAreNeverSignalledButReported) {
  // Our child holds a listed pid but started after the listed process: it
  // stands for a later owner of an ended process's pid.
  agenttest::Sleeper sleeper("later");
  agenttest::SessionChild later(sleeper.start());
  const auto started = table_->startTime(later.pid());
  ASSERT_TRUE(started.has_value());
  table_->records = {makeProcessRecord(0, "pbsw-kernel"),
                     makeProcessRecord(impossiblePid(), "pbsw-ended"),
                     makeProcessRecord(later.pid(), "pbsw-later", *started - 1)};
  setItems(BlockList{"pbsw-kernel", "pbsw-ended", "pbsw-later"});
  std::vector<KillResult> results;
  // Only the pid no process has reaches the real guard.
  EXPECT_EQ(sweep(kProcessTableStartSize, 0,
                  [&](std::int32_t pid) {
                    results.push_back(pid == impossiblePid() ? killProcessGroup(pid)
                                                             : KillResult::SignalledGroup);
                    return results.back();
                  }),
            std::vector<std::int32_t>{impossiblePid()});
  EXPECT_EQ(results, std::vector<KillResult>{KillResult::ProcessGone});
  // Each match is still reported, signal or not.
  EXPECT_EQ(reports_.notices().size(), 3u);
  EXPECT_EQ(reports_.rows().size(), 3u);
  EXPECT_TRUE(agenttest::stillRunning(later.pid(), std::chrono::milliseconds(0)));
}

// Over the real table. The list holds only this test's unique names and
// paths, and the kill refuses every pid but the child's.
TEST(ProcsLive, KillsARunningForbiddenProcessByShortNameOrByFullPath) {
  // Linux keeps 15 characters of the long name: only its path can match.
  // A sweep that spares its own process tree leaves the child (our own) alone.
  // Or by the digest of its file, given content of its own.
  for (const char* role : {"n", "long-name-sleeper", "spared", "digest"}) {
    SCOPED_TRACE(role);
    sweeptest::Reports reports;
    agenttest::Sleeper sleeper(role);
    const bool byDigest = std::string(role) == "digest";
    std::optional<std::string> digest;
    if (byDigest) {
      std::ofstream(sleeper.path(), std::ios::app) << sleeper.name();
      const procscope::FileDescriptor fd(::open(sleeper.path().c_str(), O_RDONLY | O_CLOEXEC));
      digest = procscope::digest::ofOpenFile(fd.get(), false);
      ASSERT_TRUE(digest);
    }
    procscope::digest::setWanted(byDigest);
    agenttest::SessionChild child(sleeper.start());
    ASSERT_GT(child.pid(), 0);
    const bool byPath = sleeper.name().size() > 15;
    const bool spared = std::string(role) == "spared";
    setItems(byDigest ? BlockList{*digest}
             : byPath ? BlockList{sleeper.name(), sleeper.path()}
                      : BlockList{sleeper.name()});
    std::vector<std::int32_t> asked;
    std::mutex mu;
    SweepHooks hooks;
    hooks.spareOwnProcessTree = spared;
    hooks.kill = [&](std::int32_t pid, const procscope::ProcessIdentity* pin) {
      std::lock_guard lock(mu);
      asked.push_back(pid);
      return pid == child.pid() ? killPinnedProcessGroup(pid, pin) : KillResult::NotAProcess;
    };
    Block(std::move(hooks)).procs();
    procscope::dispatch::waitIdle();
    setItems(std::nullopt);
    procscope::digest::setWanted(false);

    if (spared) {
      EXPECT_TRUE(asked.empty());
      EXPECT_TRUE(reports.notices().empty());
      EXPECT_TRUE(agenttest::stillRunning(child.pid(), std::chrono::milliseconds(0)));
      continue;
    }
    EXPECT_EQ(asked, std::vector<std::int32_t>{child.pid()});
    EXPECT_TRUE(agenttest::killedBySigkill(child.wait()));
    // The notice names the process by its short name.
    ASSERT_EQ(reports.notices().size(), 1u);
    EXPECT_NE(reports.notices()[0].find("with " + sleeper.name().substr(0, 15) + " has"),
              std::string::npos);
  }
}

// The resync after lost events hands every running process to the verdict,
// which judges the program, not the short name any process may set itself.
TEST(ProcsLive, ResyncJudgesRunningProcessesAsTheirStartsWereJudged) {
  sweeptest::Reports reports;
  agenttest::Sleeper forbidden("resync");
  agenttest::SessionChild child(forbidden.start());
  ASSERT_GT(child.pid(), 0);
  // A harmless process that took a listed short name.
  const std::string taken = "pb" + std::to_string(::getpid()) + "-tkn";
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  const pid_t renamed = ::fork();
  if (renamed == 0) {
    ::setsid();
    ::prctl(PR_SET_NAME, taken.c_str());
    ::close(ready[1]);
    ::pause();
    ::_exit(0);
  }
  agenttest::SessionChild renamedChild(renamed);
  ::close(ready[1]);
  agenttest::readBytes(ready[0], 1);  // closed once the name is taken
  ::close(ready[0]);
  setItems(BlockList{taken, forbidden.name()});

  std::mutex mu;
  std::vector<std::int32_t> kills;
  const auto verdict = makeBlock(
      [&](const procscope::Process& process) {
        std::lock_guard lock(mu);
        kills.push_back(process.pid());
        return KillResult::SignalledGroup;
      },
      platform::BlockSource::Resync, false);
  std::vector<std::int32_t> judged;
  EXPECT_GT(judgeRunningProcesses([&](const std::shared_ptr<procscope::Process>& process) {
              judged.push_back(process->pid());
              verdict(process);
            }),
            1u);
  procscope::dispatch::waitIdle();
  setItems(std::nullopt);

  EXPECT_EQ(kills, std::vector<std::int32_t>{child.pid()});
  EXPECT_EQ(std::count(judged.begin(), judged.end(), child.pid()), 1);
  EXPECT_EQ(std::count(judged.begin(), judged.end(), renamed), 1);
  EXPECT_EQ(std::count(judged.begin(), judged.end(), ::getpid()), 0);
  EXPECT_EQ(reports.rows().size(), 1u);
}

}  // namespace
}  // namespace procblock
