#include "e2e/E2eSupport.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#ifndef PROCBLOCK_AGENT
#error "PROCBLOCK_AGENT must name the agent binary"
#endif
#ifndef PROCBLOCK_UNIT
#error "PROCBLOCK_UNIT must name the agent's service unit"
#endif

namespace e2e {
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// Every test process adopts its orphaned grandchildren, and the agent's log
// directory needs a mount point; made here (and removed again) only when the
// machine has none.
class LibraryMountPoint : public ::testing::Environment {
 public:
  void SetUp() override {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (::geteuid() == 0 && ::mkdir("/Library", 0755) == 0) created_ = true;
  }
  void TearDown() override {
    if (created_) ::rmdir("/Library");
    created_ = false;
  }

 private:
  bool created_ = false;
};

[[maybe_unused]] ::testing::Environment* const kLibraryMountPoint =
    ::testing::AddGlobalTestEnvironment(new LibraryMountPoint);

// In a forked child: says what failed and ends with a status the parent can
// tell from anything the agent would exit with.
[[noreturn]] void childFailure(const char* what) {
  const int saved = errno;
  const char* reason = std::strerror(saved);
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, "e2e child: ", 11);
  n = ::write(STDERR_FILENO, what, std::strlen(what));
  n = ::write(STDERR_FILENO, ": ", 2);
  n = ::write(STDERR_FILENO, reason, std::strlen(reason));
  n = ::write(STDERR_FILENO, "\n", 1);
  ::_exit(126);
}

// In a forked child: dies with the test process, however that ends.
void dieWithParent(pid_t parent) {
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) childFailure("PR_SET_PDEATHSIG");
  if (::getppid() != parent) ::_exit(125);
}

// Moves this (single-threaded) process into the mount namespace of `pid`.
void enterMountNamespaceOf(pid_t pid) {
  const int ns = ::open(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(), O_RDONLY);
  if (ns < 0 || ::setns(ns, CLONE_NEWNS) != 0) childFailure("setns");
  ::close(ns);
}

// Whether /proc shows the pid as a process that has not ended.
bool liveInProc(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  const char state = stat[close + 2];
  return state != 'Z' && state != 'X' && state != 'x';
}

// Kills and reaps every child of this process that is left (the agent's
// orphans, adopted as subreaper). They are unreaped children, so their pids
// cannot belong to anyone else.
void reapOrphans() {
  const std::string self = std::to_string(::getpid());
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = readFile(entry.path().string() + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state, ppid;
    fields >> state >> ppid;
    if (ppid != self) continue;
    const pid_t pid = static_cast<pid_t>(std::stol(name));
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
  }
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// The steps of a chdir to `path`, one component each, for paths too long
// for a single call.
std::vector<std::string> directorySteps(const std::string& path) {
  std::vector<std::string> steps;
  if (path.starts_with('/')) steps.emplace_back("/");
  std::istringstream components(path);
  for (std::string component; std::getline(components, component, '/');) {
    if (!component.empty()) steps.push_back(component);
  }
  return steps;
}

std::string basename(const std::string& path) {
  return fs::path(path).filename();
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(interval);
  }
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  }
  return "wait status " + std::to_string(status);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool agentMemoryIsMeasurable() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#else
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
  return false;
#endif
#endif
  const char* override = std::getenv("PROCBLOCK_E2E_AGENT");
  return !(override && *override);
#endif
}

std::string startMessage() {
  struct utsname names {};
  int major = 0, minor = 0, bugfix = 0;
  if (::uname(&names) != 0 ||
      std::sscanf(names.release, "%d.%d.%d", &major, &minor, &bugfix) != 3) {
    minor = bugfix = 0;  // a release the agent cannot read: no version
  }
  return minor > 12 || (minor == 12 && bugfix >= 4) ? "Start monitoring" : "Start app monitoring";
}

