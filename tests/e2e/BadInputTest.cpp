// Input an administrator or a program may hand the agent that is far from
// ordinary: a huge block list, program names and paths built to break or
// forge log lines, and log files that cannot be written.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <thread>

#include "e2e/E2eSupport.hpp"

namespace e2e {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

size_t countOf(const std::string& text, char c) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), c));
}

class BadInputTest : public AgentTest {
 protected:
  // The agent runs and blocks: the forbidden program dies, and the agent is
  // still there a moment later.
  void expectBlockingGoesOn(const std::string& forbidden) {
    ASSERT_TRUE(agentIsLive());
    const pid_t pid = children_.startInSession(forbidden);
    EXPECT_TRUE(killedBySigkill(pid));
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(agent_.running()) << "ended with "
                                  << describeStatus(agent_.endStatus().value_or(0));
  }
};

TEST_F(BadInputTest, ListOfOneMebibyteWithAHundredThousandEntriesLoadsAndBlocks) {
  constexpr size_t kEntries = 100'000;
  constexpr size_t kListSize = 1 << 20;
  const std::string forbidden = makeProgramNamed(dir_, uniqueHelperName());
  const std::string harmless = makeProgramNamed(dir_, uniqueHelperName());

  // Random unlisted-looking entries of 9 and 10 characters, so that with the
  // canary, the forbidden name and the commas the list is exactly 1 MiB.
  const size_t fixed = canaryName_.size() + nameOf(forbidden).size() + (kEntries + 2 - 1);
  const size_t longer = kListSize - fixed - kEntries * 9;
  ASSERT_LT(longer, kEntries);
  std::mt19937_64 random{std::random_device{}()};
  static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<size_t> pick(0, kLetters.size() - 1);
  std::set<std::string> entries;
  std::string list;
  list.reserve(kListSize);
  while (entries.size() < kEntries) {
    std::string entry = "pbr";
    const size_t length = entries.size() < longer ? 10 : 9;
    while (entry.size() < length) entry += kLetters[pick(random)];
    if (!entries.insert(entry).second) continue;
    list += entry;
    list += ',';
    // The listed names stand in the middle of the list.
    if (entries.size() == kEntries / 2) list += canaryName_ + "," + nameOf(forbidden) + ",";
  }
  list.pop_back();
  ASSERT_EQ(list.size(), kListSize);
  writeList(list);

  startAgent();
  ASSERT_TRUE(waitForDiagnostic("got items: (\n    pbr"));
  const pid_t bystander = children_.startInSession(harmless);
  expectBlockingGoesOn(forbidden);
  EXPECT_TRUE(accessRowsFor(nameOf(forbidden)));
  EXPECT_TRUE(stillRunning(bystander));

  const auto peak = agent_.statusKilobytes("VmHWM");
  std::cout << "[ agent    ] list of " << list.size() << " bytes, " << kEntries + 2
            << " entries: peak RSS (VmHWM) " << peak.value_or(-1) << " kB, RSS now "
            << agent_.statusKilobytes("VmRSS").value_or(-1) << " kB (anonymous "
            << agent_.statusKilobytes("RssAnon").value_or(-1) << " kB, files "
            << agent_.statusKilobytes("RssFile").value_or(-1) << " kB)" << std::endl;
  const auto files = agent_.statusKilobytes("RssFile");
  ASSERT_TRUE(peak.has_value() && files.has_value());
  if (!agentMemoryIsMeasurable()) return;
  // The libraries' pages mapped from files are shared and no cost of the list.
  EXPECT_LE(*peak - *files, (10 * (1 << 20) + 2 * static_cast<long>(kListSize)) / 1024)
      << "peak RSS in kB, less the pages mapped from files: at most 10 MiB and twice the list";
}

