#include "procblock/Verdict.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

#include "procblock/AgentLog.hpp"
#include "procblock/BlockList.hpp"
#include "procblock/platform/Notice.hpp"
#include "procscope/Dispatch.hpp"
#include "procscope/Log.hpp"
#include "procscope/Value.hpp"

namespace procblock {
namespace {

constexpr std::uint16_t kExitEvent = 1;

// An absent value equals no entry; an empty entry equals only an empty value.
bool equals(const std::string& entry, const std::optional<std::string>& value) {
  return value && *value == entry;
}

std::optional<std::string> bundleIdentifierOf(const procscope::Binary* binary) {
  if (!binary || !binary->bundle()) return std::nullopt;
  return procscope::stringForKey(binary->bundle()->infoDictionary(), "CFBundleIdentifier");
}

// One entry against one record, on a worker thread.
void judgeEntry(const std::shared_ptr<procscope::Process>& process, std::int32_t index,
                const KillFunction& kill) {
  const auto list = items();
  if (!list || index < 0 || static_cast<size_t>(index) >= list->size()) return;
  const std::string& entry = (*list)[static_cast<size_t>(index)];

  const procscope::Binary* binary = process->binary().get();
  const std::optional<std::string> bundleIdentifier = bundleIdentifierOf(binary);
  const std::optional<std::string> name = binary ? binary->name() : std::nullopt;
  const std::optional<std::string>& path = process->path();

  // First the bundle identifier, then the name, then the path.
  if (!equals(entry, bundleIdentifier) && !equals(entry, name) && !equals(entry, path)) return;

  procscope::logMessage(
      "Blocking process with name: " + procscope::visibleText(procscope::orNull(name)) +
      ", bundle identifier: " + procscope::visibleText(procscope::orNull(bundleIdentifier)) +
      ", path: " + procscope::visibleText(procscope::orNull(path)));
  const std::int32_t pid = process->pid();
  const KillResult result = kill(pid);
  if (result != KillResult::SignalledGroup) {
    procscope::logMessage("Kill of pid " + std::to_string(pid) + ": " +
                          std::string(describe(result)));
  }
  DisplayMessage(name);
}

}  // namespace

procscope::ProcessCallback makeBlock(KillFunction kill) {
  auto sharedKill = std::make_shared<const KillFunction>(std::move(kill));
  return [sharedKill](const std::shared_ptr<procscope::Process>& process) {
    if (!process || process->type() == kExitEvent) return;
    const auto list = items();
    if (!list || list->empty()) return;
    const size_t count =
        std::min(list->size(), static_cast<size_t>(std::numeric_limits<std::int32_t>::max()));
    // The callback runs on the monitor's event thread: queue and return.
    for (size_t i = 0; i < count; ++i) {
      procscope::dispatch::async([process, index = static_cast<std::int32_t>(i), sharedKill] {
        judgeEntry(process, index, *sharedKill);
      });
    }
  };
}

const procscope::ProcessCallback block = makeBlock(killProcessGroup);

void DisplayMessage(const std::optional<std::string>& name) {
  Printlog(name);
  // The notice layer delivers on its own; a slow desktop never holds up a kill.
  if (auto notices = platform::Notices::get()) notices->post(platform::blockedNotice(name));
}

}  // namespace procblock
