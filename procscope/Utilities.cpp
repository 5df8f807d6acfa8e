// stub: being written (system queries)
#include "procscope/Utilities.hpp"

namespace procscope {
std::optional<Dictionary> PS_getOSVersion() { return std::nullopt; }
bool PS_isSupportedOS() { return false; }
std::vector<std::uint32_t> PS_enumerateProcesses() { return {}; }
std::shared_ptr<const platform::Bundle> PS_findAppBundle(const std::string&) { return nullptr; }
std::optional<std::string> PS_which(const std::string&) { return std::nullopt; }
}  // namespace procscope
