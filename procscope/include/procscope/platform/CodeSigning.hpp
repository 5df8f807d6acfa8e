// Code signing: code objects for files and running processes, their validity
// under an optional requirement, and the signing information they carry.
// Statuses are the platform's well-known values; 0 is success.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "procscope/Value.hpp"
#include "procscope/platform/Service.hpp"

namespace procscope::platform {

using OSStatus = std::int32_t;

enum CodeSigningStatus : OSStatus {
  errSecSuccess = 0,
  errSecCSUnimplemented = -67072,
  errSecCSInvalidObjectRef = -67071,
  errSecCSStaticCodeNotFound = -67068,
  errSecCSNoSuchCode = -67065,
  errSecCSUnsigned = -67062,
  errSecCSSignatureFailed = -67061,
  errSecCSReqInvalid = -67052,
  errSecCSReqFailed = -67050,
};

// A code object, static (a file) or dynamic (a running process). Each backend
// hands out its own kind and accepts only those.
class Code {
 public:
  virtual ~Code() = default;
};

class Certificate {
 public:
  virtual ~Certificate() = default;
};

// A compiled requirement. It keeps its source text so that any backend can
// evaluate it, whichever backend compiled it.
class Requirement {
 public:
  explicit Requirement(std::string text) : text_(std::move(text)) {}
  virtual ~Requirement() = default;
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// What the signature says about the code; each part absent when the
// signature has none.
struct SigningInformation {
  std::optional<std::string> identifier;
  std::optional<Dictionary> entitlements;
  // Leaf first, anchor last.
  std::vector<std::shared_ptr<const Certificate>> certificates;
};

template <class T>
struct Outcome {
  OSStatus status = errSecSuccess;
  T value{};
};

class CodeSigningLayer {
 public:
  virtual ~CodeSigningLayer() = default;

  // Static code for the file at `path`.
  virtual Outcome<std::shared_ptr<const Code>> createStaticCode(const std::string& path,
                                                                std::uint32_t flags) = 0;
  // Dynamic code of the running process `pid`.
  virtual Outcome<std::shared_ptr<const Code>> copyGuestWithPid(std::int32_t pid,
                                                                std::uint32_t flags) = 0;
  // 0 when the signature is valid and `requirement`, if given, is met.
  virtual OSStatus checkStaticValidity(const Code& code, std::uint32_t flags,
                                       const Requirement* requirement) = 0;
  virtual OSStatus checkValidity(const Code& code, std::uint32_t flags,
                                 const Requirement* requirement) = 0;
  virtual Outcome<SigningInformation> copySigningInformation(const Code& code,
                                                             std::uint32_t flags) = 0;
  virtual Outcome<std::optional<std::string>> copyCommonName(const Certificate& certificate) = 0;
  virtual Outcome<std::shared_ptr<const Requirement>> createRequirement(const std::string& text,
                                                                        std::uint32_t flags) = 0;
};

using CodeSigning = Service<CodeSigningLayer>;

}  // namespace procscope::platform
