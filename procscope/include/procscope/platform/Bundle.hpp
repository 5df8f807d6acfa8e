// Application bundles: a directory holding Contents/Info.plist, its main
// executable at Contents/MacOS/<CFBundleExecutable>, resources under
// Contents/Resources/.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "procscope/Value.hpp"
#include "procscope/platform/Service.hpp"

namespace procscope::platform {

class Bundle {
 public:
  virtual ~Bundle() = default;
  virtual std::string bundlePath() const = 0;
  // Full path of the main executable; none when CFBundleExecutable is missing.
  virtual std::optional<std::string> executablePath() const = 0;
  // None when Info.plist cannot be read or parsed.
  virtual const std::optional<Dictionary>& infoDictionary() const = 0;
  // Path of Contents/Resources/<name>.<type> when it exists.
  virtual std::optional<std::string> pathForResource(
      const std::optional<std::string>& name, const std::optional<std::string>& type) const = 0;
};

class BundleLayer {
 public:
  virtual ~BundleLayer() = default;
  // The bundle whose directory is `path`, or none when `path` is no bundle.
  virtual std::shared_ptr<const Bundle> bundleWithPath(const std::string& path) = 0;
  // The search for the bundle that encloses an executable looks at no more
  // than this many directories that may hold it, innermost first: no real
  // bundle nests deeper, and each costs a property list to read.
  static constexpr std::size_t kMaxLevels = 4;

  // False when no bundle at `directory` could have `executable` as its main
  // executable, whatever its Info.plist says. The search for the bundle that
  // encloses an executable runs at every process start and skips such
  // directories without looking at them.
  virtual bool mayHoldExecutable(const std::string& directory, const std::string& executable) {
    (void)directory;
    (void)executable;
    return true;
  }
};

using Bundles = Service<BundleLayer>;

}  // namespace procscope::platform
