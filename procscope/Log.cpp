#include "procscope/Log.hpp"

#include <paths.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <limits>

namespace procscope {

std::string logPrefix() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t t = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s.%03lld %s[%d:%ld] ", date, static_cast<long long>(ms),
                program_invocation_short_name, static_cast<int>(getpid()),
                static_cast<long>(syscall(SYS_gettid)));
  return buf;
}

namespace {

// Without a system logger, syslog(3) tries to connect anew for every message:
// three wasted syscalls on the way to each kill. Its socket is looked for at
// most once a second instead.
bool systemLoggerPresent() {
  static std::atomic<std::int64_t> checkedAt{std::numeric_limits<std::int64_t>::min()};
  static std::atomic<bool> present{false};
  const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  const std::int64_t last = checkedAt.load(std::memory_order_relaxed);
  if (last == std::numeric_limits<std::int64_t>::min() || now - last >= 1000) {
    struct stat st {};
    present.store(::stat(_PATH_LOG, &st) == 0 && S_ISSOCK(st.st_mode), std::memory_order_relaxed);
    checkedAt.store(now, std::memory_order_relaxed);
  }
  return present.load(std::memory_order_relaxed);
}

}  // namespace

void logMessage(std::string_view message) {
  const std::string prefix = logPrefix();
  const bool addLineFeed = message.empty() || message.back() != '\n';
  // One writev per message: appends from many threads never interleave, and a
  // long message (a big block list) is not copied to be written.
  iovec parts[3] = {
      {const_cast<char*>(prefix.data()), prefix.size()},
      {const_cast<char*>(message.data()), message.size()},
      {const_cast<char*>("\n"), addLineFeed ? 1u : 0u},
  };
  iovec* next = parts;
  int count = 3;
  while (count > 0) {
    ssize_t n = ::writev(STDERR_FILENO, next, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    auto done = static_cast<size_t>(n);
    while (count > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  // The message as it stands, without a copy.
  if (systemLoggerPresent()) {
    syslog(LOG_NOTICE, "%.*s", static_cast<int>(std::min<size_t>(message.size(), INT_MAX)),
           message.data());
  }
}

std::string visibleText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace procscope
