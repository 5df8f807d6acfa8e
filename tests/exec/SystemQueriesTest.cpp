// System queries: OS version, process IDs, path strings, PATH lookup and the
// walk to the enclosing bundle.
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "ExecFixture.hpp"
#include "procscope/Utilities.hpp"

using namespace procscope;

namespace {

std::optional<std::int64_t> number(const Dictionary& d, const char* key) {
  auto it = d.find(key);
  return it == d.end() ? std::nullopt : it->second.integer();
}

}  // namespace

TEST(OSVersion, ReadsThreeLeadingNumbersOfTheRelease) {
  struct Case {
    const char* release;
    std::optional<std::array<int, 3>> version;
  } cases[] = {
      {"6.18.44-fc-v1272", std::array{6, 18, 44}},
      {"5.15.90.1-microsoft-standard-WSL2", std::array{5, 15, 90}},
      {"10.12.4", std::array{10, 12, 4}},
      {"6.1", std::nullopt},
      {"6.1.", std::nullopt},
      {"6..1", std::nullopt},
      {"", std::nullopt},
      {"linux", std::nullopt},
      {"99999999999.1.2", std::nullopt},
  };
  for (const auto& c : cases) {
    auto v = osVersionFromRelease(c.release);
    ASSERT_EQ(v.has_value(), c.version.has_value()) << c.release;
    if (!v) continue;
    EXPECT_EQ(v->size(), 3u);
    EXPECT_EQ(number(*v, "majorVersion"), (*c.version)[0]) << c.release;
    EXPECT_EQ(number(*v, "minorVersion"), (*c.version)[1]) << c.release;
    EXPECT_EQ(number(*v, "bugfixVersion"), (*c.version)[2]) << c.release;
  }
}

TEST(OSVersion, SupportedAre10Point8AndLater10x) {
  EXPECT_TRUE(isSupportedVersion(osVersionFromRelease("10.12.4")));
  EXPECT_TRUE(isSupportedVersion(osVersionFromRelease("10.8.0")));
  EXPECT_FALSE(isSupportedVersion(osVersionFromRelease("10.7.5")));
  EXPECT_FALSE(isSupportedVersion(osVersionFromRelease("11.0.1")));
  EXPECT_FALSE(isSupportedVersion(std::nullopt));
}

TEST(OSVersion, LiveVersionIsTheRunningKernels) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(PS_getOSVersion(), osVersionFromRelease(names.release));
  EXPECT_EQ(PS_isSupportedOS(), isSupportedVersion(PS_getOSVersion()));
}

TEST(Processes, OnlyNonZeroNumericNamesInOrder) {
  EXPECT_EQ(processIDsFromNames(
                {".", "1", "0", "self", "42", "4294967295", "4294967296", "12a", "", "7"}),
            (std::vector<std::uint32_t>{1, 42, 4294967295u, 7}));
}

TEST(Processes, LiveListHoldsThisProcessAndNoZero) {
  auto pids = PS_enumerateProcesses();
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<std::uint32_t>(getpid())), pids.end());
  EXPECT_EQ(std::find(pids.begin(), pids.end(), 0u), pids.end());
}

