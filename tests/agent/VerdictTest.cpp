#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <mutex>

#include "AgentTestSupport.hpp"
#include "procblock/AgentLog.hpp"
#include "procblock/BlockList.hpp"
#include "procblock/LogPaths.hpp"
#include "procblock/ReportBudget.hpp"
#include "procblock/Verdict.hpp"
#include "procscope/Dispatch.hpp"
#include "support/Capture.hpp"

namespace procblock {
namespace {

using platform::Notice;
using ::testing::HasSubstr;
using ::testing::Not;

// Never signalled (the kill only records), and above the kernel's pid limit
// (2^22): were it this test's own pid, the own-tree rule would spare it.
constexpr std::int32_t kFakePid = 1 << 30;

enum class Record { Safari, NoBundle, EmptyName, Bare, AllSame, LateSafari, Hashed, LateHashed };

// The digest of the Hashed record's file; entries may give it in lower case.
const std::string kDigest = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
const std::string kLowerDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

std::shared_ptr<procscope::Process> makeRecord(Record kind, std::uint16_t type = 0) {
  if (kind == Record::Hashed || kind == Record::LateHashed) {  // the tool, and its file's digest
    auto hashed = makeRecord(Record::NoBundle, type);
    hashed->setSha256(kDigest);
    if (kind == Record::Hashed) return hashed;
    // Judged first hashed but without its files; the late copy has the digest too.
    const auto binary = hashed->binary();
    hashed->setBinary(procscope::Binary::uninspected(*hashed->path()));
    auto late = hashed->lateCopy();
    late->setBinary(binary);
    return late;
  }
  if (kind == Record::LateSafari) {  // Safari judged first without its files
    auto first = makeRecord(Record::Safari, type);
    first->setBinary(procscope::Binary::uninspected(*first->path()));
    auto late = first->lateCopy();
    late->setBinary(makeRecord(Record::Safari)->binary());
    return late;
  }
  auto process = procscope::Process::init();
  process->setType(type);
  process->setPid(kFakePid);
  auto binary = std::make_shared<procscope::Binary>();
  switch (kind) {
    case Record::Safari:
      process->setPath("/Applications/Safari.app/Contents/MacOS/Safari");
      binary->setName("Safari");
      // The record's own identifier differs on purpose: only Info.plist counts.
      binary->setBundleIdentifier("com.example.not-used");
      binary->setBundle(std::make_shared<agenttest::FakeBundle>(
          "/Applications/Safari.app",
          procscope::Dictionary{{"CFBundleIdentifier", "com.apple.Safari"}}));
      break;
    case Record::NoBundle:
      process->setPath("/usr/bin/tool");
      binary->setName("tool");
      binary->setApplicationIdentifier("org.example.Tool");
      break;
    case Record::EmptyName:  // empty name; identifier not a string; no path
      binary->setName("");
      binary->setBundle(std::make_shared<agenttest::FakeBundle>(
          "/opt/x.app", procscope::Dictionary{{"CFBundleIdentifier", 7}}));
      break;
    case Record::Bare:  // nothing known at all
      binary = nullptr;
      break;
    case Record::AllSame:
      process->setPath("same");
      binary->setName("same");
      binary->setBundle(std::make_shared<agenttest::FakeBundle>(
          "/b.app", procscope::Dictionary{{"CFBundleIdentifier", "same"}}));
      break;
    case Record::LateSafari:  // made above
    case Record::Hashed:
    case Record::LateHashed:
      break;
  }
  process->setBinary(binary);
  return process;
}

class Verdict : public ::testing::Test {
 protected:
  struct Outcome {
    std::vector<std::string> lines;  // the "Blocking process" diagnostic lines
    std::vector<std::string> rows;
    std::vector<Notice> notices;
    std::vector<std::int32_t> kills;
    std::string diagnostics;  // everything written to standard error
  };

  void SetUp() override { agenttest::writeFile(accessLogPath(), ""); }
  void TearDown() override { setItems(std::nullopt); }

  Outcome judge(const BlockList& list, const std::shared_ptr<procscope::Process>& process) {
    setItems(list);
    return judge(process);
  }

