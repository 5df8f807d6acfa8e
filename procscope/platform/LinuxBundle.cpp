// Application bundles in their platform layout: <bundle>/Contents/Info.plist,
// <bundle>/Contents/MacOS/<CFBundleExecutable>, <bundle>/Contents/Resources/.
// Every executable start asks about each directory above the executable, so
// "no bundle here" must cost one failing open(2) and nothing more. Info.plist
// is any user's to plant, so only a regular file there is ever opened.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "procscope/FileDescriptor.hpp"
#include "procscope/platform/Bundle.hpp"
#include "procscope/platform/PropertyList.hpp"

namespace procscope::platform {

namespace {

using procscope::FileDescriptor;
using procscope::lookUp;

// The whole file, or none when it cannot be read or is larger than any
// information dictionary.
std::optional<std::string> readInfoFile(const FileDescriptor& located) {
  // The very file located (a regular one), opened through this process's
  // own descriptor table, not looked up again in a process's root.
  FileDescriptor fd(::open(descriptorPath(located.get()).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  if (st.st_size <= 0 || static_cast<std::size_t>(st.st_size) > kMaxPropertyListBytes) {
    return std::nullopt;
  }
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

// "/a/b/" names the same directory as "/a/b"; "/" stays itself.
std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Where the main executable of the bundle at `bundlePath` (without trailing
// slashes) lies, followed by its CFBundleExecutable.
std::string executableDirectory(const std::string& bundlePath) {
  return bundlePath + "/Contents/MacOS/";
}

class LinuxBundle : public Bundle {
 public:
  LinuxBundle(std::string path, std::optional<Dictionary> info)
      : path_(std::move(path)), info_(std::move(info)) {
    auto name = stringForKey(info_, "CFBundleExecutable");
    if (name && !name->empty()) executable_ = executableDirectory(path_) + *name;
  }

  std::string bundlePath() const override { return path_; }
  std::optional<std::string> executablePath() const override { return executable_; }
  const std::optional<Dictionary>& infoDictionary() const override { return info_; }

  std::optional<std::string> pathForResource(
      const std::optional<std::string>& name,
      const std::optional<std::string>& type) const override {
    if (!name || name->empty()) return std::nullopt;
    std::string candidate = path_ + "/Contents/Resources/" + *name;
    if (type && !type->empty()) candidate += "." + *type;
    // Through the root the bundle was found in.
    if (lookUp(candidate, O_PATH | O_CLOEXEC).get() < 0) return std::nullopt;
    return candidate;
  }

 private:
  std::string path_;
  std::optional<Dictionary> info_;
  std::optional<std::string> executable_;
};

class LinuxBundles : public BundleLayer {
 public:
  std::shared_ptr<const Bundle> bundleWithPath(const std::string& path) override {
    if (path.empty()) return nullptr;
    std::string dir = withoutTrailingSlashes(path);
    std::string infoPath = (dir == "/" ? std::string() : dir) + "/Contents/Info.plist";
    // A regular file, or a directory without Contents, fails right here with
    // ENOTDIR or ENOENT.
    FileDescriptor located = locateRegularFile(infoPath, true);
    std::optional<Dictionary> info;
    if (located.get() < 0) {
      // Something is there but is no regular file or cannot be looked up:
      // still a bundle, without its information dictionary.
      if (errno == ENOENT || errno == ENOTDIR || lookUp(infoPath, O_PATH | O_CLOEXEC).get() < 0) {
        return nullptr;
      }
    } else if (auto bytes = readInfoFile(located)) {
      if (auto root = parsePropertyList(*bytes)) {
        if (auto* dict = root->get<Dictionary>()) info = std::move(*dict);
      }
    }
    return std::make_shared<LinuxBundle>(std::move(dir), std::move(info));
  }

  bool mayHoldExecutable(const std::string& directory, const std::string& executable) override {
    if (directory.empty()) return false;
    const std::string prefix = executableDirectory(withoutTrailingSlashes(directory));
    return executable.size() > prefix.size() && executable.starts_with(prefix);
  }
};

}  // namespace

template <>
std::shared_ptr<BundleLayer> makeDefaultService<BundleLayer>() {
  return std::make_shared<LinuxBundles>();
}

}  // namespace procscope::platform