std::string tailLines(const std::string& text, size_t count) {
  size_t at = text.size();
  if (at > 0 && text[at - 1] == '\n') --at;  // the last line's own line feed
  size_t kept = 0;
  while (at > 0 && kept < count) {
    const size_t feed = text.rfind('\n', at - 1);
    at = feed == std::string::npos ? 0 : feed;
    ++kept;
  }
  if (at == 0) return text;
  const auto left =
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at) + 1, '\n');
  return "[" + std::to_string(left) + " lines before these left out]\n" + text.substr(at + 1);
}

std::string uniqueHelperName() {
  static std::mt19937_64 random{std::random_device{}()};
  static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<size_t> pick(0, kLetters.size() - 1);
  std::string name = "pbh";
  for (int i = 0; i < 11; ++i) name += kLetters[pick(random)];
  return name;
}

std::vector<AccessRow> accessRows(const std::string& log) {
  static const std::regex row(R"(^(\d{2}-\d{2}-\d{4} \d{2}:\d{2}:\d{2}) \t\t\t\t (.*)$)");
  std::vector<AccessRow> rows;
  std::istringstream lines(log);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, match, row)) rows.push_back({match[1], match[2]});
  }
  return rows;
}

// ---- Children ----

pid_t Children::startInSession(const std::string& path, pid_t mountNamespaceOf) {
  return startPrepared({path, "60"}, [mountNamespaceOf] {
    if (mountNamespaceOf > 0) enterMountNamespaceOf(mountNamespaceOf);
  });
}

pid_t Children::startCommandInSession(const std::vector<std::string>& argv,
                                      const std::string& directory) {
  return startPrepared(argv, [&directory] {
    if (::chdir(directory.c_str()) != 0) childFailure("chdir");
  });
}

void becomeNobody() {
  if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
    childFailure("become nobody");
  }
}

