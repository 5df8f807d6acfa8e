// libFuzzer target for the parsers of bytes read from /proc and of argument
// areas: clang++ -fsanitize=fuzzer,address,undefined.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "procscope/platform/Kernel.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace platform = procscope::platform;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)platform::procfs::parentFromStat(bytes);
  (void)platform::procfs::effectiveUidFromStatus(bytes);
  (void)platform::argarea::executablePath(bytes);
  (void)platform::argarea::arguments(bytes);

  // The first byte splits the rest into command line and environment.
  if (!bytes.empty()) {
    std::size_t cut = static_cast<std::uint8_t>(bytes[0]) % bytes.size();
    std::string_view rest = bytes.substr(1);
    std::string_view cmdline = rest.substr(0, cut);
    std::string_view environment = rest.substr(cmdline.size());
    std::string area = platform::procfs::assembleArgumentArea(cmdline, environment, "/x", size * 2);
    (void)platform::argarea::arguments(area);
  }
  return 0;
}
