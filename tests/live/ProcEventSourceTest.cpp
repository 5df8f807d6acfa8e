// How kernel process events become BSM records: a hand-fed event stream
// through the live source's translation and encoder, the records read back
// with the BSM reader. The processes behind the events are real children of
// the test, so that what the source reads of them in /proc is real too.
#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "exec/ExecFixture.hpp"
#include "live/ChildProcess.hpp"
#include "procscope/bsm/Token.hpp"
#include "procscope/platform/LiveAuditPipe.hpp"
#include "procscope/platform/ProcEvents.hpp"
#include "procscope/platform/Workspace.hpp"

namespace {

namespace bsm = procscope::bsm;
namespace platform = procscope::platform;

constexpr std::uint32_t kNobody = 65534;
constexpr std::int32_t kMarker = 0x7FFFFFF0;  // no process has this number

// A child that takes the user `uid` and then waits for a signal, or exits at once.
pid_t childAs(std::uint32_t uid, bool wait) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setresuid(uid, uid, uid) != 0) _exit(126);
    if (wait) pause();
    _exit(3);
  }
  return pid;
}

// Until `pid` has ended, leaving it unreaped (a zombie).
void awaitEnd(pid_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
}

proc_event forkEvent(std::int32_t parent, std::int32_t childPid, std::int32_t childTgid) {
  proc_event e{};
  e.what = proc_event::PROC_EVENT_FORK;
  e.event_data.fork.parent_pid = e.event_data.fork.parent_tgid = parent;
  e.event_data.fork.child_pid = childPid;
  e.event_data.fork.child_tgid = childTgid;
  return e;
}

proc_event exitEvent(std::int32_t pid, std::int32_t tgid, std::uint32_t status) {
  proc_event e{};
  e.what = proc_event::PROC_EVENT_EXIT;
  e.event_data.exit.process_pid = pid;
  e.event_data.exit.process_tgid = tgid;
  e.event_data.exit.exit_code = status;
  return e;
}

proc_event execEvent(std::int32_t pid) {
  proc_event e{};
  e.what = proc_event::PROC_EVENT_EXEC;
  e.event_data.exec.process_pid = e.event_data.exec.process_tgid = pid;
  return e;
}

proc_event uidEvent(std::int32_t pid, std::uint32_t uid) {
  proc_event e{};
  e.what = proc_event::PROC_EVENT_UID;
  e.event_data.id.process_pid = e.event_data.id.process_tgid = pid;
  e.event_data.id.r.ruid = uid;
  e.event_data.id.e.euid = uid;
  return e;
}

// "fork <subject pid> <child> euid <n>" or "exit <subject pid> euid <n> status <n>".
std::string summary(const std::vector<std::uint8_t>& record) {
  bsm::TokenCursor cursor(record.data(), record.size());
  bsm::Token t;
  std::uint16_t type = 0;
  std::string child, subject, status;
  while (cursor.next(t)) {
    if (t.id == bsm::AUT_HEADER32) type = t.header.e_type;
    if (t.id == bsm::AUT_ARG32) child = " " + std::to_string(t.arg.val);
    if (t.id == bsm::AUT_SUBJECT32) {
      subject = std::to_string(static_cast<std::int32_t>(t.subject.pid)) + child + " euid " +
                std::to_string(static_cast<std::int32_t>(t.subject.euid));
    }
    if (t.id == bsm::AUT_EXIT) status = " status " + std::to_string(t.exit.status);
  }
  return (type == bsm::AUE_FORK   ? "fork "
          : type == bsm::AUE_EXIT ? "exit "
                                  : "other ") +
         subject + status;
}

