// What the agent writes about itself and about every block, as the
// administrator finds it in the log directory.
#include <algorithm>
#include <ctime>

#include "e2e/E2eSupport.hpp"

namespace e2e {
namespace {

constexpr std::string_view kHeader =
    "Date and Time \t\t\t\t Application Name \n"
    "------------------------------------------------------------------------------------\n";

// A row's "dd-MM-yyyy HH:mm:ss" as local time.
std::time_t rowTime(const std::string& when) {
  std::tm tm{};
  if (!strptime(when.c_str(), "%d-%m-%Y %H:%M:%S", &tm)) return -1;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

size_t rowsNaming(const std::vector<AccessRow>& rows, const std::string& name) {
  size_t count = 0;
  for (const auto& row : rows) count += row.name == name ? 1 : 0;
  return count;
}

using LogTest = AgentTest;

TEST_F(LogTest, FreshLogsGetTheHeaderAndARowAndLinesForEachBlock) {
  const std::time_t begin = std::time(nullptr);
  const std::string forbidden = makeProgram();
  const std::string harmless = makeProgram();
  writeList(canaryName_ + "," + nameOf(forbidden));
  startAgent();
  ASSERT_TRUE(agentIsLive());

  const pid_t bystander = children_.startInSession(harmless);
  const pid_t pid = children_.startInSession(forbidden);
  ASSERT_TRUE(killedBySigkill(pid));
  ASSERT_TRUE(accessRowsFor(nameOf(forbidden)));
  ASSERT_TRUE(accessRowsFor(canaryName_));
  EXPECT_TRUE(stillRunning(bystander));

  const std::string access = agent_.accessLog();
  EXPECT_EQ(access.substr(0, kHeader.size()), kHeader);
  const auto rows = accessRows(access);
  // Every line after the header is a row.
  EXPECT_EQ(static_cast<size_t>(std::count(access.begin(), access.end(), '\n')), rows.size() + 2);
  EXPECT_GE(rowsNaming(rows, nameOf(forbidden)), 1U);
  EXPECT_GE(rowsNaming(rows, canaryName_), 1U);
  EXPECT_EQ(rowsNaming(rows, nameOf(harmless)), 0U);
  const std::time_t end = std::time(nullptr);
  for (const auto& row : rows) {
    const std::time_t when = rowTime(row.when);
    EXPECT_GE(when, begin - 120) << "row dated " << row.when << " (local day-month-year)";
    EXPECT_LE(when, end + 120) << "row dated " << row.when << " (local day-month-year)";
  }

  const std::string log = agent_.diagnosticLog();
  const std::string items =
      "got items: (\n    " + canaryName_ + ",\n    " + nameOf(forbidden) + "\n)";
  const std::string blocking = "Blocking process with name: " + nameOf(forbidden) +
                               ", bundle identifier: (null), path: " + forbidden + "\n";
  const auto started = log.find("] started\n");
  const auto gotItems = log.find(items);
  const auto blocked = log.find(blocking);
  EXPECT_NE(started, std::string::npos);
  EXPECT_NE(gotItems, std::string::npos);
  EXPECT_NE(blocked, std::string::npos);
  EXPECT_LT(started, gotItems);
  EXPECT_LT(gotItems, blocked);
  EXPECT_EQ(log.find("Blocking process with name: " + nameOf(harmless)), std::string::npos);
}

TEST_F(LogTest, ExistingAccessLogIsKeptAndOnlyAppendedTo) {
  const std::string earlier = "kept as it was \t\t\t\t by the administrator\n";
  writeList(canaryName_);
  AgentOptions options;
  options.existingAccessLog = earlier;
  startAgent(options);
  ASSERT_TRUE(agentIsLive());
  ASSERT_TRUE(accessRowsFor(canaryName_));

  const std::string access = agent_.accessLog();
  EXPECT_EQ(access.substr(0, earlier.size()), earlier);
  EXPECT_EQ(access.find("Date and Time"), std::string::npos) << "no header in an existing log";
}

}  // namespace
}  // namespace e2e