// Names and paths that a careless log line would interpret, end early or
// mangle. Each appears literally: control characters escaped, bytes that are
// not UTF-8 replaced by U+FFFD; no line is forged.
TEST_F(BadInputTest, HostileNamesAndPathsAppearLiterallyAndForgeNoLine) {
  // Listed by name: directives of printf-like formats, a line feed followed by
  // a whole forged access-log row, an escape sequence.
  const std::string forgedRow = "01-01-2000 00:00:00 \t\t\t\t forged";
  const std::string formatName = uniqueHelperName() + "%s%n%@\n" + forgedRow + "\x1b[0m";
  const std::string formatNameShown =
      formatName.substr(0, 14) + "%s%n%@\\n01-01-2000 00:00:00 \\t\\t\\t\\t forged\\x1b[0m";
  const std::string formatProgram = makeProgramNamed(dir_, formatName);

  // Listed by name, in a directory whose name is not UTF-8 and holds a line
  // feed and an escape, below which the path runs to 4,000 bytes (a single
  // component holds at most 255).
  const std::string hostileDirectory = "bad\xff\xfe%s%n%@\n\x1b[31m";
  const std::string hostileDirectoryShown =
      "bad" + std::string(kReplacement) + std::string(kReplacement) + "%s%n%@\\n\\x1b[31m";
  const std::string deepName = uniqueHelperName();
  std::string deepDirectory = dir_ + "/" + hostileDirectory;
  std::string deepDirectoryShown = dir_ + "/" + hostileDirectoryShown;
  const size_t pathLength = 4000;
  size_t room = pathLength - (deepDirectory.size() + 1 + deepName.size());
  ASSERT_NE(room, 1U);
  while (room > 0) {
    // A slash and a component of at most 255 bytes; never one byte left over.
    size_t component = std::min<size_t>(255, room - 1);
    if (room - (component + 1) == 1) --component;
    const std::string piece(component, 'd');
    deepDirectory += "/" + piece;
    deepDirectoryShown += "/" + piece;
    room -= component + 1;
  }
  const std::string deepProgram = makeProgramNamed(deepDirectory, deepName);
  ASSERT_EQ(deepProgram.size(), pathLength);
  ASSERT_TRUE(std::filesystem::exists(deepProgram));
  const std::string deepProgramShown = deepDirectoryShown + "/" + deepName;

  // Listed by bundle identifier: a bundle whose name is 4,000 bytes long and
  // holds format directives and a line feed.
  const std::string identifier = "com.example." + uniqueHelperName();
  const std::string bundleName = "%s%n%@\n" + std::string(4000, 'x') + "\tend";
  const std::string bundleNameShown = "%s%n%@\\n" + std::string(4000, 'x') + "\\tend";
  const std::string executable = uniqueHelperName();
  const std::string contents = dir_ + "/" + uniqueHelperName() + ".app/Contents";
  const std::string mainProgram = makeProgramNamed(contents + "/MacOS", executable);
  writeInfoPlist(contents, {{"CFBundleIdentifier", identifier},
                            {"CFBundleName", bundleName},
                            {"CFBundleExecutable", executable}});

  writeList(canaryName_ + "," + formatName + "," + deepName + "," + identifier);
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t formatPid = children_.startInSession(formatProgram);
  const pid_t deepPid = children_.startInSession(deepProgram);
  const pid_t mainPid = children_.startInSession(mainProgram);
  EXPECT_TRUE(killedBySigkill(formatPid)) << "the program with formats in its name";
  EXPECT_TRUE(killedBySigkill(deepPid)) << "the program with a 4,000-byte path";
  EXPECT_TRUE(killedBySigkill(mainPid)) << "the bundle with a 4,000-byte name";
  EXPECT_TRUE(accessRowsFor(formatNameShown));
  EXPECT_TRUE(accessRowsFor(deepName));
  EXPECT_TRUE(accessRowsFor(bundleNameShown));

  const std::string blocking = "Blocking process with name: ";
  EXPECT_TRUE(waitForDiagnostic(blocking + formatNameShown + ", bundle identifier: (null), path: " +
                                dir_ + "/" + formatNameShown + "\n"));
  EXPECT_TRUE(waitForDiagnostic(blocking + deepName +
                                ", bundle identifier: (null), path: " + deepProgramShown + "\n"));
  EXPECT_TRUE(waitForDiagnostic(blocking + bundleNameShown + ", bundle identifier: " + identifier +
                                ", path: " + mainProgram + "\n"));
  EXPECT_TRUE(agent_.running());

  // Every line of the access log is its header or a row, and no row is forged.
  const std::string access = agent_.accessLog();
  const auto rows = accessRows(access);
  EXPECT_EQ(countOf(access, '\n'), rows.size() + 2) << access;
  for (const auto& row : rows) {
    EXPECT_TRUE(row.name == canaryName_ || row.name == formatNameShown || row.name == deepName ||
                row.name == bundleNameShown)
        << "unexpected row: " << row.name;
  }
  // No line of the diagnostic log starts with what a name carried after its
  // line feed.
  const std::string log = agent_.diagnosticLog();
  EXPECT_EQ(log.find("\n" + forgedRow), std::string::npos);
  EXPECT_EQ(log.find("\n\x1b"), std::string::npos);
  EXPECT_EQ(log.find("\n" + std::string(4000, 'x')), std::string::npos);
  // Where no desktop shows it, the notice is a diagnostic line too.
  const bool noticeLines = log.find("Notice (alert level") != std::string::npos ||
                           log.find("Desktop notice not shown") != std::string::npos;
  if (noticeLines) {
    for (const std::string* shown : {&formatNameShown, &bundleNameShown}) {
      EXPECT_NE(log.find("in correlation with " + *shown + " has been blocked"), std::string::npos)
          << *shown;
    }
  }
}

