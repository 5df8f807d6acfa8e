#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AgentTestSupport.hpp"
#include "procblock/BlockList.hpp"

namespace procblock {
namespace {

struct ParseCase {
  const char* label;
  std::string bytes;
  std::optional<BlockList> expected;
};

// Test names show the label, not a dump of the bytes.
void PrintTo(const ParseCase& c, std::ostream* out) {
  *out << c.label;
}

class ParseBlockList : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseBlockList, SplitsAtEveryCommaWithoutTrimming) {
  EXPECT_EQ(parseBlockList(GetParam().bytes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseBlockList,
    ::testing::Values(
        ParseCase{"LineFeedStaysInLastEntry", "a,b\n", BlockList{"a", "b\n"}},
        ParseCase{"SpaceAfterCommaKept", "Alpha, Beta", BlockList{"Alpha", " Beta"}},
        ParseCase{"TwoCommasThreeEmpty", ",,", BlockList{"", "", ""}},
        ParseCase{"EmptyFileOneEmptyEntry", "", BlockList{""}},
        ParseCase{"DuplicatesAndOrderKept", "z,a,z", BlockList{"z", "a", "z"}},
        ParseCase{"ControlCharactersKept", "\t\r\x01,\x7f", BlockList{"\t\r\x01", "\x7f"}},
        ParseCase{"NulIsAscii", std::string("a\0b", 3), BlockList{std::string("a\0b", 3)}},
        ParseCase{"NonAsciiAnywhereIsUnreadable", "Safari,caf\xc3\xa9", std::nullopt},
        ParseCase{"ByteAbove127", "a,\x80", std::nullopt}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ReadBlockList, ReadsTheWholeFileOrGivesNoList) {
  agenttest::TempDir dir;
  const std::string big(20000, 'x');  // more than one read
  agenttest::writeFile(dir / "vornik.txt", "com.apple.Safari," + big + ",/bin/x\n");
  EXPECT_EQ(readBlockList(dir / "vornik.txt"), (BlockList{"com.apple.Safari", big, "/bin/x\n"}));
  agenttest::writeFile(dir / "latin.txt", "a,\xe9");
  // Each failure says why, for the administrator.
  std::string why;
  EXPECT_EQ(readBlockList(dir / "latin.txt", &why), std::nullopt);
  EXPECT_EQ(why, "holds a byte that is not 7-bit ASCII");
  EXPECT_EQ(readBlockList(dir / "missing.txt", &why), std::nullopt);
  EXPECT_EQ(why, "No such file or directory");
  EXPECT_EQ(readBlockList(dir.path(), &why), std::nullopt);
  EXPECT_EQ(why, "a directory");
  // A list saved by an editor is warned about, and only such a list.
  EXPECT_NE(trailingLineFeedWarning({"com.apple.Safari", "/bin/x\n"}), "");
  EXPECT_EQ(trailingLineFeedWarning({"a\nb", "c"}), "");
  EXPECT_EQ(trailingLineFeedWarning({}), "");
}

// A FIFO at the list's place used to hold start-up for good.
TEST(ReadBlockList, OnlyARegularFileIsOpened) {
  agenttest::TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "vornik.txt").c_str(), 0644), 0);
  std::string why;
  EXPECT_EQ(readBlockList(dir / "vornik.txt", &why), std::nullopt);
  EXPECT_EQ(why, "not a regular file");
}

TEST(WritableListWarning, FileOrDirectoryAboveWritableByOthers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  agenttest::TempDir dir;  // root's, 0700, in the sticky /tmp
  const std::string list = dir / "vornik.txt";
  agenttest::writeFile(list, "evilprog");
  ASSERT_EQ(::chmod(list.c_str(), 0644), 0);
  EXPECT_EQ(writableListWarning(list), "");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  EXPECT_NE(writableListWarning(list).find("the directory " + dir.path()), std::string::npos);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0775), 0);
  ASSERT_EQ(::chown(dir.path().c_str(), 0, 65534), 0);  // a group's to write
  EXPECT_NE(writableListWarning(list).find("the directory " + dir.path()), std::string::npos);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chown(list.c_str(), 65534, 65534), 0);
  EXPECT_NE(writableListWarning(list).find("vornik.txt (" + list + ")"), std::string::npos);
  EXPECT_EQ(writableListWarning(dir / "missing.txt"), "");
}

TEST(BlockListPath, JoinsWithOneSlash) {
  EXPECT_EQ(blockListPath("/srv/agent"), "/srv/agent/vornik.txt");
  EXPECT_EQ(blockListPath("/"), "//vornik.txt");  // the same file as /vornik.txt
}

TEST(Items, AbsentOrPresentAndDescribed) {
  setItems(std::nullopt);
  EXPECT_EQ(items(), nullptr);
  EXPECT_EQ(describeItems(items()), "(null)");

  setItems(BlockList{"Safari", "b\n", ""});
  ASSERT_NE(items(), nullptr);
  EXPECT_EQ(*items(), (BlockList{"Safari", "b\n", ""}));
  EXPECT_EQ(describeItems(items()), "(\n    Safari,\n    \"b\\n\",\n    \"\"\n)");
  setItems(std::nullopt);
}

}  // namespace
}  // namespace procblock
