// The signing-information dictionary, over the modelled backend and the
// Linux one.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "ExecFixture.hpp"
#include "FakeCodeSigning.hpp"
#include "procscope/Signing.hpp"

using namespace procscope;
using test::FakeSignature;
using Names = std::vector<std::string>;

namespace {

const Names kApple = {"Software Signing", "Apple Code Signing Certification Authority",
                      "Apple Root CA"};
const Names kAppStore = {"Apple Mac OS Application Signing",
                         "Apple Worldwide Developer Relations CA", "Apple Root CA"};
const Names kDevID = {"Developer ID Application: Example (ABCDE12345)",
                      "Developer ID Certification Authority", "Apple Root CA"};

std::vector<std::optional<std::string>> chain(const Names& names) {
  return {names.begin(), names.end()};
}

// What a valid signature yields: status 0, the signer, and the parts given.
Dictionary valid(std::int32_t signer, std::optional<std::string> identifier = {},
                 const Names& authorities = {}, std::optional<Dictionary> entitlements = {}) {
  Dictionary d{{"signatureStatus", 0}, {"signatureSigner", signer}};
  if (identifier) d["signatureIdentifier"] = *identifier;
  if (!authorities.empty())
    d["signatureAuthorities"] = Array(authorities.begin(), authorities.end());
  if (entitlements) d["signatureEntitlements"] = *entitlements;
  return d;
}

class SigningTest : public ::testing::Test {
 protected:
  std::shared_ptr<test::FakeCodeSigning> fake = std::make_shared<test::FakeCodeSigning>();
  platform::ScopedService<platform::CodeSigningLayer> scoped{fake};
};

}  // namespace

TEST_F(SigningTest, SignerIsTheFirstRequirementMetInOrder) {
  const Dictionary sandbox{{"com.apple.security.app-sandbox", true}};
  const struct {
    const char* what;
    FakeSignature signature;
    Dictionary expected;
  } cases[] = {
      {"apple code also meets the developer requirement",
       {.meets = {kRequirementApple, kRequirementDevID}, .chain = chain(kApple), .identifier = "a"},
       valid(SignerApple, "a", kApple)},
      {"app store before developer id",
       {.meets = {kRequirementDevID, kRequirementAppStore}, .chain = chain(kAppStore)},
       valid(SignerAppStore, {}, kAppStore)},
      {"developer id, with entitlements",
       {.meets = {kRequirementDevID}, .chain = chain(kDevID), .entitlements = sandbox},
       valid(SignerDevID, {}, kDevID, sandbox)},
      {"none met", {.chain = chain(kAppStore)}, valid(SignerOther, {}, kAppStore)},
      {"ad hoc: identifier, no certificates", {.identifier = "a.out"}, valid(SignerOther, "a.out")},
      {"unreadable names are left out",
       {.chain = {"Leaf", std::nullopt, "Root"}},
       valid(SignerOther, {}, {"Leaf", "Root"})},
      {"no readable name: no authorities",
       {.chain = {std::nullopt, std::nullopt}, .identifier = "x"},
       valid(SignerOther, "x")},
      {"signing information unavailable: status and signer only",
       {.meets = {kRequirementApple},
        .chain = chain(kApple),
        .identifier = "a",
        .informationStatus = platform::errSecCSUnimplemented},
       valid(SignerApple)},
      {"invalid signature: status only",
       {.validity = platform::errSecCSSignatureFailed, .meets = {kRequirementApple}},
       {{"signatureStatus", platform::errSecCSSignatureFailed}}},
  };
  int pid = 100;
  for (const auto& c : cases) {
    fake->files["/Applications/Thing.app"] = c.signature;
    EXPECT_EQ(extractSigningInfo(12345, "/Applications/Thing.app", 0), c.expected)
        << "static: " << c.what;
    fake->processes[++pid] = c.signature;
    EXPECT_EQ(extractSigningInfo(pid, std::nullopt, 0), c.expected) << "dynamic: " << c.what;
  }
}

TEST_F(SigningTest, CodeThatCannotBeFoundGivesItsStatusOnly) {
  fake->processes[0] = FakeSignature{.identifier = "kernel"};
  EXPECT_EQ(extractSigningInfo(0, "/no/such/file", 0),
            (Dictionary{{"signatureStatus", platform::errSecCSStaticCodeNotFound}}));
  EXPECT_EQ(extractSigningInfo(7, std::nullopt, 0),
            (Dictionary{{"signatureStatus", platform::errSecCSNoSuchCode}}));
  // Pid 0 is looked up like any other.
  EXPECT_EQ(stringForKey(extractSigningInfo(0, std::nullopt, 0), "signatureIdentifier"), "kernel");
}

TEST_F(SigningTest, RequirementsCompiledOnceInOrderWhateverTheThreads) {
  fake->files["/bin/signed"] = FakeSignature{.chain = chain(kApple)};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([] {
      for (int j = 0; j < 20; ++j) extractSigningInfo(0, "/bin/signed", 0);
    });
  }
  for (auto& t : threads) t.join();
  // No other backend in this program ever gets as far as the signer, so the
  // fake saw the one and only compilation.
  EXPECT_EQ(test::FakeCodeSigning::compiled,
            (Names{"anchor apple", "anchor apple generic",
                   "anchor apple generic and certificate leaf [subject.CN] = \"Apple Mac OS "
                   "Application Signing\""}));
}

TEST(LinuxSigning, EverythingThereIsUnsignedAndTheRestNotFound) {
  test::TempDir tmp;
  test::writeFile(tmp / "tool", "#!/bin/sh\n", 0755);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);  // reaped: the pid names nothing now

  const struct {
    const char* what;
    std::int32_t pid;
    std::optional<std::string> path;
    platform::OSStatus status;
  } cases[] = {
      {"existing file", 0, tmp / "tool", platform::errSecCSUnsigned},
      {"existing directory", 0, tmp.path(), platform::errSecCSUnsigned},
      {"missing file", 0, tmp / "missing", platform::errSecCSStaticCodeNotFound},
      {"empty path", 0, "", platform::errSecCSStaticCodeNotFound},
      {"pid ignored with a path", child, tmp / "tool", platform::errSecCSUnsigned},
      {"this process", getpid(), std::nullopt, platform::errSecCSUnsigned},
      {"exited process", child, std::nullopt, platform::errSecCSNoSuchCode},
      {"pid 0", 0, std::nullopt, platform::errSecCSNoSuchCode},
      {"negative pid", -1, std::nullopt, platform::errSecCSNoSuchCode},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extractSigningInfo(c.pid, c.path, 0), (Dictionary{{"signatureStatus", c.status}}))
        << c.what;
  }
}