bool nobodyMayUnshare() {
  const pid_t pid = ::fork();
  if (pid == 0) {
    becomeNobody();
    ::execl("/usr/bin/unshare", "unshare", "-Urm", "/bin/true", nullptr);
    ::_exit(127);
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

std::string directoryForNobody(const std::string& parent) {
  const std::string dir = parent + "/nobody";
  EXPECT_EQ(::mkdir(dir.c_str(), 0755), 0) << std::strerror(errno);
  EXPECT_EQ(::chown(dir.c_str(), 65534, 65534), 0) << std::strerror(errno);
  return dir;
}

int makeDeepDirectory(const std::string& parent, std::size_t length) {
  int dir = ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  const std::string component(200, 'd');
  for (std::size_t made = parent.size(); dir >= 0 && made <= length; made += 1 + component.size()) {
    if (::mkdirat(dir, component.c_str(), 0755) != 0) break;
    const int next = ::openat(dir, component.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ::close(dir);
    dir = next;
  }
  return dir;
}

pid_t Children::startPrepared(const std::vector<std::string>& argv,
                              const std::function<void()>& prepare) {
  const pid_t parent = ::getpid();
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    dieWithParent(parent);
    if (::setsid() < 0) childFailure("setsid");
    prepare();
    ::execv(args[0], args.data());
    childFailure("execv");
  }
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return -1;
  }
  status_[pid] = std::nullopt;
  leaders_.push_back(pid);
  return pid;
}

std::pair<pid_t, pid_t> Children::startGroup(const std::string& path,
                                             const std::string& memberPath) {
  const pid_t parent = ::getpid();
  const char* argv[] = {path.c_str(), "60", nullptr};
  const char* memberArgv[] = {memberPath.c_str(), "60", nullptr};
  int channel[2];
  if (::pipe2(channel, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return {-1, -1};
  }
  const pid_t leader = ::fork();
  if (leader == 0) {
    ::close(channel[0]);
    dieWithParent(parent);
    if (::setsid() < 0) childFailure("setsid");
    // The member must outlive the leader unless something kills the whole
    // group, so it gets no parent-death signal.
    const pid_t member = ::fork();
    if (member == 0) {
      ::execv(memberArgv[0], const_cast<char* const*>(memberArgv));
      childFailure("execv member");
    }
    if (member < 0) childFailure("fork member");
    if (::write(channel[1], &member, sizeof member) != sizeof member) childFailure("write");
    ::execv(argv[0], const_cast<char* const*>(argv));
    childFailure("execv");
  }
  ::close(channel[1]);
  if (leader < 0) {
    ::close(channel[0]);
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return {-1, -1};
  }
  status_[leader] = std::nullopt;
  leaders_.push_back(leader);
  pid_t member = -1;
  ssize_t n;
  do {
    n = ::read(channel[0], &member, sizeof member);
  } while (n < 0 && errno == EINTR);
  ::close(channel[0]);
  if (n != sizeof member || member <= 0) {
    ADD_FAILURE() << "the group's leader did not report its member";
    return {leader, -1};
  }
  status_[member] = std::nullopt;
  members_.push_back(member);
  return {leader, member};
}

bool Children::poll(pid_t pid) {
  auto it = status_.find(pid);
  if (it == status_.end()) return true;
  if (it->second) return true;
  int status = 0;
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  if (r == pid) {
    it->second = status;
    return true;
  }
  // ECHILD: a member whose leader still lives (and has not reaped it).
  return false;
}

bool Children::running(pid_t pid) {
  if (poll(pid)) return false;
  return liveInProc(pid);
}

std::optional<int> Children::waitForEnd(pid_t pid, std::chrono::milliseconds timeout) {
  waitUntil([&] { return poll(pid); }, timeout, 10ms);
  auto it = status_.find(pid);
  return it == status_.end() ? std::nullopt : it->second;
}

void Children::stopAll() {
  // A leader that is not reaped still holds its pid and so its group id.
  for (pid_t leader : leaders_) {
    if (!poll(leader)) ::killpg(leader, SIGKILL);
  }
  for (pid_t leader : leaders_) {
    int status = 0;
    if (!poll(leader) && ::waitpid(leader, &status, 0) == leader) status_[leader] = status;
  }
  // With their leaders gone, members are this process's children.
  for (pid_t member : members_) {
    int status = 0;
    if (poll(member)) continue;
    if (::waitpid(member, &status, WNOHANG) == 0) {
      ::kill(member, SIGKILL);
      if (::waitpid(member, &status, 0) == member) status_[member] = status;
    }
  }
  leaders_.clear();
  members_.clear();
  status_.clear();
}

// ---- The service unit's restrictions ----

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;
#endif

// The unit's CapabilityBoundingSet= and NoNewPrivileges=, as setpriv's
// arguments (it then runs the agent). Read from the unit itself, so that a
// capability taken out of it is missed here first.
std::vector<std::string> unitCapabilities(bool denyExecDropIn) {
  std::string bounding = "--bounding-set=-all";
  // A drop-in's set adds to the unit's.
  std::vector<const char*> files{PROCBLOCK_UNIT};
  if (denyExecDropIn) files.push_back(PROCBLOCK_DENY_EXEC_DROP_IN);
  for (const char* file : files) {
    std::ifstream unit(file);
    bool found = false;
    for (std::string line; std::getline(unit, line);) {
      if (!line.starts_with("CapabilityBoundingSet=")) continue;
      found = true;
      std::istringstream names(line.substr(line.find('=') + 1));
      for (std::string name; names >> name;) {
        if (name.starts_with("CAP_")) name = name.substr(4);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        bounding += ",+" + name;
      }
    }
    if (!found) ADD_FAILURE() << "no CapabilityBoundingSet= in " << file;
  }
  return {"/usr/bin/setpriv", bounding, "--inh-caps=-all", "--no-new-privs", "--"};
}

// In the child: every mount read-only except the kernel's file systems, which
// ProtectSystem=strict leaves as they are, and the log directory, which the
// unit's ReadWritePaths= keeps writable.
void makeSystemReadOnly(const std::string& logs) {
  if (::mount(logs.c_str(), logs.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    childFailure("bind-mount the log directory");
  }
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::vector<std::string> points;
  for (std::string line; std::getline(mountinfo, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    // Spaces and the like are octal escapes.
    point = std::regex_replace(point, std::regex("\\\\040"), " ");
    points.push_back(point);
  }
  for (const std::string& point : points) {
    const bool api = point == "/proc" || point.starts_with("/proc/") || point == "/sys" ||
                     point.starts_with("/sys/") || point == "/dev" || point.starts_with("/dev/");
    if (api || point == logs) continue;
    if (::mount(nullptr, point.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0 &&
        point == "/") {
      childFailure("remount / read-only");
    }
  }
}

// In the child: the unit's RestrictAddressFamilies=AF_NETLINK AF_UNIX, as
// systemd applies it: socket() of any other family fails with
// EAFNOSUPPORT. (SystemCallArchitectures=native refuses other architectures.)
void restrictAddressFamilies() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      // The family's low 32 bits (little-endian).
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAFNOSUPPORT),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    childFailure("seccomp filter");
  }
}

}  // namespace

bool canRestrictAddressFamilies() {
  return kAuditArch != 0 && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
}

// ---- Agent ----

void Agent::start(const std::string& workDirectory, const std::string& output,
                  const AgentOptions& options) {
  if (logDirectory_ >= 0) ::close(logDirectory_);
  logDirectory_ = -1;
  const pid_t parent = ::getpid();
  // PROCBLOCK_E2E_AGENT runs the tests against another build of the agent.
  const char* override = std::getenv("PROCBLOCK_E2E_AGENT");
  const std::string agentPath = override && *override ? override : PROCBLOCK_AGENT;
  const std::string corventa = "/Library/Corventa";
  const std::string tessor = corventa + "/Tessor_Agent";
  const std::string logs(kLogDirectory);
  const std::string accessLog = logs + "/vornikaccess.log";
  std::vector<std::string> command;
  if (options.unitCapabilities) command = unitCapabilities(options.denyExecDropIn);
  command.push_back(agentPath);
  if (options.denyExec) command.push_back("--deny-exec");
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::vector<std::string> workSteps = directorySteps(workDirectory);
  // The child reports its mounts made on `ready` and waits on `go` while
  // this process opens the log directory through the child's root.
  int ready[2];
  int go[2];
  if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(go, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return;
  }

  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(ready[0]);
    ::close(go[1]);
    dieWithParent(parent);
    if (::setsid() < 0) childFailure("setsid");
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in < 0 || out < 0) childFailure("open");
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    using StandardError = AgentOptions::StandardError;
    if (options.standardError == StandardError::Closed) ::close(STDERR_FILENO);
    if (options.standardError == StandardError::BrokenPipe) {
      int broken[2];
      if (::pipe(broken) != 0) childFailure("pipe");
      ::dup2(broken[1], STDERR_FILENO);
      ::close(broken[0]);
      ::close(broken[1]);
    }
    if (::unshare(CLONE_NEWNS) != 0) childFailure("unshare");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      childFailure("mount private");
    }
    if (::mount("pbe2e", "/Library", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
      childFailure("mount tmpfs on /Library");
    }
    for (const auto& [source, target] : options.bindMounts) {
      if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        childFailure("bind mount");
      }
    }
    for (const std::string* dir : {&corventa, &tessor, &logs}) {
      if (dir == &logs && options.withoutLogDirectory) continue;
      if (::mkdir(dir->c_str(), 0755) != 0) childFailure("mkdir");
    }
    if (options.existingAccessLog) {
      const int fd = ::open(accessLog.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      const auto& text = *options.existingAccessLog;
      if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        childFailure("write existing access log");
      }
      ::close(fd);
      if (options.existingAccessLogMode &&
          ::chmod(accessLog.c_str(), *options.existingAccessLogMode) != 0) {
        childFailure("chmod existing access log");
      }
      if (options.readOnlyAccessLogMount) {
        if (::mount(accessLog.c_str(), accessLog.c_str(), nullptr, MS_BIND, nullptr) != 0) {
          childFailure("bind-mount access log");
        }
        if (::mount(nullptr, accessLog.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                    nullptr) != 0) {
          childFailure("remount access log read-only");
        }
      }
    }
    if (options.directoryAtAccessLog && ::mkdir(accessLog.c_str(), 0755) != 0) {
      childFailure("mkdir at the access log");
    }
    if (options.unprivileged) {
      if (::chmod(logs.c_str(), 0777) != 0) childFailure("chmod");
      if (::setgroups(0, nullptr) != 0) childFailure("setgroups");
      if (::setgid(kNobody) != 0) childFailure("setgid");
      if (::setuid(kNobody) != 0) childFailure("setuid");
      dieWithParent(parent);  // a change of user clears it
    }
    for (const std::string& step : workSteps) {
      if (::chdir(step.c_str()) != 0) childFailure("chdir");
    }
    if (options.readOnlySystem) makeSystemReadOnly(logs);
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) != 1) ::_exit(125);
    // Last: the test's own pipes and the exec need no socket.
    if (options.unitAddressFamilies) restrictAddressFamilies();
    ::execv(argv[0], argv.data());
    childFailure("execv agent");
  }
  ::close(ready[1]);
  ::close(go[0]);
  reaped_ = false;
  endStatus_.reset();
  if (pid_ < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
  } else {
    char byte = 0;
    if (::read(ready[0], &byte, 1) == 1) {
      // Held open, the directory stays readable after the agent and with it
      // its mount namespace have gone.
      const std::string path =
          "/proc/" + std::to_string(pid_) + "/root" + std::string(kLogDirectory);
      if (!options.withoutLogDirectory) {
        logDirectory_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (logDirectory_ < 0) ADD_FAILURE() << "open " << path << ": " << std::strerror(errno);
      }
      [[maybe_unused]] ssize_t n = ::write(go[1], &byte, 1);
    } else {
      ADD_FAILURE() << "the agent's process failed before its exec";
    }
  }
  ::close(ready[0]);
  ::close(go[1]);
  if (pid_ > 0 && options.denyExec) armWatchdog(kDenyExecWatchdog);
}

