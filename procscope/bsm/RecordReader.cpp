// Record framing: a header token's size field gives the whole record's length;
// a standalone file token is 11 bytes plus its name.
#include <cstdio>
#include <cstring>

#include "procscope/bsm/Reader.hpp"
#include "procscope/bsm/Token.hpp"

namespace procscope::bsm {
namespace {

constexpr std::size_t kPrefix = 5;       // id + u32 size
constexpr std::size_t kFilePrefix = 11;  // id + sec + ms + u16 name length

bool startsRecord(std::uint8_t id) {
  return id == AUT_HEADER32 || id == AUT_HEADER32_EX || id == AUT_HEADER64 || id == AUT_HEADER64_EX;
}

std::uint32_t load32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// Sizes `buffer` to `size` bytes. resize() keeps the capacity and zeroes only
// bytes past the old size, so a reused buffer is neither reallocated nor
// wiped for each record.
std::uint8_t* sized(std::vector<std::uint8_t>& buffer, std::size_t size) {
  buffer.resize(size);
  return buffer.data();
}

std::size_t readAll(std::FILE* stream, std::uint8_t* out, std::size_t n) {
  return n == 0 ? 0 : fread_unlocked(out, 1, n, stream);
}

}  // namespace

std::int64_t recordLength(const std::uint8_t* data, std::size_t available,
                          std::size_t maxRecordSize) {
  if (available == 0) return 0;
  const std::uint8_t id = data[0];
  if (id == AUT_FILE) {
    if (available < kFilePrefix) return 0;
    const std::size_t total = kFilePrefix + ((std::size_t{data[9]} << 8) | data[10]);
    return total > maxRecordSize ? -1 : static_cast<std::int64_t>(total);
  }
  if (!startsRecord(id)) return -1;
  if (available < kPrefix) return 0;
  const std::uint32_t size = load32(data + 1);
  if (size < kPrefix || size > maxRecordSize) return -1;
  return size;
}

std::int64_t readRecord(std::FILE* stream, std::vector<std::uint8_t>& buffer,
                        std::size_t maxRecordSize) {
  if (stream == nullptr) return -1;
  const int first = getc_unlocked(stream);
  if (first == EOF) return -1;
  const auto id = static_cast<std::uint8_t>(first);

  if (id == AUT_FILE) {
    std::uint8_t prefix[kFilePrefix];
    prefix[0] = id;
    if (readAll(stream, prefix + 1, kFilePrefix - 1) != kFilePrefix - 1) return -1;
    const std::int64_t total = recordLength(prefix, kFilePrefix, maxRecordSize);
    if (total <= 0) return -1;
    std::uint8_t* out = sized(buffer, static_cast<std::size_t>(total));
    std::memcpy(out, prefix, kFilePrefix);
    const std::size_t rest = static_cast<std::size_t>(total) - kFilePrefix;
    if (readAll(stream, out + kFilePrefix, rest) != rest) return -1;
    return total;
  }

  if (!startsRecord(id)) return -1;
  // Four getc_unlocked calls read straight from the stream's buffer; a
  // 4-byte fread costs more than that.
  std::uint8_t prefix[kPrefix];
  prefix[0] = id;
  for (std::size_t i = 1; i < kPrefix; ++i) {
    const int c = getc_unlocked(stream);
    if (c == EOF) return -1;
    prefix[i] = static_cast<std::uint8_t>(c);
  }
  const std::int64_t total = recordLength(prefix, kPrefix, maxRecordSize);
  if (total <= 0) return -1;
  std::uint8_t* out = sized(buffer, static_cast<std::size_t>(total));
  std::memcpy(out, prefix, kPrefix);
  const std::size_t rest = static_cast<std::size_t>(total) - kPrefix;
  if (readAll(stream, out + kPrefix, rest) != rest) return -1;
  return total;
}

}  // namespace procscope::bsm
