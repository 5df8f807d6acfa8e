// Fuzz target: the /proc text parsers, procfs::parentFromStat (a stat line),
// procfs::effectiveUidFromStatus (a status file) and loader::mappedFiles (a
// maps file), and loader::isLoaderImage and loader::interpreterOf (an
// executable's bytes). One input is read two ways:
//   1. as a stat line, a status file, a maps file and an image, whole;
//   2. as pieces (a command name, a state byte, two numbers, a process name
//      and four user IDs) laid out as the kernel writes them; the parsers must
//      then find the parent and the effective user that went in, whatever the
//      command name holds.
// Seeds: corpus/proc-text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.hpp"
#include "procscope/LoadedProgram.hpp"
#include "procscope/platform/Kernel.hpp"

namespace {

namespace procfs = procscope::platform::procfs;
using fuzzsupport::require;

// The fields after the parent in a real stat line: no ")" among them.
constexpr std::string_view kStatTail =
    " 1234 1234 0 -1 4194560 1108 0 0 0 2 0 0 0 20 0 1 0 5471 8728576 905 "
    "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0 0 0 0 0 0 0 0 0\n";

void parseWhole(std::string_view text) {
  if (auto ppid = procfs::parentFromStat(text)) require(*ppid >= 0, "a negative parent");
  (void)procfs::effectiveUidFromStatus(text);
  for (const auto& file : procscope::loader::mappedFiles(text)) require(file.inode != 0, "inode 0");
  (void)procscope::loader::isLoaderImage(text);
  (void)procscope::loader::interpreterOf(text);
}

void parseLaidOut(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::InputReader in(data, size);
  const std::string_view comm = in.piece();
  constexpr std::string_view kStates = "RSDZTtXxKWPI";
  const char state = kStates[in.byte() % kStates.size()];
  const std::int32_t pid = static_cast<std::int32_t>(in.u32() & 0x7fffffff);
  const std::int32_t ppid = static_cast<std::int32_t>(in.u32() & 0x7fffffff);

  std::string stat = std::to_string(pid) + " (" + std::string(comm) + ") " + state + " " +
                     std::to_string(ppid) + std::string(kStatTail);
  require(procfs::parentFromStat(stat) == ppid, "the parent was not found in a stat line");

  // The kernel escapes a newline in the status file's name; so must the input.
  const std::string_view name = in.piece();
  if (name.find('\n') != std::string_view::npos) return;
  const std::uint32_t real = in.u32();
  const std::uint32_t effective = in.u32();
  const std::uint32_t saved = in.u32();
  const std::uint32_t filesystem = in.u32();
  std::string status = "Name:\t" + std::string(name) +
                       "\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t" + std::to_string(pid) +
                       "\nNgid:\t0\nPid:\t" + std::to_string(pid) + "\nPPid:\t" +
                       std::to_string(ppid) + "\nTracerPid:\t0\nUid:\t" + std::to_string(real) +
                       "\t" + std::to_string(effective) + "\t" + std::to_string(saved) + "\t" +
                       std::to_string(filesystem) + "\nGid:\t0\t0\t0\t0\nFDSize:\t64\n";
  require(procfs::effectiveUidFromStatus(status) == effective,
          "the effective user was not found in a status file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  parseWhole(fuzzsupport::asText(data, size));
  parseLaidOut(data, size);
  return 0;
}