void Agent::armWatchdog(std::chrono::seconds limit) {
  disarmWatchdog();
  watchdogOff_ = false;
  // Through a pidfd taken now: the agent may be reaped (and its pid reused)
  // before the watchdog is disarmed.
  const int agent = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  const pid_t pid = pid_;
  watchdog_ = std::thread([this, agent, pid, limit] {
    std::unique_lock lock(watchdogMutex_);
    if (!watchdogWake_.wait_for(lock, limit, [this] { return watchdogOff_; })) {
      // A signal only: anything that execs would wait on the agent it watches.
      if (agent >= 0) {
        ::syscall(SYS_pidfd_send_signal, agent, SIGKILL, nullptr, 0);
      } else {
        ::kill(pid, SIGKILL);
      }
    }
    if (agent >= 0) ::close(agent);
  });
}

void Agent::disarmWatchdog() {
  if (!watchdog_.joinable()) return;
  {
    std::lock_guard lock(watchdogMutex_);
    watchdogOff_ = true;
  }
  watchdogWake_.notify_all();
  watchdog_.join();
}

bool Agent::running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    endStatus_ = status;
    return false;
  }
  return true;
}

Agent::~Agent() {
  stop();
  if (logDirectory_ >= 0) ::close(logDirectory_);
}

std::string Agent::readLog(const char* file) const {
  if (logDirectory_ < 0) return {};
  const int fd = ::openat(logDirectory_, file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text;
  char buf[8192];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return text;
}

std::string Agent::diagnosticLog() const {
  return readLog("vornik.log");
}

std::string Agent::accessLog() const {
  return readLog("vornikaccess.log");
}

bool Agent::waitForDiagnostic(std::string_view text, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return diagnosticLog().find(text) != std::string::npos; }, timeout);
}

