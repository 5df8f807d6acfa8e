// Code-signing information: the signing-information dictionary and its signer class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "procscope/Value.hpp"
#include "procscope/platform/CodeSigning.hpp"

namespace procscope {

enum Signer : std::int32_t {
  SignerApple = 1,
  SignerAppStore = 2,
  SignerDevID = 3,
  SignerOther = 4,
};

// The requirement texts behind the signer classes.
inline constexpr const char* kRequirementApple = "anchor apple";
inline constexpr const char* kRequirementDevID = "anchor apple generic";
inline constexpr const char* kRequirementAppStore =
    "anchor apple generic and certificate leaf [subject.CN] = \"Apple Mac OS Application "
    "Signing\"";

// With a path, evaluates the file statically (pid ignored); without one, the
// running process `pid`. Never none: a failure leaves only "signatureStatus".
//   "signatureStatus"       0, or the status of the step that failed
//   "signatureSigner"       a Signer, when the status is 0
//   "signatureIdentifier"   the signing identifier, when the signature has one
//   "signatureEntitlements" the entitlements dictionary, when it has one
//   "signatureAuthorities"  the certificates' common names, leaf first, when any
Dictionary extractSigningInfo(std::int32_t pid, const std::optional<std::string>& path,
                              std::uint32_t flags);

// The first signer class whose requirement the code meets, in the order
// Apple, App Store, Developer ID; SignerOther when it meets none.
std::int32_t extractSigner(const platform::Code& code, std::uint32_t flags, bool dynamic);

// The validity check of dynamic or static code, under `requirement` if given.
platform::OSStatus validateRequirement(const platform::Code& code,
                                       const platform::Requirement* requirement,
                                       std::uint32_t flags, bool dynamic);

// The readable common names of the signing certificates, in their order.
std::vector<std::string> extractSigningAuths(const platform::SigningInformation& info);

}  // namespace procscope
