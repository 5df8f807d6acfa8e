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
  ~StderrCapture() { restore(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written so far.
  std::string take() {
    std::string out;
    char buf[4096];
    off_t off = 0;
    ssize_t n;
    while ((n = pread(fd_, buf, sizeof buf, off)) > 0) {
      out.append(buf, static_cast<size_t>(n));
      off += n;
    }
    return out;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
    }
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  int fd_ = -1;
  int saved_ = -1;
};

}  // namespace test
