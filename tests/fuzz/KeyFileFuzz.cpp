// Fuzz target: the key files that give programs their application
// identifiers. The input is a sandbox's /.flatpak-info (written by whoever
// made the sandbox) and, as well, a desktop entry: an ID found must be one a
// list entry can name, and an entry's programs must be non-empty strings.
// Seeds: corpus/key-file.
#include <cstdint>
#include <string_view>

#include "FuzzSupport.hpp"
#include "procscope/ApplicationIdentity.hpp"

using fuzzsupport::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzzsupport::asText(data, size);
  if (const auto id = procscope::flatpakApplicationId(bytes)) {
    require(!id->empty() && id->size() <= 255, "an ID of a length no application ID has");
    for (const char c : *id) {
      require(c > ' ' && c < 0x7F && c != '/' && c != ',', "an ID byte outside the ID's alphabet");
    }
  }
  for (const auto& program : procscope::desktopEntryPrograms(bytes)) {
    require(!program.empty(), "an empty program");
  }
  return 0;
}
