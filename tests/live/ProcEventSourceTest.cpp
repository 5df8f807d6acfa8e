// How kernel process events become BSM records: a hand-fed event stream
// through the live source's translation and encoder, the records read back
// with the BSM reader. The processes behind the events are real children of
// the test, so that what the source reads of them in /proc is real too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "exec/ExecFixture.hpp"
#include "live/ChildProcess.hpp"
#include "procscope/ApplicationIdentity.hpp"
#include "procscope/Process.hpp"
#include "procscope/bsm/Token.hpp"
#include "procscope/platform/Kernel.hpp"
#include "procscope/platform/LiveAuditPipe.hpp"
#include "procscope/platform/ParentTable.hpp"
#include "procscope/platform/ProcEvents.hpp"
#include "procscope/platform/ProcessStates.hpp"
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

// `creator`: the parent's thread that forked, when not its main one.
proc_event forkEvent(std::int32_t parent, std::int32_t childPid, std::int32_t childTgid,
                     std::int32_t creator = -1) {
  proc_event e{};
  e.what = proc_event::PROC_EVENT_FORK;
  e.event_data.fork.parent_pid = creator >= 0 ? creator : parent;
  e.event_data.fork.parent_tgid = parent;
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

proc_event uidEvent(std::int32_t pid, std::uint32_t uid, std::int32_t tgid = -1) {
  proc_event e{};
  e.what = proc_event::PROC_EVENT_UID;
  e.event_data.id.process_pid = pid;
  e.event_data.id.process_tgid = tgid >= 0 ? tgid : pid;
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
  const pid_t single = childAs(geteuid(), true);  // runs on after its (hand-fed) end
  ASSERT_GT(runner, 0);
  ASSERT_GT(quitter, 0);
  ASSERT_GT(single, 0);
  // dash keeps the file's user only with -p.
  test::ChildProcess raised({"psev-setuid", "-p"}, "", kNobody);
  ASSERT_GT(raised.pid(), 0);
  const std::string u = std::to_string(raised.pid());
  const std::string r = std::to_string(runner), q = std::to_string(quitter);
  const std::string s = std::to_string(single);
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
      {"an exec of a set-user-ID file takes its owner, not the ids from the fork",
       nullptr,
       {forkEvent(self, raised.pid(), raised.pid()), execEvent(raised.pid())},
       {"fork " + std::to_string(self) + " " + u + " euid " + me,
        "other " + u + " euid " + nobody}},
      {"the main thread's end while others run is no exit yet",
       nullptr,
       {forkEvent(runner, kMarker - 4, runner), exitEvent(runner, runner, 0)},
       {}},
      {"the only thread's end of a process seen from its fork is its exit, asked of no pidfd",
       nullptr,
       {forkEvent(self, single, single), exitEvent(single, single, 0)},
       {"fork " + std::to_string(self) + " " + s + " euid " + me,
        "exit " + s + " euid " + me + " status 0"}},
      {"a process not seen forked is watched by pidfd until it ends",
       nullptr,
       {exitEvent(single, single, 0)},
       {}},
      {"a thread's own change of user is not its process's",
       nullptr,
       {uidEvent(kMarker - 4, 0, runner), forkEvent(runner, kMarker - 5, kMarker - 5),
        forkEvent(runner, kMarker - 6, kMarker - 6, kMarker - 4)},
       {"fork " + r + " " + std::to_string(kMarker - 5) + " euid " + nobody,
        "fork " + r + " " + std::to_string(kMarker - 6) + " euid 0"}},
      {"a process whose threads are counted ends with its last thread's exit event",
       [&] {
         kill(runner, SIGKILL);
         awaitEnd(runner);
       },
       {exitEvent(kMarker - 4, runner, SIGKILL)},
       {"exit " + r + " euid " + nobody + " status 9"}},
      {"a process seen gone by its pidfd ends with the last status heard",
       [&] {
         kill(single, SIGKILL);
         awaitEnd(single);
       },
       {},
       {"exit " + s + " euid " + me + " status 0"}},
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
  kill(single, SIGKILL);
  for (pid_t pid : {runner, quitter, single}) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

// Parents as the source learns them from a hand-fed stream.
// A process seen gone by its pidfd goes out only once the grace its last
// exit event may need to come in is over: counted on a clock handed in.
TEST(ProcessStates, AProcessSeenGoneIsReleasedAfterItsGrace) {
  platform::ParentTable parents;
  int sent = 0;
  platform::ProcessStates states(parents, [&sent](const platform::ProcEvent&) { ++sent; });
  const pid_t child = childAs(getuid(), true);
  ASSERT_GT(child, 0);
  states.exited(child, child, 0);  // its main thread, while it runs on
  ASSERT_EQ(states.held(), 1u);
  kill(child, SIGKILL);
  awaitEnd(child);
  std::vector<pollfd> fds;
  states.watches(fds);
  ASSERT_EQ(poll(fds.data(), fds.size(), -1), 1);
  const auto seen = std::chrono::steady_clock::now();
  states.noteGone(fds, seen);
  states.releaseGone(seen + platform::ProcessStates::kGoneGrace - std::chrono::milliseconds(1));
  EXPECT_EQ(sent, 0);
  states.releaseGone(seen + platform::ProcessStates::kGoneGrace);
  EXPECT_EQ(sent, 1);
  waitpid(child, nullptr, 0);
}

TEST(ProcEventSource, ParentsFollowForksAndExits) {
  auto hub = platform::ProcEventHub::detached();
  platform::ParentTable& parents = hub->parents();
  const std::int32_t top = kMarker - 10, child = kMarker - 11, grandchild = kMarker - 12;
  const std::int32_t thread = kMarker - 13;
  auto feed = [&](std::initializer_list<proc_event> events) {
    for (const proc_event& e : events) hub->feed(&e, sizeof e);
  };
  auto parentOf = [&](std::int32_t pid) {
    std::uint64_t epoch = 0;
    return parents.parentOf(pid, epoch).value_or(-1);
  };
  // A new thread's event names the process's parent, not the thread's.
  feed({forkEvent(top, child, child), forkEvent(child, grandchild, grandchild),
        forkEvent(top, thread, child)});
  EXPECT_EQ(parentOf(child), top);
  EXPECT_EQ(parentOf(grandchild), child);
  EXPECT_EQ(parentOf(thread), -1);
  // Its parent's end hands a process on to someone the events do not name.
  feed({exitEvent(child, child, 0)});
  EXPECT_EQ(parentOf(child), -1);
  EXPECT_EQ(parentOf(grandchild), -1);
  // A parent read from /proc before an exit was handled may be stale after it.
  std::uint64_t epoch = 0;
  parents.parentOf(grandchild, epoch);
  feed({exitEvent(top, top, 0)});
  parents.learn(grandchild, top, epoch);
  EXPECT_EQ(parentOf(grandchild), -1);
  parents.parentOf(grandchild, epoch);
  parents.learn(grandchild, 1, epoch);
  EXPECT_EQ(parentOf(grandchild), 1);
  // Only its own end or its parent's makes a read stale, not anyone else's.
  parents.parentOf(top, epoch);
  feed({exitEvent(kMarker - 14, kMarker - 14, 0), exitEvent(thread, child, 0)});
  parents.learn(top, 1, epoch);
  EXPECT_EQ(parentOf(top), 1);
}

// The field /proc/<pid>/stat gives as the parent, read here without the library.
std::int32_t statParent(std::int32_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  const auto close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(line.substr(close + 1));
  std::string state;
  std::int32_t parent = -1;
  fields >> state >> parent;
  return parent;
}

// Forks and exits read from the live connector, as a listener sees them.
struct EventWatch : platform::ProcEventListener {
  std::mutex mu;
  std::condition_variable seen;
  std::set<std::pair<platform::ProcEvent::Kind, std::int32_t>> events;
  // Of each process: "fork", "exec euid <n>" and "exit <status>", in the
  // order heard.
  std::map<std::int32_t, std::vector<std::string>> story;
  void onEvent(const platform::ProcEvent& e) override {
    using Kind = platform::ProcEvent::Kind;
    std::lock_guard lock(mu);
    events.insert({e.kind, e.pid});
    story[e.pid].push_back(e.kind == Kind::Fork   ? "fork"
                           : e.kind == Kind::Exec ? "exec euid " + std::to_string(e.euid)
                                                  : "exit " + std::to_string(e.exitStatus) +
                                                        " euid " + std::to_string(e.euid));
    seen.notify_all();
  }
  void onLoss(std::uint64_t, bool) override {}
  // Bounded, so that a lost event fails the test rather than hangs it.
  bool await(platform::ProcEvent::Kind kind, std::int32_t pid) {
    std::unique_lock lock(mu);
    return seen.wait_for(lock, std::chrono::seconds(10), [&] {
      return events.contains({kind, pid});
    });
  }
  std::vector<std::string> storyOf(std::int32_t pid) {
    std::lock_guard lock(mu);
    return story[pid];
  }
};

// A process whose parent ends is handed on (here to this test, a subreaper):
// once the parent's exit is read, its parent and ancestors are those /proc
// gives, and an ended process's parent is not remembered past its reaping.
TEST(ProcEventSource, ParentsStayThoseOfProc) {
  if (geteuid() != 0) GTEST_SKIP() << "the connector needs root";
  using Kind = platform::ProcEvent::Kind;
  auto watch = std::make_shared<EventWatch>();
  auto& hub = platform::ProcEventHub::shared();
  if (!hub.subscribe(watch)) GTEST_SKIP() << "no process events connector here";
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int report[2], release[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
  const pid_t middle = fork();
  ASSERT_GE(middle, 0);
  if (middle == 0) {  // async-signal-safe calls only
    close(report[0]);
    close(release[1]);
    const pid_t grandchild = fork();
    if (grandchild == 0) {
      close(report[1]);
      close(release[0]);
      pause();
      _exit(0);
    }
    (void)!write(report[1], &grandchild, sizeof grandchild);
    char byte;
    (void)!read(release[0], &byte, 1);
    _exit(0);
  }
  close(report[1]);
  close(release[0]);
  pid_t grandchild = -1;
  ASSERT_EQ(read(report[0], &grandchild, sizeof grandchild),
            static_cast<ssize_t>(sizeof grandchild));
  close(report[0]);
  ASSERT_TRUE(watch->await(Kind::Fork, grandchild));
  std::uint64_t epoch = 0;
  EXPECT_EQ(hub.parents().parentOf(grandchild, epoch), middle);  // the events' answer

  auto check = [&](std::int32_t parent) {
    EXPECT_EQ(statParent(grandchild), parent);
    EXPECT_EQ(procscope::Process::getParentID(grandchild), parent);
    std::vector<std::int32_t> expected;
    for (std::int32_t at = statParent(grandchild); at > 0; at = statParent(at)) {
      expected.push_back(at);
    }
    auto record = procscope::Process::init();
    record->setPid(grandchild);
    record->enumerateAncestors();
    EXPECT_EQ(record->ancestors(), expected);
  };
  check(middle);
  close(release[1]);
  while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(watch->await(Kind::Exit, middle));
  check(getpid());

  kill(grandchild, SIGKILL);
  awaitEnd(grandchild);
  ASSERT_TRUE(watch->await(Kind::Exit, grandchild));
  EXPECT_EQ(procscope::Process::getParentID(grandchild), getpid());  // a zombie still has one
  while (waitpid(grandchild, nullptr, 0) < 0 && errno == EINTR) {
  }
  EXPECT_EQ(procscope::Process::getParentID(grandchild), -1);

  // Lost events empty the table: an exit among them would have gone unseen.
  const pid_t witness = fork();
  if (witness == 0) {
    pause();
    _exit(0);
  }
  ASSERT_TRUE(watch->await(Kind::Fork, witness));
  hub.failNextReceive(ENOBUFS);
  const pid_t next = fork();
  if (next == 0) _exit(0);
  ASSERT_TRUE(watch->await(Kind::Fork, next));
  EXPECT_FALSE(hub.parents().parentOf(witness, epoch));
  kill(witness, SIGKILL);
  for (pid_t pid : {witness, next}) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  hub.unsubscribe(watch.get());
}

// A thread's execve that fails after the kernel has ended the process's other
// threads (its address space cannot be set up under a tiny RLIMIT_AS) sends
// no exec event: the process ends once, with the fatal signal, not with the
// old main thread's 0. And a process started by clone(CLONE_PARENT), whose
// fork event names its grandparent, has its own user at its exec.
TEST(ProcEventSource, FailedThreadExecAndCloneParentKeepTheirProcesssTruth) {
  if (geteuid() != 0) GTEST_SKIP() << "the connector needs root";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer's runtime, forked from this threaded process, may hold its
  // own locks for ever in the child: its thread never starts.
  GTEST_SKIP() << "a sanitizer's runtime cannot start a thread in a forked child";
#endif
  using Kind = platform::ProcEvent::Kind;
  auto watch = std::make_shared<EventWatch>();
  auto& hub = platform::ProcEventHub::shared();
  if (!hub.subscribe(watch)) GTEST_SKIP() << "no process events connector here";
  std::vector<pid_t> failed;
  for (int i = 0; i < 3; ++i) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      pthread_t thread;
      pthread_create(
          &thread, nullptr,
          [](void*) -> void* {
            const rlimit tiny{64 << 10, 64 << 10};
            setrlimit(RLIMIT_AS, &tiny);
            char* argv[] = {const_cast<char*>("true"), nullptr};
            execv("/bin/true", argv);
            _exit(120);  // failed before the point of no return
          },
          nullptr);
      alarm(30);  // a thread that never ran fails the test instead of hanging it
      pause();
      _exit(0);
    }
    failed.push_back(pid);
  }
  int status = 0;
  for (pid_t pid : failed) {
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
  }
  // Two clone(CLONE_PARENT) by a process that dropped to another user: one
  // runs a program, one ends without.
  int report[2];
  ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
  const pid_t middle = fork();
  ASSERT_GE(middle, 0);
  if (middle == 0) {  // async-signal-safe calls only
    if (setresuid(kNobody, kNobody, kNobody) != 0) _exit(126);
    long siblings[2];
    for (long& sibling : siblings) {
      sibling = syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0, 0, 0, 0);
      if (sibling == 0 && &sibling == &siblings[0]) {
        char* argv[] = {const_cast<char*>("true"), nullptr};
        execv("/bin/true", argv);
        _exit(127);
      }
      if (sibling == 0) _exit(0);
    }
    (void)!write(report[1], siblings, sizeof siblings);
    _exit(0);
  }
  close(report[1]);
  long siblings[2] = {-1, -1};
  ASSERT_EQ(read(report[0], siblings, sizeof siblings), static_cast<ssize_t>(sizeof siblings));
  close(report[0]);
  ASSERT_GT(siblings[0], 0);
  ASSERT_GT(siblings[1], 0);
  for (pid_t pid : {middle, static_cast<pid_t>(siblings[0]), static_cast<pid_t>(siblings[1])}) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  const std::string nobody = " euid " + std::to_string(kNobody);
  for (long sibling : siblings) ASSERT_TRUE(watch->await(Kind::Exit, static_cast<pid_t>(sibling)));
  EXPECT_EQ(watch->storyOf(static_cast<pid_t>(siblings[0])),
            (std::vector<std::string>{"fork", "exec" + nobody, "exit 0" + nobody}));
  EXPECT_EQ(watch->storyOf(static_cast<pid_t>(siblings[1])),
            (std::vector<std::string>{"fork", "exit 0" + nobody}));
  for (pid_t pid : failed) {
    EXPECT_TRUE(watch->await(Kind::Exit, pid)) << pid;
    // A child gone before the reader came to its fork has ids nobody can
    // read any more: unknown then, never another process's.
    const auto story = watch->storyOf(pid);
    const std::string exit = "exit " + std::to_string(SIGSEGV) + " euid ";
    EXPECT_TRUE(story == (std::vector<std::string>{"fork", exit + "0"}) ||
                story == (std::vector<std::string>{"fork", exit + std::to_string(0xFFFFFFFFu)}))
        << pid << ": " << ::testing::PrintToString(story);
  }
  hub.unsubscribe(watch.get());
}

