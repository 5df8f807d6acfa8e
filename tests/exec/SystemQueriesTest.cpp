// System queries: OS version, process IDs, path strings, PATH lookup and the
// walk to the enclosing bundle.
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "ExecFixture.hpp"
#include "procscope/Utilities.hpp"

using namespace procscope;

TEST(OSVersion, ReadsThreeLeadingNumbersOfTheReleaseAndSupports10Point8AndLater10x) {
  const struct {
    const char* release;
    std::vector<std::int64_t> version;  // empty: none
    bool supported;
  } cases[] = {
      {"6.18.44-fc-v1272", {6, 18, 44}, false},
      {"5.15.90.1-microsoft-standard-WSL2", {5, 15, 90}, false},
      {"10.12.4", {10, 12, 4}, true},
      {"10.8.0", {10, 8, 0}, true},
      {"10.7.5", {10, 7, 5}, false},
      {"11.0.1", {11, 0, 1}, false},
      {"6.1", {}, false},
      {"6.1.", {}, false},
      {"6..1", {}, false},
      {"", {}, false},
      {"linux", {}, false},
      {"99999999999.1.2", {}, false},
  };
  for (const auto& c : cases) {
    auto v = osVersionFromRelease(c.release);
    std::optional<Dictionary> expected;
    if (!c.version.empty()) {
      expected = Dictionary{{"majorVersion", c.version[0]},
                            {"minorVersion", c.version[1]},
                            {"bugfixVersion", c.version[2]}};
    }
    EXPECT_EQ(v, expected) << c.release;
    EXPECT_EQ(isSupportedVersion(v), c.supported) << c.release;
  }
}

TEST(LiveQueries, TheRunningKernelAndProcesses) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(PS_getOSVersion(), osVersionFromRelease(names.release));
  EXPECT_EQ(PS_isSupportedOS(), isSupportedVersion(PS_getOSVersion()));

  auto pids = PS_enumerateProcesses();
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<std::uint32_t>(getpid())), pids.end());
  EXPECT_EQ(std::find(pids.begin(), pids.end(), 0u), pids.end());
}

TEST(Processes, OnlyNonZeroNumericNamesInOrder) {
  EXPECT_EQ(processIDsFromNames(
                {".", "1", "0", "self", "42", "4294967295", "4294967296", "12a", "", "7"}),
            (std::vector<std::uint32_t>{1, 42, 4294967295u, 7}));
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

// The first executable regular file along the path; an empty piece means the
// current directory.
TEST(Which, SearchesThePath) {
  test::TempDir tmp;
  test::writeFile(tmp / "a/tool", "#!/bin/sh\n", 0644);  // there, not executable
  test::writeFile(tmp / "b/tool", "#!/bin/sh\n", 0755);
  test::writeFile(tmp / "c/tool", "#!/bin/sh\n", 0755);
  std::filesystem::create_directories(tmp / "a/dir");  // a directory is no executable
  test::writeFile(tmp / "c/dir", "#!/bin/sh\n", 0755);
  test::writeFile(tmp / "here/tool", "#!/bin/sh\n", 0755);
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(tmp / "here");

  const struct {
    std::optional<std::string> path;
    const char* command;
    std::optional<std::string> found;
  } cases[] = {
      {tmp / "missing:" + tmp / "a:" + tmp / "b/:" + tmp / "c", "tool", tmp / "b/tool"},
      {tmp / "a:" + tmp / "c", "dir", tmp / "c/dir"},
      {tmp / "a:" + tmp / "c", "nothing", std::nullopt},
      {tmp / "none::" + tmp / "c", "tool", "tool"},
      {":" + tmp / "c", "tool", "tool"},
      {tmp / "none:", "tool", "tool"},
      {std::nullopt, "sh", std::nullopt},
  };
  for (const auto& c : cases) {
    test::ScopedEnv path("PATH", c.path);
    EXPECT_EQ(PS_which(c.command), c.found) << c.path.value_or("(unset)");
  }
  std::filesystem::current_path(cwd);
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
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"/usr/bin/true", {"/usr/bin/true", "/usr/bin", "/usr"}},
      {"/true", {"/true"}},
      {"tool", {"tool"}},
      {"a/b/tool", {"a/b/tool", "a/b", "a"}},
      // A few levels, however deep the path: each may cost a property list.
      {"/a/b/c/d/e/tool", {"/a/b/c/d/e/tool", "/a/b/c/d/e", "/a/b/c/d", "/a/b/c"}},
  };
  for (const auto& [path, asked] : cases) {
    auto recording = std::make_shared<RecordingBundles>();
    platform::ScopedService<platform::BundleLayer> scoped(recording);
    EXPECT_EQ(PS_findAppBundle(path), nullptr);
    EXPECT_EQ(recording->asked, asked) << path;
  }
}

TEST(FindAppBundle, FindsTheBundleWhoseExecutableIsExactlyThePath) {
  test::TempDir tmp;
  std::string app =
      test::makeBundle(tmp / "Applications", "Name", {{"CFBundleExecutable", "Name"}});
  std::string inner =
      test::makeBundle(app + "/Contents/Helpers", "Inner", {{"CFBundleExecutable", "Inner"}});
  test::writeFile(app + "/Contents/Resources/tool", "#!/bin/sh\n", 0755);

  std::string nested =
      test::makeBundle(tmp / "Applications", "Nested", {{"CFBundleExecutable", "bin/tool"}});
  test::writeFile(nested + "/Contents/MacOS/bin/tool", "#!/bin/sh\n", 0755);

  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {app + "/Contents/MacOS/Name", app},
      {inner + "/Contents/MacOS/Inner", inner},       // the innermost claims its own
      {nested + "/Contents/MacOS/bin/tool", nested},  // the name may reach below MacOS
      {app + "/Contents/Resources/tool", std::nullopt},
      {app, std::nullopt},  // the directory is no executable
  };
  for (const auto& [path, bundle] : cases) {
    auto found = PS_findAppBundle(path);
    EXPECT_EQ(found ? std::optional(found->bundlePath()) : std::nullopt, bundle) << path;
  }
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
