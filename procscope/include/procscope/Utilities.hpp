// System queries of the monitoring library.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procscope/Value.hpp"
#include "procscope/platform/Bundle.hpp"

namespace procscope {

// {"majorVersion", "minorVersion", "bugfixVersion"} from the running kernel's
// release, or none.
std::optional<Dictionary> PS_getOSVersion();
bool PS_isSupportedOS();
// Running process IDs in the order the system lists them, never 0.
std::vector<std::uint32_t> PS_enumerateProcesses();
// The bundle whose main executable is exactly `path`, walking outward; none
// once the walk reaches "/" or an empty path.
std::shared_ptr<const platform::Bundle> PS_findAppBundle(const std::string& path);
// Up to `limit` bytes read from `fd` where it stands (more are left unread);
// none on a read error.
std::optional<std::string> readText(int fd, std::size_t limit);
// The text of a file whose size is not known ahead (a /proc file), up to
// `limit` bytes (more are left unread); none when it cannot be opened or read.
std::optional<std::string> readFileText(const std::string& path, std::size_t limit);
// First executable `name` in the PATH directories (empty pieces mean the
// current directory), or none.
std::optional<std::string> PS_which(const std::string& name);

// The pieces behind the queries, taking text rather than asking the system.
//   "6.18.44-generic" -> {6, 18, 44}; none unless three numbers lead the text.
std::optional<Dictionary> osVersionFromRelease(std::string_view release);
// 10.8 and every later 10.x release.
bool isSupportedVersion(const std::optional<Dictionary>& version);
// The process IDs among directory entry names: the all-digit ones, except 0.
std::vector<std::uint32_t> processIDsFromNames(const std::vector<std::string>& names);

// Path-string rules of the platform's path operations:
//   deletingLastPathComponent("/usr/bin/true") == "/usr/bin", ("/usr") == "/",
//   ("true") == "", ("/") == "/".
std::string deletingLastPathComponent(std::string_view path);
//   appendingPathComponent("/usr/bin/", "ls") == "/usr/bin/ls", ("", "ls") == "ls".
std::string appendingPathComponent(std::string_view directory, std::string_view component);
//   lastPathComponent("/a/b/") == "b", ("/") == "/", ("") == "".
std::string lastPathComponent(std::string_view path);
//   pathExtension("App.icns") == "icns", ("App") == "", (".icns") == "".
std::string pathExtension(std::string_view path);
//   deletingPathExtension("Icons/App.icns") == "Icons/App".
std::string deletingPathExtension(std::string_view path);

}  // namespace procscope
