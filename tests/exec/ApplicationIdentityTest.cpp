// Linux application identifiers: the key files and paths they come from, and
// the index from program to desktop entry built over a scratch directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "ExecFixture.hpp"
#include "procscope/ApplicationIdentity.hpp"

using namespace procscope;

namespace {

using Id = std::optional<std::string>;

TEST(ApplicationIdentityTest, SandboxInfoAndSnapPaths) {
  const std::pair<std::string, Id> infos[] = {
      {"[Application]\nname=org.telegram.desktop\nruntime=runtime/x\n", "org.telegram.desktop"},
      {"[Runtime]\nname=org.gnome.Platform\n", std::nullopt},
      {"[Application]\nname=../../etc\n", std::nullopt},
      {"[Application]\nname=a b\n", std::nullopt},
      {"[Application]\nname=\n", std::nullopt},
      {"name=org.x.Y\n", std::nullopt},
      {std::string("[Application]\nname=org.x\0Y\n", 26), std::nullopt},
  };
  for (const auto& [bytes, id] : infos) EXPECT_EQ(flatpakApplicationId(bytes), id) << bytes;

  const std::pair<std::string, Id> paths[] = {
      {"/snap/telegram-desktop/5492/usr/bin/telegram-desktop", "telegram-desktop"},
      {"/snap/firefox/x1/firefox", "firefox"},
      {"/snap/core22/current/usr/bin/bash", "core22"},
      {"/snap/bin/firefox", std::nullopt},
      {"/snap/firefox/5492", std::nullopt},
      {"/snap/firefox/abc/firefox", std::nullopt},
      {"/snap/Fire/1/f", std::nullopt},
      {"/home/u/snap/firefox/1/f", std::nullopt},
  };
  for (const auto& [path, id] : paths) EXPECT_EQ(snapNameOf(path), id) << path;

  EXPECT_EQ(desktopFileId("kde/org.kde.Kate.desktop"), "kde-org.kde.Kate");
  EXPECT_EQ(desktopFileId("org.gnome.Calculator.desktop"), "org.gnome.Calculator");
  EXPECT_EQ(desktopFileId("readme.txt"), std::nullopt);
}

TEST(ApplicationIdentityTest, ProgramsOfDesktopEntries) {
  const std::string head = "[Desktop Entry]\nType=Application\nName=X\n";
  using Programs = std::vector<std::string>;
  const std::pair<std::string, Programs> entries[] = {
      {head + "Exec=vim %F\nTryExec=vim\n", {"vim", "vim"}},
      {head + "Exec=\"/opt/My App/run\" --x %u\n", {"/opt/My App/run"}},
      {head + "Exec=/opt/tool %% %k\n", {"/opt/tool"}},
      {head + "Exec=env A=1 -u B GDK_BACKEND=x11 /opt/tool --go\n", {"env", "/opt/tool"}},
      {head + "Exec=env -S \"A=1 /opt/tool\"\n", {"env"}},
      {head + "Exec=python3 /usr/share/x/x.py\n", {"python3"}},
      {head + "Exec=\"unterminated\n", {}},
      {head + "Hidden=true\nExec=/opt/tool\n", {}},
      {"[Desktop Entry]\nType=Link\nURL=https://example.org\n", {}},
      {"not a key file", {}},
  };
  for (const auto& [bytes, programs] : entries) {
    EXPECT_EQ(desktopEntryPrograms(bytes), programs) << bytes;
  }
  for (const char* name : {"env", "sh", "bash", "python3", "python3.11", "perl5.36", "flatpak",
                           "snap", "ld-linux-x86-64.so.2"}) {
    EXPECT_TRUE(isLauncherName(name)) << name;
  }
  for (const char* name : {"vim.basic", "pythonista", "snapshot", "firefox-esr"}) {
    EXPECT_FALSE(isLauncherName(name)) << name;
  }
}

// Each program gets the ID of the one entry that runs it, found through the
// search path and symbolic links; launchers, programs of several entries
// and entries hidden by an earlier directory's give none.
TEST(ApplicationIdentityTest, IndexMapsProgramsToTheOneEntryThatRunsThem) {
  test::TempDir tmp;
  const std::string bin = tmp / "bin";
  test::writeFile(bin + "/calc.real", "#!/bin/true\n", 0755);
  std::filesystem::create_symlink(bin + "/calc.real", bin + "/calc");
  test::writeFile(bin + "/office", "#!/bin/true\n", 0755);
  test::writeFile(bin + "/tool", "#!/bin/true\n", 0755);
  test::writeFile(bin + "/shadowed", "#!/bin/true\n", 0755);
  test::writeFile(bin + "/notexec", "x", 0644);
  std::filesystem::copy_file("/bin/true", bin + "/python3");
  const std::string local = tmp / "local";
  const std::string share = tmp / "share";
  const auto entry = [](const std::string& exec) {
    return "[Desktop Entry]\nType=Application\nName=N\nExec=" + exec + "\n";
  };
  test::writeFile(share + "/org.example.Calc.desktop", entry("calc %U"));
  test::writeFile(share + "/office/writer.desktop", entry("office --writer"));
  test::writeFile(share + "/office/calc.desktop", entry("office --calc"));
  test::writeFile(share + "/org.example.Tool.desktop", entry("env A=1 " + bin + "/tool"));
  test::writeFile(share + "/org.example.Script.desktop", entry("python3 /opt/s.py"));
  test::writeFile(share + "/org.example.Odd.desktop", entry("notexec"));
  test::writeFile(local + "/org.example.Shadow.desktop", entry("/bin/false"));
  test::writeFile(share + "/org.example.Shadow.desktop", entry(bin + "/shadowed"));

  ApplicationIndex::Options options;
  options.directories = {local, share};
  options.searchPath = "relative:" + bin;
  ApplicationIndex index;
  index.set(ApplicationIndex::build(options));
  std::map<std::string, std::string> ids;
  for (const auto& [program, found] : *index.current()) ids[program] = found.id;
  const std::map<std::string, std::string> expected = {
      {bin + "/calc.real", "org.example.Calc"},
      {bin + "/tool", "org.example.Tool"},
      {std::filesystem::canonical("/bin/false").string(), "org.example.Shadow"},
  };
  EXPECT_EQ(ids, expected);
  // Another file at the program's path (another root's) is not the program.
  struct stat st {};
  ASSERT_EQ(::stat((bin + "/tool").c_str(), &st), 0);
  EXPECT_EQ(index.find(bin + "/tool", st.st_dev, st.st_ino), "org.example.Tool");
  EXPECT_EQ(index.find(bin + "/tool", st.st_dev, st.st_ino + 1), std::nullopt);
}

}  // namespace
