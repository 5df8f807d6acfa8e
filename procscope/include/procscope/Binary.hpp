// One executable on disk.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "procscope/FileDescriptor.hpp"
#include "procscope/Value.hpp"
#include "procscope/platform/Bundle.hpp"

namespace procscope {

// An icon: where its image comes from and the size it is shown at.
struct Image {
  std::string sourcePath;
  double width = 0;
  double height = 0;
};

// A Binary made by init is shared between the records of every start of its
// file (BinaryCache): once made, it is only read.
class Binary {
 public:
  Binary() = default;

  // Resolves the path or command name, then fills bundle, name,
  // bundleIdentifier, attributes, metadata and applicationIdentifier. Reads no file contents.
  // `fileSystemPath`, when given, is the path's own bytes (which `path`
  // shows decoded): every lookup on disk uses it, through `root` (a
  // process's own root; the agent's where null). The Binary does not hold
  // the root: lookups made after the root is gone find nothing.
  static std::shared_ptr<Binary> init(const std::string& pathOrCommand,
                                      const std::optional<std::string>& fileSystemPath = {},
                                      const std::shared_ptr<const LookupRoot>& root = nullptr);
  // What is known of a path without touching the file system, for a file
  // whose inspection did not end in time: the path and the name from it (no
  // bundle, so the name is the bundle identifier too).
  static std::shared_ptr<Binary> uninspected(const std::string& pathOrCommand);

  // Fillers (executable inspection).
  void getBundle();
  void getName();
  void getBundleIndentifier();  // spelled so, as the rest of the system knows it
  void getAttributes();
  // The file's extended attributes, at most kMaxAttributes of them and
  // kMaxAttributeBytes of values in all: any user may hang hundreds of 64 KiB
  // attributes on a file and run it under many names. What is left out is
  // counted under kOmittedAttributesKey.
  void getMetadata();
  // The Linux application identifier from where the executable lies: the
  // snap it belongs to, else the system desktop entry that runs this very
  // file (ApplicationIdentity.hpp); needs the attributes. The sandbox's,
  // which belongs to a process rather than a file, is set by whoever knows
  // the process.
  void getApplicationIdentifier();
  // What getApplicationIdentifier finds now.
  std::optional<std::string> applicationIdentifierOfFile() const;
  static constexpr std::size_t kMaxAttributes = 64;
  static constexpr std::size_t kMaxAttributeBytes = std::size_t{16} * 1024;
  static constexpr const char* kOmittedAttributesKey = "(attributes left out)";
  void getIcon();
  void generateSigningInfo(std::uint32_t flags);
  void generateHash();
  void generateIdentifier();

  // Accessors.
  const std::optional<Image>& icon() const { return icon_; }
  void setIcon(std::optional<Image> v) { icon_ = std::move(v); }
  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> v) { name_ = std::move(v); }
  // Text, for comparing and showing.
  const std::optional<std::string>& path() const { return path_; }
  void setPath(std::optional<std::string> v) {
    path_ = std::move(v);
    pathBytes_.reset();
  }
  // What finds the file: the path's own bytes where they are not UTF-8.
  const std::optional<std::string>& fileSystemPath() const {
    return pathBytes_ ? pathBytes_ : path_;
  }
  const std::shared_ptr<const platform::Bundle>& bundle() const { return bundle_; }
  void setBundle(std::shared_ptr<const platform::Bundle> v) { bundle_ = std::move(v); }
  const std::optional<Dictionary>& metadata() const { return metadata_; }
  void setMetadata(std::optional<Dictionary> v) { metadata_ = std::move(v); }
  const std::optional<Dictionary>& attributes() const { return attributes_; }
  void setAttributes(std::optional<Dictionary> v) { attributes_ = std::move(v); }
  const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }
  void setBundleIdentifier(std::optional<std::string> v) { bundleIdentifier_ = std::move(v); }
  const std::optional<Dictionary>& signingInfo() const { return signingInfo_; }
  void setSigningInfo(std::optional<Dictionary> v) { signingInfo_ = std::move(v); }
  const std::optional<std::string>& sha256() const { return sha256_; }
  void setSha256(std::optional<std::string> v) { sha256_ = std::move(v); }
  const std::optional<std::string>& identifier() const { return identifier_; }
  void setIdentifier(std::optional<std::string> v) { identifier_ = std::move(v); }
  // Beside bundleIdentifier, which only an application bundle gives.
  const std::optional<std::string>& applicationIdentifier() const { return applicationIdentifier_; }
  void setApplicationIdentifier(std::optional<std::string> v) {
    applicationIdentifier_ = std::move(v);
  }

  // "name: %@\npath: %@\nattributes: %@\nsigning info: %@"
  std::string description() const;

  // Makes the calling thread's lookups go through this Binary's root.
  class InRoot {
   public:
    explicit InRoot(const Binary& binary)
        : root_(binary.root_.lock()), scope_(root_.get(), binary.rooted_ && !root_) {}

   private:
    std::shared_ptr<const LookupRoot> root_;
    LookupRoot::Scope scope_;
  };

 private:
  std::weak_ptr<const LookupRoot> root_;
  bool rooted_ = false;  // made through a root other than the agent's
  std::optional<Image> icon_;
  std::optional<std::string> name_;
  std::optional<std::string> path_;
  std::optional<std::string> pathBytes_;
  std::shared_ptr<const platform::Bundle> bundle_;
  std::optional<Dictionary> metadata_;
  std::optional<Dictionary> attributes_;
  std::optional<std::string> bundleIdentifier_;
  std::optional<Dictionary> signingInfo_;
  std::optional<std::string> sha256_;
  std::optional<std::string> identifier_;
  std::optional<std::string> applicationIdentifier_;
};

}  // namespace procscope
