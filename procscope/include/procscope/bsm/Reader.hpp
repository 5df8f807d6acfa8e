// Reads whole BSM records off a byte stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace procscope::bsm {

// No record this project reads or writes comes near this; a size field that
// claims more is corrupt and must not make the reader allocate it.
inline constexpr std::size_t kMaxRecordSize = 1u << 20;

// Reads one whole record (or standalone file token) into `buffer`, which is
// reused from call to call. Returns its length, or -1 on failure or a short read.
std::int64_t readRecord(std::FILE* stream, std::vector<std::uint8_t>& buffer,
                        std::size_t maxRecordSize = kMaxRecordSize);

}  // namespace procscope::bsm
