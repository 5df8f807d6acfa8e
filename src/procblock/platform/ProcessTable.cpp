#include "procblock/platform/ProcessTable.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "procscope/Utilities.hpp"

namespace procblock::platform {

kinfo_proc makeProcessRecord(std::int32_t pid, std::string_view name, std::uint64_t startTime) {
  kinfo_proc record{};
  record.kp_proc.p_starttime = startTime;
  record.kp_proc.p_pid = pid;
  const std::size_t length = std::min(name.size(), MAXCOMLEN);
  std::memcpy(record.kp_proc.p_comm, name.data(), length);
  return record;
}

std::string shortName(const kinfo_proc& record) {
  const char* comm = record.kp_proc.p_comm;
  return std::string(comm, ::strnlen(comm, sizeof record.kp_proc.p_comm));
}

namespace procfs {

std::optional<std::int32_t> pidFromStat(std::string_view stat) {
  const std::size_t end = stat.find(' ');
  if (end == std::string_view::npos || end == 0) return std::nullopt;
  std::int32_t pid = 0;
  const auto [last, error] = std::from_chars(stat.data(), stat.data() + end, pid);
  if (error != std::errc() || last != stat.data() + end || pid < 0) return std::nullopt;
  return pid;
}

std::optional<std::uint64_t> startTimeFromStat(std::string_view stat) {
  const std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  // Field 3 comes first after the name; field 22 is the twentieth.
  for (int field = 3;; ++field) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(start);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    if (field == 22) {
      std::uint64_t ticks = 0;
      const auto [last, error] = std::from_chars(rest.data(), rest.data() + end, ticks);
      if (error != std::errc() || last != rest.data() + end) return std::nullopt;
      return ticks;
    }
    rest.remove_prefix(end);
  }
}

std::string nameFromComm(std::string_view comm) {
  if (!comm.empty() && comm.back() == '\n') comm.remove_suffix(1);
  return std::string(comm.substr(0, MAXCOMLEN));
}

}  // namespace procfs

namespace {

// A small /proc file whole; none when the process has gone meanwhile.
std::optional<std::string> readSmallFile(const std::string& path) {
  return procscope::readFileText(path, std::size_t{64} << 10);
}

bool isPidName(const char* name) {
  if (*name == '\0') return false;
  for (; *name; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

// A table entry for one /proc directory; none when the process has ended.
std::optional<kinfo_proc> readRecord(const char* pidName) {
  const std::string dir = std::string("/proc/") + pidName;
  const auto stat = readSmallFile(dir + "/stat");
  const auto comm = readSmallFile(dir + "/comm");
  if (!stat || !comm) return std::nullopt;
  const auto pid = procfs::pidFromStat(*stat);
  if (!pid) return std::nullopt;
  return makeProcessRecord(*pid, procfs::nameFromComm(*comm),
                           procfs::startTimeFromStat(*stat).value_or(0));
}

class ProcProcessTable final : public ProcessTable {
 public:
  int query(void* buffer, std::size_t* size) override {
    if (!size) {
      errno = EINVAL;
      return -1;
    }
    DIR* proc = ::opendir("/proc");
    if (!proc) return -1;  // errno from opendir
    const std::size_t capacity = buffer ? *size / kProcessRecordSize : 0;
    std::size_t written = 0;
    std::size_t found = 0;
    bool tooSmall = false;
    while (const dirent* entry = ::readdir(proc)) {
      if (!isPidName(entry->d_name)) continue;
      const auto record = readRecord(entry->d_name);
      if (!record) continue;
      ++found;
      if (!buffer) continue;
      if (written == capacity) {
        tooSmall = true;
        break;
      }
      std::memcpy(static_cast<unsigned char*>(buffer) + written * kProcessRecordSize, &*record,
                  kProcessRecordSize);
      ++written;
    }
    ::closedir(proc);
    *size = (buffer ? written : found) * kProcessRecordSize;
    if (tooSmall) {
      errno = ENOMEM;
      return -1;
    }
    return 0;
  }

  std::optional<std::uint64_t> startTime(std::int32_t pid) override {
    if (pid < 0) return std::nullopt;
    const auto stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    return procfs::startTimeFromStat(*stat);
  }
};

}  // namespace

}  // namespace procblock::platform

namespace procscope::platform {
template <>
std::shared_ptr<procblock::platform::ProcessTable>
makeDefaultService<procblock::platform::ProcessTable>() {
  return std::make_shared<procblock::platform::ProcProcessTable>();
}
}  // namespace procscope::platform
