// The signing-information dictionary of a file or a running process.
#include "procscope/Signing.hpp"

#include <mutex>

namespace procscope {

namespace {

using platform::CodeSigning;

struct Requirements {
  std::shared_ptr<const platform::Requirement> isApple;
  std::shared_ptr<const platform::Requirement> isDevID;
  std::shared_ptr<const platform::Requirement> isAppStore;
};

// Compiled on first use and kept for the rest of the run. Never freed, so
// that a task still running while the program exits finds them intact.
const Requirements& requirements() {
  static std::once_flag once;
  static const Requirements* compiled = nullptr;
  std::call_once(once, [] {
    auto layer = CodeSigning::get();
    // The statuses are not examined: a requirement that failed to compile is
    // simply never met by anything but valid code.
    auto* r = new Requirements;
    r->isApple = layer->createRequirement(kRequirementApple, 0).value;
    r->isDevID = layer->createRequirement(kRequirementDevID, 0).value;
    r->isAppStore = layer->createRequirement(kRequirementAppStore, 0).value;
    compiled = r;
  });
  return *compiled;
}

}  // namespace

platform::OSStatus validateRequirement(const platform::Code& code,
                                       const platform::Requirement* requirement,
                                       std::uint32_t flags, bool dynamic) {
  auto layer = CodeSigning::get();
  return dynamic ? layer->checkValidity(code, flags, requirement)
                 : layer->checkStaticValidity(code, flags, requirement);
}

std::int32_t extractSigner(const platform::Code& code, std::uint32_t flags, bool dynamic) {
  const Requirements& r = requirements();
  if (validateRequirement(code, r.isApple.get(), flags, dynamic) == platform::errSecSuccess) {
    return SignerApple;
  }
  if (validateRequirement(code, r.isAppStore.get(), flags, dynamic) == platform::errSecSuccess) {
    return SignerAppStore;
  }
  if (validateRequirement(code, r.isDevID.get(), flags, dynamic) == platform::errSecSuccess) {
    return SignerDevID;
  }
  return SignerOther;
}

std::vector<std::string> extractSigningAuths(const platform::SigningInformation& info) {
  std::vector<std::string> names;
  auto layer = CodeSigning::get();
  for (const auto& certificate : info.certificates) {
    if (!certificate) continue;
    auto name = layer->copyCommonName(*certificate);
    if (name.status == platform::errSecSuccess && name.value) names.push_back(*name.value);
  }
  return names;
}

Dictionary extractSigningInfo(std::int32_t pid, const std::optional<std::string>& path,
                              std::uint32_t flags) {
  Dictionary info;
  auto layer = CodeSigning::get();
  const bool dynamic = !path.has_value();

  auto code = dynamic ? layer->copyGuestWithPid(pid, 0) : layer->createStaticCode(*path, 0);
  if (code.status != platform::errSecSuccess || !code.value) {
    // A backend that reports success without a code object has failed all the same.
    info["signatureStatus"] = Value(
        code.status != platform::errSecSuccess ? code.status : platform::errSecCSInvalidObjectRef);
    return info;
  }
  platform::OSStatus valid = validateRequirement(*code.value, nullptr, flags, dynamic);
  if (valid != platform::errSecSuccess) {
    info["signatureStatus"] = Value(valid);
    return info;
  }
  info["signatureStatus"] = Value(platform::errSecSuccess);
  info["signatureSigner"] = Value(extractSigner(*code.value, flags, dynamic));

  // kSecCSSigningInformation
  constexpr std::uint32_t kSigningInformation = 2;
  auto signing = layer->copySigningInformation(*code.value, kSigningInformation);
  if (signing.status != platform::errSecSuccess) return info;
  if (signing.value.identifier) info["signatureIdentifier"] = Value(*signing.value.identifier);
  if (signing.value.entitlements) {
    info["signatureEntitlements"] = Value(*signing.value.entitlements);
  }
  auto authorities = extractSigningAuths(signing.value);
  if (!authorities.empty()) {
    info["signatureAuthorities"] = Value(Array(authorities.begin(), authorities.end()));
  }
  return info;
}

}  // namespace procscope
