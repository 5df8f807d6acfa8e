// The /proc text parsers, the argument-area readers and the loader's
// parsers, on crafted bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "live/Support.hpp"
#include "procscope/LoadedProgram.hpp"
#include "procscope/platform/Kernel.hpp"

using namespace std::string_literals;
namespace procfs = procscope::platform::procfs;
namespace argarea = procscope::platform::argarea;
using Strings = std::vector<std::string>;

TEST(ProcStat, ParentIsReadAfterTheLastParenthesis) {
  const std::pair<std::string, std::optional<std::int32_t>> cases[] = {
      {"123 (bash) S 45 123 123 34816 -1\n", 45},
      {"1 (init) S 0 1 1", 0},
      {"77 (name with spaces) R 99", 99},
      {"77 (x (y) z) D 1 2 3", 1},
      {"9 (evil) S 5 ) S 77 9", 77},  // a name written to look like the line
      {"123 bash S 45", std::nullopt},
      {"123 (bash) S", std::nullopt},
      {"123 (bash) S x45", std::nullopt},
      {"123 (bash) S 99999999999", std::nullopt},
  };
  for (const auto& [line, parent] : cases) EXPECT_EQ(procfs::parentFromStat(line), parent) << line;
}

TEST(ProcStatus, EffectiveUidIsTheSecondNumberOfTheUidLine) {
  const std::pair<std::string, std::optional<std::uint32_t>> cases[] = {
      {"Name:\tbash\nUmask:\t0022\nUid:\t1000\t1001\t1002\t1003\nGid:\t5\t5\t5\t5\n", 1001},
      {"Uid:\t1\t4294967295\t1\t1", 4294967295u},
      {"Name:\tUid:\t5\t6\nUid:\t0\t7\t0\t0\n", 7},  // only a line starting with the key
      {"Name:\tx\nGid:\t5\t5\t5\t5\n", std::nullopt},
      {"Uid:\t12\n", std::nullopt},
      {"Uid:\t12\tx\n", std::nullopt},
  };
  for (const auto& [text, euid] : cases) {
    EXPECT_EQ(procfs::effectiveUidFromStatus(text), euid) << text;
  }
}

TEST(ArgumentArea, ReadsPathAndArgumentsAsLaidOut) {
  struct Case {
    const char* name;
    std::string area;
    std::optional<std::string> path;
    Strings arguments;
  };
  const std::string env = "HOME=/root\0PATH=/bin\0"s;
  const Case cases[] = {
      {"empty middle argument",
       test::area(3, "/bin/x\0\0\0a\0\0c\0"s + env),
       "/bin/x",
       {"a", "", "c"}},
      {"argc beyond argv takes environment",
       test::area(2, "/bin/x\0a\0"s + env),
       "/bin/x",
       {"a", "HOME=/root"}},
      // A count that can never be reached would read the environment: nothing.
      {"argc 0", test::area(0, "/bin/x\0a\0"s + env), "/bin/x", {}},
      {"argc negative", test::area(-1, "/bin/x\0a\0"s), "/bin/x", {}},
      {"trailing piece without NUL", test::area(3, "/bin/x\0a\0b"s), "/bin/x", {"a"}},
      {"invalid UTF-8 decoded lossily",
       test::area(2, "/bin/\xff\0a\xc3\0b\0"s),
       "/bin/\xff",
       {"a\xEF\xBF\xBD", "b"}},
      {"ends inside the path", test::area(2, "/bin/x"), "/bin/x", {}},
      {"ends inside the padding", test::area(2, "/bin/x\0\0\0"s), "/bin/x", {}},
      {"five bytes", test::area(1, "\0"s), "", {}},
      {"four bytes", test::countBytes(1), std::nullopt, {}},
      {"nothing", "", std::nullopt, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(argarea::executablePath(c.area), c.path) << c.name;
    EXPECT_EQ(argarea::arguments(c.area), c.arguments) << c.name;
  }
}

TEST(ArgumentArea, AssembledFromProcFilesReadsBack) {
  struct Case {
    const char* name;
    std::string cmdline;
    std::optional<std::string> environment;
    std::int32_t argc;
    Strings arguments;
  };
  const Case cases[] = {
      {"plain", "sh\0-c\0\0x\0"s, "A=1\0"s, 4, {"sh", "-c", "", "x"}},
      {"no environment", "sh\0x\0"s, std::nullopt, 2, {"sh", "x"}},
      // A process that rewrote its arguments may leave the last one unterminated.
      {"rewritten argument area", "title with spaces"s, "A=1\0"s, 1, {"title with spaces"}},
      {"kernel thread", "", std::nullopt, 0, {}},
  };
  for (const auto& c : cases) {
    std::optional<std::string_view> environment;
    if (c.environment) environment = *c.environment;
    std::string area = procfs::assembleArgumentArea(c.cmdline, environment, "/usr/bin/x y");
    EXPECT_EQ(area.substr(0, 4), test::countBytes(c.argc)) << c.name;
    // The path's NUL and padding fill up to the 8-byte boundary where argv starts.
    EXPECT_EQ(area.substr(4 + 12, 8), std::string(8, '\0')) << c.name;
    EXPECT_EQ(argarea::executablePath(area), "/usr/bin/x y") << c.name;
    EXPECT_EQ(argarea::arguments(area), c.arguments) << c.name;
  }
  // Cut to capacity: 8 bytes of count, path and padding, then "a\0b" of "a\0bb\0".
  std::string cut = procfs::assembleArgumentArea("a\0bb\0"s, "E=1\0"s, "/x", 11);
  EXPECT_EQ(cut.size(), 11u);
  EXPECT_EQ(argarea::arguments(cut), Strings{"a"});
}

namespace {
std::string wholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}
}  // namespace

