// The external-program runner and the logged-on user query, driven through
// stand-in programs whose output each test chooses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "SweepTestSupport.hpp"
#include "procblock/LoggedOnUsers.hpp"
#include "procblock/platform/LoginRecords.hpp"
#include "procscope/Log.hpp"
#include "procscope/Value.hpp"
#include "support/Capture.hpp"

namespace procblock {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A program that prints `output` exactly, whatever its arguments.
class StandIn {
 public:
  explicit StandIn(const std::string& output) {
    sweeptest::writeFile(dir_ / "output", output);
    sweeptest::writeFile(path(), "#!/bin/sh\nexec cat '" + (dir_ / "output") + "'\n");
    std::filesystem::permissions(path(), std::filesystem::perms::owner_all);
  }
  std::string path() const { return dir_ / "users"; }

 private:
  sweeptest::TempDir dir_;
};

// The text of each diagnostic line, the logger's prefix taken off.
std::vector<std::string> messages(const std::string& log) {
  std::vector<std::string> out;
  for (const auto& line : agenttest::lines(log)) {
    const std::size_t end = line.find("] ");
    out.push_back(end == std::string::npos ? line : line.substr(end + 2));
  }
  return out;
}

// Once the runner returns, no child of this process is left, ended or not.
void expectNoChildLeft() {
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(GetOutputForExecution, PassesExactlyTheGivenArgumentsAfterTheProgramsName) {
  sweeptest::TempDir dir;
  const std::string script = dir / "show-args";
  sweeptest::writeFile(script, "#!/bin/sh\nprintf '[%s]' \"$#\" \"$@\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  EXPECT_EQ(GetOutputForExecution(script, {" ", "a b", ""}), "[3][ ][a b][]");
  EXPECT_EQ(GetOutputForExecution(script, {}), "[0]");
  // ls names itself by argv[0] in its complaint, on the standard error it shares.
  test::StderrCapture capture;
  EXPECT_EQ(GetOutputForExecution("/bin/ls", {"--pbsw-no-such-option"}), "");
  EXPECT_THAT(capture.take(), ::testing::StartsWith("ls: "));
  expectNoChildLeft();
}

// Output larger than a pipe holds is read whole; a chunk of 1024 bytes that
// is not UTF-8 by itself is dropped whole, here both around a straddling "é".
TEST(GetOutputForExecution, ReadsEveryChunkThatIsUtf8ByItself) {
  const std::string big(300 * 1024 + 7, 'x');
  const std::string straddling =
      std::string(1023, 'x') + "\xC3\xA9" + std::string(1024, 'y') + "z\n";
  const std::pair<std::string, std::string> cases[] = {
      {big, big}, {straddling, "yz\n"}, {"Zo\xC3\xAB\n", "Zo\xC3\xAB\n"}};
  for (const auto& [output, expected] : cases) {
    StandIn standIn(output);
    EXPECT_EQ(GetOutputForExecution(standIn.path(), {}), expected);
  }
  expectNoChildLeft();
}

TEST(GetOutputForExecution, AProgramThatCannotStartGivesNoneAndOneLine) {
  test::StderrCapture capture;
  EXPECT_EQ(GetOutputForExecution("/nonexistent/pbsw-users", {" "}), std::nullopt);
  EXPECT_THAT(messages(capture.take()),
              ElementsAre("Caught exception in ExecutePrcess:nameNSInvalidArgumentException: "
                          "reason:/nonexistent/pbsw-users: No such file or directory"));
  expectNoChildLeft();
}

struct UsersCase {
  const char* what;
  std::string output;
  std::optional<std::string> result;
  std::vector<std::string> detected;  // one "Detected user name" line each
};

TEST(GetLoggedOnUsers, ParsesWhatTheSourcePrints) {
  const UsersCase cases[] = {
      {"two names", "alice bob\n", "alice,bob", {"alice", "bob"}},
      {"a one-letter name", "a\n", "a", {"a"}},
      {"a domain part", "CORP\\alice bob\n", "alice,bob", {"CORP\\alice", "bob"}},
      {"two backslashes", "A\\B\\c\n", "B\\c", {"A\\B\\c"}},
      {"adjacent spaces", "alice  bob\n", "alice,,bob", {"alice", "", "bob"}},
      {"an empty first part", " alice\n", "alice", {"", "alice"}},
      {"the setup account", "_mbsetupuser alice\n", "alice", {"_mbsetupuser", "alice"}},
      {"only the setup account", "_mbsetupuser\n", std::nullopt, {"_mbsetupuser"}},
      {"names split by a line feed", "alice\nbob\n", "alicebob", {"alicebob"}},
      {"a multi-byte name", "Zo\xC3\xAB\n", "Zo\xC3\xAB", {"Zo\xC3\xAB"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StandIn standIn(c.output);
    procscope::platform::ScopedService<platform::LoginRecordSource> source(
        platform::makeProgramLoginRecords(standIn.path(), {" "}));
    test::StderrCapture capture;
    EXPECT_EQ(GetLoggedOnUsers(), c.result);
    const auto lines = messages(capture.take());
    ASSERT_EQ(lines.size(), 1 + 2 * c.detected.size());
    EXPECT_EQ(lines[0], "Users names list: " + procscope::visibleText(c.output));
    for (std::size_t i = 0; i < c.detected.size(); ++i) {
      EXPECT_EQ(lines[1 + 2 * i], "Detected user name: " + c.detected[i]);
      EXPECT_THAT(lines[2 + 2 * i], HasSubstr("GetLoggedOnUsers: username outstr: "));
    }
    EXPECT_EQ(lines.back(), "GetLoggedOnUsers: username outstr: " + procscope::orNull(c.result));
  }
}

// Output too short to hold a name gives none silently; a program that cannot
// start, none with the runner's line and the list logged as absent.
TEST(GetLoggedOnUsers, GivesNoneWithoutAName) {
  for (const std::string output : {"\n", "", "\xC3\xA9"}) {
    StandIn standIn(output);
    procscope::platform::ScopedService<platform::LoginRecordSource> source(
        platform::makeProgramLoginRecords(standIn.path(), {" "}));
    test::StderrCapture capture;
    EXPECT_EQ(GetLoggedOnUsers(), std::nullopt);
    EXPECT_EQ(capture.take(), "");
  }
  procscope::platform::ScopedService<platform::LoginRecordSource> source(
      platform::makeProgramLoginRecords("/nonexistent/pbsw-users", {" "}));
  test::StderrCapture capture;
  EXPECT_EQ(GetLoggedOnUsers(), std::nullopt);
  const auto lines = messages(capture.take());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("Caught exception in ExecutePrcess:"));
  EXPECT_EQ(lines[1], "Users names list: (null)");
}

TEST(LoginRecords, PrintsNamesAsUsersDoes) {
  EXPECT_EQ(platform::formatUsersOutput({}), "");
  EXPECT_EQ(platform::formatUsersOutput({"alice", "alice", "bob"}), "alice alice bob\n");
}

}  // namespace
}  // namespace procblock
