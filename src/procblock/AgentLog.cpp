#include "procblock/AgentLog.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "procblock/LogPaths.hpp"
#include "procscope/Log.hpp"
#include "procscope/Value.hpp"

namespace procblock {
namespace {

// Fixed parts of these routines' messages; tools reading the diagnostic log
// match on them, so they never change with the code around them.
constexpr const char* kIsFileExistsSignature = "BOOL isFileExists(NSString *__strong)";
constexpr const char* kCreateFileSignature = "DWORD CreateFile(NSString *__strong)";

std::string formatLocal(std::chrono::system_clock::time_point when, const char* pattern) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  size_t n = std::strftime(buf, sizeof buf, pattern, &tm);
  return std::string(buf, n);
}

std::string formatDate(std::chrono::system_clock::time_point when) {
  return formatLocal(when, "%d-%m-%Y");
}

// Opens a log for appending. The agent runs as root: a symbolic link planted
// at the path must not let it create or extend some other file, and anything
// but a regular file (a FIFO would block the opener) is refused.
int openLog(const std::string& path, int extraFlags) {
  int fd = ::open(path.c_str(),
                  O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | extraFlags, 0644);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the rest of the row is lost, as on a full disk
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// "<signature> [Line <n>]", the start of every message of these routines.
std::string located(const char* signature, int line) {
  return std::string(signature) + " [Line " + std::to_string(line) + "]";
}

}  // namespace

void CreateBlockAccessLog() {
  const std::string path = accessLogPath();
  if (isFileExists(path)) return;  // even an empty file keeps its content
  CreateFile(path);                // when creation failed, the appends below find no file
  PrintAccessLog(path, kAccessLogHeader1);
  PrintAccessLog(path, kAccessLogHeader2);
}

bool isFileExists(const std::string& path) {
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  procscope::logMessage(located(kIsFileExistsSignature, 194) +
                        " \n isFileExists :retval:" + (exists ? "1" : "0") + " ");
  return exists;
}

DWORD CreateFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    procscope::logMessage(located(kCreateFileSignature, 214) +
                          " CreateFile : File already exists : " + procscope::visibleText(path) +
                          "\n");
    return kCreateFileSuccess;
  }
  // O_EXCL with O_NOFOLLOW: fails on any symbolic link, dangling or not.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    // The path is not part of this message.
    procscope::logMessage(located(kCreateFileSignature, 209) +
                          " CreateFile :File creation failure \n");
    return kCreateFileFailure;
  }
  ::close(fd);
  procscope::logMessage(located(kCreateFileSignature, 211) +
                        " CreateFile :File creation success : " + procscope::visibleText(path) +
                        "\n");
  return kCreateFileSuccess;
}

void PrintAccessLog(const std::string& path, std::string_view text) {
  int fd = openLog(path, 0);
  if (fd < 0) return;
  // O_APPEND and a single write: rows from many threads land whole at the end.
  writeAll(fd, text);
  ::close(fd);
}

void Printlog(const std::optional<std::string>& name) {
  PrintAccessLog(accessLogPath(), formatAccessLogRow(std::chrono::system_clock::now(), name));
}

std::string GetCurrDateString() {
  return formatDate(std::chrono::system_clock::now());
}

std::string GetCurrTime() {
  return formatTime(std::chrono::system_clock::now());
}

std::string formatTime(std::chrono::system_clock::time_point when) {
  return formatLocal(when, "%H:%M:%S");
}

std::string formatAccessLogRow(std::chrono::system_clock::time_point when,
                               const std::optional<std::string>& name) {
  std::string row = formatDate(when);
  row += ' ';
  row += formatTime(when);
  row += " \t\t\t\t ";
  row += procscope::visibleText(procscope::orNull(name));
  row += '\n';
  return row;
}

bool reopenStandardError() {
  int fd = openLog(diagnosticLogPath(), O_CREAT);
  if (fd < 0) return false;
  if (fd == STDERR_FILENO) {  // started with descriptor 2 closed: the open landed there
    return ::fcntl(fd, F_SETFD, 0) == 0;
  }
  const bool ok = ::dup2(fd, STDERR_FILENO) == STDERR_FILENO;
  ::close(fd);
  return ok;
}

}  // namespace procblock
