#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <set>
#include <thread>

#include "AgentTestSupport.hpp"
#include "procblock/AgentLog.hpp"
#include "procblock/LogPaths.hpp"
#include "procscope/Log.hpp"
#include "support/Capture.hpp"

namespace procblock {
namespace {

using ::testing::HasSubstr;

// Whether the text has the pattern's shape; '#' stands for any digit.
bool shaped(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == '#' ? !digit : text[i] != pattern[i]) return false;
  }
  return true;
}

constexpr std::string_view kRowStart = "##-##-#### ##:##:## \t\t\t\t ";

std::chrono::system_clock::time_point localMoment(int year, int month, int day, int hour,
                                                  int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

class AgentLog : public ::testing::Test {
 protected:
  agenttest::TempDir dir_;
  ScopedLogDirectory logs_{dir_.path()};
  std::string log() { return agenttest::readFile(accessLogPath()).value_or("<missing>"); }
};

TEST(LogPaths, FixedUnlessATestRedirectsThem) {
  EXPECT_EQ(accessLogPath(), "/Library/Corventa/Tessor_Agent/logs/vornikaccess.log");
  EXPECT_EQ(diagnosticLogPath(), "/Library/Corventa/Tessor_Agent/logs/vornik.log");
  ScopedLogDirectory scoped("/tmp/x");
  EXPECT_EQ(accessLogPath(), "/tmp/x/vornikaccess.log");
}

// Only the first start writes the header (its bytes are in the golden file);
// an existing log, even an empty one, is left as it is.
TEST_F(AgentLog, FirstStartWritesTheHeaderAndLaterStartsLeaveItAlone) {
  test::StderrCapture err;
  CreateBlockAccessLog();
  EXPECT_THAT(err.take(), HasSubstr("BOOL isFileExists(NSString *__strong) [Line 194] \n"
                                    " isFileExists :retval:0 \n"));
  EXPECT_THAT(err.take(), HasSubstr("DWORD CreateFile(NSString *__strong) [Line 211] CreateFile "
                                    ":File creation success : " +
                                    accessLogPath() + "\n"));
  const std::string header = log();
  CreateBlockAccessLog();
  EXPECT_THAT(err.take(), HasSubstr(" isFileExists :retval:1 \n"));
  EXPECT_EQ(log(), header);

  agenttest::writeFile(accessLogPath(), "");
  CreateBlockAccessLog();
  EXPECT_EQ(log(), "");
  Printlog("Safari");
  EXPECT_TRUE(shaped(log(), std::string(kRowStart) + "Safari\n")) << log();
  EXPECT_TRUE(shaped(GetCurrDateString(), "##-##-####"));
  EXPECT_TRUE(shaped(GetCurrTime(), "##:##:##"));
}

// Header and rows (UTF-8, a name posing as a second row, an absent name).
TEST_F(AgentLog, GoldenFileByteForByte) {
  CreateBlockAccessLog();
  const auto when = localMoment(2024, 3, 5, 7, 8, 9);
  for (const auto& name : std::vector<std::optional<std::string>>{
           "Safari", "na\xc3\xafve \xc3\x84pp", "evil\n05-03-2024 07:08:09 \t\t\t\t forged",
           std::nullopt}) {
    PrintAccessLog(accessLogPath(), formatAccessLogRow(when, name));
  }
  EXPECT_EQ(log(), agenttest::readFile(PROCBLOCK_TESTDATA "/agent/access-log.golden"));
  EXPECT_EQ(formatAccessLogRow(localMoment(1999, 12, 31, 23, 59, 58), "\x1b[2K\r"),
            "31-12-1999 23:59:58 \t\t\t\t \\x1b[2K\\r\n");
}

TEST_F(AgentLog, CreateFileStatuses) {
  agenttest::writeFile(dir_ / "there", "kept");
  std::filesystem::create_directory(dir_ / "folder");
  test::StderrCapture err;
  EXPECT_EQ(CreateFile(dir_ / "there"), kCreateFileSuccess);
  EXPECT_THAT(err.take(), HasSubstr("DWORD CreateFile(NSString *__strong) [Line 214] CreateFile : "
                                    "File already exists : " +
                                    (dir_ / "there") + "\n"));
  EXPECT_EQ(agenttest::readFile(dir_ / "there"), "kept");
  EXPECT_EQ(CreateFile(dir_ / "folder"), kCreateFileFailure);
  EXPECT_EQ(CreateFile(dir_ / "new"), kCreateFileSuccess);
  EXPECT_EQ(agenttest::readFile(dir_ / "new"), "");
  EXPECT_EQ(CreateFile(dir_ / "absent/log"), kCreateFileFailure);  // no parent is made
  EXPECT_THAT(err.take(), HasSubstr("DWORD CreateFile(NSString *__strong) [Line 209] CreateFile "
                                    ":File creation failure \n"));
}

// Rows go only into an existing regular file: never into a new one, a
// directory or a FIFO (which would wait for a reader), and nothing is made or
// written through a symbolic link at either log's path.
TEST_F(AgentLog, NothingIsWrittenButIntoAnExistingRegularFile) {
  PrintAccessLog(dir_ / "missing", "row\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
  std::filesystem::create_directory(accessLogPath());
  Printlog("Safari");
  std::filesystem::remove(accessLogPath());
  ASSERT_EQ(::mkfifo(accessLogPath().c_str(), 0600), 0);
  Printlog("Safari");
  std::filesystem::remove(accessLogPath());

  std::filesystem::create_symlink(dir_ / "made-through-link", accessLogPath());
  EXPECT_EQ(CreateFile(accessLogPath()), kCreateFileFailure);
  CreateBlockAccessLog();
  EXPECT_FALSE(std::filesystem::exists(dir_ / "made-through-link"));
  std::filesystem::remove(accessLogPath());
  const std::string victim = dir_ / "victim";
  agenttest::writeFile(victim, "untouched");
  std::filesystem::create_symlink(victim, accessLogPath());
  std::filesystem::create_symlink(victim, diagnosticLogPath());
  CreateBlockAccessLog();
  Printlog("Safari");
  EXPECT_FALSE(reopenStandardError());
  EXPECT_EQ(agenttest::readFile(victim), "untouched");
}

TEST_F(AgentLog, StandardErrorIsAppendedToTheDiagnosticLog) {
  for (const char* earlier : {"earlier\n", ""}) {
    if (*earlier)
      agenttest::writeFile(diagnosticLogPath(), earlier);
    else
      std::filesystem::remove(diagnosticLogPath());  // created when missing
    const int saved = ::dup(STDERR_FILENO);
    const bool reopened = reopenStandardError();
    procscope::logMessage("started");
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ASSERT_TRUE(reopened);
    const std::string content = agenttest::readFile(diagnosticLogPath()).value_or("");
    EXPECT_TRUE(content.starts_with(earlier) && content.ends_with(" started\n")) << content;
  }
}

TEST_F(AgentLog, ConcurrentRowsLandWhole) {
  constexpr int kThreads = 32;
  constexpr int kRows = 1000;
  agenttest::writeFile(accessLogPath(), "");
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRows; ++i) Printlog("p" + std::to_string(t * kRows + i));
    });
  }
  for (auto& thread : threads) thread.join();

  const auto rows = agenttest::lines(log());
  ASSERT_EQ(rows.size(), static_cast<size_t>(kThreads * kRows));
  std::set<std::string> names;
  for (const auto& row : rows) {
    ASSERT_TRUE(shaped(row.substr(0, kRowStart.size()), kRowStart)) << row;
    names.insert(row.substr(kRowStart.size()));
  }
  EXPECT_EQ(names.size(), rows.size());
  EXPECT_TRUE(names.contains("p0") && names.contains("p31999"));
}

}  // namespace
}  // namespace procblock
