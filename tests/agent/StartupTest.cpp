// The started agent when its source of process events fails for good.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/fanotify.h>
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

// Deny before exec marks every mount (a file system may have an old one's
// device number), through its mount point (unescaped); never a FUSE or
// network one, nor an overlay on one: the kernel's open of an event's file
// there would wait on a server.
TEST(DenyExecMountsTest, EveryMountAndNoneServedRemotely) {
  const std::string mountinfo =
      "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "23 22 0:5 / /dev rw shared:2 - devtmpfs udev rw\n"
      "24 22 8:1 /srv /srv/bound rw - ext4 /dev/sda1 rw\n"
      "25 22 0:40 / /home/u/My\\040Disk rw - vfat /dev/sdb1 rw\n"
      "26 22 0:41 / /mnt/sshfs rw - fuse.sshfs u@h: rw\n"
      "27 22 0:42 / /mnt/ntfs rw - fuseblk /dev/sdc1 rw\n"
      "28 22 0:43 / /mnt/fuse rw shared:9 master:3 - fuse stallfs rw\n"
      "30 22 0:45 / /mnt/nfs rw - nfs srv:/export rw,vers=3,addr=10.0.0.1\n"
      "31 22 0:46 / /mnt/nfs4 rw - nfs4 srv:/ rw,vers=4.2\n"
      "32 22 0:47 / /mnt/cifs rw - cifs //srv/share rw,vers=3.1.1\n"
      "33 22 0:48 / /mnt/smb rw - smb3 //srv/share rw\n"
      "34 22 0:49 / /mnt/9p rw - 9p host0 rw,trans=virtio\n"
      "35 22 0:50 / /mnt/ceph rw - ceph 10.0.0.2:/ rw\n"
      "36 22 0:51 / /afs rw - afs #root.afs rw\n"
      "37 22 0:52 / /mnt/virtio rw - virtiofs share rw\n"
      "38 22 0:53 / /c1 rw - overlay overlay rw,lowerdir=/usr/l:/mnt/nfs/img,upperdir=/tmp/u\n"
      "39 22 0:54 / /c2 rw - overlay overlay rw,lowerdir+=/usr/l,datadir+=/mnt/sshfs\n"
      "41 22 0:56 / /c4 rw - overlay o rw,lowerdir=/usr/l\\134:/mnt/9p,upperdir=/u\n"
      "40 22 0:55 / /c3 rw - overlay overlay rw,lowerdir=/mnt/nfsdata,upperdir=/tmp/u\n"
      "29 22 0:44 / /tmp rw - tmpfs tmpfs rw";
  EXPECT_EQ(procblock::platform::mountPointsToMark(mountinfo),
            (std::vector<std::string>{"/", "/dev", "/srv/bound", "/home/u/My Disk", "/c4", "/c3",
                                      "/tmp"}));
}

// An exec read longer ago than the time to judge it is allowed unjudged (the
// kill judges it); one read just now (here: an hour ahead, however slow the
// machine) is judged.
TEST(DenyExecEvents, OnlyThoseWithinTheTimeToJudgeThemAreJudged) {
  int replies[2];
  ASSERT_EQ(::pipe2(replies, O_CLOEXEC | O_NONBLOCK), 0);
  const struct {
    std::chrono::steady_clock::duration readAgo;
    int judged;
    std::uint32_t response;
  } cases[] = {{-1h, 1, FAN_DENY}, {procblock::platform::kAnswerDeadline, 0, FAN_ALLOW}};
  for (const auto& c : cases) {
    fanotify_event_metadata event{};
    event.event_len = sizeof event;
    event.vers = FANOTIFY_METADATA_VERSION;
    event.metadata_len = sizeof event;
    event.mask = FAN_OPEN_EXEC_PERM;
    event.fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    event.pid = 4242;
    int judged = 0;
    procblock::platform::answerEvents(replies[1], &event, sizeof event,
                                      std::chrono::steady_clock::now() - c.readAgo,
                                      [&judged](int, std::int32_t) { return ++judged > 0; });
    fanotify_response reply{};
    ASSERT_EQ(::read(replies[0], &reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    EXPECT_EQ(reply.fd, event.fd);
    EXPECT_EQ(reply.response, c.response);
    EXPECT_EQ(judged, c.judged);
  }
  ::close(replies[0]);
  ::close(replies[1]);
}

}  // namespace
