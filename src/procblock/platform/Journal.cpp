#include "procblock/platform/Journal.hpp"

#include <sys/uio.h>
#include <systemd/sd-journal.h>

#include <utility>

#include "procscope/Dispatch.hpp"
#include "procscope/Log.hpp"
#include "procscope/Value.hpp"

namespace procblock::platform {
namespace {

// The native journal protocol, through libsystemd. Where no journald runs,
// the send fails at once and the block is still in the agent's own logs.
class SystemJournal final : public JournalLayer {
 public:
  void send(const std::vector<std::string>& fields) override {
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (const std::string& field : fields) {
      parts.push_back(iovec{const_cast<char*>(field.data()), field.size()});
    }
    sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
  }
};

void add(std::vector<std::string>& fields, std::string_view name,
         const std::optional<std::string>& value) {
  if (value) fields.push_back(std::string(name) + "=" + *value);
}

}  // namespace

std::string_view describe(BlockSource source) {
  switch (source) {
    case BlockSource::Start:
      return "start";
    case BlockSource::Resync:
      return "resync after loss";
    case BlockSource::SweepTool:
      return "sweep tool";
    case BlockSource::Deny:
      return "deny";
  }
  return "unknown";
}

std::vector<std::string> blockedProgramFields(const BlockedProgram& blocked) {
  std::vector<std::string> fields;
  fields.push_back("MESSAGE_ID=" + std::string(kProgramBlockedMessageId));
  const std::string name = procscope::visibleText(procscope::orNull(blocked.name));
  const std::string entry = procscope::visibleText(blocked.entry);
  if (blocked.count == 1) {
    fields.push_back("MESSAGE=Blocked " + name + " (pid " + std::to_string(blocked.pid) +
                     "), entry \"" + entry + "\"");
  } else {
    fields.push_back("MESSAGE=Blocked " + name + " " + std::to_string(blocked.count) +
                     " more times, not reported one by one, entry \"" + entry + "\"");
  }
  fields.push_back("PRIORITY=5");  // notice: a normal but significant event
  fields.push_back("SYSLOG_IDENTIFIER=procblock");
  fields.push_back("PROCBLOCK_ENTRY=" + blocked.entry);
  add(fields, "PROCBLOCK_NAME", blocked.name);
  add(fields, "PROCBLOCK_BUNDLE_IDENTIFIER", blocked.bundleIdentifier);
  add(fields, "PROCBLOCK_PATH", blocked.path);
  add(fields, "PROCBLOCK_APPLICATION_IDENTIFIER", blocked.applicationIdentifier);
  if (blocked.count == 1) fields.push_back("PROCBLOCK_PID=" + std::to_string(blocked.pid));
  if (blocked.count != 1) fields.push_back("PROCBLOCK_COUNT=" + std::to_string(blocked.count));
  if (blocked.uid) fields.push_back("PROCBLOCK_UID=" + std::to_string(*blocked.uid));
  fields.push_back("PROCBLOCK_KILL=" + blocked.kill);
  fields.push_back("PROCBLOCK_SOURCE=" + std::string(describe(blocked.source)));
  return fields;
}

void journalBlockedProgram(BlockedProgram blocked) {
  procscope::dispatch::async([blocked = std::move(blocked)] {
    if (auto journal = Journals::get()) journal->send(blockedProgramFields(blocked));
  });
}

}  // namespace procblock::platform

namespace procscope::platform {
template <>
std::shared_ptr<procblock::platform::JournalLayer>
makeDefaultService<procblock::platform::JournalLayer>() {
  return std::make_shared<procblock::platform::SystemJournal>();
}
}  // namespace procscope::platform
