#include "procblock/LoggedOnUsers.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmpx.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <utility>

#include "procblock/platform/DenyExec.hpp"
#include "procblock/platform/LoginRecords.hpp"
#include "procscope/Log.hpp"
#include "procscope/Utf8.hpp"
#include "procscope/Value.hpp"

extern char** environ;

namespace procblock {
namespace {

constexpr std::size_t kChunkSize = 1024;

// The names the platform gives these failures, so the log reads the same.
constexpr const char* kLaunchFailure = "NSInvalidArgumentException";
constexpr const char* kReadFailure = "NSFileHandleOperationException";

void logCaught(const std::string& name, const std::string& reason) {
  procscope::logMessage("Caught exception in ExecutePrcess:name" + name +
                        ": reason:" + procscope::visibleText(reason) + "\n");
}

std::string errorText(int error) {
  char buf[256];
  return ::strerror_r(error, buf, sizeof buf);
}

std::string lastPathComponent(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

// Keeps a pipe end clear of descriptors 0 to 2, so that making it the
// child's standard output is always a real duplication.
bool moveAboveStandard(int& fd) {
  if (fd > STDERR_FILENO) return true;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  fd = moved;
  return moved >= 0;
}

// Up to kChunkSize bytes, fewer only at the end of the output; none when the
// read fails (errno kept).
std::optional<std::string> readChunk(int fd) {
  std::string chunk(kChunkSize, '\0');
  std::size_t filled = 0;
  while (filled < kChunkSize) {
    const ssize_t n = ::read(fd, chunk.data() + filled, kChunkSize - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  chunk.resize(filled);
  return chunk;
}

void reap(pid_t child) {
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Length as the platform's strings count it, in UTF-16 units.
std::size_t utf16Length(const std::string& text) {
  std::size_t length = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) != 0x80) ++length;  // a character starts here
    if (c >= 0xF0) ++length;           // beyond the basic plane: a surrogate pair
  }
  return length;
}

std::vector<std::string> splitAtSpaces(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = text.find(' ', start);
    if (space == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, space - start));
    start = space + 1;
  }
}

std::optional<std::string> usersFromOutput(const std::optional<std::string>& output) {
  if (output && utf16Length(*output) < 2) return std::nullopt;
  procscope::logMessage("Users names list: " + procscope::visibleText(procscope::orNull(output)) +
                        "\n");
  if (!output) return std::nullopt;

  std::optional<std::string> result;
  for (std::string name : splitAtSpaces(*output)) {
    name.erase(std::remove(name.begin(), name.end(), '\n'), name.end());
    procscope::logMessage("Detected user name: " + procscope::visibleText(name));
    // The account macOS uses while setting up a new user is nobody's login.
    if (name != "_mbsetupuser") {
      const std::size_t backslash = name.find('\\');
      const std::string user = backslash == std::string::npos ? name : name.substr(backslash + 1);
      // An empty result is replaced, not extended.
      if (result && !result->empty()) {
        *result += ',';
        *result += user;
      } else {
        result = user;
      }
    }
    procscope::logMessage("GetLoggedOnUsers: username outstr: " +
                          procscope::visibleText(procscope::orNull(result)));
  }
  return result;
}

// What `users` prints without an argument, from the login records.
class UtmpLoginRecords final : public platform::LoginRecordSource {
 public:
  std::optional<std::string> usersOutput() override {
    std::vector<std::string> names;
    {
      // The records are read through state the C library keeps per process.
      static std::mutex mu;
      std::lock_guard lock(mu);
      ::setutxent();
      while (const utmpx* entry = ::getutxent()) {
        if (entry->ut_type != USER_PROCESS || entry->ut_user[0] == '\0') continue;
        names.push_back(procscope::decodeLossy(
            std::string_view(entry->ut_user, ::strnlen(entry->ut_user, sizeof entry->ut_user))));
      }
      ::endutxent();
    }
    // `users` lists the names in byte order.
    std::sort(names.begin(), names.end());
    return platform::formatUsersOutput(names);
  }
};

class ProgramLoginRecords final : public platform::LoginRecordSource {
 public:
  ProgramLoginRecords(std::string path, std::vector<std::string> arguments)
      : path_(std::move(path)), arguments_(std::move(arguments)) {}
  std::optional<std::string> usersOutput() override {
    return GetOutputForExecution(path_, arguments_);
  }

