// Shared helpers for the BSM tests: the reference vectors on disk and exact
// copies of byte runs, so that any read past the end lands outside the heap
// block and shows under AddressSanitizer.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace procscope::bsm::testing {

inline std::string vectorPath(const std::string& name) {
  return std::string(PROCBLOCK_TESTDATA) + "/bsm/" + name;
}

inline std::vector<std::uint8_t> readVector(const std::string& name) {
  std::ifstream in(vectorPath(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> fromHex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

}  // namespace procscope::bsm::testing
