// System queries of the monitoring library.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
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
// First executable `name` in the PATH directories (empty pieces mean the
// current directory), or none.
std::optional<std::string> PS_which(const std::string& name);

}  // namespace procscope
