// Shared helpers for the BSM tests: the reference vectors on disk, hex byte
// runs, and token fields as lists of numbers for compact comparisons.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "procscope/bsm/Token.hpp"

namespace procscope::bsm::testing {

using Numbers = std::vector<std::uint64_t>;

inline Numbers fields(const Token::Header& h) {
  return {h.size, h.version, h.e_type, h.e_mod, h.s, h.ms};
}
inline Numbers fields(const Token::Subject& s) {
  return {s.auid, s.euid, s.egid, s.ruid, s.rgid, s.pid, s.sid};
}

inline std::string vectorPath(const std::string& name) {
  return std::string(PROCBLOCK_TESTDATA) + "/bsm/" + name;
}

inline std::vector<std::uint8_t> readVector(const std::string& name) {
  std::ifstream in(vectorPath(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The vector files whose names contain `kind` ("_token", "_record").
inline std::vector<std::string> vectorNames(const std::string& kind) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(vectorPath(""))) {
    std::string name = entry.path().filename().string();
    if (name.find(kind) != std::string::npos) names.push_back(std::move(name));
  }
  return names;
}

inline std::vector<std::uint8_t> fromHex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(
        static_cast<std::uint8_t>(std::stoul(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

}  // namespace procscope::bsm::testing
