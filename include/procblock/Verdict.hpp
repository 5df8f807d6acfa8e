// The verdict on every reported process: judged against the block list in
// worker tasks, and a forbidden one killed and reported. The callback queues a
// task only for the entries that equal one of the process's three values
// (or are the digest of the file it executes);
// each task then judges its entry as every entry is judged. The agent's own
// process and its descendants are never judged.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "procblock/Kill.hpp"
#include "procblock/platform/Journal.hpp"
#include "procscope/Process.hpp"

namespace procblock {

using KillFunction = std::function<KillResult(std::int32_t pid)>;
// How the verdict kills: given the whole record, so that the kill acts on the
// process the record pinned, never on a later owner of its pid.
using RecordKillFunction = std::function<KillResult(const procscope::Process& process)>;

// The callback with the kill handed in; `block` is this with killProcessGroupOf.
// `source` names what reported the records, in each block's journal entry.
// Tests whose own children stand for other people's programs may judge the
// calling process's tree too.
procscope::ProcessCallback makeBlock(RecordKillFunction kill,
                                     platform::BlockSource source = platform::BlockSource::Start,
                                     bool spareOwnProcessTree = true);

// The agent's process callback, handed to the monitor at start-up.
extern const procscope::ProcessCallback block;

// The callback finds the entries that can match an event through a lookup
// built once per list, on the first event judged against it. Calling this
// after the list is set builds it at once, and starts the threads that kill,
// so that no event waits for either; and it asks for the digests of executed
// files exactly when the list has digest entries.
void prepareVerdict();

// The CFBundleIdentifier of the binary's application bundle, if it has one.
std::optional<std::string> bundleIdentifierOf(const procscope::Binary* binary);

// Whether the process is the agent itself or descends from it, as its record's
// ancestors tell. The agent never judges or signals these.
bool inOwnProcessTree(const procscope::Process& process);

// The verdict on a program about to be executed, for the exec permission
// path: `process` holds the exec's caller (its pid; ancestors and user are
// read when an entry matches, where not filled in) and the file to be
// executed (path, binary, digest). Denied when an entry equals its bundle
// identifier, name or path, or is its digest, and the caller is not the
// agent's own; the denial is then
// reported as a block, once, off the calling thread.
enum class ExecVerdict : std::uint8_t {
  Unlisted,  // no entry equals it
  Spared,    // listed, but run by the agent's own process tree
  Denied,    // listed: refused and reported
};
ExecVerdict denyExec(const std::shared_ptr<procscope::Process>& process);

// Reports a block: the access-log row, then the user notice.
void DisplayMessage(const std::optional<std::string>& name);

}  // namespace procblock
