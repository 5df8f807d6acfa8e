// Binary built from real files and bundles in a scratch directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "ExecFixture.hpp"
#include "FakeCodeSigning.hpp"
#include "procscope/Binary.hpp"
#include "procscope/platform/Icons.hpp"

using namespace procscope;
using test::PlistForm;

namespace {

class FixedIcons : public platform::IconLayer {
 public:
  explicit FixedIcons(std::optional<Image> icon) : icon_(std::move(icon)) {}
  std::optional<Image> iconForFile(const std::string&) override { return icon_; }

 private:
  std::optional<Image> icon_;
};

class BinaryTest : public ::testing::Test {
 protected:
  test::TempDir tmp;
};

}  // namespace

TEST_F(BinaryTest, NamesAndIdentifiersFromBundlesOrFileNames) {
  for (PlistForm form : {PlistForm::kXml, PlistForm::kBinary}) {
    std::string dir = tmp / (form == PlistForm::kXml ? "xml" : "binary");
    std::string full = test::makeBundle(dir, "Full",
                                        {{"CFBundleExecutable", "full-exe"},
                                         {"CFBundleName", "Full Name"},
                                         {"CFBundleIdentifier", "com.example.full"}},
                                        form);
    std::string nameless = test::makeBundle(
        dir, "Nameless", {{"CFBundleExecutable", "nl"}, {"CFBundleIdentifier", "com.example.nl"}},
        form);
    std::string anonymous = test::makeBundle(
        dir, "Anonymous", {{"CFBundleExecutable", "anon"}, {"CFBundleName", "A"}}, form);
    test::writeFile(full + "/Contents/MacOS/helper", "#!/bin/sh\n", 0755);
    test::writeFile(dir + "/tool", "#!/bin/sh\n", 0755);
    test::writeFile(dir + "/Broken.app/Contents/Info.plist", "<plist><dict><key>CFBundle");
    test::writeFile(dir + "/Broken.app/Contents/MacOS/Broken", "#!/bin/sh\n", 0755);

    struct Case {
      std::string path;
      std::optional<std::string> bundle;
      std::optional<std::string> name;
      std::optional<std::string> identifier;
    } cases[] = {
        {full + "/Contents/MacOS/full-exe", full, "Full Name", "com.example.full"},
        {full, full, "Full Name", "com.example.full"},  // the bundle directory itself
        {full + "/Contents/MacOS/helper", std::nullopt, "helper", "helper"},
        {nameless + "/Contents/MacOS/nl", nameless, "nl", "com.example.nl"},
        {anonymous + "/Contents/MacOS/anon", anonymous, "A", std::nullopt},
        {dir + "/tool", std::nullopt, "tool", "tool"},
        {dir + "/Broken.app/Contents/MacOS/Broken", std::nullopt, "Broken", "Broken"},
        {dir + "/Broken.app", dir + "/Broken.app", "Broken.app", std::nullopt},
    };
    for (const auto& c : cases) {
      auto b = Binary::init(c.path);
      ASSERT_NE(b, nullptr);
      EXPECT_EQ(b->path(), c.path);
      EXPECT_EQ(b->bundle() ? std::optional(b->bundle()->bundlePath()) : std::nullopt, c.bundle)
          << c.path;
      EXPECT_EQ(b->name(), c.name) << c.path;
      EXPECT_EQ(b->bundleIdentifier(), c.identifier) << c.path;
      // init leaves the costly fields to those who ask.
      EXPECT_FALSE(b->icon() || b->signingInfo() || b->sha256() || b->identifier()) << c.path;
    }
  }
}

TEST_F(BinaryTest, CommandNamesResolveThroughThePath) {
  test::writeFile(tmp / "bin/mytool", "#!/bin/sh\n", 0755);
  test::ScopedEnv path("PATH", tmp / "nowhere:" + tmp / "bin");
  auto found = Binary::init("mytool");
  EXPECT_EQ(found->path(), tmp / "bin/mytool");
  EXPECT_EQ(found->name(), "mytool");
  EXPECT_TRUE(found->attributes());

  auto missing = Binary::init("some/dir/absent-tool");
  EXPECT_EQ(missing->path(), "some/dir/absent-tool");
  EXPECT_EQ(missing->name(), "absent-tool");
  EXPECT_EQ(missing->bundleIdentifier(), "absent-tool");
  EXPECT_EQ(missing->attributes(), std::nullopt);
}

