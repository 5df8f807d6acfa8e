// Linux executables carry no code signatures. The code objects exist as far
// as their file or process does, and every one of them is unsigned.
#include <sys/stat.h>

#include <string>

#include "procscope/platform/CodeSigning.hpp"

namespace procscope::platform {

namespace {

class UnsignedCode : public Code {};

class LinuxCodeSigning : public CodeSigningLayer {
 public:
  Outcome<std::shared_ptr<const Code>> createStaticCode(const std::string& path,
                                                        std::uint32_t) override {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return {errSecCSStaticCodeNotFound, {}};
    return {errSecSuccess, std::make_shared<UnsignedCode>()};
  }

  Outcome<std::shared_ptr<const Code>> copyGuestWithPid(std::int32_t pid, std::uint32_t) override {
    // Looked up through /proc rather than kill(2): pid 0 and negative pids
    // name no single process here.
    struct stat st {};
    if (pid <= 0 || ::stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0) {
      return {errSecCSNoSuchCode, {}};
    }
    return {errSecSuccess, std::make_shared<UnsignedCode>()};
  }

  OSStatus checkStaticValidity(const Code&, std::uint32_t, const Requirement*) override {
    return errSecCSUnsigned;
  }
  OSStatus checkValidity(const Code&, std::uint32_t, const Requirement*) override {
    return errSecCSUnsigned;
  }

  Outcome<SigningInformation> copySigningInformation(const Code&, std::uint32_t) override {
    // What unsigned code has to tell: nothing.
    return {errSecSuccess, {}};
  }

  Outcome<std::optional<std::string>> copyCommonName(const Certificate&) override {
    return {errSecCSUnimplemented, std::nullopt};
  }

  Outcome<std::shared_ptr<const Requirement>> createRequirement(const std::string& text,
                                                                std::uint32_t) override {
    return {errSecSuccess, std::make_shared<Requirement>(text)};
  }
};

}  // namespace

template <>
std::shared_ptr<CodeSigningLayer> makeDefaultService<CodeSigningLayer>() {
  return std::make_shared<LinuxCodeSigning>();
}

}  // namespace procscope::platform