bool Agent::hasConnectorSocket() const {
  if (pid_ <= 0 || reaped_) return false;
  const std::string proc = "/proc/" + std::to_string(pid_);
  // sk Eth Pid Groups Rmem Wmem Dump Locks Drop Inode; protocol 11 is the connector.
  std::istringstream table(readFile(proc + "/net/netlink"));
  std::string line;
  std::vector<std::string> inodes;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::vector<std::string> columns;
    for (std::string column; fields >> column;) columns.push_back(column);
    if (columns.size() >= 10 && columns[1] == "11") inodes.push_back("socket:[" + columns[9] + "]");
  }
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator(proc + "/fd", ec)) {
    std::error_code linkError;
    const std::string target = fs::read_symlink(fd.path(), linkError);
    for (const auto& inode : inodes) {
      if (target == inode) return true;
    }
  }
  return false;
}

std::optional<unsigned long long> Agent::connectorDrops() const {
  if (pid_ <= 0 || reaped_) return std::nullopt;
  const std::string proc = "/proc/" + std::to_string(pid_);
  std::set<std::string> held;
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator(proc + "/fd", ec)) {
    std::error_code linkError;
    held.insert(fs::read_symlink(fd.path(), linkError).string());
  }
  // sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode; protocol 11 is the connector.
  std::istringstream table(readFile(proc + "/net/netlink"));
  std::string line;
  std::optional<unsigned long long> drops;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::vector<std::string> columns;
    for (std::string column; fields >> column;) columns.push_back(column);
    if (columns.size() < 10 || columns[1] != "11") continue;
    if (held.count("socket:[" + columns[9] + "]") == 0) continue;
    drops = drops.value_or(0) + std::stoull(columns[8]);
  }
  return drops;
}