TEST_F(BinaryTest, AttributesDescribeTheItemItself) {
  test::writeFile(tmp / "tool", "12345", 04751);
  ASSERT_EQ(symlink((tmp / "tool").c_str(), (tmp / "link").c_str()), 0);
  struct stat st {};
  ASSERT_EQ(stat((tmp / "tool").c_str(), &st), 0);

  auto a = Binary::init(tmp / "tool")->attributes();
  ASSERT_TRUE(a);
  EXPECT_EQ(stringForKey(*a, "NSFileType"), "NSFileTypeRegular");
  EXPECT_EQ(a->at("NSFileSize"), Value(5));
  EXPECT_EQ(a->at("NSFilePosixPermissions"), Value(04751));
  EXPECT_EQ(a->at("NSFileOwnerAccountID"), Value(static_cast<std::int64_t>(st.st_uid)));
  EXPECT_EQ(a->at("NSFileGroupOwnerAccountID"), Value(static_cast<std::int64_t>(st.st_gid)));
  EXPECT_EQ(a->at("NSFileReferenceCount"), Value(1));
  EXPECT_EQ(a->at("NSFileSystemFileNumber"), Value(static_cast<std::int64_t>(st.st_ino)));
  EXPECT_EQ(a->at("NSFileSystemNumber"), Value(static_cast<std::int64_t>(st.st_dev)));
  EXPECT_EQ(a->at("NSFileModificationDate"),
            Value(Date{std::chrono::system_clock::time_point(
                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::seconds(st.st_mtim.tv_sec) +
                    std::chrono::nanoseconds(st.st_mtim.tv_nsec)))}));
  if (getuid() == 0) {
    EXPECT_EQ(stringForKey(*a, "NSFileOwnerAccountName"), "root");
  }

  EXPECT_EQ(stringForKey(Binary::init(tmp / "link")->attributes(), "NSFileType"),
            "NSFileTypeSymbolicLink");
  EXPECT_EQ(stringForKey(Binary::init(tmp.path())->attributes(), "NSFileType"),
            "NSFileTypeDirectory");
}

TEST_F(BinaryTest, MetadataIsTheExtendedAttributes) {
  test::writeFile(tmp / "tagged", "x");
  const std::string value("\x00\x01rest", 6);
  if (lsetxattr((tmp / "tagged").c_str(), "user.procscope.test", value.data(), value.size(), 0) !=
      0) {
    GTEST_SKIP() << "no user extended attributes on this file system";
  }
  auto tagged = Binary::init(tmp / "tagged")->metadata();
  ASSERT_TRUE(tagged);
  EXPECT_EQ(tagged->at("user.procscope.test"), Value(Data(value.begin(), value.end())));

  auto missing = Binary::init(tmp / "missing");
  missing->setMetadata(Dictionary{{"kept", 1}});
  missing->getMetadata();  // unreadable: left as it was
  EXPECT_EQ(missing->metadata(), (Dictionary{{"kept", 1}}));
}

TEST_F(BinaryTest, IconFromTheBundleElseTheDesktopEndingAt128) {
  platform::ScopedService<platform::IconLayer> icons(
      std::make_shared<FixedIcons>(Image{"/themes/application-x-executable.png", 48, 48}));
  std::string plain = test::makeBundle(tmp.path(), "Plain",
                                       {{"CFBundleExecutable", "p"}, {"CFBundleIconFile", "App"}});
  test::writeFile(plain + "/Contents/Resources/App.icns", "icns");
  std::string png = test::makeBundle(
      tmp.path(), "Png", {{"CFBundleExecutable", "p"}, {"CFBundleIconFile", "Icon.png"}});
  test::writeFile(png + "/Contents/Resources/Icon.png", "png");
  test::writeFile(png + "/Contents/Resources/Icon.icns", "icns");
  std::string lost = test::makeBundle(tmp.path(), "Lost",
                                      {{"CFBundleExecutable", "p"}, {"CFBundleIconFile", "Gone"}});
  std::string bare = test::makeBundle(tmp.path(), "Bare", {{"CFBundleExecutable", "p"}});
  test::writeFile(tmp / "tool", "#!/bin/sh\n", 0755);

  struct Case {
    std::string path;
    std::optional<std::string> icon;
  } cases[] = {
      {plain + "/Contents/MacOS/p", plain + "/Contents/Resources/App.icns"},
      {png, png + "/Contents/Resources/Icon.png"},
      {lost + "/Contents/MacOS/p", "/themes/application-x-executable.png"},
      {bare, "/themes/application-x-executable.png"},
      {tmp / "tool", "/themes/application-x-executable.png"},
      {"relative-tool-without-bundle", std::nullopt},
  };
  for (const auto& c : cases) {
    auto b = Binary::init(c.path);
    b->getIcon();
    ASSERT_EQ(b->icon().has_value(), c.icon.has_value()) << c.path;
    if (!c.icon) continue;
    EXPECT_EQ(b->icon()->sourcePath, *c.icon) << c.path;
    EXPECT_EQ(b->icon()->width, 128.0);
    EXPECT_EQ(b->icon()->height, 128.0);
  }

  platform::ScopedService<platform::IconLayer> none(std::make_shared<FixedIcons>(std::nullopt));
  auto b = Binary::init(tmp / "tool");
  b->getIcon();
  EXPECT_EQ(b->icon(), std::nullopt);
}

