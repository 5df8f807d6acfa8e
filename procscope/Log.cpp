#include "procscope/Log.hpp"

#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

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

void logMessage(std::string_view message) {
  std::string line = logPrefix();
  line.append(message);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  // One write per message: appends from many threads never interleave.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  std::string body(message);
  syslog(LOG_NOTICE, "%s", body.c_str());
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