// Two copies of sleep running in a bubblewrap sandbox laid out as Flatpak
// or snapd lay theirs out (the system's /usr, the program's directory at
// `at`, with `info` a /.flatpak-info), in a session of their own: its shell
// forks one (`second`) and becomes the other (`first`). Killed with its session.
class Sandboxed {
 public:
  Sandboxed(const std::string& at, const std::string& info) {
    char dir[] = "/tmp/pslive-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    root_ = dir;
    const std::string program = at + "/" + root_.filename().string();
    std::filesystem::copy_file("/bin/sleep", root_ / root_.filename());
    test::writeFile(root_.string() + ".info", info);
    std::istringstream words(
        "/usr/bin/bwrap --unshare-pid --die-with-parent --tmpfs / --ro-bind /usr /usr --symlink "
        "usr/bin /bin --symlink usr/lib /lib --symlink usr/lib64 /lib64 --proc /proc --dev /dev");
    std::vector<std::string> argv;
    for (std::string word; words >> word;) argv.push_back(word);
    argv.insert(argv.end(), {"--ro-bind", root_, at});
    if (!info.empty()) {
      argv.insert(argv.end(), {"--ro-bind", root_.string() + ".info", "/.flatpak-info"});
    }
    argv.insert(argv.end(), {"/bin/sh", "-c", program + " 60 & exec " + program + " 60"});
    std::vector<char*> args(argv.size() + 1, nullptr);
    std::transform(argv.begin(), argv.end(), args.begin(), [](auto& arg) { return arg.data(); });
    if ((leader_ = fork()) == 0) {
      setsid();
      execv(args[0], args.data());
      _exit(127);
    }
    // Bounded: a sandbox that never comes fails the test rather than hangs it.
    for (int tries = 0; tries < 200 && second <= 0; ++tries, usleep(50'000)) {
      std::vector<pid_t> copies;
      for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path() / "exe", error) == program) {
          copies.push_back(std::stoi(entry.path().filename()));
        }
      }
      std::ifstream stat("/proc/" + std::to_string(copies.size() == 2 ? copies[1] : 0) + "/stat");
      const std::string text((std::istreambuf_iterator<char>(stat)), {});
      int parent = 0;  // the field after the name and the state
      if (text.empty() ||
          std::sscanf(text.c_str() + text.rfind(')') + 1, " %*c %d", &parent) != 1) {
        continue;
      }
      const bool ordered = parent == copies[0];
      first = copies[ordered ? 0 : 1];
      second = copies[ordered ? 1 : 0];
    }
  }
  ~Sandboxed() {
    if (leader_ > 0) kill(-leader_, SIGKILL);
    while (leader_ > 0 && waitpid(leader_, nullptr, 0) < 0 && errno == EINTR) {
    }
    std::error_code error;
    std::filesystem::remove_all(root_, error);
    std::filesystem::remove(root_.string() + ".info", error);
  }

  pid_t first = -1;
  pid_t second = -1;

 private:
  std::filesystem::path root_;
  pid_t leader_ = -1;
};

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
  // Only these two are looked for: applications the machine runs are listed too.
  std::set<std::int32_t> listed;
  for (const auto& running : workspace->runningApplications()) {
    listed.insert(running->processIdentifier());
  }
  EXPECT_TRUE(listed.contains(first.pid()));
  EXPECT_FALSE(listed.contains(secondPid));
  for (auto id : ids) workspace->removeObserver(id);
}

