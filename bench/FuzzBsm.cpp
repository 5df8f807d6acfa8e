// libFuzzer target for the BSM reader and parser: frames the input as a
// stream of records, both from memory and through the stdio reader, and walks
// every token of every record. Seed it with tests/data/bsm.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "procscope/bsm/Reader.hpp"
#include "procscope/bsm/Token.hpp"

using namespace procscope::bsm;

namespace {

void walk(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that any read past the record is caught.
  const std::vector<std::uint8_t> record(data, data + size);
  Token token;
  TokenCursor cursor(record.data(), record.size());
  while (cursor.next(token)) {
    if (token.len == 0 || cursor.offset() > record.size()) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input as one run of tokens.
  walk(data, size);

  std::size_t offset = 0;
  while (offset < size) {
    const std::int64_t n = recordLength(data + offset, size - offset);
    if (n <= 0 || static_cast<std::size_t>(n) > size - offset) break;
    walk(data + offset, static_cast<std::size_t>(n));
    offset += static_cast<std::size_t>(n);
  }

  if (size > 0) {
    std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (f == nullptr) return 0;
    std::vector<std::uint8_t> buffer;
    while (!std::feof(f)) {
      const std::int64_t n = readRecord(f, buffer);
      if (n > 0) walk(buffer.data(), buffer.size());
    }
    std::fclose(f);
  }
  return 0;
}