TEST(PathStrings, FollowThePlatformRules) {
  struct Case {
    const char* path;
    const char* parent;
    const char* last;
    const char* extension;
    const char* withoutExtension;
  } cases[] = {
      {"/usr/bin/true", "/usr/bin", "true", "", "/usr/bin/true"},
      {"/usr", "/", "usr", "", "/usr"},
      {"/", "/", "/", "", "/"},
      {"true", "", "true", "", "true"},
      {"/a/b/", "/a", "b", "", "/a/b"},
      {"Icons/App.icns", "Icons", "App.icns", "icns", "Icons/App"},
      {".icns", "", ".icns", "", ".icns"},
      {"dir.d/App", "dir.d", "App", "", "dir.d/App"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(deletingLastPathComponent(c.path), c.parent) << c.path;
    EXPECT_EQ(lastPathComponent(c.path), c.last) << c.path;
    EXPECT_EQ(pathExtension(c.path), c.extension) << c.path;
    EXPECT_EQ(deletingPathExtension(c.path), c.withoutExtension) << c.path;
  }
  EXPECT_EQ(appendingPathComponent("/usr/bin/", "ls"), "/usr/bin/ls");
  EXPECT_EQ(appendingPathComponent("/", "ls"), "/ls");
  EXPECT_EQ(appendingPathComponent("", "ls"), "ls");
}

TEST(Which, FirstExecutableRegularFileAlongThePath) {
  test::TempDir tmp;
  test::writeFile(tmp / "a/tool", "#!/bin/sh\n", 0644);  // there, not executable
  test::writeFile(tmp / "b/tool", "#!/bin/sh\n", 0755);
  test::writeFile(tmp / "c/tool", "#!/bin/sh\n", 0755);
  std::filesystem::create_directories(tmp / "a/dir");  // a directory is no executable
  test::writeFile(tmp / "c/dir", "#!/bin/sh\n", 0755);

  test::ScopedEnv path("PATH",
                       tmp / "missing" + ":" + tmp / "a" + ":" + tmp / "b/" + ":" + tmp / "c");
  EXPECT_EQ(PS_which("tool"), tmp / "b/tool");
  EXPECT_EQ(PS_which("dir"), tmp / "c/dir");
  EXPECT_EQ(PS_which("nothing"), std::nullopt);
}

TEST(Which, EmptyPieceMeansTheCurrentDirectory) {
  test::TempDir tmp;
  test::writeFile(tmp / "here/tool", "#!/bin/sh\n", 0755);
  test::writeFile(tmp / "later/tool", "#!/bin/sh\n", 0755);
  test::ScopedCwd cwd(tmp / "here");
  for (const std::string& search : {tmp / "none" + "::" + tmp / "later",  // middle
                                    ":" + tmp / "later"}) {               // leading
    test::ScopedEnv path("PATH", search);
    EXPECT_EQ(PS_which("tool"), "tool") << search;
  }
  test::ScopedEnv trailing("PATH", tmp / "none" + ":");
  EXPECT_EQ(PS_which("tool"), "tool");
}

TEST(Which, NoPathNoAnswer) {
  test::ScopedEnv path("PATH", std::nullopt);
  EXPECT_EQ(PS_which("sh"), std::nullopt);
}

namespace {

// Remembers the directories it is asked about; finds no bundle.
class RecordingBundles : public platform::BundleLayer {
 public:
  std::shared_ptr<const platform::Bundle> bundleWithPath(const std::string& path) override {
    asked.push_back(path);
    return nullptr;
  }
  std::vector<std::string> asked;
};

}  // namespace

TEST(FindAppBundle, WalkStopsBeforeTheRootOrAnEmptyPath) {
  struct Case {
    const char* path;
    std::vector<std::string> asked;
  } cases[] = {
      {"/usr/bin/true", {"/usr/bin/true", "/usr/bin", "/usr"}},
      {"/true", {"/true"}},
      {"tool", {"tool"}},
      {"a/b/tool", {"a/b/tool", "a/b", "a"}},
  };
  for (const auto& c : cases) {
    auto recording = std::make_shared<RecordingBundles>();
    platform::ScopedService<platform::BundleLayer> scoped(recording);
    EXPECT_EQ(PS_findAppBundle(c.path), nullptr);
    EXPECT_EQ(recording->asked, c.asked) << c.path;
  }
}

TEST(FindAppBundle, FindsTheBundleWhoseExecutableIsExactlyThePath) {
  test::TempDir tmp;
  std::string app =
      test::makeBundle(tmp / "Applications", "Name", {{"CFBundleExecutable", "Name"}});
  std::string inner =
      test::makeBundle(app + "/Contents/Helpers", "Inner", {{"CFBundleExecutable", "Inner"}});
  test::writeFile(app + "/Contents/Resources/tool", "#!/bin/sh\n", 0755);

  auto found = PS_findAppBundle(app + "/Contents/MacOS/Name");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->bundlePath(), app);
  found = PS_findAppBundle(inner + "/Contents/MacOS/Inner");  // the innermost claims its own
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->bundlePath(), inner);
  EXPECT_EQ(PS_findAppBundle(app + "/Contents/Resources/tool"), nullptr);
  EXPECT_EQ(PS_findAppBundle(app), nullptr);  // the directory is no executable

  // An executable name may reach into a folder below Contents/MacOS.
  std::string nested =
      test::makeBundle(tmp / "Applications", "Nested", {{"CFBundleExecutable", "bin/tool"}});
  test::writeFile(nested + "/Contents/MacOS/bin/tool", "#!/bin/sh\n", 0755);
  found = PS_findAppBundle(nested + "/Contents/MacOS/bin/tool");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->bundlePath(), nested);
}

// The search skips only directories whose bundle could never claim the path.
TEST(FindAppBundle, LinuxLayerRulesOutDirectoriesByTheirPlaceAlone) {
  auto layer = platform::makeDefaultService<platform::BundleLayer>();
  EXPECT_TRUE(layer->mayHoldExecutable("/A.app", "/A.app/Contents/MacOS/A"));
  EXPECT_TRUE(layer->mayHoldExecutable("/A.app//", "/A.app/Contents/MacOS/A"));
  EXPECT_TRUE(layer->mayHoldExecutable("/A.app", "/A.app/Contents/MacOS/bin/A"));
  EXPECT_FALSE(layer->mayHoldExecutable("/A.app", "/A.app/Contents/MacOS/"));
  EXPECT_FALSE(layer->mayHoldExecutable("/A.app/Contents", "/A.app/Contents/MacOS/A"));
  EXPECT_FALSE(layer->mayHoldExecutable("/usr/bin", "/usr/bin/true"));
  EXPECT_FALSE(layer->mayHoldExecutable("/usr", "/usr/bin/true"));
  EXPECT_FALSE(layer->mayHoldExecutable("", "/Contents/MacOS/A"));
}
