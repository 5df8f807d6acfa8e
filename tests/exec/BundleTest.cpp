// Property lists and the bundle layer.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include "ExecFixture.hpp"
#include "procscope/platform/Bundle.hpp"
#include "procscope/platform/PropertyList.hpp"

using namespace procscope;
using platform::parsePropertyList;

namespace {

std::string toBinary(const std::string& xml) {
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  char* out = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &out, &length);
  std::string bytes(out, length);
  plist_to_bin_free(out);
  plist_free(root);
  return bytes;
}

// A binary list of `levels` nested arrays, each holding `refs` references to
// the next; the innermost is an empty array. `cycle` points the innermost
// back at the outermost instead.
std::string nestedArrays(unsigned levels, unsigned refs, bool cycle = false) {
  auto put = [](std::string& out, std::uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  std::string out = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (unsigned i = 0; i < levels; ++i) {
    offsets.push_back(out.size());
    bool last = i + 1 == levels;
    if (last && !cycle) {
      out += static_cast<char>(0xA0);
      continue;
    }
    out += static_cast<char>(0xA0 | refs);
    for (unsigned r = 0; r < refs; ++r) put(out, last ? 0 : i + 1, 4);
  }
  std::uint64_t table = out.size();
  for (auto o : offsets) put(out, o, 8);
  out += std::string(6, '\0');
  out += static_cast<char>(8);  // offset width
  out += static_cast<char>(4);  // reference width
  put(out, levels, 8);
  put(out, 0, 8);
  put(out, table, 8);
  return out;
}

std::string nestedXml(unsigned levels) {
  std::string out = "<plist version=\"1.0\">";
  for (unsigned i = 0; i < levels; ++i) out += "<array>";
  for (unsigned i = 0; i < levels; ++i) out += "</array>";
  return out + "</plist>";
}

}  // namespace

TEST(PropertyList, EveryTypeReadTheSameFromXmlAndBinary) {
  std::ifstream in(PROCBLOCK_TESTDATA "/exec/AllTypes.plist", std::ios::binary);
  const std::string xml(std::istreambuf_iterator<char>(in), {});
  ASSERT_FALSE(xml.empty());
  const Value expected(Dictionary{
      {"CFBundleName", "Caf\xC3\xA9 & Co"},
      {"Negative", std::int64_t{-5}},
      {"Large", std::int64_t{4294967296}},
      {"Real", 2.5},
      {"Yes", true},
      {"No", false},
      {"When", Date{std::chrono::system_clock::from_time_t(978393600)}},
      {"Bytes", Data{0x00, 0x01, 0x02, 0xFF}},
      {"List", Array{"a", 1, Array{}}},
      {"Nested", Dictionary{{"k", "v"}}},
  });
  EXPECT_EQ(parsePropertyList(xml), expected);
  EXPECT_EQ(parsePropertyList(toBinary(xml)), expected);
}

TEST(PropertyList, DamagedOrHostileInputGivesNothing) {
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"text", "garbage"},
      {"unterminated xml", "<?xml version=\"1.0\"?><plist><dict><key>a</key><string>x</string>"},
      {"bare binary header", "bplist00"},
      {"binary header and zeros", "bplist00" + std::string(40, '\0')},
      {"truncated binary", nestedArrays(3, 1).substr(0, 20)},
      {"cyclic binary", nestedArrays(3, 1, true)},
      {"binary expanding to 8^39 nodes", nestedArrays(40, 8)},
      {"binary nested 1000 deep", nestedArrays(1000, 1)},
      {"xml nested 300 deep", nestedXml(300)},
      {"xml of 20000 containers", nestedXml(20000)},
      {"over a megabyte",
       "<plist><string>" + std::string(platform::kMaxPropertyListBytes, 'x') + "</string></plist>"},
  };
  for (const auto& c : cases) EXPECT_EQ(parsePropertyList(c.bytes), std::nullopt) << c.what;

  // Within the limits the same shapes read fine.
  EXPECT_TRUE(parsePropertyList(nestedArrays(5, 2)));
  EXPECT_TRUE(parsePropertyList(nestedXml(100)));
}

TEST(PropertyList, BinaryShapeCountsNodesAndDepthOfTheExpandedTree) {
  const std::string list = nestedArrays(5, 2);  // 1 + 2 + 4 + 8 + 16 nodes, 5 deep
  EXPECT_TRUE(platform::binaryPropertyListWithinLimits(list, 5, 31));
  EXPECT_FALSE(platform::binaryPropertyListWithinLimits(list, 4, 31));
  EXPECT_FALSE(platform::binaryPropertyListWithinLimits(list, 5, 30));
  // Shared leaves of a real list count once per reference, as the reader copies them.
  const std::string real = toBinary(test::plistOfStrings({{"a", "same"}, {"b", "same"}}));
  EXPECT_TRUE(platform::binaryPropertyListWithinLimits(real, 2, 5));
  EXPECT_FALSE(platform::binaryPropertyListWithinLimits(real, 2, 4));
}

