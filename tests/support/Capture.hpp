// Captures what the process writes to standard error during a scope.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace test {

class StderrCapture {
 public:
  StderrCapture() {
    char name[] = "/tmp/procblock-stderr-XXXXXX";
    fd_ = mkstemp(name);
    unlink(name);
    saved_ = dup(STDERR_FILENO);
    dup2(fd_, STDERR_FILENO);
  }
  ~StderrCapture() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(fd_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written so far.
  std::string take() {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = pread(fd_, buf, sizeof buf, static_cast<off_t>(out.size()))) > 0;) {
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

}  // namespace test
