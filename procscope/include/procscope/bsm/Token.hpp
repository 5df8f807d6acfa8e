// BSM audit tokens: one parsed token, with the typed bodies the monitor reads.
// String bodies point into the record buffer they were parsed from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace procscope::bsm {

// Token ids. The first group is what the monitor acts on; the rest are sized
// by the parser so that a walk gets past them.
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

  AUT_FILE = 0x11,
  AUT_DATA = 0x21,
  AUT_IPC = 0x22,
  AUT_PROCESS32 = 0x26,
  AUT_TEXT = 0x28,
  AUT_OPAQUE = 0x29,
  AUT_IN_ADDR = 0x2A,
  AUT_IP = 0x2B,
  AUT_IPORT = 0x2C,
  AUT_SOCKET = 0x2E,
  AUT_SEQ = 0x2F,
  AUT_IPC_PERM = 0x32,
  AUT_PRIVSET = 0x38,
  AUT_UPRIV = 0x39,
  AUT_NEWGROUPS = 0x3B,
  AUT_EXEC_ENV = 0x3D,
  AUT_ATTR32 = 0x3E,
  AUT_ZONENAME = 0x60,
  AUT_ATTR64 = 0x73,
  AUT_PROCESS64 = 0x77,
  AUT_PROCESS32_EX = 0x7B,
  AUT_PROCESS64_EX = 0x7D,
  AUT_IN_ADDR_EX = 0x7E,
  AUT_SOCKET_EX = 0x7F,
  AUT_SOCKINET32 = 0x80,
  AUT_SOCKINET128 = 0x81,
  AUT_SOCKUNIX = 0x82,
  AUT_ARG_UUID = 0x84,
  AUT_RETURN_UUID = 0x85,
};

// Event numbers.
enum : std::uint16_t {
  AUE_NULL = 0,
  AUE_EXIT = 1,
  AUE_FORK = 2,
  AUE_OPEN = 3,
  AUE_EXEC = 7,
  AUE_KILL = 15,
  AUE_EXECVE = 23,
  AUE_VFORK = 25,
  AUE_OPEN_R = 72,
  AUE_OPEN_W = 76,
  AUE_OPEN_RW = 80,
  AUE_CLOSE = 112,
  AUE_OPENAT_R = 270,
  AUE_FEXECVE = 43144,
  AUE_POSIX_SPAWN = 43190,
};

// Audit class masks.
enum : std::uint32_t {
  AU_FREAD = 0x00000001,
  AU_FWRITE = 0x00000002,
  AU_FACCESS = 0x00000004,
  AU_FCLOSE = 0x00000040,
  AU_PROCESS = 0x00000080,
  AU_EXEC = 0x40000000,
};

inline constexpr std::size_t kMaxExecArgs = 128;  // AUDIT_MAX_ARGS

// Terminal id of a subject or process token. `addr` holds the raw address
// bytes as stored (network order); only the first `type` bytes are meaningful.
struct TerminalId {
  std::uint64_t port = 0;
  std::uint32_t type = 4;  // address length: 4 (IPv4) or 16 (IPv6)
  std::array<std::uint8_t, 16> addr{};
};

// fetchToken fills `id`, `len` and only the body that belongs to `id`; the
// other bodies keep whatever an earlier token left in them.
struct Token {
  std::uint8_t id = 0;
  std::uint32_t len = 0;  // bytes the token occupies, id included

  // All four header kinds.
  struct Header {
    std::uint32_t size = 0;
    std::uint8_t version = 0;
    std::uint16_t e_type = 0;
    std::uint16_t e_mod = 0;
    std::uint32_t ad_type = 0;  // _ex headers only: 4, 16, or another value (no address)
    std::uint64_t s = 0;        // seconds
    std::uint64_t ms = 0;       // milliseconds
  } header;
  // subject32/64/32_ex/64_ex; the process tokens (same layout) fill `process`.
  struct Subject {
    std::uint32_t auid = 0, euid = 0, egid = 0, ruid = 0, rgid = 0, pid = 0, sid = 0;
    TerminalId tid;
  } subject, process;
  // arg32 and arg64.
  struct Arg {
    std::uint8_t no = 0;
    std::uint64_t val = 0;
    std::string_view text;  // cut at the first NUL
  } arg;
  struct Path {
    std::string_view path;  // cut at the first NUL
  } path;
  // exec_args; exec_env fills it too.
  struct ExecArgs {
    std::uint32_t count = 0;  // strings kept in `text`, at most kMaxExecArgs
    std::uint32_t total = 0;  // strings the token announces (and holds)
    std::array<std::string_view, kMaxExecArgs> text;
  } execArgs;
  struct Exit {
    std::uint32_t status = 0;
    std::uint32_t ret = 0;
  } exit;
  // return32 and return64.
  struct Return {
    std::uint8_t status = 0;  // BSM error number, 0 = success
    std::uint64_t ret = 0;
  } ret;
  struct Trailer {
    std::uint16_t magic = 0;  // 0xb105 when well formed (not checked)
    std::uint32_t count = 0;  // the record size when well formed (not checked)
  } trailer;
  struct File {
    std::uint32_t s = 0;
    std::uint32_t ms = 0;
    std::string_view name;  // cut at the first NUL
  } file;
  // text and zonename (cut at the first NUL); opaque (all its bytes).
  struct Text {
    std::string_view text;
  } text;
};

// Parses one token at `data` with `left` bytes available. 0 on success, -1
// when no token can be parsed there. Never reads past data + left and never
// allocates. An id the format does not define swallows all but the last 7
// bytes (where a record's trailer sits), as the reference parser does, and
// fails when 8 bytes or fewer are left.
int fetchToken(Token& token, const std::uint8_t* data, std::size_t left);

// Walks the tokens of one record (or any run of tokens) in order.
//   TokenCursor cursor(buffer, length);
//   while (cursor.next(token)) { ... }
//   if (cursor.failed()) { /* a token did not parse; the rest is unreadable */ }
class TokenCursor {
 public:
  TokenCursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  // Parses the next token into `token`; false at the end or at a token that
  // does not parse (failed() tells which).
  bool next(Token& token) {
    if (offset_ >= size_ || failed_) return false;
    if (fetchToken(token, data_ + offset_, size_ - offset_) != 0) {
      failed_ = true;
      return false;
    }
    offset_ += token.len;
    return true;
  }

  std::size_t offset() const { return offset_; }
  bool failed() const { return failed_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  bool failed_ = false;
};

}  // namespace procscope::bsm