std::optional<long> Agent::statusKilobytes(std::string_view field) const {
  if (pid_ <= 0 || reaped_) return std::nullopt;
  std::istringstream status(readFile("/proc/" + std::to_string(pid_) + "/status"));
  const std::string key = std::string(field) + ":";
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::istringstream value(line.substr(key.size()));
    long kilobytes = 0;
    if (value >> kilobytes) return kilobytes;
  }
  return std::nullopt;
}

std::optional<unsigned long long> Agent::bytesRead() const {
  if (pid_ <= 0 || reaped_) return std::nullopt;
  std::istringstream io(readFile("/proc/" + std::to_string(pid_) + "/io"));
  std::string key;
  unsigned long long value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return std::nullopt;
}

void Agent::stop() {
  if (pid_ > 0 && !reaped_ && watchdog_.joinable()) {
    // A deny-mode agent is not given time to end by itself.
    ::kill(pid_, SIGKILL);
  }
  disarmWatchdog();
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGTERM);
  if (!waitUntil([&] { return !running(); }, 5s, 20ms)) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_) endStatus_ = status;
    reaped_ = true;
  }
}

// ---- StalledFileSystem ----

StalledFileSystem::StalledFileSystem(pid_t namespaceOf, const std::string& mountPoint,
                                     const std::string& name, const std::string& identifier,
                                     std::chrono::milliseconds answerAfter)
    : mountPoint_(mountPoint) {
  std::error_code ec;
  fs::create_directories(mountPoint, ec);
  const pid_t parent = ::getpid();
  const std::string after = std::to_string(answerAfter.count());
  const char* argv[] = {PROCBLOCK_STALLFS,
                        mountPoint.c_str(),
                        name.c_str(),
                        "/bin/sleep",
                        identifier.empty() ? nullptr : identifier.c_str(),
                        after.c_str(),
                        nullptr};
  server_ = ::fork();
  if (server_ == 0) {
    dieWithParent(parent);
    if (::setsid() < 0) childFailure("setsid");
    enterMountNamespaceOf(namespaceOf);
    ::execv(argv[0], const_cast<char* const*>(argv));
    childFailure("execv stallfs");
  }
  if (server_ < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
}

StalledFileSystem::~StalledFileSystem() {
  if (server_ <= 0) return;
  ::kill(server_, SIGKILL);
  int status = 0;
  ::waitpid(server_, &status, 0);
}

bool StalledFileSystem::mounted() const {
  const std::string mountinfo = "/proc/" + std::to_string(server_) + "/mountinfo";
  return server_ > 0 && waitUntil(
                            [&] {
                              const std::string mounts = readFile(mountinfo);
                              return mounts.find(" " + mountPoint_ + " ") != std::string::npos &&
                                     mounts.find("pbstallfs") != std::string::npos;
                            },
                            10s);
}

// ---- AgentTest ----

void AgentTest::SetUp() {
  if (::geteuid() != 0) GTEST_SKIP() << "runs the agent, which needs root";
  char pattern[] = "/tmp/pbe2e.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr) << std::strerror(errno);
  char real[PATH_MAX];
  ASSERT_NE(::realpath(pattern, real), nullptr);
  root_ = real;
  // Readable for the unprivileged agent, writable only for root.
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  dir_ = root_ + "/work";
  ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
  output_ = root_ + "/agent-output";
  canary_ = makeProgram();
  canaryName_ = basename(canary_);
}

void AgentTest::TearDown() {
  // The logs are read while the agent still runs.
  if (HasFailure()) std::cout << context();
  children_.stopAll();
  agent_.stop();
  reapOrphans();
  if (!root_.empty()) {
    std::error_code ec;
    fs::remove_all(root_, ec);
    // Directories deeper than PATH_MAX: rm(1) walks them by descriptor.
    if (ec) std::system(("rm -rf -- '" + root_ + "'").c_str());
  }
}

std::string AgentTest::uniqueName() {
  static std::mt19937_64 random{std::random_device{}()};
  static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<size_t> pick(0, kLetters.size() - 1);
  std::string name = "pbe2e";
  for (int i = 0; i < 9; ++i) name += kLetters[pick(random)];
  return name;
}

std::string AgentTest::makeProgram(const std::string& directory) {
  return makeProgramNamed(directory.empty() ? dir_ : directory, uniqueName());
}

std::string AgentTest::makeProgramNamed(const std::string& directory, const std::string& name) {
  std::error_code ec;
  fs::create_directories(directory, ec);
  const std::string path = directory + "/" + name;
  fs::copy_file("/bin/sleep", path, fs::copy_options::overwrite_existing, ec);
  EXPECT_FALSE(ec) << "copy /bin/sleep to " << path << ": " << ec.message();
  fs::permissions(path, fs::perms(0755), ec);
  return path;
}

std::string AgentTest::makeUniqueContentProgram(const std::string& directory) {
  const std::string path = makeProgram(directory);
  std::ofstream(path, std::ios::binary | std::ios::app) << "\n" << uniqueName() << uniqueName();
  return path;
}

std::string AgentTest::sha256sumOf(const std::string& path) {
  std::string out;
  if (FILE* pipe = ::popen(("sha256sum '" + path + "'").c_str(), "r")) {
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    ::pclose(pipe);
  }
  EXPECT_GE(out.size(), 64u) << "sha256sum " << path;
  return out.substr(0, std::min<std::size_t>(out.size(), 64));
}

void AgentTest::writeList(std::string_view bytes) {
  writeFile(dir_ + "/vornik.txt", bytes);
}

void AgentTest::writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "writing " << path;
}

