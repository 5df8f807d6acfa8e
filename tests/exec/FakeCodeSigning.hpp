// A code-signing backend for tests that models signed code: each file or
// process has a signature with a validity, an anchor, a certificate chain of
// common names, an identifier and entitlements, and the three requirement
// texts of the signer classes are evaluated against it.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "procscope/platform/CodeSigning.hpp"

namespace test {

using procscope::Dictionary;
using namespace procscope::platform;

struct FakeSignature {
  enum class Anchor { kNone, kAppleGeneric, kApple };
  OSStatus validity = errSecSuccess;  // the plain check
  Anchor anchor = Anchor::kNone;
  std::vector<std::optional<std::string>> chain{};  // leaf first; none: name unreadable
  std::optional<std::string> identifier{};
  std::optional<Dictionary> entitlements{};
  OSStatus informationStatus = errSecSuccess;
};

class FakeCodeSigning : public CodeSigningLayer {
 public:
  std::map<std::string, FakeSignature> files;
  std::map<std::int32_t, FakeSignature> processes;

  // Every text any instance was asked to compile, in order, for the run.
  static std::vector<std::string> compiledTexts() {
    std::lock_guard lock(compiledMutex());
    return compiled();
  }

  Outcome<std::shared_ptr<const Code>> createStaticCode(const std::string& path,
                                                        std::uint32_t) override {
    auto it = files.find(path);
    if (it == files.end()) return {errSecCSStaticCodeNotFound, {}};
    return {errSecSuccess, std::make_shared<FakeCode>(it->second, false)};
  }
  Outcome<std::shared_ptr<const Code>> copyGuestWithPid(std::int32_t pid, std::uint32_t) override {
    auto it = processes.find(pid);
    if (it == processes.end()) return {errSecCSNoSuchCode, {}};
    return {errSecSuccess, std::make_shared<FakeCode>(it->second, true)};
  }
  OSStatus checkStaticValidity(const Code& code, std::uint32_t,
                               const Requirement* requirement) override {
    return check(code, false, requirement);
  }
  OSStatus checkValidity(const Code& code, std::uint32_t, const Requirement* requirement) override {
    return check(code, true, requirement);
  }
  Outcome<SigningInformation> copySigningInformation(const Code& code, std::uint32_t) override {
    auto* fake = dynamic_cast<const FakeCode*>(&code);
    if (!fake) return {errSecCSInvalidObjectRef, {}};
    const FakeSignature& s = fake->signature;
    if (s.informationStatus != errSecSuccess) return {s.informationStatus, {}};
    SigningInformation info{s.identifier, s.entitlements, {}};
    for (const auto& name : s.chain)
      info.certificates.push_back(std::make_shared<FakeCertificate>(name));
    return {errSecSuccess, std::move(info)};
  }
  Outcome<std::optional<std::string>> copyCommonName(const Certificate& certificate) override {
    auto* fake = dynamic_cast<const FakeCertificate*>(&certificate);
    if (!fake) return {errSecCSInvalidObjectRef, std::nullopt};
    if (!fake->commonName) return {errSecCSUnimplemented, std::nullopt};
    return {errSecSuccess, fake->commonName};
  }
  Outcome<std::shared_ptr<const Requirement>> createRequirement(const std::string& text,
                                                                std::uint32_t) override {
    {
      std::lock_guard lock(compiledMutex());
      compiled().push_back(text);
    }
    if (!parse(text)) return {errSecCSReqInvalid, {}};
    return {errSecSuccess, std::make_shared<Requirement>(text)};
  }

 private:
  struct FakeCode : Code {
    FakeCode(FakeSignature s, bool d) : signature(std::move(s)), dynamic(d) {}
    FakeSignature signature;
    bool dynamic;
  };
  struct FakeCertificate : Certificate {
    explicit FakeCertificate(std::optional<std::string> name) : commonName(std::move(name)) {}
    std::optional<std::string> commonName;
  };
  static std::vector<std::string>& compiled() {
    static std::vector<std::string> texts;
    return texts;
  }
  static std::mutex& compiledMutex() {
    static std::mutex m;
    return m;
  }

  // The three texts the signer classes are made of; anything else does not compile.
  static std::optional<std::function<bool(const FakeSignature&)>> parse(const std::string& text) {
    using A = FakeSignature::Anchor;
    auto generic = [](const FakeSignature& s) {
      return s.anchor == A::kApple || s.anchor == A::kAppleGeneric;
    };
    if (text == "anchor apple") {
      return [](const FakeSignature& s) { return s.anchor == A::kApple; };
    }
    if (text == "anchor apple generic") return generic;
    if (text ==
        "anchor apple generic and certificate leaf [subject.CN] = \"Apple Mac OS Application "
        "Signing\"") {
      return [generic](const FakeSignature& s) {
        return generic(s) && !s.chain.empty() &&
               s.chain.front() == "Apple Mac OS Application Signing";
      };
    }
    return std::nullopt;
  }

  static OSStatus check(const Code& code, bool dynamic, const Requirement* requirement) {
    auto* fake = dynamic_cast<const FakeCode*>(&code);
    // Static code must go through the static check and dynamic code through the other.
    if (!fake || fake->dynamic != dynamic) return errSecCSInvalidObjectRef;
    if (fake->signature.validity != errSecSuccess) return fake->signature.validity;
    if (!requirement) return errSecSuccess;
    auto meets = parse(requirement->text());
    if (!meets) return errSecCSReqInvalid;
    return (*meets)(fake->signature) ? errSecSuccess : errSecCSReqFailed;
  }
};

}  // namespace test
