// Reads whole BSM records off a byte stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace procscope::bsm {

// No record this project reads or writes comes near this; a size field that
// claims more is corrupt and must not make the reader allocate it. (It is the
// largest queue buffer a BSM audit pipe can be given.)
inline constexpr std::size_t kMaxRecordSize = 1u << 20;

// Reads one whole record (or standalone file token) into `buffer`, which is
// reused from call to call. Returns its length, or -1 on failure or a short read.
// On success buffer.size() is the record length. On failure the stream stays
// where the failure happened (no rewind, no resynchronisation): 1 byte read
// for a first byte that starts no item, 5 for a bad size, all that arrived
// for a short body. End of stream is a failure too; check feof() to tell.
std::int64_t readRecord(std::FILE* stream, std::vector<std::uint8_t>& buffer,
                        std::size_t maxRecordSize = kMaxRecordSize);

// Frames an item from bytes already in memory: the length of the record (or
// standalone file token) that starts at `data`, as its prefix claims it.
//   > 0  the item's length; it is whole when that many bytes are available
//     0  too few bytes yet to tell (fewer than 5, or 11 for a file token)
//    -1  no item starts here: an id other than a header or file token, a
//        size below 5 or above maxRecordSize
std::int64_t recordLength(const std::uint8_t* data, std::size_t available,
                          std::size_t maxRecordSize = kMaxRecordSize);

}  // namespace procscope::bsm