void AgentTest::writeInfoPlist(const std::string& contents,
                               const std::vector<std::pair<std::string, std::string>>& strings) {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  for (const auto& [key, value] : strings) {
    plist += "\t<key>" + key + "</key>\n\t<string>" + value + "</string>\n";
  }
  plist += "\t<key>CFBundlePackageType</key>\n\t<string>APPL</string>\n</dict>\n</plist>\n";
  writeFile(contents + "/Info.plist", plist);
}

void AgentTest::startAgent(const AgentOptions& options) {
  agent_.start(dir_, output_, options);
}

::testing::AssertionResult AgentTest::agentIsLive() {
  std::vector<pid_t> canaries;
  const auto deadline = Clock::now() + 15s;
  while (Clock::now() < deadline) {
    if (!agent_.running()) {
      return ::testing::AssertionFailure()
             << "the agent ended (" << describeStatus(agent_.endStatus().value_or(0))
             << ") before it killed a canary";
    }
    canaries.push_back(children_.startInSession(canary_));
    std::this_thread::sleep_for(100ms);
    for (pid_t canary : canaries) {
      if (children_.running(canary)) continue;
      const int status = children_.waitForEnd(canary, 0ms).value_or(0);
      if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
        return ::testing::AssertionSuccess();
      }
      return ::testing::AssertionFailure()
             << "canary " << canary << " ended by itself: " << describeStatus(status);
    }
  }
  return ::testing::AssertionFailure() << "no canary was killed within 15 s";
}