TEST(ProcEventSource, KernelEventsBecomeRecords) {
  auto hub = platform::ProcEventHub::detached();
  auto stream = platform::openLiveAuditPipe(*hub);
  ASSERT_TRUE(stream);
  const std::int32_t self = getpid();
  const std::string me = std::to_string(geteuid());
  const pid_t runner = childAs(kNobody, true);  // set-user-ID child that keeps running
  const pid_t quitter = childAs(kNobody, false);
  ASSERT_GT(runner, 0);
  ASSERT_GT(quitter, 0);
  const std::string r = std::to_string(runner), q = std::to_string(quitter);
  const std::string nobody = std::to_string(kNobody);

  struct Step {
    const char* what;
    std::function<void()> before;
    std::vector<proc_event> events;
    std::vector<std::string> records;
  };
  const std::vector<Step> steps = {
      {"a new thread and a thread's end are no process's",
       nullptr,
       {forkEvent(self, kMarker - 1, self), exitEvent(kMarker - 1, self, 0)},
       {}},
      {"a fork names the forking process and its user",
       nullptr,
       {forkEvent(self, runner, runner)},
       {"fork " + std::to_string(self) + " " + r + " euid " + me}},
      {"a change of user is followed, not the one inherited at the fork",
       nullptr,
       {uidEvent(runner, kNobody), forkEvent(runner, kMarker - 2, kMarker - 2)},
       {"fork " + r + " " + std::to_string(kMarker - 2) + " euid " + nobody}},
      {"the main thread's end while others run is no exit yet",
       nullptr,
       {exitEvent(runner, runner, 0)},
       {}},
      {"the exit goes out when the group has ended, with the last thread's status",
       [&] {
         kill(runner, SIGKILL);
         awaitEnd(runner);
       },
       {exitEvent(kMarker - 3, runner, SIGKILL)},
       {"exit " + r + " euid " + nobody + " status 9"}},
      {"a process first seen at its end has its user read from it",
       [&] { awaitEnd(quitter); },
       {exitEvent(quitter, quitter, 3 << 8)},
       {"exit " + q + " euid " + nobody + " status 768"}},
  };

  std::vector<std::uint8_t> record;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.before) step.before();
    for (const proc_event& e : step.events) hub->feed(&e, sizeof e);
    hub->settle();
    // A marker after each step: the records before it are the step's.
    const proc_event marker = forkEvent(self, kMarker, kMarker);
    hub->feed(&marker, sizeof marker);
    std::vector<std::string> got;
    for (;;) {
      ASSERT_GT(stream->readRecord(record), 0);
      std::string s = summary(record);
      if (s.find(" " + std::to_string(kMarker) + " ") != std::string::npos) break;
      got.push_back(s);
    }
    EXPECT_EQ(got, step.records);
  }

  kill(runner, SIGKILL);
  for (pid_t pid : {runner, quitter}) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

// An application that ends before its launch notice has gone out: the notice
// of its end follows that of its launch, and it is not left listed.
TEST(ProcEventSource, WorkspaceOrdersEachApplicationsLaunchAndEnd) {
  auto hub = platform::ProcEventHub::detached();
  auto workspace = platform::makeLinuxWorkspace(*hub);
  std::mutex mu;
  std::condition_variable changed;
  std::vector<std::string> notices;
  bool holding = true;  // the first notice waits, keeping the rest queued behind it
  auto observer = [&](const platform::WorkspaceNotification* n) {
    std::unique_lock lock(mu);
    auto pid = n->userInfo.at(platform::kApplicationProcessIdentifier).integer().value_or(-1);
    notices.push_back((n->name == platform::kWillLaunchApplication ? "launch " : "end ") +
                      std::to_string(pid));
    changed.notify_all();
    changed.wait(lock, [&] { return !holding; });
  };
  std::vector<platform::Workspace::ObserverId> ids;
  for (const char* name : {platform::kWillLaunchApplication, platform::kDidTerminateApplication}) {
    ids.push_back(workspace->addObserver(name, observer));
  }
  auto app = [](test::ChildProcess& child) {
    const std::filesystem::path exe = child.path();
    test::writeFile(exe.parent_path().parent_path() / "Info.plist",
                    test::plistOfStrings({{"CFBundleExecutable", exe.filename()}}));
    return std::to_string(child.pid());
  };
  test::ChildProcess first({"psws-first"}, "First.app/Contents/MacOS");
  test::ChildProcess second({"psws-second"}, "Second.app/Contents/MacOS");
  const std::string a = app(first), b = app(second);

  const proc_event launchA = execEvent(first.pid());
  hub->feed(&launchA, sizeof launchA);
  {
    std::unique_lock lock(mu);
    changed.wait(lock, [&] { return !notices.empty(); });
  }
  const proc_event launchB = execEvent(second.pid());
  hub->feed(&launchB, sizeof launchB);
  const pid_t secondPid = second.pid();
  kill(secondPid, SIGKILL);
  awaitEnd(secondPid);
  const proc_event endB = exitEvent(secondPid, secondPid, SIGKILL);
  hub->feed(&endB, sizeof endB);
  {
    std::unique_lock lock(mu);
    holding = false;
    changed.notify_all();
    // Bounded, so that a lost notice fails the test rather than hangs it.
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return notices.size() >= 3; });
  }
  EXPECT_EQ(notices, (std::vector<std::string>{"launch " + a, "launch " + b, "end " + b}));
  std::vector<std::int32_t> listed;
  for (const auto& running : workspace->runningApplications()) {
    listed.push_back(running->processIdentifier());
  }
  EXPECT_EQ(listed, std::vector<std::int32_t>{first.pid()});
  for (auto id : ids) workspace->removeObserver(id);
}

}  // namespace