  Outcome judge(const std::shared_ptr<procscope::Process>& process) {
    return collect([&] { verdict_(process); });
  }

  // What `act` reported, once every task it queued has run.
  Outcome collect(const std::function<void()>& act) {
    Outcome out;
    {
      test::StderrCapture err;
      act();
      procscope::dispatch::waitIdle();
      out.diagnostics = err.take();
    }
    for (const auto& line : agenttest::lines(out.diagnostics)) {
      if (line.find("Blocking process with name: ") != std::string::npos) out.lines.push_back(line);
    }
    // Only what this event added.
    out.rows = agenttest::lines(agenttest::readFile(accessLogPath()).value_or(""));
    agenttest::writeFile(accessLogPath(), "");
    const auto notices = notices_->posted();
    out.notices.assign(notices.begin() + static_cast<std::ptrdiff_t>(seen_), notices.end());
    seen_ = notices.size();
    std::lock_guard lock(mu_);
    out.kills = std::exchange(kills_, {});
    return out;
  }

  agenttest::TempDir dir_;
  ScopedLogDirectory logs_{dir_.path()};
  std::shared_ptr<agenttest::RecordingNotices> notices_ =
      std::make_shared<agenttest::RecordingNotices>();
  procscope::platform::ScopedService<platform::NoticeLayer> noticeLayer_{notices_};
  std::shared_ptr<agenttest::RecordingJournal> journal_ =
      std::make_shared<agenttest::RecordingJournal>();
  procscope::platform::ScopedService<platform::JournalLayer> journalLayer_{journal_};
  std::size_t seen_ = 0;  // notices already handed out
  std::mutex mu_;
  std::vector<std::int32_t> kills_;
  KillResult killResult_ = KillResult::SignalledGroup;
  procscope::ProcessCallback verdict_ = makeBlock([this](const procscope::Process& process) {
    std::lock_guard lock(mu_);
    kills_.push_back(process.pid());
    return killResult_;
  });
};

struct MatchCase {
  const char* label;
  Record record;
  BlockList entries;
  size_t blocks;
};

void PrintTo(const MatchCase& c, std::ostream* out) {
  *out << c.label;
}

class VerdictMatches : public Verdict, public ::testing::WithParamInterface<MatchCase> {};

// Each case as listed, then spread through a long list of unrelated entries.
TEST_P(VerdictMatches, EachMatchingEntryReportsOnceEverywhere) {
  BlockList spread;
  for (const auto& entry : GetParam().entries) {
    for (int i = 0; i < 1000; ++i) spread.push_back("com.example.other" + std::to_string(i));
    spread.push_back(entry);
  }
  for (const auto& list : {GetParam().entries, spread}) {
    SCOPED_TRACE(list.size());
    const auto out = judge(list, makeRecord(GetParam().record));
    EXPECT_EQ(out.lines.size(), GetParam().blocks);
    EXPECT_EQ(out.rows.size(), GetParam().blocks);
    EXPECT_EQ(out.notices.size(), GetParam().blocks);
    EXPECT_EQ(out.kills, std::vector<std::int32_t>(GetParam().blocks, kFakePid));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VerdictMatches,
    ::testing::Values(
        MatchCase{"BundleIdentifierFromInfoPlist", Record::Safari, {"com.apple.Safari"}, 1},
        MatchCase{"NotTheRecordsOwnIdentifier", Record::Safari, {"com.example.not-used"}, 0},
        MatchCase{"Name", Record::Safari, {"x", "Safari", "y"}, 1},
        MatchCase{"ExecutablePath",
                  Record::Safari,
                  {"/Applications/Safari.app/Contents/MacOS/Safari"},
                  1},
        MatchCase{"BundleDirectoryIsNotThePath", Record::Safari, {"/Applications/Safari.app"}, 0},
        MatchCase{"CaseMatters", Record::Safari, {"safari", "COM.APPLE.SAFARI"}, 0},
        MatchCase{"NothingTrimmed", Record::Safari, {"Safari\n", " Safari"}, 0},
        MatchCase{"TwoEntriesTwoReports", Record::Safari, {"Safari", "com.apple.Safari"}, 2},
        MatchCase{"DuplicatesReportTwice", Record::Safari, {"Safari", "Safari"}, 2},
        MatchCase{"EmptyEntryNeverMatchesAbsent", Record::Safari, {""}, 0},
        MatchCase{"NoBundleByName", Record::NoBundle, {"tool"}, 1},
        MatchCase{"NoBundleByPath", Record::NoBundle, {"/usr/bin/tool"}, 1},
        MatchCase{"ApplicationIdentifier", Record::NoBundle, {"org.example.Tool"}, 1},
        MatchCase{"EmptyEntryMatchesEmptyName", Record::EmptyName, {""}, 1},
        MatchCase{"NonStringIdentifierIsAbsent", Record::EmptyName, {"7"}, 0},
        MatchCase{"AbsentIsNotNullText", Record::Bare, {"", "(null)"}, 0},
        MatchCase{"FirstEqualityEndsTheEntry", Record::AllSame, {"same"}, 1},
        MatchCase{"DigestInEitherCase", Record::Hashed, {kLowerDigest, "x", kDigest}, 2},
        MatchCase{"DigestWholeOnly", Record::Hashed, {kDigest.substr(1), kDigest + "0"}, 0},
        MatchCase{"LateCopyNotAgainByItsDigest", Record::LateHashed, {"tool", kLowerDigest}, 0},
        MatchCase{"LateOnlyWhatTheFirstCouldNotMatch",
                  Record::LateSafari,
                  {"Safari", "com.apple.Safari", "/Applications/Safari.app/Contents/MacOS/Safari"},
                  1}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(Verdict, ExitsAbsentOrEmptyListsAndTheAgentsOwnTreeAreNeverJudged) {
  EXPECT_TRUE(judge({"/usr/bin/tool"}, makeRecord(Record::NoBundle, 1)).kills.empty());
  EXPECT_EQ(judge({"/usr/bin/tool"}, makeRecord(Record::NoBundle, 23)).kills.size(), 1u);
  setItems(std::nullopt);
  EXPECT_TRUE(judge(makeRecord(Record::NoBundle)).kills.empty());
  EXPECT_TRUE(judge(BlockList{}, makeRecord(Record::NoBundle)).kills.empty());

  // With its own program listed, the agent would kill each notice child it
  // forks, and report that with another notice, without end.
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::pause();
    ::_exit(0);
  }
  agenttest::SessionChild forked(pid);
  const auto self = procscope::Process::init(::getpid());
  const auto child = procscope::Process::init(pid);
  ASSERT_TRUE(self && child && self->path() && self->binary());
  const BlockList own{*self->path(), self->binary()->name().value_or("")};
  auto grandchild = procscope::Process::init(pid);  // a child's own child
  ASSERT_TRUE(grandchild);
  grandchild->setPid(kFakePid);
  grandchild->setAncestors({pid, ::getpid()});
  for (const auto& record : {self, child, grandchild}) {
    const auto out = judge(own, record);
    EXPECT_TRUE(out.kills.empty());
    EXPECT_TRUE(out.notices.empty());
  }
}

TEST_F(Verdict, ReportCarriesTheRecordsValues) {
  auto process = makeRecord(Record::Safari);
  process->setUid(501);
  const auto out = judge({"Safari"}, process);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_TRUE(out.lines[0].ends_with(
      " Blocking process with name: Safari, bundle identifier: com.apple.Safari, path: "
      "/Applications/Safari.app/Contents/MacOS/Safari"));
  ASSERT_EQ(out.rows.size(), 1u);
  EXPECT_TRUE(out.rows[0].ends_with(" \t\t\t\t Safari"));
  ASSERT_EQ(out.notices.size(), 1u);
  const Notice& notice = out.notices[0];
  EXPECT_EQ(notice.header, "Application/Process is blocked!");
  EXPECT_EQ(notice.message,
            "The usage of the application/process in correlation with Safari has been blocked "
            "by your system administrator.");
  EXPECT_EQ(notice.defaultButton, "OK");
  EXPECT_EQ(notice.timeout, std::chrono::seconds(10));
  EXPECT_EQ(notice.level, platform::AlertLevel::Note);
  // And one journal entry a fleet can collect, sent after the kill.
  const auto entries = journal_->sent();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_THAT(entries[0],
              ::testing::ElementsAre(
                  "MESSAGE_ID=1dc43803c8d4481c81481158c4ce76f1",
                  "MESSAGE=Blocked Safari (pid " + std::to_string(kFakePid) + "), entry \"Safari\"",
                  "PRIORITY=5", "SYSLOG_IDENTIFIER=procblock", "PROCBLOCK_ENTRY=Safari",
                  "PROCBLOCK_NAME=Safari", "PROCBLOCK_BUNDLE_IDENTIFIER=com.apple.Safari",
                  "PROCBLOCK_PATH=/Applications/Safari.app/Contents/MacOS/Safari",
                  "PROCBLOCK_PID=" + std::to_string(kFakePid), "PROCBLOCK_UID=501",
                  "PROCBLOCK_KILL=" + std::string(describe(KillResult::SignalledGroup)),
                  "PROCBLOCK_SOURCE=start"));
}

// Also: the report follows even when the kill found nothing to signal.
TEST_F(Verdict, AbsentValuesPrintAsNullAndControlCharactersAsEscapes) {
  killResult_ = KillResult::ProcessGone;
  auto process = makeRecord(Record::NoBundle);
  process->binary()->setName(std::nullopt);
  process->setPath("/tmp/evil\n2020 forged line");
  const auto out = judge({"/tmp/evil\n2020 forged line"}, process);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_TRUE(out.lines[0].ends_with(
      " Blocking process with name: (null), bundle identifier: (null), path: "
      "/tmp/evil\\n2020 forged line"));
  EXPECT_THAT(out.diagnostics, Not(HasSubstr("\n2020 forged line")));
  ASSERT_EQ(out.rows.size(), 1u);
  EXPECT_TRUE(out.rows[0].ends_with(" \t\t\t\t (null)"));
  ASSERT_EQ(out.notices.size(), 1u);
  EXPECT_THAT(out.notices[0].message, HasSubstr(" with (null) has been"));
  EXPECT_THAT(out.diagnostics, HasSubstr("Kill of pid " + std::to_string(kFakePid) +
                                                  ": process has gone, nothing signalled"));
}

// Deny before exec: the same lookup, one report (the first entry in the list)
// however many entries match, nothing signalled, the journal naming the
// source; nothing reported for an unlisted file or the agent's own tree.
TEST_F(Verdict, DeniedExecIsReportedOnceAndSignalsNothing) {
  setItems(BlockList{"com.apple.Safari", "Safari"});
  auto record = makeRecord(Record::Safari);
  record->setAncestors({1});
  ExecVerdict verdict = ExecVerdict::Unlisted;
  auto out = collect([&] { verdict = denyExec(record); });
  EXPECT_EQ(verdict, ExecVerdict::Denied);
  EXPECT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.rows.size(), 1u);
  EXPECT_EQ(out.notices.size(), 1u);
  EXPECT_TRUE(out.kills.empty());
  const auto entries = journal_->sent();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_THAT(entries[0], ::testing::IsSupersetOf({"PROCBLOCK_ENTRY=com.apple.Safari",
                                                   "PROCBLOCK_KILL=exec denied, nothing signalled",
                                                   "PROCBLOCK_SOURCE=deny"}));

  auto unlisted = makeRecord(Record::NoBundle);
  unlisted->setAncestors({1});
  auto own = makeRecord(Record::Safari);
  own->setPid(::getpid());
  for (const auto& [expected, process] :
       {std::pair{ExecVerdict::Unlisted, unlisted}, std::pair{ExecVerdict::Spared, own}}) {
    out = collect([&, &process = process] { verdict = denyExec(process); });
    EXPECT_EQ(verdict, expected);
    EXPECT_TRUE(out.lines.empty() && out.rows.empty() && out.notices.empty());
  }
  EXPECT_EQ(journal_->sent().size(), 1u);
}

// Each event is judged against the list in force: a new list replaces what
// the previous one matched.
TEST_F(Verdict, FollowsTheListInForce) {
  EXPECT_EQ(judge({"tool", "tool"}, makeRecord(Record::NoBundle)).kills.size(), 2u);
  EXPECT_TRUE(judge({"Safari"}, makeRecord(Record::NoBundle)).kills.empty());
  EXPECT_EQ(judge({"x", "/usr/bin/tool"}, makeRecord(Record::NoBundle)).kills.size(), 1u);
  prepareVerdict();  // building ahead changes nothing
  EXPECT_EQ(judge(makeRecord(Record::NoBundle)).kills.size(), 1u);
}

// An exec loop of a listed program: past the budget its blocks are counted,
// summed up once per interval, and its notices to one user spaced out.
TEST(ReportBudgetTest, CountsBeyondTheBurstAndSumsUpPerInterval) {
  using Clock = ReportBudget::Clock;
  ReportBudget budget;
  const Clock::time_point t0{std::chrono::hours(1)};
  const ReportBudget::Program loop{"evilprog", std::nullopt, "/tmp/evilprog", "evilprog"};
  constexpr std::size_t kBytes = 1000;
  const auto burst = static_cast<int>(ReportBudget::kBurstBytes / kBytes);
  int reported = 0;
  int noticed = 0;
  for (int i = 0; i < burst + 500; ++i) {
    const auto decision = budget.admit(loop, 1000, kBytes, t0);
    reported += decision.report;
    noticed += decision.notice;
  }
  EXPECT_EQ(reported, burst);
  EXPECT_EQ(noticed, burst) << "the last reported block's notice is still up";
  EXPECT_FALSE(budget.admit(loop, 1000, kBytes, t0 + std::chrono::milliseconds(200)).report);
  // Refilled at its rate; the notice lifetime over: one more notice, then none.
  EXPECT_TRUE(budget.admit(loop, 1000, kBytes, t0 + std::chrono::seconds(1)).report);
  const auto later = t0 + std::chrono::seconds(1) + ReportBudget::kNoticeLifetime;
  EXPECT_TRUE(budget.admit(loop, 1000, 30 * kBytes, later).notice);
  EXPECT_FALSE(budget.admit(loop, 1000, 30 * kBytes, later).notice);
  EXPECT_TRUE(budget.admit(loop, 2000, 30 * kBytes, later).notice) << "another user";

  // Programs past the table's bound share one count.
  for (std::size_t i = 0; i <= ReportBudget::kMaxPrograms; ++i) {
    budget.admit({"copy" + std::to_string(i), std::nullopt, std::nullopt, "x"}, 1000, 30 * kBytes,
                 later);
  }
  EXPECT_EQ(budget.nextDue(), t0 + ReportBudget::kInterval);
  EXPECT_TRUE(budget.due(t0 + ReportBudget::kInterval - std::chrono::seconds(1)).empty());
  const auto first = budget.due(t0 + ReportBudget::kInterval);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].program, loop);
  EXPECT_EQ(first[0].count, 500u + 1u + 3u);  // nothing lost: every block not reported
  const auto second = budget.due(later + ReportBudget::kInterval);
  ASSERT_EQ(second.size(), ReportBudget::kMaxPrograms);
  EXPECT_EQ(second.back().program, std::nullopt);
  EXPECT_EQ(second.back().count, 2u);
  EXPECT_EQ(budget.nextDue(), std::nullopt);

  // A quiet day refills one burst, no more.
  const auto quiet = later + std::chrono::hours(24);
  reported = 0;
  for (int i = 0; i < burst + 10; ++i) reported += budget.admit(loop, 1000, kBytes, quiet).report;
  EXPECT_EQ(reported, burst);
  const auto huge = static_cast<std::size_t>(2 * ReportBudget::kBurstBytes);
  EXPECT_TRUE(ReportBudget().admit(loop, 1000, huge, t0).report) << "larger than a burst";
}

}  // namespace
}  // namespace procblock
