// The desktop's icon for a file, from the freedesktop icon themes. Every
// executable gets the generic executable icon; the themes are searched once
// per run, on first request.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <string_view>
#include <tuple>

#include "procscope/platform/Icons.hpp"

namespace procscope::platform {

namespace {

constexpr const char* kExecutableIcon = "application-x-executable";
constexpr int kWantedSize = 128;
constexpr const char* kExtensions[] = {".png", ".svg", ".xpm"};

std::string joined(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (auto part : parts) {
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

std::vector<std::string> subdirectories(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = ::opendir(dir.c_str());
  if (!d) return out;
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (::stat(joined({dir, name}).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      out.push_back(std::move(name));
    }
  }
  ::closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

bool isFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The pixel size a theme directory name stands for ("128x128", "128",
// "128x128@2"); 0 for "scalable"; none for a context such as "mimetypes".
std::optional<int> sizeOfDirectory(const std::string& name) {
  if (name == "scalable") return 0;
  int size = 0;
  std::size_t i = 0;
  while (i < name.size() && name[i] >= '0' && name[i] <= '9' && size < 100000) {
    size = size * 10 + (name[i++] - '0');
  }
  if (i == 0 || size == 0) return std::nullopt;
  return size;
}

// Lower is better: exactly the wanted size, then scalable, then the nearest
// larger, then the nearest smaller.
std::tuple<int, int> rank(int size) {
  if (size == kWantedSize) return {0, 0};
  if (size == 0) return {1, 0};
  if (size > kWantedSize) return {2, size - kWantedSize};
  return {3, kWantedSize - size};
}

class ThemeIcons : public IconLayer {
 public:
  std::optional<Image> iconForFile(const std::string&) override {
    static const std::optional<std::string> found = [] {
      std::vector<std::string> roots;
      std::vector<std::string> pixmaps;
      const char* env = std::getenv("XDG_DATA_DIRS");
      std::string dirs = env && *env ? env : "/usr/local/share:/usr/share";
      std::size_t start = 0;
      while (start <= dirs.size()) {
        std::size_t colon = dirs.find(':', start);
        std::string dir = dirs.substr(start, colon - start);
        if (!dir.empty()) {
          roots.push_back(dir + "/icons");
          pixmaps.push_back(dir + "/pixmaps");
        }
        if (colon == std::string::npos) break;
        start = colon + 1;
      }
      return findThemeIcon(roots, pixmaps, kExecutableIcon);
    }();
    if (!found) return std::nullopt;
    return Image{*found, 0, 0};
  }
};

}  // namespace

std::optional<std::string> findThemeIcon(const std::vector<std::string>& iconRoots,
                                         const std::vector<std::string>& pixmapDirs,
                                         std::string_view iconName) {
  std::optional<std::string> best;
  std::tuple<int, int> bestRank{INT_MAX, INT_MAX};
  for (const auto& root : iconRoots) {
    for (const auto& theme : subdirectories(root)) {
      const std::string themeDir = joined({root, theme});
      for (const auto& first : subdirectories(themeDir)) {
        auto firstSize = sizeOfDirectory(first);
        for (const auto& second : subdirectories(joined({themeDir, first}))) {
          // Either <size>/<context> or <context>/<size>.
          auto size = firstSize ? firstSize : sizeOfDirectory(second);
          if (!size) continue;
          for (const char* extension : kExtensions) {
            std::string candidate = joined({themeDir, first, second, iconName}) + extension;
            auto candidateRank = rank(*size);
            // On equal ranks the first root, then the first name, wins.
            if (candidateRank < bestRank) {
              if (isFile(candidate)) {
                best = candidate;
                bestRank = candidateRank;
              }
            }
          }
        }
      }
    }
  }
  if (best) return best;
  for (const auto& dir : pixmapDirs) {
    for (const char* extension : kExtensions) {
      std::string candidate = joined({dir, iconName}) + extension;
      if (isFile(candidate)) return candidate;
    }
  }
  return std::nullopt;
}

template <>
std::shared_ptr<IconLayer> makeDefaultService<IconLayer>() {
  return std::make_shared<ThemeIcons>();
}

}  // namespace procscope::platform
