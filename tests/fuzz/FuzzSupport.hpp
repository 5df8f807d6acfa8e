// What the fuzz targets share: a check that stops the run with a message, and
// a reader that splits one input into the pieces a target needs. It does what
// clang's FuzzedDataProvider does, but builds with any compiler, so the
// corpus replays (ReplayMain.cpp) build under GCC as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace fuzzsupport {

// A broken promise of the code under test: report it and abort, which
// libFuzzer records as a crash with the input that caused it.
inline void require(bool ok, const char* what) {
  if (ok) return;
  std::fputs("fuzz check failed: ", stderr);
  std::fputs(what, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Whether `piece` lies wholly inside [begin, begin + size). Empty views point
// nowhere in particular and pass.
inline bool inside(std::string_view piece, const void* begin, std::size_t size) {
  if (piece.empty()) return true;
  const auto first = reinterpret_cast<std::uintptr_t>(begin);
  const auto at = reinterpret_cast<std::uintptr_t>(piece.data());
  return at >= first && at - first <= size && piece.size() <= size - (at - first);
}

// Takes pieces off the front of an input. Running out is not an error: what
// is missing reads as zero or empty, so every input means something.
class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t byte() { return size_ > 0 ? (--size_, *data_++) : 0; }
  std::uint16_t u16() {
    const std::uint16_t hi = byte();
    return static_cast<std::uint16_t>((hi << 8) | byte());
  }
  std::uint32_t u32() {
    const std::uint32_t hi = u16();
    return (hi << 16) | u16();
  }
  // A piece of text: a big-endian 16-bit length, then that many bytes (fewer
  // when the input ends first).
  std::string_view piece() {
    std::size_t n = u16();
    if (n > size_) n = size_;
    std::string_view out = asText(data_, n);
    data_ += n;
    size_ -= n;
    return out;
  }
  std::string_view rest() {
    std::string_view out = asText(data_, size_);
    data_ += size_;
    size_ = 0;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace fuzzsupport