::testing::AssertionResult AgentTest::waitForConnector() {
  if (!waitUntil([&] { return agent_.hasConnectorSocket(); }, 10s)) {
    return ::testing::AssertionFailure() << "the agent opened no process-events socket within 10 s";
  }
  // The subscription follows the socket; give it a moment.
  std::this_thread::sleep_for(500ms);
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult AgentTest::killedBySigkill(pid_t pid) {
  const auto status = children_.waitForEnd(pid, 10s);
  if (!status) {
    return ::testing::AssertionFailure() << "pid " << pid << " still runs after 10 s";
  }
  if (WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "pid " << pid << " ended with " << describeStatus(*status) << ", not SIGKILL";
}

::testing::AssertionResult AgentTest::stillRunning(pid_t pid) {
  if (children_.running(pid)) return ::testing::AssertionSuccess();
  const auto status = children_.waitForEnd(pid, 0ms);
  return ::testing::AssertionFailure()
         << "pid " << pid << " has ended ("
         << (status ? describeStatus(*status) : std::string("status unknown")) << ")";
}

::testing::AssertionResult AgentTest::waitForDiagnostic(std::string_view text) {
  if (agent_.waitForDiagnostic(text, 10s)) return ::testing::AssertionSuccess();
  auto failure = ::testing::AssertionFailure()
                 << "the diagnostic log never held \"" << text << "\"";
  if (!agent_.running()) {
    failure << "; the agent has ended: " << describeStatus(agent_.endStatus().value_or(0));
  }
  return failure;
}

::testing::AssertionResult AgentTest::accessRowsFor(const std::string& name) {
  const bool found = waitUntil(
      [&] {
        for (const auto& row : accessRows(agent_.accessLog())) {
          if (row.name == name) return true;
        }
        return false;
      },
      10s);
  if (found) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no access-log row for " << name;
}

std::string AgentTest::context() const {
  constexpr size_t kLines = 25;
  auto section = [](const char* title, const std::string& text) {
    std::string out = std::string("--- ") + title + " ---\n" + tailLines(text, kLines);
    if (out.back() != '\n') out += '\n';
    return out;
  };
  return section("diagnostic log", agent_.diagnosticLog()) +
         section("access log", agent_.accessLog()) +
         section("agent output before the logs", readFile(output_)) + "---\n";
}

std::string AgentTest::nameOf(const std::string& path) {
  return basename(path);
}

}  // namespace e2e
