// Structured journal entries: each block also becomes one journal entry, so
// that a fleet's collectors (journal upload, rsyslog, a log shipper) gather
// every block in one place.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procscope/platform/Service.hpp"

namespace procblock::platform {

// "program blocked": `journalctl MESSAGE_ID=...` lists every block.
inline constexpr std::string_view kProgramBlockedMessageId = "1dc43803c8d4481c81481158c4ce76f1";

// What found the program: its start, the resync after lost events, the
// procblock-sweep tool, or its exec (denied before it ran).
enum class BlockSource : std::uint8_t { Start, Resync, SweepTool, Deny };
std::string_view describe(BlockSource source);

struct BlockedProgram {
  BlockSource source = BlockSource::Start;
  std::string entry;  // the list entry that matched
  std::optional<std::string> name;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> path;
  std::int32_t pid = -1;
  std::optional<std::uint32_t> uid;  // the effective user, where known
  std::string kill;                  // the kill's result, in words
  // Blocks of this program the entry stands for: more than one when they
  // came too fast to be reported one by one (pid and user then absent).
  std::uint64_t count = 1;
  // The Linux application identifier (Flatpak, snap or desktop entry).
  std::optional<std::string> applicationIdentifier;
};

// The entry's fields, each "NAME=value"; absent values are left out. Values
// are the raw bytes: the journal keeps line feeds and the like intact.
std::vector<std::string> blockedProgramFields(const BlockedProgram& blocked);

class JournalLayer {
 public:
  virtual ~JournalLayer() = default;
  // One entry; failures (no journal on this machine) are not reported.
  virtual void send(const std::vector<std::string>& fields) = 0;
};

using Journals = procscope::platform::Service<JournalLayer>;

// Queues the block's entry on the normal pool and returns: a slow journal
// never holds up a kill.
void journalBlockedProgram(BlockedProgram blocked);

}  // namespace procblock::platform

namespace procscope::platform {
template <>
std::shared_ptr<procblock::platform::JournalLayer>
makeDefaultService<procblock::platform::JournalLayer>();
}  // namespace procscope::platform
