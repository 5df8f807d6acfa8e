// Fuzz target: the argument area. One input is read two ways:
//   1. as an argument area, as a kernel backend hands it over, read with
//      argarea::executablePath and argarea::arguments;
//   2. as pieces (a flags byte, then length-prefixed command line, environment
//      and executable path, then a capacity) that procfs::assembleArgumentArea
//      lays out; the area is then read back and must give the pieces again.
// Seeds: corpus/argument-area.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.hpp"
#include "procscope/Utf8.hpp"
#include "procscope/platform/Kernel.hpp"

namespace {

namespace argarea = procscope::platform::argarea;
namespace procfs = procscope::platform::procfs;
using fuzzsupport::require;

constexpr std::size_t kCountSize = 4;

std::int32_t countOf(std::string_view area) {
  std::int32_t argc = 0;
  for (std::size_t i = 0; i < kCountSize && i < area.size(); ++i) {
    reinterpret_cast<char*>(&argc)[i] = area[i];
  }
  return argc;
}

void readArea(std::string_view area) {
  const std::optional<std::string> path = argarea::executablePath(area);
  const std::vector<std::string> args = argarea::arguments(area);
  require(path.has_value() == (area.size() > kCountSize), "a path exactly when there is room");
  if (path) {
    require(path->size() <= area.size() - kCountSize, "a path longer than the area");
    require(path->find('\0') == std::string::npos, "a path holding a NUL");
  }
  const std::int32_t argc = countOf(area);
  require(args.size() <= static_cast<std::size_t>(argc < 0 ? 0 : argc),
          "more arguments than the count");
}

// The command line's arguments: every NUL ends one, and a last piece without
// one is an argument too.
std::vector<std::string_view> split(std::string_view cmdline) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start < cmdline.size()) {
    std::size_t nul = cmdline.find('\0', start);
    if (nul == std::string_view::npos) nul = cmdline.size();
    pieces.push_back(cmdline.substr(start, nul - start));
    start = nul + 1;
  }
  return pieces;
}

void assembleAndReadBack(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::InputReader in(data, size);
  const std::uint8_t flags = in.byte();
  const std::string_view cmdline = in.piece();
  std::optional<std::string_view> environment;
  if (flags & 1) environment = in.piece();
  const std::string_view path = in.piece();
  const bool capped = (flags & 2) != 0;
  const std::size_t capacity = capped ? in.u16() : SIZE_MAX;

  const std::string area = procfs::assembleArgumentArea(cmdline, environment, path, capacity);
  require(area.size() <= capacity, "an area over its capacity");
  readArea(area);
  if (capped) return;

  // Nothing cut: the path and the arguments come back as they went in.
  const std::vector<std::string_view> pieces = split(cmdline);
  require(countOf(area) == static_cast<std::int32_t>(pieces.size()), "a count other than argc");
  if (path.find('\0') != std::string_view::npos) return;
  require(argarea::executablePath(area) == std::string(path), "the path changed on the way");

  // An empty argument cannot be told from padding (Kernel.hpp says so).
  for (std::string_view piece : pieces) {
    if (piece.empty()) return;
  }
  std::vector<std::string> expected;
  expected.reserve(pieces.size());
  for (std::string_view piece : pieces) expected.push_back(procscope::decodeLossy(piece));
  require(argarea::arguments(area) == expected, "the arguments changed on the way");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readArea(fuzzsupport::asText(data, size));
  assembleAndReadBack(data, size);
  return 0;
}
