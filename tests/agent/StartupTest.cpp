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
#include "procblock/platform/DenyExec.hpp"
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

// Deny before exec marks each file system once, through its first mount
// point (unescaped), and never a FUSE one: the kernel's open of an event's
// file there would wait on the file system's own server.
TEST(DenyExecMountsTest, EachFileSystemOnceAndNoFuse) {
  const std::string mountinfo =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "23 22 0:5 / /dev rw shared:2 - devtmpfs udev rw\n"
      "24 22 8:1 /srv /srv/bound rw - ext4 /dev/sda1 rw\n"
      "25 22 0:40 / /home/u/My\\040Disk rw - vfat /dev/sdb1 rw\n"
      "26 22 0:41 / /mnt/sshfs rw - fuse.sshfs u@h: rw\n"
      "27 22 0:42 / /mnt/ntfs rw - fuseblk /dev/sdc1 rw\n"
      "28 22 0:43 / /mnt/fuse rw shared:9 master:3 - fuse stallfs rw\n"
      "29 22 0:44 / /tmp rw - tmpfs tmpfs rw";
  std::vector<std::string> seen;
  EXPECT_EQ(procblock::platform::mountPointsToMark(mountinfo, seen),
            (std::vector<std::string>{"/", "/dev", "/home/u/My Disk", "/tmp"}));
  EXPECT_TRUE(procblock::platform::mountPointsToMark(mountinfo, seen).empty()) << "a rescan";
}

}  // namespace
