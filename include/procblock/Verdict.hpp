// The verdict on every reported process: judged against the block list in
// worker tasks, and a forbidden one killed and reported.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "procblock/Kill.hpp"
#include "procscope/Process.hpp"

namespace procblock {

using KillFunction = std::function<KillResult(std::int32_t pid)>;

// The callback with the kill handed in; `block` is this with killProcessGroup.
procscope::ProcessCallback makeBlock(KillFunction kill);

// The agent's process callback, handed to the monitor at start-up.
extern const procscope::ProcessCallback block;

// Reports a block: the access-log row, then the user notice.
void DisplayMessage(const std::optional<std::string>& name);

}  // namespace procblock
