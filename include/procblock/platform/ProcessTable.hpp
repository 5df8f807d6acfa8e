// The kernel's process table, read the way the original platform's sysctl
// query reads it: whole fixed-size records into a buffer the caller owns.
// The Linux backend builds the records from /proc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "procscope/platform/Service.hpp"

namespace procblock::platform {

// The longest short name macOS keeps in a record; Linux keeps 15 characters.
inline constexpr std::size_t MAXCOMLEN = 16;

struct extern_proc {
  // When the process started, in clock ticks after boot; 0 when unknown.
  // Tells the listed process from a later one that got its pid.
  std::uint64_t p_starttime;
  std::int32_t p_pid;
  char p_comm[MAXCOMLEN + 1];  // NUL-terminated
};

// One table entry. Only the fields above are filled; the rest keeps the
// record at the size the sweep's protocol counts in.
struct kinfo_proc {
  extern_proc kp_proc;
  unsigned char kp_unused[648 - sizeof(extern_proc)];
};

inline constexpr std::size_t kProcessRecordSize = 648;
static_assert(sizeof(kinfo_proc) == kProcessRecordSize);

// A record with the name cut to MAXCOMLEN bytes; every other byte zero.
kinfo_proc makeProcessRecord(std::int32_t pid, std::string_view name, std::uint64_t startTime = 0);

// The short name of a record: up to the first NUL, never past its field.
std::string shortName(const kinfo_proc& record);

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // Copies whole records into `buffer`, which holds `*size` bytes, and sets
  // `*size` to the number of bytes written. Returns 0 when every process
  // fitted; -1 with errno ENOMEM when not (`*size` then counts the records
  // that did fit); -1 with another errno when the table cannot be read.
  // A null buffer only reports the size the table needs now.
  virtual int query(void* buffer, std::size_t* size) = 0;
  // The start time a record for `pid` would hold now; none when there is
  // no such process.
  virtual std::optional<std::uint64_t> startTime(std::int32_t pid) = 0;
};

using ProcessTables = procscope::platform::Service<ProcessTable>;

// The /proc text readers, pure functions over bytes.
namespace procfs {

// Field 1 of a /proc/<pid>/stat line.
std::optional<std::int32_t> pidFromStat(std::string_view stat);
// Field 22, the start time, read after the last ")" because the name in
// field 2 may hold spaces and parentheses.
std::optional<std::uint64_t> startTimeFromStat(std::string_view stat);
// The contents of /proc/<pid>/comm without its line end, at most MAXCOMLEN bytes.
std::string nameFromComm(std::string_view comm);

}  // namespace procfs

}  // namespace procblock::platform

namespace procscope::platform {
template <>
std::shared_ptr<procblock::platform::ProcessTable>
makeDefaultService<procblock::platform::ProcessTable>();
}  // namespace procscope::platform
