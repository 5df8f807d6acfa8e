// The process-table layer: its /proc readers, its records, and the Linux
// backend's keeping of the sysctl contract.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "procblock/platform/ProcessTable.hpp"

namespace procblock::platform {
namespace {

TEST(ProcessTableReaders, PidFromStat) {
  const struct {
    const char* stat;
    std::optional<std::int32_t> pid;
  } cases[] = {
      {"1234 (sleep) S 1 1234 1234 0 -1", 1234},
      {"7 (a b) c) R 2 0 0", 7},
      {"0 (swapper) S", 0},
      {"", std::nullopt},
      {"1234", std::nullopt},  // no field end
      {" 12 (x)", std::nullopt},
      {"12x (x) S", std::nullopt},
      {"-5 (x) S", std::nullopt},
      {"99999999999 (x) S", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(procfs::pidFromStat(c.stat), c.pid) << c.stat;
}

TEST(ProcessTableReaders, StartTimeFromStat) {
  std::string fields4to21;
  for (int i = 4; i <= 21; ++i) fields4to21 += " 0";
  const struct {
    std::string stat;
    std::optional<std::uint64_t> start;
  } cases[] = {
      {"42 (sleep) S" + fields4to21 + " 123456 4096 1", 123456},
      {"42 (a) b) (c) S" + fields4to21 + " 123456", 123456},  // parentheses and spaces
      {"42 (sleep) S" + fields4to21, std::nullopt},
      {"42 (sleep) S" + fields4to21 + " x1 4096", std::nullopt},
      {"no name at all", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(procfs::startTimeFromStat(c.stat), c.start) << c.stat;
}

TEST(ProcessTableReaders, NameFromCommDropsOneLineEndAndKeepsSixteenBytes) {
  EXPECT_EQ(procfs::nameFromComm("sleep\n"), "sleep");
  EXPECT_EQ(procfs::nameFromComm("sleep"), "sleep");
  EXPECT_EQ(procfs::nameFromComm("a b\n\n"), "a b\n");
  EXPECT_EQ(procfs::nameFromComm("0123456789abcdefXYZ\n"), "0123456789abcdef");
  EXPECT_EQ(procfs::nameFromComm(""), "");
}

TEST(ProcessTableRecords, NameIsCutToItsFieldAndAlwaysEnds) {
  EXPECT_EQ(shortName(makeProcessRecord(5, "kworker/0:1")), "kworker/0:1");
  EXPECT_EQ(shortName(makeProcessRecord(5, "0123456789abcdefXYZ")), "0123456789abcdef");
  kinfo_proc full{};
  std::fill(std::begin(full.kp_proc.p_comm), std::end(full.kp_proc.p_comm), 'x');
  EXPECT_EQ(shortName(full).size(), sizeof full.kp_proc.p_comm);  // no read past the field
}

std::vector<kinfo_proc> readWhole(ProcessTable& table) {
  std::size_t size = 0;
  EXPECT_EQ(table.query(nullptr, &size), 0);
  size += 64 * kProcessRecordSize;  // room for processes started meanwhile
  std::vector<kinfo_proc> records(size / kProcessRecordSize);
  EXPECT_EQ(table.query(records.data(), &size), 0);
  EXPECT_EQ(size % kProcessRecordSize, 0u);
  records.resize(size / kProcessRecordSize);
  return records;
}

TEST(LinuxProcessTable, ListsThisProcessByPidAndShortName) {
  auto table = procscope::platform::makeDefaultService<ProcessTable>();
  const auto records = readWhole(*table);
  ASSERT_FALSE(records.empty());
  bool found = false;
  for (const auto& record : records) {
    if (record.kp_proc.p_pid != ::getpid()) continue;
    found = true;
    EXPECT_EQ(shortName(record), std::string(program_invocation_short_name).substr(0, 15));
    EXPECT_NE(record.kp_proc.p_starttime, 0u);
    EXPECT_EQ(table->startTime(::getpid()), record.kp_proc.p_starttime);
  }
  EXPECT_TRUE(found);
}

TEST(LinuxProcessTable, TooSmallBufferGetsWholeRecordsAndEnomem) {
  auto table = procscope::platform::makeDefaultService<ProcessTable>();
  std::vector<kinfo_proc> records(2);
  std::size_t size = 2 * kProcessRecordSize + 100;  // room for two and a bit
  errno = 0;
  EXPECT_EQ(table->query(records.data(), &size), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(size, 2 * kProcessRecordSize);
  EXPECT_GT(records[1].kp_proc.p_pid, 0);

  size = 100;  // not even one record
  EXPECT_EQ(table->query(records.data(), &size), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(size, 0u);
}

}  // namespace
}  // namespace procblock::platform