// A desktop entry's own program starting is an application's launch, known
// by the entry's ID; a program no entry names is none. So is the first
// process of a Flatpak sandbox or of a snap, known by the application's ID or
// the snap's name, whether it runs when the workspace starts or starts later;
// a second process of the same sandbox, or one a start of the same snap
// forked, is none.
TEST(ProcEventSource, WorkspaceReportsTheStartOfAnApplicationOnce) {
  if (access("/usr/bin/bwrap", X_OK) != 0) GTEST_SKIP() << "no bubblewrap (scripts/install-deps)";
  Sandboxed runningFlatpak("/app/bin", "[Application]\nname=org.example.Running\n");
  Sandboxed runningSnap("/snap/psws-running/3", "");
  auto hub = platform::ProcEventHub::detached();
  auto workspace = platform::makeLinuxWorkspace(*hub);
  std::mutex mu;
  std::condition_variable changed;
  std::vector<std::int64_t> launched;
  const auto id = workspace->addObserver(
      platform::kWillLaunchApplication, [&](const platform::WorkspaceNotification* n) {
        std::lock_guard lock(mu);
        launched.push_back(
            n->userInfo.at(platform::kApplicationProcessIdentifier).integer().value_or(-1));
        changed.notify_all();
      });
  Sandboxed flatpak("/app/bin", "[Application]\nname=org.example.Psws\n");
  Sandboxed snap("/snap/psws-snap/7", "");
  test::ChildProcess other({"psws-other"});
  test::ChildProcess program({"psws-entry"});
  struct stat st {};
  ASSERT_EQ(stat(program.path().c_str(), &st), 0);
  for (const Sandboxed* s : {&flatpak, &snap, &runningFlatpak, &runningSnap}) {
    ASSERT_GT(s->second, 0) << "a sandbox did not come up";
  }
  auto& index = procscope::ApplicationIndex::shared();
  const auto before = index.current();
  index.set(
      std::make_shared<const procscope::ApplicationIndex::Table>(procscope::ApplicationIndex::Table{
          {program.path(), {"org.example.Entry", st.st_dev, st.st_ino}}}));
  for (const Sandboxed* s : {&flatpak, &snap}) {
    const proc_event events[] = {execEvent(s->first), forkEvent(s->first, s->second, s->second),
                                 execEvent(s->second)};
    for (const proc_event& e : events) hub->feed(&e, sizeof e);
  }
  for (const pid_t pid : {other.pid(), program.pid()}) {
    const proc_event exec = execEvent(pid);
    hub->feed(&exec, sizeof exec);
  }
  {
    // Notices go out in order: once the entry's is out, the others' are too.
    std::unique_lock lock(mu);
    changed.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::find(launched.begin(), launched.end(), program.pid()) != launched.end();
    });
    EXPECT_EQ(launched, (std::vector<std::int64_t>{flatpak.first, snap.first, program.pid()}));
  }
  index.set(before);
  std::map<std::int32_t, std::optional<std::string>> running;
  for (const auto& app : workspace->runningApplications()) {
    running[app->processIdentifier()] = app->bundleIdentifier();
  }
  EXPECT_EQ(running[program.pid()], "org.example.Entry");
  EXPECT_EQ(running[flatpak.first], "org.example.Psws");
  EXPECT_EQ(running[snap.first], "psws-snap");
  EXPECT_EQ(running[runningFlatpak.first], "org.example.Running");
  EXPECT_EQ(running[runningSnap.first], "psws-running");
  for (const Sandboxed* s : {&flatpak, &snap, &runningFlatpak, &runningSnap}) {
    EXPECT_FALSE(running.contains(s->second)) << s->second;
  }
  workspace->removeObserver(id);
}

}  // namespace
