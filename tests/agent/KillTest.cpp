// The kill guard against real processes, on each of the kill's paths. Every
// process signalled here is one this test started, running a uniquely named
// copy of sleep; the cases that could reach the caller's own group run inside
// a helper in a session of its own, so a faulty guard could only ever take
// down that helper.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "KillTestSupport.hpp"
#include "procblock/Kill.hpp"
#include "procscope/ProcessIdentity.hpp"

namespace procblock {
namespace {

using killtest::readBytes;
using killtest::SessionChild;
using killtest::Sleeper;
using killtest::writersGone;

// Every test runs once per path of the kill.
class KillGuardTest : public killtest::KillModeTest {};

// Each member of a fresh group reports its pid on `ready`, then runs sleep.
struct Member {
  char role;
  pid_t pid;
};

TEST_P(KillGuardTest, KillsEveryMemberOfAForeignGroup) {
  Sleeper sleeper;
  int alive[2], ready[2];
  ASSERT_EQ(::pipe(alive), 0);
  ASSERT_EQ(::pipe(ready), 0);
  pid_t leader = ::fork();
  ASSERT_GE(leader, 0);
  if (leader == 0) {
    ::setsid();
    pid_t member = ::fork();  // second member of the new group
    ::write(ready[1], member == 0 ? "m" : "l", 1);
    sleeper.exec();
  }
  SessionChild child(leader);
  ::close(alive[1]);
  ::close(ready[1]);
  ASSERT_EQ(readBytes(ready[0], 2).size(), 2u);

  EXPECT_EQ(killProcessGroup(leader), KillResult::SignalledGroup);
  // Both members held the write end: it closes once both have died.
  EXPECT_TRUE(writersGone(alive[0]));
  auto status = child.wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
  ::close(alive[0]);
  ::close(ready[0]);
}

// The matched process is a member, not the leader: the group goes through
// the leader's pidfd (or killpg where that is missing).
TEST_P(KillGuardTest, KillsTheGroupOfAPinnedMember) {
  Sleeper sleeper;
  int alive[2], ready[2];
  ASSERT_EQ(::pipe(alive), 0);
  ASSERT_EQ(::pipe(ready), 0);
  pid_t leader = ::fork();
  ASSERT_GE(leader, 0);
  if (leader == 0) {
    ::setsid();
    pid_t member = ::fork();
    if (member == 0) {
      const Member me{'m', ::getpid()};
      ::write(ready[1], &me, sizeof me);
    }
    sleeper.exec();
  }
  SessionChild child(leader);
  ::close(alive[1]);
  ::close(ready[1]);
  const std::string got = readBytes(ready[0], sizeof(Member));
  ASSERT_EQ(got.size(), sizeof(Member));
  Member member{};
  std::memcpy(&member, got.data(), sizeof member);
  ASSERT_EQ(::getpgid(member.pid), leader);

  auto pin = procscope::ProcessIdentity::pin(member.pid);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(killPinnedProcessGroup(member.pid, pin.get()), KillResult::SignalledGroup);
  EXPECT_TRUE(writersGone(alive[0]));
  EXPECT_TRUE(killtest::killedBySigkill(child.wait()));
  ::close(alive[0]);
  ::close(ready[0]);
}

// The leader has ended and been reaped; two members remain. The helper (a
// session and child subreaper of its own) reaps everything it started and
// reports how each member ended.
TEST_P(KillGuardTest, SignalsTheMembersOfAGroupWhoseLeaderHasGone) {
  Sleeper sleeper;
  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  pid_t helper = ::fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    ::setsid();
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::array<char, 4> out{};  // kill result, leader gone, member signals
    int ready[2];
    if (::pipe(ready) != 0) ::_exit(1);
    pid_t leader = ::fork();
    if (leader == 0) {
      ::setpgid(0, 0);  // a group of its own in the helper's session
      for (int i = 0; i < 2; ++i) {
        pid_t member = ::fork();
        if (member == 0) {
          ::write(ready[1], &member, sizeof member);  // 0: only a token
          sleeper.exec();
        }
        ::write(ready[1], &member, sizeof member);
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    // Each member's token and its pid from the leader, in some order.
    pid_t members[2] = {-1, -1};
    int found = 0;
    for (int i = 0; i < 4; ++i) {
      pid_t value = 0;
      if (::read(ready[0], &value, sizeof value) != sizeof value) ::_exit(2);
      if (value > 0 && found < 2) members[found++] = value;
    }
    int status = 0;
    ::waitpid(leader, &status, 0);
    out[1] = static_cast<char>(::getpgid(leader) < 0 && ::getpgid(members[0]) == leader);
    auto pin = procscope::ProcessIdentity::pin(members[0]);
    out[0] = static_cast<char>(killPinnedProcessGroup(members[0], pin.get()));
    for (int i = 0; i < 2; ++i) {
      // A member the kill missed is ended here (it is the helper's own,
      // unreaped) and reported as 0.
      auto ended = killtest::waitForChild(members[i], 500);
      if (!ended) {
        ::kill(members[i], SIGKILL);
        ::waitpid(members[i], nullptr, 0);
      }
      out[2 + i] = static_cast<char>(killtest::killedBySigkill(ended) ? SIGKILL : 0);
    }
    ::write(results[1], out.data(), out.size());
    ::_exit(0);
  }
  SessionChild child(helper);
  ::close(results[1]);
  const std::string out = readBytes(results[0], 4);
  ::close(results[0]);

  auto status = child.wait();
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "the helper failed";
  ASSERT_EQ(out.size(), 4u);
  EXPECT_TRUE(out[1]) << "the leader was still there";
  EXPECT_EQ(static_cast<KillResult>(out[0]), KillResult::SignalledGroup);
  EXPECT_EQ(out[2], SIGKILL);
  EXPECT_EQ(out[3], SIGKILL);
}

TEST_P(KillGuardTest, NeverSignalsTheCallerOrItsGroup) {
  Sleeper sleeper;
  const std::int32_t gone = killtest::impossiblePid();
  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  pid_t helper = ::fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    // The helper stands in for the agent, in a group nobody else shares.
    ::setsid();
    std::array<char, 8> out{};
    out[0] = static_cast<char>(killProcessGroup(0));
    out[1] = static_cast<char>(killProcessGroup(-1));
    out[2] = static_cast<char>(killProcessGroup(::getpid()));
    out[3] = static_cast<char>(killProcessGroup(gone));
    auto self = procscope::ProcessIdentity::pin(::getpid());
    out[6] = static_cast<char>(killPinnedProcessGroup(::getpid(), self.get()));
    pid_t sibling = ::fork();  // stays in the helper's group
    if (sibling == 0) sleeper.exec();
    auto pin = procscope::ProcessIdentity::pin(sibling);
    // A pin of the helper handed in for the sibling's pid: nothing.
    out[7] = static_cast<char>(killPinnedProcessGroup(sibling, self.get()));
    out[4] = static_cast<char>(killPinnedProcessGroup(sibling, pin.get()));
    int status = 0;
    ::waitpid(sibling, &status, 0);
    out[5] = static_cast<char>(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    ::write(results[1], out.data(), out.size());
    ::_exit(0);
  }
  SessionChild child(helper);
  ::close(results[1]);
  const std::string out = readBytes(results[0], 8);
  ::close(results[0]);

  auto status = child.wait();
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "the helper was signalled";
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(static_cast<KillResult>(out[0]), KillResult::NotAProcess);
  EXPECT_EQ(static_cast<KillResult>(out[1]), KillResult::NotAProcess);
  EXPECT_EQ(static_cast<KillResult>(out[2]), KillResult::RefusedSelf);
  EXPECT_EQ(static_cast<KillResult>(out[3]), KillResult::ProcessGone);
  EXPECT_EQ(static_cast<KillResult>(out[4]), KillResult::SignalledProcess);
  EXPECT_EQ(out[5], SIGKILL);
  EXPECT_EQ(static_cast<KillResult>(out[6]), KillResult::RefusedSelf);
  EXPECT_EQ(static_cast<KillResult>(out[7]), KillResult::ProcessReplaced);
}

INSTANTIATE_TEST_SUITE_P(Paths, KillGuardTest, ::testing::ValuesIn(killtest::kKillModes),
                         killtest::killModeName);

TEST(KillResultText, DescribesEveryResult) {
  for (auto result :
       {KillResult::NotAProcess, KillResult::RefusedSelf, KillResult::ProcessGone,
        KillResult::SignalledGroup, KillResult::SignalledProcess, KillResult::ProcessReplaced}) {
    EXPECT_NE(describe(result), "unknown");
  }
}

}  // namespace
}  // namespace procblock
