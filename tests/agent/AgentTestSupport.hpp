// Shared pieces of the agent's tests: files in a private directory, a bundle
// and a notice layer that only record, and children of the test. Every process
// a test signals is one it started itself, running a uniquely named copy of
// sleep in a session of its own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "procblock/Kill.hpp"
#include "procblock/platform/Journal.hpp"
#include "procblock/platform/Notice.hpp"
#include "procscope/platform/Bundle.hpp"

namespace agenttest {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/procblock-agent-XXXXXX";
    path_ = ::mkdtemp(name) ? name : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole contents, or none when the file cannot be read.
inline std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class FakeBundle final : public procscope::platform::Bundle {
 public:
  FakeBundle(std::string path, std::optional<procscope::Dictionary> info)
      : path_(std::move(path)), info_(std::move(info)) {}
  std::string bundlePath() const override { return path_; }
  std::optional<std::string> executablePath() const override { return std::nullopt; }
  const std::optional<procscope::Dictionary>& infoDictionary() const override { return info_; }
  std::optional<std::string> pathForResource(const std::optional<std::string>&,
                                             const std::optional<std::string>&) const override {
    return std::nullopt;
  }

 private:
  std::string path_;
  std::optional<procscope::Dictionary> info_;
};

// The journal entries the agent sends, as their fields.
class RecordingJournal final : public procblock::platform::JournalLayer {
 public:
  void send(const std::vector<std::string>& fields) override {
    std::lock_guard lock(mu_);
    sent_.push_back(fields);
  }
  std::vector<std::vector<std::string>> sent() {
    std::lock_guard lock(mu_);
    return sent_;
  }

 private:
  std::mutex mu_;
  std::vector<std::vector<std::string>> sent_;
};

class RecordingNotices final : public procblock::platform::NoticeLayer {
 public:
  void post(const procblock::platform::Notice& notice) override {
    std::lock_guard lock(mu_);
    posted_.push_back(notice);
  }
  std::vector<procblock::platform::Notice> posted() {
    std::lock_guard lock(mu_);
    return posted_;
  }
  std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (const auto& notice : posted()) out.push_back(notice.message);
    return out;
  }
  // The messages once `count` have come, or after 5 seconds.
  std::vector<std::string> waitFor(std::size_t count) {
    for (int i = 0; i < 250 && posted().size() < count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return messages();
  }

 private:
  std::mutex mu_;
  std::vector<procblock::platform::Notice> posted_;
};

// A pid no process can have.
inline std::int32_t impossiblePid() {
  std::int64_t max = 4194304;
  std::ifstream("/proc/sys/kernel/pid_max") >> max;
  return static_cast<std::int32_t>(max + 1);
}

// Up to n bytes; fewer when the writers end or nothing comes for a long
// while (only to keep a broken run from hanging).
inline std::string readBytes(int fd, size_t n) {
  std::string out;
  pollfd p{fd, POLLIN, 0};
  char c;
  while (out.size() < n && ::poll(&p, 1, 30000) > 0 && ::read(fd, &c, 1) == 1) out.push_back(c);
  return out;
}

// Waits for a child to end; none if it still runs after `tries` times 10 ms.
inline std::optional<int> waitForChild(pid_t pid, int tries = 3000) {
  for (int i = 0; i < tries; ++i) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

inline bool killedBySigkill(const std::optional<int>& status) {
  return status && WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL;
}

// True when the (unreaped) child still runs after `wait`.
inline bool stillRunning(pid_t pid, std::chrono::milliseconds wait) {
  std::this_thread::sleep_for(wait);
  return ::waitpid(pid, nullptr, WNOHANG) == 0;
}

// A copy of /bin/sleep named "pb<our pid>-<role>" under a fresh temporary
// directory; the path is as /proc gives it.
class Sleeper {
 public:
  explicit Sleeper(const std::string& role = "sleep")
      : name_("pb" + std::to_string(::getpid()) + "-" + role), path_(dir_ / name_) {
    std::filesystem::copy_file("/bin/sleep", path_);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
    path_ = std::filesystem::canonical(path_).string();
  }
  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  // Replaces the calling (forked) process; only async-signal-safe calls.
  [[noreturn]] void exec() const {
    char* argv[] = {const_cast<char*>(path_.c_str()), const_cast<char*>("1000"), nullptr};
    ::execv(path_.c_str(), argv);
    ::_exit(127);
  }
  // A child in a session of its own running the copy, returned once /proc
  // names it so. -1 on failure.
  pid_t start() const {
    int started[2];
    if (::pipe2(started, O_CLOEXEC) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setsid();
      exec();
    }
    ::close(started[1]);
    readBytes(started[0], 1);  // the end of the close-on-exec pipe: exec has begun
    ::close(started[0]);
    const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    for (int i = 0; pid > 0 && i < 1000 && readFile(comm) != name_.substr(0, 15) + "\n"; ++i) {
      ::usleep(1000);
    }
    return pid;
  }

 private:
  TempDir dir_;
  std::string name_;
  std::string path_;
};

// A child of the test leading a session (and so a group) of its own. Whatever
// the test did, it and its group are killed and it is reaped at the end: the
// group id stays ours while the child is unreaped.
class SessionChild {
 public:
  explicit SessionChild(pid_t pid) : pid_(pid) {}
  ~SessionChild() {
    if (pid_ <= 0 || reaped_) return;
    ::killpg(pid_, SIGKILL);
    ::kill(pid_, SIGKILL);  // should it not have reached setsid
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
  // Ends the child now (it is ours and unreaped) and reaps it.
  std::optional<int> stop() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
    return wait();
  }

 private:
  pid_t pid_;
  bool reaped_ = false;
};

// Runs `body` in a forked helper leading a session of its own: it stands in
// for the agent, so a faulty guard could only ever take down the helper.
// What the body returned; none when the helper did not exit normally.
inline std::optional<std::string> inHelper(const std::function<std::string()>& body) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setsid();
    ::close(out[0]);
    const std::string text = body();
    ::write(out[1], text.data(), text.size());
    ::_exit(0);
  }
  SessionChild helper(pid);
  ::close(out[1]);
  std::string text;
  for (std::string piece; !(piece = readBytes(out[0], 1)).empty();) text += piece;
  ::close(out[0]);
  const auto status = helper.wait();
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) return std::nullopt;
  return text;
}

// The kill's paths: through pidfds with the group signal; through pidfds
// with killpg for the group (kernels before 6.9); without pidfds at all.
struct KillMode {
  const char* name;
  procblock::KillCapabilities capabilities;
};

inline void PrintTo(const KillMode& mode, std::ostream* out) {
  *out << mode.name;
}

inline const KillMode kKillModes[] = {
    {"Pidfd", {true, true}},
    {"PidfdThenKillpg", {true, false}},
    {"NoPidfd", {false, false}},
};

// Runs each test once per path; the capabilities are restored afterwards.
class KillModeTest : public ::testing::TestWithParam<KillMode> {
 protected:
  void SetUp() override {
    saved_ = procblock::killCapabilities();
    procblock::setKillCapabilities(GetParam().capabilities);
  }
  void TearDown() override { procblock::setKillCapabilities(saved_); }

 private:
  procblock::KillCapabilities saved_;
};

inline std::string killModeName(const ::testing::TestParamInfo<KillMode>& info) {
  return info.param.name;
}

}  // namespace agenttest
