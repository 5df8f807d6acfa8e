// A code-signing backend for tests: each file or process has a signature
// with a validity, the requirement texts it meets, a certificate chain of
// common names, an identifier and entitlements.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "procscope/platform/CodeSigning.hpp"

namespace test {

using procscope::Dictionary;
using namespace procscope::platform;

struct FakeSignature {
  OSStatus validity = errSecSuccess;                // the plain check
  std::set<std::string> meets{};                    // requirement texts
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
  inline static std::vector<std::string> compiled;
  inline static std::mutex compiledMutex;

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
  OSStatus checkStaticValidity(const Code& code, std::uint32_t, const Requirement* r) override {
    return check(code, false, r);
  }
  OSStatus checkValidity(const Code& code, std::uint32_t, const Requirement* r) override {
    return check(code, true, r);
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
    std::lock_guard lock(compiledMutex);
    compiled.push_back(text);
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

  static OSStatus check(const Code& code, bool dynamic, const Requirement* requirement) {
    auto* fake = dynamic_cast<const FakeCode*>(&code);
    // Static code must go through the static check and dynamic code through the other.
    if (!fake || fake->dynamic != dynamic) return errSecCSInvalidObjectRef;
    if (fake->signature.validity != errSecSuccess) return fake->signature.validity;
    if (!requirement || fake->signature.meets.count(requirement->text())) return errSecSuccess;
    return errSecCSReqFailed;
  }
};

}  // namespace test