TEST_F(BadInputTest, MissingLogDirectoryStopsNoBlocking) {
  const std::string forbidden = makeProgramNamed(dir_, uniqueHelperName());
  writeList(canaryName_ + "," + nameOf(forbidden));
  AgentOptions options;
  options.withoutLogDirectory = true;
  startAgent(options);
  expectBlockingGoesOn(forbidden);
  // Standard error stayed where it was, and the block is told there.
  EXPECT_TRUE(waitUntil(
      [&] {
        return readFile(output_).find("Blocking process with name: " + nameOf(forbidden)) !=
               std::string::npos;
      },
      10s));
}

TEST_F(BadInputTest, DirectoryAtTheAccessLogStopsNoBlocking) {
  const std::string forbidden = makeProgramNamed(dir_, uniqueHelperName());
  writeList(canaryName_ + "," + nameOf(forbidden));
  AgentOptions options;
  options.directoryAtAccessLog = true;
  startAgent(options);
  expectBlockingGoesOn(forbidden);
  EXPECT_TRUE(waitForDiagnostic("Blocking process with name: " + nameOf(forbidden)));
}

TEST_F(BadInputTest, ReadOnlyAccessLogStopsNoBlocking) {
  const std::string earlier = "kept \t\t\t\t as it was\n";
  const std::string forbidden = makeProgramNamed(dir_, uniqueHelperName());
  writeList(canaryName_ + "," + nameOf(forbidden));
  AgentOptions options;
  options.existingAccessLog = earlier;
  options.existingAccessLogMode = 0444;
  startAgent(options);
  expectBlockingGoesOn(forbidden);
  EXPECT_TRUE(waitForDiagnostic("Blocking process with name: " + nameOf(forbidden)));
  // The mode does not stop root; the log is still only appended to.
  const std::string access = agent_.accessLog();
  EXPECT_EQ(access.substr(0, earlier.size()), earlier);
}

TEST_F(BadInputTest, AccessLogOnAReadOnlyMountStopsNoBlocking) {
  const std::string earlier = "kept \t\t\t\t as it was\n";
  const std::string forbidden = makeProgramNamed(dir_, uniqueHelperName());
  writeList(canaryName_ + "," + nameOf(forbidden));
  AgentOptions options;
  options.existingAccessLog = earlier;
  options.existingAccessLogMode = 0444;
  options.readOnlyAccessLogMount = true;
  startAgent(options);
  expectBlockingGoesOn(forbidden);
  EXPECT_TRUE(waitForDiagnostic("Blocking process with name: " + nameOf(forbidden)));
  EXPECT_EQ(agent_.accessLog(), earlier);
}

// A program on a file system whose server never answers (here: the listing
// of the program's extended attributes) is judged by its path and the name
// from it without waiting on the file, and holds up no later verdict. The
// stall is logged once; later starts there are not inspected at all.
TEST_F(BadInputTest, StalledFileSystemHoldsUpNoVerdict) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
  const std::string forbidden = makeProgram();
  const std::string stalledName = uniqueName();
  writeList(canaryName_ + "," + nameOf(forbidden) + "," + stalledName);
  startAgent();
  ASSERT_TRUE(agentIsLive());
  StalledFileSystem stalled(agent_.pid(), root_ + "/fuse", stalledName);
  ASSERT_TRUE(stalled.mounted());

  for (int start = 0; start < 3; ++start) {
    SCOPED_TRACE(start);
    const pid_t onStalled = children_.startInSession(root_ + "/fuse/" + stalledName, agent_.pid());
    const pid_t elsewhere = children_.startInSession(forbidden);
    ASSERT_TRUE(killedBySigkill(elsewhere)) << "a forbidden program elsewhere";
    ASSERT_TRUE(killedBySigkill(onStalled)) << "the program on the stalled file system";
  }
  const std::string log = agent_.diagnosticLog();
  const std::string stall = "File inspection under " + root_ + "/fuse (mount ";
  const auto first = log.find(stall);
  EXPECT_NE(first, std::string::npos);
  EXPECT_EQ(log.find(stall, first + 1), std::string::npos) << "logged once";
}

// A start whose inspection ends past the deadline is judged at once without
// its files, and again when it ends: a listed bundle on a file system that
// answers late dies late, through the pin taken at its start.
TEST_F(BadInputTest, BundleInspectedLateStillDies) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse";
  const std::string identifier = "com.example." + uniqueName();
  const std::string executable = uniqueName();
  writeList(canaryName_ + "," + identifier);
  startAgent();
  ASSERT_TRUE(agentIsLive());
  StalledFileSystem slow(agent_.pid(), root_ + "/fuse", executable, identifier, 400ms);
  ASSERT_TRUE(slow.mounted());
  const std::string main = root_ + "/fuse/App.app/Contents/MacOS/" + executable;
  EXPECT_TRUE(killedBySigkill(children_.startInSession(main, agent_.pid())));
  EXPECT_TRUE(waitForDiagnostic("Blocking process with name: " + executable +
                                ", bundle identifier: " + identifier + ", path: " + main));
}

}  // namespace
}  // namespace e2e