TEST_F(BinaryTest, ThemeIconPrefers128ThenScalableThenNearestLarger) {
  const std::string name = "application-x-executable";
  auto icon = [&](const std::string& rel) { test::writeFile(tmp / ("icons/" + rel), "i"); };
  auto find = [&] {
    return platform::findThemeIcon({tmp / "icons", tmp / "none"}, {tmp / "pixmaps"}, name);
  };
  EXPECT_EQ(find(), std::nullopt);
  test::writeFile(tmp / ("pixmaps/" + name + ".xpm"), "i");
  EXPECT_EQ(find(), tmp / ("pixmaps/" + name + ".xpm"));
  icon("Theme/16x16/mimetypes/" + name + ".png");
  EXPECT_EQ(find(), tmp / ("icons/Theme/16x16/mimetypes/" + name + ".png"));
  icon("Theme/48x48/mimetypes/" + name + ".png");
  EXPECT_EQ(find(), tmp / ("icons/Theme/48x48/mimetypes/" + name + ".png"));
  icon("Theme/512x512/mimetypes/" + name + ".png");
  icon("Other/mimetypes/256/" + name + ".svg");  // context first, then size
  EXPECT_EQ(find(), tmp / ("icons/Other/mimetypes/256/" + name + ".svg"));
  icon("Theme/scalable/mimetypes/" + name + ".svg");
  EXPECT_EQ(find(), tmp / ("icons/Theme/scalable/mimetypes/" + name + ".svg"));
  icon("Theme/128x128/mimetypes/" + name + ".png");
  icon("Theme/128x128/mimetypes/" + name + "-symbolic.png");
  EXPECT_EQ(find(), tmp / ("icons/Theme/128x128/mimetypes/" + name + ".png"));
}

TEST_F(BinaryTest, DigestIsUpperCaseSha256OfTheWholeFile) {
  struct Case {
    const char* what;
    std::string contents;
    const char* digest;
  } cases[] = {
      {"abc", "abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
      {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
      {"a million a, many chunks", std::string(1000000, 'a'),
       "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0"},
  };
  for (const auto& c : cases) {
    test::writeFile(tmp / "file", c.contents);
    auto b = Binary::init(tmp / "file");
    b->generateHash();
    EXPECT_EQ(b->sha256(), c.digest) << c.what;
  }
}

TEST_F(BinaryTest, NoDigestLeavesTheFieldAsItWas) {
  test::writeFile(tmp / "empty", "");
  std::filesystem::create_directories(tmp / "dir");
  ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0644), 0);
  for (const char* name : {"empty", "missing", "dir", "fifo"}) {
    auto b = Binary::init(tmp / name);
    b->generateHash();
    EXPECT_EQ(b->sha256(), std::nullopt) << name;
    b->setSha256("EARLIER");
    b->generateHash();
    EXPECT_EQ(b->sha256(), "EARLIER") << name;
  }
}

TEST_F(BinaryTest, IdentifierIsTheSigningIdentifierOnlyForValidCertificateChains) {
  const char* kAbc = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  test::writeFile(tmp / "file", "abc");
  auto fake = std::make_shared<test::FakeCodeSigning>();
  platform::ScopedService<platform::CodeSigningLayer> scoped(fake);
  using Anchor = test::FakeSignature::Anchor;

  struct Case {
    const char* what;
    std::optional<test::FakeSignature> signature;  // none: the file is unknown to signing
    std::string path;
    std::optional<std::string> identifier;
  } cases[] = {
      {"signed with a chain",
       test::FakeSignature{.anchor = Anchor::kAppleGeneric,
                           .chain = {"Developer ID Application: X", "Root"},
                           .identifier = "com.example.x"},
       tmp / "file", "com.example.x"},
      {"ad hoc", test::FakeSignature{.identifier = "adhoc"}, tmp / "file", kAbc},
      {"chain without identifier", test::FakeSignature{.chain = {"Leaf"}}, tmp / "file", kAbc},
      {"invalid signature",
       test::FakeSignature{.validity = platform::errSecCSSignatureFailed,
                           .chain = {"Leaf"},
                           .identifier = "com.example.x"},
       tmp / "file", kAbc},
      {"unknown to code signing", std::nullopt, tmp / "file", kAbc},
      {"unknown and unreadable", std::nullopt, tmp / "missing", std::nullopt},
      {"signed but unreadable",
       test::FakeSignature{.chain = {"Leaf"}, .identifier = "com.example.gone"}, tmp / "missing",
       "com.example.gone"},
  };
  for (const auto& c : cases) {
    fake->files.clear();
    if (c.signature) fake->files[c.path] = *c.signature;
    auto b = Binary::init(c.path);
    b->generateIdentifier();
    EXPECT_EQ(b->identifier(), c.identifier) << c.what;
    EXPECT_TRUE(b->signingInfo()) << c.what;
  }

  // Signing information already there is used as it is.
  fake->files.clear();
  auto b = Binary::init(tmp / "file");
  b->setSigningInfo(Dictionary{{"signatureStatus", 0},
                               {"signatureIdentifier", "preset"},
                               {"signatureAuthorities", Array{"Leaf"}}});
  b->generateIdentifier();
  EXPECT_EQ(b->identifier(), "preset");
}
