// System queries: the kernel's version, the running processes, the bundle
// around an executable and the search-path lookup. They keep no state and
// log nothing.
#include "procscope/Utilities.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace procscope {

std::optional<std::string> readText(int fd, std::size_t limit) {
  std::string out;
  char chunk[16384];
  while (out.size() < limit) {
    const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return out;
}

std::optional<std::string> readFileText(const std::string& path, std::size_t limit) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  auto text = readText(fd, limit);
  ::close(fd);
  return text;
}

namespace {

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// A regular file (after following links) that this process may execute.
bool isExecutableFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::optional<std::uint32_t> processIDFromName(std::string_view name) {
  if (name.empty()) return std::nullopt;
  std::uint32_t pid = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (ec != std::errc() || end != name.data() + name.size() || pid == 0) return std::nullopt;
  return pid;
}

}  // namespace

std::optional<Dictionary> osVersionFromRelease(std::string_view release) {
  const char* at = release.data();
  const char* end = release.data() + release.size();
  std::int32_t parts[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (at == end || *at != '.') return std::nullopt;
      ++at;
    }
    auto [next, ec] = std::from_chars(at, end, parts[i]);
    if (ec != std::errc() || parts[i] < 0) return std::nullopt;
    at = next;
  }
  return Dictionary{
      {"majorVersion", Value(parts[0])},
      {"minorVersion", Value(parts[1])},
      {"bugfixVersion", Value(parts[2])},
  };
}

bool isSupportedVersion(const std::optional<Dictionary>& version) {
  if (!version) return false;
  auto number = [&](const char* key) -> std::int64_t {
    auto it = version->find(key);
    return it == version->end() ? 0 : it->second.integer().value_or(0);
  };
  if (number("majorVersion") != 10) return false;
  return number("minorVersion") >= 8;
}

std::vector<std::uint32_t> processIDsFromNames(const std::vector<std::string>& names) {
  std::vector<std::uint32_t> pids;
  pids.reserve(names.size());
  for (const auto& name : names) {
    if (auto pid = processIDFromName(name)) pids.push_back(*pid);
  }
  return pids;
}

std::string deletingLastPathComponent(std::string_view path) {
  path = withoutTrailingSlashes(path);
  if (path == "/") return "/";
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  auto parent = withoutTrailingSlashes(path.substr(0, slash));
  if (parent.empty()) return "/";
  return std::string(parent);
}

std::string appendingPathComponent(std::string_view directory, std::string_view component) {
  while (!component.empty() && component.front() == '/') component.remove_prefix(1);
  component = withoutTrailingSlashes(component);
  if (directory.empty()) return std::string(component);
  directory = withoutTrailingSlashes(directory);
  if (component.empty()) return std::string(directory);
  std::string out(directory);
  if (out != "/") out += '/';
  out += component;
  return out;
}

std::string lastPathComponent(std::string_view path) {
  path = withoutTrailingSlashes(path);
  if (path == "/") return "/";
  auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string pathExtension(std::string_view path) {
  std::string last = lastPathComponent(path);
  auto dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  return last.substr(dot + 1);
}

std::string deletingPathExtension(std::string_view path) {
  path = withoutTrailingSlashes(path);
  std::string extension = pathExtension(path);
  if (extension.empty()) return std::string(path);
  path.remove_suffix(extension.size() + 1);
  return std::string(path);
}

std::optional<Dictionary> PS_getOSVersion() {
  struct utsname names {};
  if (::uname(&names) != 0) return std::nullopt;
  return osVersionFromRelease(names.release);
}

bool PS_isSupportedOS() {
  return isSupportedVersion(PS_getOSVersion());
}

std::vector<std::uint32_t> PS_enumerateProcesses() {
  std::vector<std::string> names;
  DIR* proc = ::opendir("/proc");
  if (!proc) return {};
  while (const dirent* entry = ::readdir(proc)) names.emplace_back(entry->d_name);
  ::closedir(proc);
  return processIDsFromNames(names);
}

std::shared_ptr<const platform::Bundle> PS_findAppBundle(const std::string& path) {
  auto bundles = platform::Bundles::get();
  std::string current = path;
  for (std::size_t levels = 0; levels < platform::BundleLayer::kMaxLevels;) {
    if (bundles->mayHoldExecutable(current, path)) {
      ++levels;
      if (auto bundle = bundles->bundleWithPath(current)) {
        if (bundle->executablePath() == path) return bundle;
      }
    }
    std::string parent = deletingLastPathComponent(current);
    if (parent == "/" || parent.empty()) return nullptr;
    current = std::move(parent);
  }
  return nullptr;
}

std::optional<std::string> PS_which(const std::string& name) {
  const char* search = std::getenv("PATH");
  if (!search) return std::nullopt;
  std::string_view rest(search);
  for (;;) {
    auto colon = rest.find(':');
    std::string candidate = appendingPathComponent(rest.substr(0, colon), name);
    if (isExecutableFile(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace procscope
