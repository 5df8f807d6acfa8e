// The logger and the concurrent queue.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "procscope/Dispatch.hpp"
#include "procscope/Log.hpp"
#include "support/Capture.hpp"

using namespace procscope;

TEST(Logger, PrefixCarriesDateTimeMillisProgramAndIds) {
  std::string prefix = logPrefix();
  int y, mo, d, h, mi, s, ms, pid, end = 0;
  long tid;
  char name[64];
  ASSERT_EQ(std::sscanf(prefix.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d %63[^[][%d:%ld] %n", &y, &mo,
                        &d, &h, &mi, &s, &ms, name, &pid, &tid, &end),
            10)
      << prefix;
  EXPECT_EQ(static_cast<size_t>(end), prefix.size()) << prefix;
  EXPECT_EQ(prefix[4], '-');  // zero-padded to fixed places
  EXPECT_EQ(prefix.substr(19, 1), ".");
  EXPECT_EQ(pid, getpid());
}

TEST(Logger, OneLinePerMessageWithLineFeedAddedOnlyWhenMissing) {
  test::StderrCapture cap;
  logMessage("started");
  logMessage("two\nlines\n");
  std::string out = cap.take();
  EXPECT_NE(out.find("] started\n"), std::string::npos);
  EXPECT_NE(out.find("] two\nlines\n"), std::string::npos);
  EXPECT_EQ(out.find("lines\n\n"), std::string::npos);
}

TEST(Logger, VisibleTextEscapesControlBytesOnly) {
  EXPECT_EQ(visibleText("a\nb\rc\td\x1b"
                        "e\x7f"),
            "a\\nb\\rc\\td\\x1be\\x7f");
  EXPECT_EQ(visibleText("caf\xc3\xa9 %s %@"), "caf\xc3\xa9 %s %@");
  // The edges of both ranges: 0x00-0x1f and 0x7f, and their neighbours.
  EXPECT_EQ(visibleText(std::string_view("\x00\x01\x1f\x20\x7e\x7f\x80", 7)),
            "\\x00\\x01\\x1f ~\\x7f\x80");
}

TEST(Dispatch, RunsEveryTaskExactlyOnceConcurrently) {
  constexpr int kTasks = 2000;
  std::vector<std::atomic<int>> runs(kTasks);
  for (int i = 0; i < kTasks; ++i) dispatch::async([&runs, i] { runs[i]++; });
  dispatch::waitIdle();
  for (auto& r : runs) EXPECT_EQ(r.load(), 1);

  // Two tasks that need each other can only finish if they run at the same time.
  std::atomic<int> arrived{0};
  for (int i = 0; i < 2; ++i) {
    dispatch::async([&] {
      arrived++;
      while (arrived.load() < 2) std::this_thread::yield();
    });
  }
  dispatch::waitIdle();
  EXPECT_EQ(arrived.load(), 2);
}

// waitIdle covers both pools, whichever queues into the other.
TEST(Dispatch, WaitIdleCoversUrgentTasksAndWhatTheyQueue) {
  std::atomic<int> ran{0};
  for (int i = 0; i < 50; ++i) {
    dispatch::asyncUrgent([&ran] {
      dispatch::async([&ran] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        dispatch::asyncUrgent([&ran] { ran++; });
      });
    });
  }
  dispatch::waitIdle();
  EXPECT_EQ(ran.load(), 50);
}

// Urgent workers run at raised priority where permitted, and nothing they
// start (a thread, a process) inherits it.
TEST(Dispatch, UrgentPriorityIsNotPassedOn) {
  std::atomic<int> worker{-1}, thread{-1}, child{-1};
  dispatch::asyncUrgent([&] {
    worker = sched_getscheduler(0);
    std::thread([&] { thread = sched_getscheduler(0); }).join();
    const pid_t pid = fork();
    if (pid == 0) _exit(sched_getscheduler(0) == SCHED_OTHER ? 0 : 1);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    child = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  });
  dispatch::waitIdle();
  // SCHED_RESET_ON_FORK shows in the policy the thread reads back.
  if (geteuid() == 0) {
    EXPECT_EQ(worker.load() & ~SCHED_RESET_ON_FORK, SCHED_FIFO);
  }
  EXPECT_EQ(thread.load(), SCHED_OTHER);
  EXPECT_EQ(child.load(), 0);
}
