// The kill guard against real processes. Every process signalled here is one
// this test started, running a uniquely named copy of sleep; the cases that
// could reach the caller's own group run inside a helper in a session of its
// own, so a faulty guard could only ever take down that helper.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "AgentTestSupport.hpp"
#include "procblock/Kill.hpp"

namespace procblock {
namespace {

using agenttest::TempDir;

class Sleeper {
 public:
  Sleeper() : path_(dir_ / ("pbkill-" + std::to_string(::getpid()) + "-sleep")) {
    std::filesystem::copy_file("/bin/sleep", path_);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
  }
  // Replaces the calling (forked) process; only async-signal-safe calls.
  [[noreturn]] void exec() const {
    char* argv[] = {const_cast<char*>(path_.c_str()), const_cast<char*>("1000"), nullptr};
    ::execv(path_.c_str(), argv);
    ::_exit(127);
  }

 private:
  TempDir dir_;
  std::string path_;
};

// Reads exactly n bytes, or fewer when the writers end or nothing comes for
// a long while (only to keep a broken run from hanging).
std::string readBytes(int fd, size_t n) {
  std::string out;
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) break;
    char c;
    ssize_t got = ::read(fd, &c, 1);
    if (got <= 0) break;
    out.push_back(c);
  }
  return out;
}

// True when every writer of the pipe has gone.
bool writersGone(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 30000) <= 0) return false;
  char c;
  return ::read(fd, &c, 1) == 0;
}

// Waits for a child to end; none if it is still running after a long while.
std::optional<int> waitForChild(pid_t pid) {
  for (int i = 0; i < 3000; ++i) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

// A child that leads a session (and so a group) of its own. Whatever the
// test did, the group is killed and the child reaped at the end: the group id
// stays ours while the child is unreaped.
class SessionChild {
 public:
  explicit SessionChild(pid_t pid) : pid_(pid) {}
  ~SessionChild() {
    if (pid_ <= 0 || reaped_) return;
    ::killpg(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  SessionChild(const SessionChild&) = delete;
  SessionChild& operator=(const SessionChild&) = delete;
  pid_t pid() const { return pid_; }
  std::optional<int> wait() {
    auto status = waitForChild(pid_);
    reaped_ = status.has_value();
    return status;
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

std::int32_t impossiblePid() {
  std::int64_t max = 4194304;
  std::ifstream("/proc/sys/kernel/pid_max") >> max;
  return static_cast<std::int32_t>(max + 1);
}

TEST(KillProcessGroup, KillsEveryMemberOfAForeignGroup) {
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

TEST(KillProcessGroup, NeverSignalsTheCallerOrItsGroup) {
  Sleeper sleeper;
  const std::int32_t gone = impossiblePid();
  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  pid_t helper = ::fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    // The helper stands in for the agent, in a group nobody else shares.
    ::setsid();
    std::array<char, 6> out{};
    out[0] = static_cast<char>(killProcessGroup(0));
    out[1] = static_cast<char>(killProcessGroup(-1));
    out[2] = static_cast<char>(killProcessGroup(::getpid()));
    out[3] = static_cast<char>(killProcessGroup(gone));
    pid_t sibling = ::fork();  // stays in the helper's group
    if (sibling == 0) sleeper.exec();
    out[4] = static_cast<char>(killProcessGroup(sibling));
    int status = 0;
    ::waitpid(sibling, &status, 0);
    out[5] = static_cast<char>(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    ::write(results[1], out.data(), out.size());
    ::_exit(0);
  }
  SessionChild child(helper);
  ::close(results[1]);
  const std::string out = readBytes(results[0], 6);
  ::close(results[0]);

  auto status = child.wait();
  ASSERT_TRUE(status.has_value());
  ASSERT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "the helper was signalled";
  ASSERT_EQ(out.size(), 6u);
  EXPECT_EQ(static_cast<KillResult>(out[0]), KillResult::NotAProcess);
  EXPECT_EQ(static_cast<KillResult>(out[1]), KillResult::NotAProcess);
  EXPECT_EQ(static_cast<KillResult>(out[2]), KillResult::RefusedSelf);
  EXPECT_EQ(static_cast<KillResult>(out[3]), KillResult::ProcessGone);
  EXPECT_EQ(static_cast<KillResult>(out[4]), KillResult::SignalledProcess);
  EXPECT_EQ(out[5], SIGKILL);
}

}  // namespace
}  // namespace procblock
