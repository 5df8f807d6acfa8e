// The workspace: notices of application launches and terminations, and the
// snapshot of running applications. On Linux an application is a program
// that is the main executable of an application bundle or a desktop entry's
// program, or the first process of a Flatpak sandbox or of a snap; its
// launches and ends come from the kernel's process events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procscope/Value.hpp"
#include "procscope/platform/Service.hpp"

namespace procscope::platform {

inline constexpr const char* kWillLaunchApplication =
    "NSWorkspaceWillLaunchApplicationNotification";
inline constexpr const char* kDidTerminateApplication =
    "NSWorkspaceDidTerminateApplicationNotification";
inline constexpr const char* kApplicationProcessIdentifier = "NSApplicationProcessIdentifier";

struct WorkspaceNotification {
  std::string name;
  Dictionary userInfo;
};

class RunningApplication {
 public:
  virtual ~RunningApplication() = default;
  virtual std::int32_t processIdentifier() const = 0;
  virtual std::optional<std::string> bundleIdentifier() const = 0;
  virtual std::optional<std::string> localizedName() const = 0;
  // The executable's file URL as text (absoluteString), percent-encoded.
  virtual std::optional<std::string> executableURL() const = 0;
  // SIGKILL to the application; whether the signal was delivered.
  virtual bool forceTerminate() = 0;
};

class Workspace {
 public:
  using Observer = std::function<void(const WorkspaceNotification* notification)>;
  using ObserverId = std::uint64_t;

  virtual ~Workspace() = default;
  // Observers run on the workspace's own notification thread.
  virtual ObserverId addObserver(const std::string& name, Observer observer) = 0;
  virtual void removeObserver(ObserverId id) = 0;
  virtual std::vector<std::shared_ptr<RunningApplication>> runningApplications() = 0;
};

using Workspaces = Service<Workspace>;

class ProcEventHub;
// The Linux workspace over the process events of `hub`, which must outlive
// it; the default one uses the machine's.
std::shared_ptr<Workspace> makeLinuxWorkspace(ProcEventHub& hub);

// "file://" + the path with every byte outside the unreserved set and "/"
// percent-encoded.
std::string fileURLString(const std::string& path);

}  // namespace procscope::platform