TEST(LoaderArguments, TheProgramIsTheFirstArgumentAfterTheLoadersOptions) {
  namespace loader = procscope::loader;
  const std::pair<Strings, std::optional<std::size_t>> cases[] = {
      {{"ld.so", "./prog", "60"}, 1},
      {{"ld.so", "--library-path", "/x", "--preload", "a.so", "--audit", "b.so", "prog"}, 7},
      {{"ld.so", "--argv0", "other", "--inhibit-rpath", "l", "--inhibit-cache", "/p"}, 6},
      {{"ld.so", "--glibc-hwcaps-prepend", "v3", "--glibc-hwcaps-mask", "v2", "p"}, 5},
      {{"ld.so", "--list", "--verify", "--help", "p"}, 4},
      // A value that looks like an option is still the value.
      {{"ld.so", "--argv0", "--list", "p"}, 3},
      // Unknown options and --name=value are passed over as flags.
      {{"ld.so", "--newer-flag", "--library-path=/x", "p"}, 3},
      {{"ld.so", "--", "--p"}, 2},
      {{"ld.so", "-p", "x"}, 1},
      {{"ld.so", "--preload"}, std::nullopt},
      {{"ld.so", "--list"}, std::nullopt},
      {{"ld.so", "--version", "p"}, std::nullopt},
      {{"ld.so"}, std::nullopt},
      {{}, std::nullopt},
  };
  for (const auto& [argv, index] : cases) {
    EXPECT_EQ(loader::programArgument(argv), index) << ::testing::PrintToString(argv);
  }
}

TEST(LoaderImage, KnownByItsNameAndShapeNotItsPath) {
  namespace loader = procscope::loader;
  const std::string ldso = wholeFile("/lib64/ld-linux-x86-64.so.2");
  if (ldso.empty()) GTEST_SKIP() << "no /lib64/ld-linux-x86-64.so.2 here";
  std::string renamed = ldso;  // the same loader with another DT_SONAME
  const auto at = renamed.find("ld-linux-x86-64.so.2");
  ASSERT_NE(at, std::string::npos);
  renamed[at] = 'X';
  std::string interpreted = ldso;  // its note segment made an interpreter
  for (std::size_t ph = 64; ph + 56 <= 64 + 9 * 56; ph += 56) {
    if (interpreted[ph] == 4) interpreted[ph] = 3;
  }
  const std::pair<std::string, std::optional<bool>> cases[] = {
      {ldso, true},
      {renamed, false},
      {interpreted, false},
      {wholeFile("/bin/sleep"), false},      // a program has an interpreter
      {ldso.substr(0, 64), std::nullopt},    // its program headers not read yet
      {ldso.substr(0, 8192), std::nullopt},  // nor its dynamic section
      {"#!/bin/sh\n", false},
      {"", std::nullopt},
  };
  for (const auto& [image, answer] : cases) {
    EXPECT_EQ(loader::isLoaderImage(image), answer) << image.size() << " bytes";
  }
  EXPECT_EQ(loader::interpreterOf(wholeFile("/bin/sleep")), "/lib64/ld-linux-x86-64.so.2");
  EXPECT_EQ(loader::interpreterOf(ldso), std::nullopt);
  EXPECT_EQ(loader::interpreterOf(wholeFile("/bin/sleep").substr(0, 64)), std::nullopt);
}

TEST(MappedFiles, EachFileOnceWithItsDeviceAndInode) {
  const auto files = procscope::loader::mappedFiles(
      "5581a000-5581b000 r--p 00000000 fe:01 1234    /usr/bin/a b\n"
      "5581b000-5581c000 r-xp 00001000 fe:01 1234    /usr/bin/a b\n"
      "7f00-7f01 rw-p 00000000 00:00 0 \n"
      "7f01-7f02 r--p 00000000 103:0a 99   /tmp/new\\012line (deleted)\n"
      "7ffd-7ffe r-xp 00000000 00:00 0                          [vdso]\n"
      "garbage\n"
      "7f02-7f03 r--p 00000000 zz:01 5 /bad/device\n");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].major, 0xfeu);
  EXPECT_EQ(files[0].minor, 1u);
  EXPECT_EQ(files[0].inode, 1234u);
  EXPECT_EQ(files[0].path, "/usr/bin/a b");
  EXPECT_EQ(files[1].major, 0x103u);
  EXPECT_EQ(files[1].minor, 0xau);
  EXPECT_EQ(files[1].path, "/tmp/new\nline (deleted)");
}