 private:
  std::string path_;
  std::vector<std::string> arguments_;
};

}  // namespace

std::optional<std::string> GetOutputForExecution(const std::string& path,
                                                 const std::vector<std::string>& arguments) {
  std::string output;

  // Close-on-exec, so that no other child started meanwhile keeps the write
  // end open and this read never ends.
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    logCaught(kLaunchFailure, "cannot create a pipe: " + errorText(errno));
    return std::nullopt;
  }
  int readEnd = ends[0];
  int writeEnd = ends[1];
  if (!moveAboveStandard(readEnd) || !moveAboveStandard(writeEnd)) {
    const int error = errno;
    if (readEnd >= 0) ::close(readEnd);
    if (writeEnd >= 0) ::close(writeEnd);
    logCaught(kLaunchFailure, "cannot create a pipe: " + errorText(error));
    return std::nullopt;
  }

  std::string name = lastPathComponent(path);
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(name.data());
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
  // Closed before the exec, which waits for the listener's answer.
  if (const int listener = platform::denyExecDescriptor(); listener >= 0) {
    ::posix_spawn_file_actions_addclose(&actions, listener);
  }
  // The child starts with no signal blocked and SIGPIPE at its default,
  // whatever the calling thread had.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  sigset_t none, defaulted;
  ::sigemptyset(&none);
  ::sigemptyset(&defaulted);
  ::sigaddset(&defaulted, SIGPIPE);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setsigdefault(&attributes, &defaulted);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t child = -1;
  const int spawnError =
      ::posix_spawn(&child, path.c_str(), &actions, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(writeEnd);
  if (spawnError != 0) {
    ::close(readEnd);
    logCaught(kLaunchFailure, path + ": " + errorText(spawnError));
    return std::nullopt;
  }

  // All of the output before the wait: a child that fills the pipe would
  // otherwise never end.
  for (;;) {
    const auto chunk = readChunk(readEnd);
    if (!chunk) {
      const int error = errno;
      ::close(readEnd);
      reap(child);
      logCaught(kReadFailure, "cannot read the output of " + path + ": " + errorText(error));
      return std::nullopt;
    }
    if (chunk->empty()) break;
    // Each chunk decodes on its own; one that does not is dropped whole.
    if (procscope::isValidUtf8(*chunk)) output += *chunk;
  }
  ::close(readEnd);
  reap(child);
  return output;
}

std::optional<std::string> GetLoggedOnUsers() {
  try {
    const auto source = platform::LoginRecords::get();
    return usersFromOutput(source ? source->usersOutput() : std::nullopt);
  } catch (const std::bad_alloc& e) {
    procscope::logMessage(std::string("GetLoggedOnUsers: Exception occurred: std::bad_alloc,") +
                          e.what());
  } catch (const std::exception& e) {
    procscope::logMessage(std::string("GetLoggedOnUsers: Exception occurred: std::exception,") +
                          e.what());
  }
  return std::nullopt;
}

namespace platform {

std::string formatUsersOutput(const std::vector<std::string>& names) {
  if (names.empty()) return "";
  std::string out = names.front();
  for (std::size_t i = 1; i < names.size(); ++i) {
    out += ' ';
    out += names[i];
  }
  out += '\n';
  return out;
}

std::shared_ptr<LoginRecordSource> makeProgramLoginRecords(std::string path,
                                                           std::vector<std::string> arguments) {
  return std::make_shared<ProgramLoginRecords>(std::move(path), std::move(arguments));
}

}  // namespace platform

}  // namespace procblock

namespace procscope::platform {
template <>
std::shared_ptr<procblock::platform::LoginRecordSource>
makeDefaultService<procblock::platform::LoginRecordSource>() {
  return std::make_shared<procblock::UtmpLoginRecords>();
}
}  // namespace procscope::platform
