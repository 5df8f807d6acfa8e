// BSM audit tokens: one parsed token, with the typed bodies the monitor reads.
// String bodies point into the record buffer they were parsed from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace procscope::bsm {

// Token ids the monitor acts on.
enum : std::uint8_t {
  AUT_TRAILER = 0x13,
  AUT_HEADER32 = 0x14,
  AUT_HEADER32_EX = 0x15,
  AUT_PATH = 0x23,
  AUT_SUBJECT32 = 0x24,
  AUT_RETURN32 = 0x27,
  AUT_ARG32 = 0x2D,
  AUT_EXEC_ARGS = 0x3C,
  AUT_EXIT = 0x52,
  AUT_ARG64 = 0x71,
  AUT_RETURN64 = 0x72,
  AUT_HEADER64 = 0x74,
  AUT_SUBJECT64 = 0x75,
  AUT_HEADER64_EX = 0x79,
  AUT_SUBJECT32_EX = 0x7A,
  AUT_SUBJECT64_EX = 0x7C,
};

// Event numbers.
enum : std::uint16_t {
  AUE_EXIT = 1,
  AUE_FORK = 2,
  AUE_EXEC = 7,
  AUE_EXECVE = 23,
  AUE_POSIX_SPAWN = 43190,
};

inline constexpr std::size_t kMaxExecArgs = 128;  // AUDIT_MAX_ARGS

struct Token {
  std::uint8_t id = 0;
  std::uint32_t len = 0;  // bytes the token occupies, id included

  struct Header {
    std::uint32_t size = 0;
    std::uint8_t version = 0;
    std::uint16_t e_type = 0;
    std::uint16_t e_mod = 0;
  } header;
  struct Subject {
    std::uint32_t auid = 0, euid = 0, egid = 0, ruid = 0, rgid = 0, pid = 0, sid = 0;
  } subject;
  struct Arg {
    std::uint8_t no = 0;
    std::uint64_t val = 0;
    std::string_view text;
  } arg;
  struct Path {
    std::string_view path;  // cut at the first NUL
  } path;
  struct ExecArgs {
    std::uint32_t count = 0;  // strings kept in `text`, at most kMaxExecArgs
    std::array<std::string_view, kMaxExecArgs> text;
  } execArgs;
  struct Exit {
    std::uint32_t status = 0;
    std::uint32_t ret = 0;
  } exit;
  struct Return {
    std::uint8_t status = 0;
    std::uint64_t ret = 0;
  } ret;
};

// Parses one token at `data` with `left` bytes available. 0 on success, -1
// when no token can be parsed there. Never reads past data + left.
int fetchToken(Token& token, const std::uint8_t* data, std::size_t left);

}  // namespace procscope::bsm