TEST(BundleLayer, OnlyDirectoriesHoldingContentsInfoPlistAreBundles) {
  test::TempDir tmp;
  std::string app = test::makeBundle(tmp.path(), "Name", {{"CFBundleExecutable", "Name"}});
  std::string keyless = test::makeBundle(tmp.path(), "Keyless", {{"CFBundleName", "K"}});
  std::filesystem::create_directories(tmp / "Empty.app/Contents");
  auto layer = platform::Bundles::get();
  for (const std::string& asked : {app, app + "//"}) {
    auto bundle = layer->bundleWithPath(asked);
    ASSERT_NE(bundle, nullptr) << asked;
    EXPECT_EQ(bundle->bundlePath(), app);
    EXPECT_EQ(bundle->executablePath(), app + "/Contents/MacOS/Name");
  }
  ASSERT_NE(layer->bundleWithPath(keyless), nullptr);
  EXPECT_EQ(layer->bundleWithPath(keyless)->executablePath(), std::nullopt);

  EXPECT_EQ(layer->bundleWithPath(app + "/Contents/MacOS/Name"), nullptr);  // a regular file
  EXPECT_EQ(layer->bundleWithPath(app + "/Contents"), nullptr);
  EXPECT_EQ(layer->bundleWithPath(tmp / "Empty.app"), nullptr);
  EXPECT_EQ(layer->bundleWithPath(tmp / "Missing.app"), nullptr);
  EXPECT_EQ(layer->bundleWithPath(""), nullptr);
}

TEST(BundleLayer, UnreadableInfoMakesABundleWithoutInfoDictionary) {
  test::TempDir tmp;
  test::writeFile(tmp / "Damaged.app/Contents/Info.plist", "<plist><dict><key>CFBundleExec");
  test::writeFile(tmp / "Empty.app/Contents/Info.plist", "");
  test::writeFile(tmp / "List.app/Contents/Info.plist",
                  "<plist version=\"1.0\"><array><string>x</string></array></plist>");
  std::filesystem::create_directories(tmp / "Fifo.app/Contents");
  ASSERT_EQ(mkfifo((tmp / "Fifo.app/Contents/Info.plist").c_str(), 0644), 0);
  std::filesystem::create_directories(tmp / "Dir.app/Contents/Info.plist");
  // A link to a device: never opened (a user may plant one to any device).
  ASSERT_TRUE(test::makeNullDevice(tmp / "null"));
  std::filesystem::create_directories(tmp / "Device.app/Contents");
  std::filesystem::create_symlink(tmp / "null", tmp / "Device.app/Contents/Info.plist");
  test::OpenWatch opens;
  ASSERT_TRUE(opens.watch(tmp / "null"));
  ASSERT_TRUE(opens.watch(tmp / "Fifo.app/Contents/Info.plist"));

  for (const char* name :
       {"Damaged.app", "Empty.app", "List.app", "Fifo.app", "Dir.app", "Device.app"}) {
    auto bundle = platform::Bundles::get()->bundleWithPath(tmp / name);
    ASSERT_NE(bundle, nullptr) << name;
    EXPECT_EQ(bundle->infoDictionary(), std::nullopt) << name;
    EXPECT_EQ(bundle->executablePath(), std::nullopt) << name;
  }
  EXPECT_FALSE(opens.opened());
}

TEST(BundleLayer, ResourcesByNameAndType) {
  test::TempDir tmp;
  std::string app = test::makeBundle(tmp.path(), "Name", {{"CFBundleExecutable", "Name"}});
  test::writeFile(app + "/Contents/Resources/AppIcon.icns", "icns");
  test::writeFile(app + "/Contents/Resources/README", "text");
  auto bundle = platform::Bundles::get()->bundleWithPath(app);
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle->pathForResource("AppIcon", "icns"), app + "/Contents/Resources/AppIcon.icns");
  EXPECT_EQ(bundle->pathForResource("AppIcon", "png"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("README", std::nullopt), app + "/Contents/Resources/README");
  EXPECT_EQ(bundle->pathForResource("README", ""), app + "/Contents/Resources/README");
  EXPECT_EQ(bundle->pathForResource(std::nullopt, "icns"), std::nullopt);
}
