// Code-signing information: the signing-information dictionary and its signer class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "procscope/Value.hpp"

namespace procscope {

enum Signer : std::int32_t {
  SignerApple = 1,
  SignerAppStore = 2,
  SignerDevID = 3,
  SignerOther = 4,
};

// With a path, evaluates the file statically (pid ignored); without one, the
// running process `pid`. Never none: a failure leaves only "signatureStatus".
Dictionary extractSigningInfo(std::int32_t pid, const std::optional<std::string>& path,
                              std::uint32_t flags);

}  // namespace procscope
