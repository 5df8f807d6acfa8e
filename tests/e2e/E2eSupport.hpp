// Runs the real agent binary as root in a private mount namespace (a tmpfs on
// /Library, so its fixed log directory is a temporary one) and starts uniquely
// named programs for it to judge. Everything started here is stopped and
// reaped in teardown.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr std::string_view kLogDirectory = "/Library/Corventa/Tessor_Agent/logs";

// Polls until the condition holds or the time is up; true when it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = 50ms);

// "exit 3", "signal 9 (Killed)", ...
std::string describeStatus(int status);

std::string readFile(const std::string& path);

// Whether the agent's memory use means what it would in a release: not when
// it is built with a sanitizer (as these tests are), nor when another build
// of it runs (PROCBLOCK_E2E_AGENT).
bool agentMemoryIsMeasurable();

// What the agent, run as root, logs as it starts monitoring on the running
// kernel: "Start monitoring" from version x.12.4 on, else "Start app
// monitoring" (Debian 12's 6.1, for one).
std::string startMessage();

// The last `count` lines of the text, said to be so when some were left out.
std::string tailLines(const std::string& text, size_t count);

// Another kind of unique program name: "pbh" and eleven random characters
// (fourteen in all, so the kernel's short name is the whole name).
std::string uniqueHelperName();

// The lines of the access log that are rows, split into (date and time, name).
struct AccessRow {
  std::string when;
  std::string name;
};
std::vector<AccessRow> accessRows(const std::string& log);

// In a child about to run a program: takes uid and gid 65534, no groups.
void becomeNobody();

// Whether uid 65534 may make a user and mount namespace here (unshare -Urm).
bool nobodyMayUnshare();

// A directory owned by uid 65534 under `parent`, for what such a user makes.
std::string directoryForNobody(const std::string& parent);

// A chain of directories under `parent` whose path is longer than `length`
// bytes (so longer than PATH_MAX where asked): a close-on-exec descriptor of
// the deepest, reachable as /proc/self/fd/<it> in this process, or -1.
int makeDeepDirectory(const std::string& parent, std::size_t length);

// Programs this process started, in sessions of their own. Only pids that are
// still unreaped children are ever signalled.
class Children {
 public:
  Children() = default;
  Children(const Children&) = delete;
  Children& operator=(const Children&) = delete;
  ~Children() { stopAll(); }

  // Starts `path 60` as the leader of a new session; in the mount namespace
  // of `mountNamespaceOf` when that is given.
  pid_t startInSession(const std::string& path, pid_t mountNamespaceOf = 0);
  // Starts `argv` as the leader of a new session, in `directory`.
  pid_t startCommandInSession(const std::vector<std::string>& argv, const std::string& directory);
  // `argv` as the leader of a new session, once `prepare` has run in the
  // child (a change of directory or of user).
  pid_t startPrepared(const std::vector<std::string>& argv, const std::function<void()>& prepare);
  // A new session whose leader first forks a member running `memberPath`,
  // then runs `path` itself: two processes of one group. {leader, member}.
  std::pair<pid_t, pid_t> startGroup(const std::string& path, const std::string& memberPath);

  // The wait status once the process has ended (it is reaped then), or none
  // when it is still running after the time-out.
  std::optional<int> waitForEnd(pid_t pid, std::chrono::milliseconds timeout);
  bool running(pid_t pid);

  // Kills and reaps everything started here.
  void stopAll();

 private:
  // Reaps the pid when it has ended; true when it has.
  bool poll(pid_t pid);

  std::map<pid_t, std::optional<int>> status_;
  std::vector<pid_t> leaders_;
  std::vector<pid_t> members_;
};

// A FUSE file system (tests/fuse/StallFs.cpp) of one executable, a copy of
// /bin/sleep named `name`, whose server never answers LISTXATTR. It is
// mounted at `mountPoint` inside the mount namespace of `namespaceOf` only.
// Its server runs as a process of its own and is killed first thing on
// destruction, which fails the unanswered requests: nothing is left waiting.
// With an `identifier` it serves instead a bundle, <mountPoint>/App.app, whose
// main executable is that copy, and answers the listing after `answerAfter`.
class StalledFileSystem {
 public:
  StalledFileSystem(pid_t namespaceOf, const std::string& mountPoint, const std::string& name,
                    const std::string& identifier = {}, std::chrono::milliseconds answerAfter = {});
  ~StalledFileSystem();
  StalledFileSystem(const StalledFileSystem&) = delete;
  StalledFileSystem& operator=(const StalledFileSystem&) = delete;

  // Waits until the server has mounted it.
  bool mounted() const;

 private:
  pid_t server_ = -1;
  std::string mountPoint_;
};

