// A process the test starts itself: a copy of /bin/dash under a fresh
// temporary directory (so its name is unique), in its own session, waiting on
// its standard input. Only this child is ever signalled, before it is reaped.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace test {

class ChildProcess {
 public:
  // The copy goes into `subdirectory` (may be empty) of the temporary directory.
  // With `setUserId`, the copy is set-user-ID and owned by that user.
  explicit ChildProcess(const std::vector<std::string>& argv, const std::string& subdirectory = "",
                        std::optional<uid_t> setUserId = std::nullopt) {
    char dir[] = "/tmp/pslive-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    root_ = dir;
    std::error_code error;
    std::filesystem::create_directories(root_ / subdirectory, error);
    path_ = (root_ / subdirectory / root_.filename()).string();
    if (!std::filesystem::copy_file("/bin/dash", path_, error)) return;
    if (setUserId &&
        (chown(path_.c_str(), *setUserId, 0) != 0 || chmod(path_.c_str(), 04755) != 0)) {
      return;
    }

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int input[2], started[2];
    if (pipe2(input, O_CLOEXEC) != 0) return;
    if (pipe2(started, O_CLOEXEC) != 0) {
      close(input[0]);
      close(input[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {  // async-signal-safe calls only, until exec
      setsid();
      dup2(input[0], STDIN_FILENO);
      execv(path_.c_str(), args.data());
      _exit(127);
    }
    close(input[0]);
    close(started[1]);
    input_ = input[1];
    // The start pipe closes at exec, so the queries see the new image.
    char byte;
    while (read(started[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(started[0]);
  }

  ~ChildProcess() {
    stop();
    std::error_code error;
    if (!root_.empty()) std::filesystem::remove_all(root_, error);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& path() const { return path_; }

  // Kills and reaps the child; its pid is then free.
  void stop() {
    if (input_ >= 0) close(input_);
    input_ = -1;
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
  }

 private:
  std::filesystem::path root_;
  std::string path_;
  pid_t pid_ = -1;
  int input_ = -1;
};

}  // namespace test
