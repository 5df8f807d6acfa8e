// The kill guard against real processes, on each of the kill's paths. The
// cases that could reach the caller's own group run inside a helper (see
// inHelper), so a faulty guard could only ever take down that helper.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "AgentTestSupport.hpp"
#include "procblock/Kill.hpp"
#include "procscope/ProcessIdentity.hpp"

namespace procblock {
namespace {

using agenttest::readBytes;
using agenttest::SessionChild;
using agenttest::Sleeper;
using procscope::ProcessIdentity;

class KillGuardTest : public agenttest::KillModeTest {};

// A fresh group of two, the leader and a member it forked, is killed whole
// through the leader's pid or through a pin of the member.
TEST_P(KillGuardTest, KillsEveryMemberOfAForeignGroup) {
  for (const bool throughMember : {false, true}) {
    SCOPED_TRACE(throughMember ? "through a pinned member" : "through the leader");
    Sleeper sleeper;
    int alive[2], ready[2];  // both members hold alive's write end
    ASSERT_EQ(::pipe(alive), 0);
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t leader = ::fork();
    ASSERT_GE(leader, 0);
    if (leader == 0) {
      ::setsid();
      if (::fork() == 0) {
        const pid_t me = ::getpid();
        ::write(ready[1], &me, sizeof me);
      }
      sleeper.exec();
    }
    SessionChild child(leader);
    ::close(alive[1]);
    ::close(ready[1]);
    pid_t member = 0;
    const std::string got = readBytes(ready[0], sizeof member);
    ASSERT_EQ(got.size(), sizeof member);
    std::memcpy(&member, got.data(), sizeof member);
    ASSERT_EQ(::getpgid(member), leader);

    const auto pin = ProcessIdentity::pin(member);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(throughMember ? killPinnedProcessGroup(member, pin.get()) : killProcessGroup(leader),
              KillResult::SignalledGroup);
    pollfd end{alive[0], POLLIN, 0};  // readable only once every writer has gone
    char c;
    EXPECT_TRUE(::poll(&end, 1, 30000) > 0 && ::read(alive[0], &c, 1) == 0)
        << "a member outlived the kill";
    EXPECT_TRUE(agenttest::killedBySigkill(child.wait()));
    ::close(alive[0]);
    ::close(ready[0]);
  }
}

// The leader has ended and been reaped; two members remain. The helper, a
// child subreaper, reaps everything it started and reports how each member
// ended.
TEST_P(KillGuardTest, SignalsTheMembersOfAGroupWhoseLeaderHasGone) {
  Sleeper sleeper;
  const auto out = agenttest::inHelper([&] {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string out(4, '\0');  // kill result, leader gone, each member's end
    int ready[2];
    if (::pipe(ready) != 0) return out;
    const pid_t leader = ::fork();
    if (leader == 0) {
      ::setpgid(0, 0);  // a group of its own in the helper's session
      for (int i = 0; i < 2; ++i) {
        const pid_t member = ::fork();
        if (member == 0) sleeper.exec();
        ::write(ready[1], &member, sizeof member);
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    pid_t members[2] = {-1, -1};
    const std::string got = readBytes(ready[0], sizeof members);
    if (got.size() != sizeof members) return out;
    std::memcpy(members, got.data(), sizeof members);
    ::waitpid(leader, nullptr, 0);
    out[1] = static_cast<char>(::getpgid(leader) < 0 && ::getpgid(members[0]) == leader);
    const auto pin = ProcessIdentity::pin(members[0]);
    out[0] = static_cast<char>(killPinnedProcessGroup(members[0], pin.get()));
    for (int i = 0; i < 2; ++i) {
      // A member the kill missed is ended here (it is the helper's own).
      const auto ended = agenttest::waitForChild(members[i], 500);
      if (!ended) {
        ::kill(members[i], SIGKILL);
        ::waitpid(members[i], nullptr, 0);
      }
      out[2 + i] = agenttest::killedBySigkill(ended) ? 'K' : '-';
    }
    return out;
  });
  ASSERT_TRUE(out.has_value()) << "the helper failed";
  ASSERT_EQ(out->size(), 4u);
  EXPECT_TRUE((*out)[1]) << "the leader was still there";
  EXPECT_EQ(static_cast<KillResult>((*out)[0]), KillResult::SignalledGroup);
  EXPECT_EQ(out->substr(2), "KK");
}

TEST_P(KillGuardTest, NeverSignalsTheCallerOrItsGroup) {
  Sleeper sleeper;
  const std::int32_t gone = agenttest::impossiblePid();
  const auto out = agenttest::inHelper([&] {
    auto result = [](KillResult r) { return static_cast<char>(r); };
    const auto self = ProcessIdentity::pin(::getpid());
    std::string out{result(killProcessGroup(0)), result(killProcessGroup(-1)),
                    result(killProcessGroup(::getpid())), result(killProcessGroup(gone)),
                    result(killPinnedProcessGroup(::getpid(), self.get()))};
    const pid_t sibling = ::fork();  // stays in the helper's group
    if (sibling == 0) sleeper.exec();
    const auto pin = ProcessIdentity::pin(sibling);
    // A pin of the helper handed in for the sibling's pid: nothing.
    out += result(killPinnedProcessGroup(sibling, self.get()));
    // The sibling shares our group: only it is signalled.
    out += result(killPinnedProcessGroup(sibling, pin.get()));
    int status = 0;
    ::waitpid(sibling, &status, 0);
    out += static_cast<char>(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return out;
  });
  ASSERT_TRUE(out.has_value()) << "the helper was signalled";
  const std::string expected{static_cast<char>(KillResult::NotAProcess),
                             static_cast<char>(KillResult::NotAProcess),
                             static_cast<char>(KillResult::RefusedSelf),
                             static_cast<char>(KillResult::ProcessGone),
                             static_cast<char>(KillResult::RefusedSelf),
                             static_cast<char>(KillResult::ProcessReplaced),
                             static_cast<char>(KillResult::SignalledProcess),
                             SIGKILL};
  EXPECT_EQ(*out, expected);
}

INSTANTIATE_TEST_SUITE_P(Paths, KillGuardTest, ::testing::ValuesIn(agenttest::kKillModes),
                         agenttest::killModeName);

}  // namespace
}  // namespace procblock