struct AgentOptions {
  // Run under uid and gid 65534 (after the mounts; the log directory is made
  // writable for it).
  bool unprivileged = false;
  // Written to the access log before the agent starts.
  std::optional<std::string> existingAccessLog;
  // Applied to that existing access log.
  std::optional<mode_t> existingAccessLogMode;
  // That existing access log bind-mounted read-only onto itself: not even
  // root can write it.
  bool readOnlyAccessLogMount = false;
  // A directory where the access log belongs.
  bool directoryAtAccessLog = false;
  // Only the log directory's parents are made; its logs cannot be read then.
  bool withoutLogDirectory = false;
  // Standard error as the agent gets it: the output file, closed, or a pipe
  // whose reader has gone.
  enum class StandardError { Output, Closed, BrokenPipe };
  StandardError standardError = StandardError::Output;
  // The service unit's restrictions that hold without systemd: its
  // capability bounding set and no new privileges (through setpriv), every
  // mount read-only but the log directory (ProtectSystem=strict with
  // ReadWritePaths=), and sockets of its address families only.
  bool unitCapabilities = false;
  bool readOnlySystem = false;
  bool unitAddressFamilies = false;
  // --deny-exec. Every exec on the machine then waits for the agent's
  // answers: a watchdog SIGKILLs it past kDenyExecWatchdog whatever the test
  // does, and the agent dies with the test.
  bool denyExec = false;
  // With unitCapabilities: also the capabilities that deny-exec.conf adds.
  bool denyExecDropIn = false;
  // Directories bound (source, target) in the agent's namespace only: what
  // it alone sees, such as system desktop entries. Targets must exist.
  std::vector<std::pair<std::string, std::string>> bindMounts;
};

inline constexpr std::chrono::seconds kDenyExecWatchdog{60};

// Whether unitAddressFamilies can be applied on this machine's architecture.
bool canRestrictAddressFamilies();

class Agent {
 public:
  Agent() = default;
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;
  ~Agent();

  // `output` receives what the agent writes before standard error moves.
  void start(const std::string& workDirectory, const std::string& output,
             const AgentOptions& options);
  pid_t pid() const { return pid_; }
  bool running();
  std::optional<int> endStatus() const { return endStatus_; }

  // Read through the agent's log directory, opened from outside through its
  // root before it started; still readable after it has ended.
  std::string diagnosticLog() const;
  std::string accessLog() const;
  bool waitForDiagnostic(std::string_view text, std::chrono::milliseconds timeout) const;
  // Whether the agent holds a socket of the kernel's process-events connector.
  bool hasConnectorSocket() const;
  // How many messages the kernel dropped at that socket (the Drops column of
  // /proc/net/netlink); none while the agent holds no such socket.
  std::optional<unsigned long long> connectorDrops() const;
  // A field of /proc/<agent>/status in kB ("VmHWM", "VmRSS"); none when gone.
  std::optional<long> statusKilobytes(std::string_view field) const;
  // The bytes the agent has read from files so far (rchar of its io); none
  // when gone.
  std::optional<unsigned long long> bytesRead() const;

  // SIGTERM, then SIGKILL after a while; always reaps.
  void stop();

 private:
  std::string readLog(const char* file) const;
  void armWatchdog(std::chrono::seconds limit);
  void disarmWatchdog();

  std::thread watchdog_;
  std::mutex watchdogMutex_;
  std::condition_variable watchdogWake_;
  bool watchdogOff_ = false;

  pid_t pid_ = -1;
  bool reaped_ = false;
  std::optional<int> endStatus_;
  int logDirectory_ = -1;
};

// One agent run: a private temporary directory as its working directory,
// programs for it to judge, and the agent itself.
class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A unique program name: "pbe2e" and nine random characters.
  static std::string uniqueName();
  // A copy of /bin/sleep with a unique name in `directory` (the working
  // directory when empty); its full path.
  std::string makeProgram(const std::string& directory = {});
  std::string makeProgramNamed(const std::string& directory, const std::string& name);
  static std::string nameOf(const std::string& path);
  // A copy of /bin/sleep with a unique name in `directory` and unique
  // content (random bytes after its end, which it never reads): a digest of
  // it lists no other program on the machine.
  std::string makeUniqueContentProgram(const std::string& directory = {});
  // What sha256sum prints for the file, without the name: lower case.
  static std::string sha256sumOf(const std::string& path);
  // Writes vornik.txt into the working directory.
  void writeList(std::string_view bytes);
  void writeFile(const std::string& path, std::string_view bytes);
  // <contents>/Info.plist of an application bundle: these string keys, in
  // this order, then the package type.
  void writeInfoPlist(const std::string& contents,
                      const std::vector<std::pair<std::string, std::string>>& strings);

  void startAgent(const AgentOptions& options = {});
  // Starts the canary every 100 ms until one is killed.
  ::testing::AssertionResult agentIsLive();
  // For lists without a canary: waits until the agent holds its
  // process-events socket, and a little longer.
  ::testing::AssertionResult waitForConnector();
  ::testing::AssertionResult killedBySigkill(pid_t pid);
  ::testing::AssertionResult stillRunning(pid_t pid);
  ::testing::AssertionResult waitForDiagnostic(std::string_view text);
  // Waits for at least one access-log row naming the program.
  ::testing::AssertionResult accessRowsFor(const std::string& name);

  // The ends of the logs and of the agent's early output, for failure
  // messages: what explains a failure is near the end.
  std::string context() const;

  std::string root_;    // private temporary directory (real path)
  std::string dir_;     // the agent's working directory, inside it
  std::string canary_;  // full path of a listed program that proves the agent live
  std::string canaryName_;
  std::string output_;  // the agent's output before standard error moves
  Children children_;
  Agent agent_;
};

}  // namespace e2e
