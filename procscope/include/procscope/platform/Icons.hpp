// The desktop's icon for a file: on Linux the installed icon theme's generic
// icon for an executable.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procscope/Binary.hpp"
#include "procscope/platform/Service.hpp"

namespace procscope::platform {

class IconLayer {
 public:
  virtual ~IconLayer() = default;
  // None when no icon is installed for such a file.
  virtual std::optional<Image> iconForFile(const std::string& path) = 0;
};

using Icons = Service<IconLayer>;

// The best file for `iconName` in the icon themes under `iconRoots` (each a
// directory of themes such as /usr/share/icons, laid out <theme>/<size>/<context>
// or <theme>/<context>/<size>): 128 pixels first, then scalable, then the
// nearest larger, then the nearest smaller. Then any `pixmapDirs` entry.
std::optional<std::string> findThemeIcon(const std::vector<std::string>& iconRoots,
                                         const std::vector<std::string>& pixmapDirs,
                                         std::string_view iconName);

}  // namespace procscope::platform
