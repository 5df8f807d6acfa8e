// The started agent when its source of process events fails for good.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "procblock/LogPaths.hpp"
#include "procblock/Startup.hpp"
#include "procscope/platform/ProcEvents.hpp"

namespace {

using namespace std::chrono_literals;

void runTrue() {
  pid_t pid = -1;
  char* argv[] = {const_cast<char*>("true"), nullptr};
  if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) return;
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

TEST(StartupDeathTest, BlindAgentLogsWhyAndExitsWithAFailureStatus) {
  if (geteuid() != 0) GTEST_SKIP() << "the process-events connector needs root";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // No list (no vornik.txt can be in /proc), and no log directory:
        // diagnostics stay on standard error.
        if (chdir("/proc") != 0) std::_Exit(2);
        procblock::ScopedLogDirectory logs("/proc/absent");
        procscope::platform::ProcEventHub::shared().failNextReceive(EBADF);
        std::thread([] { procblock::startup::run(); }).detach();
        // Events wake the reader, whose receive then fails.
        for (int i = 0; i < 200; ++i) {
          runTrue();
          std::this_thread::sleep_for(50ms);
        }
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(EXIT_FAILURE),
      "process events: receive failed: Bad file descriptor\n.*"
      "Process events can no longer be read: exiting");
}

}  // namespace
