// Fuzz target: a bundle's information dictionary. The input is an Info.plist:
//   1. parsePropertyList reads it (the shape guard, then libplist, then the
//      conversion into Values), and its description is written;
//   2. binaryPropertyListWithinLimits, with tight and with generous limits,
//      must never pass the tight ones and fail the generous ones;
//   3. the file is written into a scratch bundle, which the Linux bundle
//      layer then reads as every executable start may: its dictionary must be
//      what parsePropertyList gave, its executable path must sit inside it.
// Seeds: corpus/property-list.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.hpp"
#include "procscope/Value.hpp"
#include "procscope/platform/Bundle.hpp"
#include "procscope/platform/PropertyList.hpp"

namespace {

namespace platform = procscope::platform;
using fuzzsupport::require;

// <scratch>/Fuzz.app, holding Contents/Info.plist; made once per process and
// removed at its exit (not after a crash: scripts/fuzz points TMPDIR at a
// folder of its own, which it removes). Under TMPDIR, else in memory where
// the machine allows: the file is rewritten for every input, which on a disk
// costs more than all the rest.
struct ScratchBundle {
  std::string root;
  std::string bundle;
  std::string contents;
  std::string info;

  ScratchBundle() {
    const char* tmp = std::getenv("TMPDIR");
    for (const std::string& base :
         {std::string(tmp ? tmp : ""), std::string("/dev/shm"), std::string("/tmp")}) {
      if (base.empty()) continue;
      std::string pattern = base + "/procblock-fuzz-XXXXXX";
      if (::mkdtemp(pattern.data()) != nullptr) {
        root = pattern;
        break;
      }
    }
    require(!root.empty(), "cannot make a scratch directory");
    bundle = root + "/Fuzz.app";
    contents = bundle + "/Contents";
    info = contents + "/Info.plist";
    require(::mkdir(bundle.c_str(), 0700) == 0 && ::mkdir(contents.c_str(), 0700) == 0,
            "cannot make the scratch bundle");
  }
  ~ScratchBundle() {
    ::unlink(info.c_str());
    ::rmdir(contents.c_str());
    ::rmdir(bundle.c_str());
    ::rmdir(root.c_str());
  }
  ScratchBundle(const ScratchBundle&) = delete;
  ScratchBundle& operator=(const ScratchBundle&) = delete;

  void write(std::string_view bytes) const {
    int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    require(fd >= 0, "cannot write the scratch Info.plist");
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      require(n > 0, "cannot write the scratch Info.plist");
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
};

const ScratchBundle& scratch() {
  static const ScratchBundle instance;
  return instance;
}

void readThroughBundle(std::string_view bytes, const std::optional<procscope::Value>& parsed) {
  scratch().write(bytes);
  auto bundle = platform::Bundles::get()->bundleWithPath(scratch().bundle);
  require(bundle != nullptr, "the scratch bundle is no bundle");
  const std::optional<procscope::Dictionary>& info = bundle->infoDictionary();
  const procscope::Dictionary* expected = parsed ? parsed->get<procscope::Dictionary>() : nullptr;
  require(info.has_value() == (expected != nullptr), "the bundle read another dictionary");
  // Compared as text: a real that is not a number equals nothing, not even itself.
  if (info) require(describe(*info) == describe(*expected), "the bundle read another dictionary");

  if (auto executable = bundle->executablePath()) {
    const std::string prefix = scratch().bundle + "/Contents/MacOS/";
    require(executable->starts_with(prefix) && executable->size() > prefix.size(),
            "an executable path outside Contents/MacOS");
  }
  (void)procscope::stringForKey(info, "CFBundleName");
  (void)procscope::stringForKey(info, "CFBundleIdentifier");
  (void)bundle->pathForResource(procscope::stringForKey(info, "CFBundleIconFile"), "icns");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzzsupport::asText(data, size);
  const std::optional<procscope::Value> parsed = platform::parsePropertyList(bytes);
  if (parsed) require(!describe(*parsed).empty(), "an empty description");

  const bool tight = platform::binaryPropertyListWithinLimits(bytes, 4, 64);
  const bool generous = platform::binaryPropertyListWithinLimits(bytes, 256, 100000);
  require(!tight || generous, "within tight limits but not within generous ones");

  readThroughBundle(bytes, parsed);
  return 0;
}
